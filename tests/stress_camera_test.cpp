// Frame delivery under load, against the virtual camera through the whole
// driver: several consumer threads requesting and releasing with random
// delays while the caller's thread changes controls, and hundreds of
// start/stop/close/open cycles with frames held across them. Meant to run
// under ThreadSanitizer (scripts/stress.sh) and AddressSanitizer.
//
// What every delivered frame is checked against: the module keeps a copy of
// each image it hands out, so the test knows the four phase planes of every
// raw frame by its index (its timestamp says which). A delivered frame is
// whole when all its planes match those of the one raw frame its timestamp
// names, and stays so while a consumer holds it.

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HqvgaReference.h"
#include "VelmoraEvkTesting.h"
#include "VelmoraTOFCamera.h"

using namespace Velmora;
namespace evk = VelmoraSim::EvkTesting;

namespace {

constexpr int kW = HqvgaReference::kWidth;
constexpr int kH = HqvgaReference::kHeight;
constexpr int kPixels = HqvgaReference::kPixels;
// Unpaced module: frame k starts at (k + 1) * 10 ms; the frame's timestamp is its last sub-frame's, 3 ms later.
constexpr uint64_t kPeriodMs = 10;
constexpr uint64_t kLastPhaseMs = 3;
constexpr int kSamples = 48;

int envOr(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

int countEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}
int threadCount() { return countEntries("/proc/self/task"); }
int descriptorCount() { return countEntries("/proc/self/fd"); }

uint64_t fnv(uint64_t h, int16_t v) {
    for (int i = 0; i < 2; ++i) {
        h ^= static_cast<uint8_t>(static_cast<uint16_t>(v) >> (8 * i));
        h *= 1099511628211ull;
    }
    return h;
}
constexpr uint64_t kFnvStart = 1469598103934665603ull;

int samplePixel(int i) { return (i * 911 + 17) % kPixels; }

// One raw frame as the model decodes it: a hash per phase plane and the
// decoded phase samples at the sample pixels.
struct RawRecord {
    uint64_t planeHash[4] = {};
    int16_t samples[4][kSamples] = {};
};

// What one delivered frame looked like to its consumer.
struct Delivery {
    uint64_t index = 0;  // raw frame index from the timestamp
    bool stampValid = false;
    bool unchangedWhileHeld = true;
    FrameType type = FrameType::RAW;
    uint64_t planeHash[4] = {};
    float depth[kSamples] = {}, amplitude[kSamples] = {}, confidence[kSamples] = {};
    int consumer = -1;
    int period = 0;  // streaming period (start) it came from
};

// The images a module delivered, collected while it runs.
class ModuleRecord {
public:
    void attach(VelmoraEvkHandle h) {
        std::lock_guard<std::mutex> lock(mutex);
        handle = h;
        images.clear();
        ASSERT_TRUE(evk::keepImageCopies(h, true));
    }
    void drain() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!handle) return;
        for (const std::vector<uint8_t>& image : evk::takeImageCopies(handle)) {
            Image rec;
            uint64_t h = kFnvStart;
            for (int i = 0; i < kPixels; ++i) {
                const uint16_t word = static_cast<uint16_t>(image[2 * i] | image[2 * i + 1] << 8);
                h = fnv(h, HqvgaReference::decodeSample(word, 0));
            }
            rec.hash = h;
            for (int s = 0; s < kSamples; ++s) {
                const int i = samplePixel(s);
                rec.samples[s] =
                    HqvgaReference::decodeSample(static_cast<uint16_t>(image[2 * i] | image[2 * i + 1] << 8), 0);
            }
            images.push_back(rec);
        }
    }
    void detach() {
        drain();
        std::lock_guard<std::mutex> lock(mutex);
        handle = nullptr;
    }
    // Complete raw frames delivered so far.
    uint64_t frames() {
        std::lock_guard<std::mutex> lock(mutex);
        return images.size() / 4;
    }
    bool frame(uint64_t k, RawRecord& out) {
        std::lock_guard<std::mutex> lock(mutex);
        if (4 * k + 3 >= images.size()) return false;
        for (int p = 0; p < 4; ++p) {
            out.planeHash[p] = images[4 * k + p].hash;
            std::memcpy(out.samples[p], images[4 * k + p].samples, sizeof(out.samples[p]));
        }
        return true;
    }
    size_t imageCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return images.size();
    }

private:
    struct Image {
        uint64_t hash;
        int16_t samples[kSamples];
    };
    std::mutex mutex;
    VelmoraEvkHandle handle = nullptr;
    std::vector<Image> images;
};

// Everything a consumer can see of a frame, taken twice: when it arrives and
// after the consumer has held it for a while.
void observe(VelmoraFrameBuffer* frame, FrameType type, Delivery& d) {
    FrameDataFormat format{};
    EXPECT_EQ(frame->getFormat(type, &format), 0);
    const uint64_t ts = format.timestamp;
    d.type = type;
    d.stampValid = ts >= kPeriodMs + kLastPhaseMs && (ts - kLastPhaseMs) % kPeriodMs == 0;
    d.index = d.stampValid ? (ts - kLastPhaseMs) / kPeriodMs - 1 : 0;
    if (type == FrameType::RAW) {
        const auto* planes = static_cast<const int16_t*>(frame->getData(FrameType::RAW));
        for (int p = 0; p < 4; ++p) {
            uint64_t h = kFnvStart;
            for (int r = 0; r < kH; ++r)
                for (int c = 0; c < kW; ++c) h = fnv(h, planes[(4 * r + p) * kW + c]);
            d.planeHash[p] = h;
        }
    } else {
        const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        const auto* amplitude = static_cast<const float*>(frame->getData(FrameType::AMPLITUDE));
        const auto* confidence = static_cast<const float*>(frame->getData(FrameType::CONFIDENCE));
        for (int s = 0; s < kSamples; ++s) {
            d.depth[s] = depth[samplePixel(s)];
            d.amplitude[s] = amplitude[samplePixel(s)];
            d.confidence[s] = confidence[samplePixel(s)];
        }
        // The depth plane must not change while held either: hash all of it.
        uint64_t h = kFnvStart;
        for (int i = 0; i < kPixels; ++i) {
            int32_t bits;
            std::memcpy(&bits, &depth[i], sizeof bits);
            h = fnv(fnv(h, static_cast<int16_t>(bits)), static_cast<int16_t>(bits >> 16));
        }
        d.planeHash[0] = h;
    }
}

bool sameObservation(const Delivery& a, const Delivery& b) {
    return a.index == b.index && std::equal(a.planeHash, a.planeHash + 4, b.planeHash) &&
           std::equal(a.depth, a.depth + kSamples, b.depth) &&
           std::equal(a.amplitude, a.amplitude + kSamples, b.amplitude);
}

// Whole: every plane of the delivery is the plane of raw frame `index`.
::testing::AssertionResult whole(const Delivery& d, ModuleRecord& module) {
    if (!d.stampValid) return ::testing::AssertionFailure() << "timestamp is not a frame's";
    RawRecord raw;
    if (!module.frame(d.index, raw))
        return ::testing::AssertionFailure() << "frame " << d.index << " was never delivered by the module";
    if (d.type == FrameType::RAW) {
        for (int p = 0; p < 4; ++p)
            if (d.planeHash[p] != raw.planeHash[p])
                return ::testing::AssertionFailure() << "frame " << d.index << ": plane " << p << " is another frame's";
        return ::testing::AssertionSuccess();
    }
    // Depth at the far range (37.5 MHz): y = P2 - P0, x = P3 - P1.
    const double millimetresPerRadian = 3.0e8 / (4 * M_PI * 37.5e6) * 1000.0;
    for (int s = 0; s < kSamples; ++s) {
        const double y = raw.samples[2][s] - raw.samples[0][s];
        const double x = raw.samples[3][s] - raw.samples[1][s];
        const double amp = 0.5 * std::sqrt(x * x + y * y);
        double theta = std::atan2(y, x);
        if (theta < 0) theta += 2 * M_PI;
        const double dep = theta * millimetresPerRadian;
        const double range = 2 * M_PI * millimetresPerRadian;
        const double off = std::fabs(d.depth[s] - dep);
        if (std::fabs(d.amplitude[s] - amp) > 1e-4 * std::max(1.0, amp) || d.confidence[s] != d.amplitude[s] ||
            std::min(off, range - off) > 0.05)
            return ::testing::AssertionFailure()
                   << "frame " << d.index << ", pixel " << samplePixel(s) << ": depth " << d.depth[s] << " (raw says "
                   << dep << "), amplitude " << d.amplitude[s] << " (" << amp << "), confidence " << d.confidence[s];
    }
    return ::testing::AssertionSuccess();
}

class ConfigFile {
public:
    explicit ConfigFile(const std::string& text, const std::string& name = "noisy")
        : path(::testing::TempDir() + "stress_camera_" + std::to_string(::getpid()) + "_" + name + ".txt") {
        std::ofstream(path) << text;
    }
    ~ConfigFile() { std::remove(path.c_str()); }
    const std::string path;
};

// Unpaced, noisy: each frame differs from every other in every plane.
const char* kModuleConfig = "scene=constant\ndistance_mm=1234\nnoise=40\nseed=7\nfps=0\n";
// Unpaced and noise-free, for the lifecycle: rendered several times faster;
// frames then differ only in the timestamp, which every check compares too.
const char* kQuietModuleConfig = "scene=constant\ndistance_mm=1234\nnoise=0\nfps=0\n";

// A consumer: requests with a random time-out, looks, holds for a random
// while, looks again, releases; until told to stop and the stream has ended.
class Consumer {
public:
    Consumer(VelmoraTOFCamera& cam, FrameType frameType, int consumerId, int streamingPeriod, unsigned seed)
        : camera(cam), type(frameType), id(consumerId), period(streamingPeriod), random(seed) {}

    void run(const std::atomic<bool>& finish) {
        std::uniform_int_distribution<int> timeouts(0, 3);
        // Holds up to a few frame times: all three frames are often held or
        // waiting, so capture both waits and overwrites.
        std::uniform_int_distribution<int> holdUs(0, 40000);
        // And pauses between requests, so frames also wait unrequested and the oldest is overwritten.
        std::uniform_int_distribution<int> idleUs(0, 200000);
        while (!finish.load()) {
            const short timeout = std::array<short, 4>{-1, 0, 5, 50}[timeouts(random)];
            VelmoraFrameBuffer* frame = camera.requestFrame(timeout);
            if (!frame) {
                if (timeout < 0 && finish.load()) break;
                continue;
            }
            Delivery first;
            observe(frame, type, first);
            std::this_thread::sleep_for(std::chrono::microseconds(holdUs(random)));
            Delivery later;
            observe(frame, type, later);
            first.unchangedWhileHeld = sameObservation(first, later);
            first.consumer = id;
            first.period = period;
            deliveries.push_back(first);
            EXPECT_EQ(camera.releaseFrame(frame), VelmoraSuccess);
            EXPECT_EQ(camera.releaseFrame(frame), VelmoraUnkownError) << "a second release of one frame";
            if (random() % 2) std::this_thread::sleep_for(std::chrono::microseconds(idleUs(random)));
        }
    }

    VelmoraTOFCamera& camera;
    FrameType type;
    int id;
    int period;
    std::mt19937 random;
    std::vector<Delivery> deliveries;
};

// Takes whatever is still ready after a stop.
std::vector<Delivery> drainReady(VelmoraTOFCamera& camera, FrameType type, int period) {
    std::vector<Delivery> out;
    while (VelmoraFrameBuffer* frame = camera.requestFrame(0)) {
        Delivery d;
        observe(frame, type, d);
        d.consumer = -1;
        d.period = period;
        out.push_back(d);
        EXPECT_EQ(camera.releaseFrame(frame), VelmoraSuccess);
    }
    return out;
}

// No frame twice, each consumer's frames in capture order, every one whole
// and unchanged while held.
void checkDeliveries(const std::vector<Delivery>& all, ModuleRecord& module) {
    std::set<uint64_t> seen;
    std::map<std::pair<int, int>, uint64_t> lastOfConsumer;
    int wholeFailures = 0;
    for (const Delivery& d : all) {
        EXPECT_TRUE(seen.insert(d.index).second) << "frame " << d.index << " delivered twice";
        EXPECT_TRUE(d.unchangedWhileHeld) << "frame " << d.index << " changed while consumer " << d.consumer
                                          << " held it";
        const auto key = std::make_pair(d.period, d.consumer);
        const auto last = lastOfConsumer.find(key);
        if (last != lastOfConsumer.end()) {
            EXPECT_GT(d.index, last->second) << "consumer " << d.consumer << " went back in time";
        }
        lastOfConsumer[key] = d.index;
        const ::testing::AssertionResult ok = whole(d, module);
        if (!ok && ++wholeFailures <= 5) ADD_FAILURE() << ok.message();
    }
    EXPECT_EQ(wholeFailures, 0);
}

class StressTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A sanitizer runtime may start a helper thread at the first thread a process makes.
        std::thread([] {}).join();
        threadsBefore = threadCount();
        descriptorsBefore = descriptorCount();
    }
    void TearDown() override {
        EXPECT_EQ(evk::openModules(), 0) << "a module was left open";
        EXPECT_EQ(threadCount(), threadsBefore) << "a thread outlived its camera";
        EXPECT_EQ(descriptorCount(), descriptorsBefore) << "a descriptor was left open";
    }

    // Opens the module and starts recording what it delivers.
    void open(VelmoraTOFCamera& camera, ModuleRecord& record, const ConfigFile* file = nullptr) {
        ASSERT_EQ(camera.openWithFile((file ? *file : config).path.c_str(), 0), VelmoraSuccess);
        // Delivered depth is checked against the decode of the module's raw frame: the decoding alone.
        ASSERT_EQ(camera.setDepthFilters(DepthFilterSettings::none()), VelmoraSuccess);
        handle = evk::lastHandle();
        ASSERT_NE(handle, nullptr);
        record.attach(handle);
    }

    ConfigFile config{kModuleConfig};
    VelmoraEvkHandle handle = nullptr;
    int threadsBefore = 0;
    int descriptorsBefore = 0;
};

// Runs `consumers` threads plus a drainer of the module's images while
// `controls` runs on this thread, then stops the camera: while the consumers
// still request (a stop wakes those waiting without limit), or after they
// have finished, so that what is ready at the stop stays for the caller.
enum class StopCamera { WhileConsuming, AfterConsumers };

template <typename Controls>
std::vector<Delivery> streamWithConsumers(VelmoraTOFCamera& camera, ModuleRecord& record, FrameType type,
                                          int consumers, int period, unsigned seed, StopCamera when,
                                          Controls controls) {
    std::atomic<bool> finish{false};
    std::vector<std::unique_ptr<Consumer>> team;
    std::vector<std::thread> threads;
    for (int i = 0; i < consumers; ++i) team.push_back(std::make_unique<Consumer>(camera, type, i, period, seed + i));
    for (auto& c : team) threads.emplace_back([&finish, consumer = c.get()] { consumer->run(finish); });
    std::atomic<bool> drainDone{false};
    std::thread drainer([&] {
        while (!drainDone.load()) {
            record.drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    controls();

    finish.store(true);
    if (when == StopCamera::AfterConsumers) {
        for (std::thread& t : threads) t.join();
        threads.clear();
        // Let capture refill all three frames after the consumers' last request.
        const uint64_t target = record.frames() + 4;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (record.frames() < target && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (when == StopCamera::WhileConsuming) {
        EXPECT_EQ(camera.stop(), VelmoraSuccess);
    }
    for (std::thread& t : threads) t.join();
    if (when == StopCamera::AfterConsumers) {
        EXPECT_EQ(camera.stop(), VelmoraSuccess);
    }
    drainDone.store(true);
    drainer.join();
    record.drain();
    std::vector<Delivery> all;
    for (auto& c : team) all.insert(all.end(), c->deliveries.begin(), c->deliveries.end());
    return all;
}

}  // namespace

TEST_F(StressTest, RawConsumersWhileTheCallerTogglesRangeAndControls) {
    ModuleRecord record;
    VelmoraTOFCamera camera;
    open(camera, record);
    ASSERT_EQ(camera.start(FrameType::RAW), VelmoraSuccess);
    const uint64_t frames = static_cast<uint64_t>(envOr("VELMORA_STRESS_FRAMES", 120));
    std::mt19937 random(11);

    std::vector<Delivery> all = streamWithConsumers(camera, record, FrameType::RAW, 3, 0, 100, StopCamera::AfterConsumers, [&] {
        while (record.frames() < frames) {
            int value = 0;
            switch (random() % 6) {
            case 0:
                // The model and the module switch frequency; frames stay whole either way.
                EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, random() % 2 ? 2000 : 4000), VelmoraSuccess);
                break;
            case 1:
                EXPECT_EQ(camera.setControl(CameraCtrl::AUTO_FRAME_RATE, static_cast<int>(random() % 2)),
                          VelmoraSuccess);
                break;
            case 2:
                EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &value), VelmoraSuccess);
                EXPECT_TRUE(value == 2000 || value == 4000);
                break;
            case 3:
                // Refused by this transport, whatever the value: nothing may break.
                EXPECT_NE(camera.setControl(CameraCtrl::FRAME_RATE, static_cast<int>(random() % 40)), VelmoraSuccess);
                EXPECT_NE(camera.setControl(CameraCtrl::EXPOSURE, 100), VelmoraSuccess);
                break;
            case 4:
                EXPECT_EQ(camera.getCameraInfo().type, FrameType::RAW);
                EXPECT_EQ(camera.start(FrameType::RAW), VelmoraUnkownError) << "start while streaming";
                break;
            default:
                EXPECT_EQ(camera.setOutputType(FrameType::DEPTH), VelmoraUnkownError) << "while streaming";
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
    });

    // The consumers had finished before the stop: the ready queue holds the
    // three newest frames, oldest first. Drop-oldest never drops the newest.
    std::vector<Delivery> drained = drainReady(camera, FrameType::RAW, 0);
    const uint64_t produced = record.frames();
    EXPECT_EQ(record.imageCount() % 4, 0u) << "a raw frame was cut short";
    ASSERT_EQ(drained.size(), 3u) << "frames ready after the stop";
    for (size_t i = 0; i < drained.size(); ++i)
        EXPECT_EQ(drained[i].index, produced - drained.size() + i) << "ready queue is not the newest frames";
    all.insert(all.end(), drained.begin(), drained.end());
    std::printf("    %llu raw frames captured, %zu delivered to 3 consumers and after stop, the rest overwritten\n",
                static_cast<unsigned long long>(produced), all.size());
    EXPECT_GT(all.size(), 10u);
    checkDeliveries(all, record);

    EXPECT_EQ(evk::lentImages(handle), 0);
    EXPECT_EQ(camera.close(), VelmoraSuccess);
    record.detach();
}

TEST_F(StressTest, DepthConsumersWhileTheCallerChangesTheSkipRule) {
    ModuleRecord record;
    VelmoraTOFCamera camera;
    open(camera, record);
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    const uint64_t frames = static_cast<uint64_t>(envOr("VELMORA_STRESS_FRAMES", 120));
    std::mt19937 random(23);

    std::vector<Delivery> all = streamWithConsumers(camera, record, FrameType::DEPTH, 3, 0, 200, StopCamera::WhileConsuming, [&] {
        while (record.frames() < frames) {
            const int loop = 1 + static_cast<int>(random() % 5);
            const int skip = static_cast<int>(random() % static_cast<unsigned>(loop));  // never all of them
            // Loop first when it grows, skip first when the loop shrinks: each step stays valid.
            int current = 0;
            if (camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, loop) != VelmoraSuccess) {
                EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 0), VelmoraSuccess);
                EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, loop), VelmoraSuccess);
            }
            EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, skip), VelmoraSuccess);
            // Values outside the rule are refused while the stream runs.
            EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 0), VelmoraInvalidParameter);
            EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, loop + 1), VelmoraInvalidParameter);
            EXPECT_EQ(camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &current), VelmoraSuccess);
            EXPECT_EQ(camera.setControl(CameraCtrl::AUTO_FRAME_RATE, !current), VelmoraSuccess);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        }
    });
    std::vector<Delivery> drained = drainReady(camera, FrameType::DEPTH, 0);
    all.insert(all.end(), drained.begin(), drained.end());
    std::printf("    %llu raw frames captured, %zu depth frames delivered\n",
                static_cast<unsigned long long>(record.frames()), all.size());
    EXPECT_GT(all.size(), 10u);
    checkDeliveries(all, record);
    EXPECT_EQ(camera.close(), VelmoraSuccess);
    record.detach();
}

// Drop-oldest, exactly: with k frames held, the other 3 - k keep the newest
// frames; after a stop they are requestable, oldest first, and are the last
// 3 - k raw frames the module delivered. Holding all three stops capture
// before it reads.
TEST_F(StressTest, HeldFramesLeaveTheNewestReadyAndHoldingAllPausesCapture) {
    ModuleRecord record;
    VelmoraTOFCamera camera;
    open(camera, record);
    for (int round = 0; round < 12; ++round) {
        const size_t hold = static_cast<size_t>(round % 4);
        ASSERT_EQ(camera.start(FrameType::RAW), VelmoraSuccess);
        std::vector<VelmoraFrameBuffer*> held;
        std::vector<Delivery> seen;
        while (held.size() < hold) {
            VelmoraFrameBuffer* frame = camera.requestFrame(2000);
            ASSERT_NE(frame, nullptr);
            Delivery d;
            observe(frame, FrameType::RAW, d);
            if (!seen.empty()) {
                EXPECT_GT(d.index, seen.back().index);
            }
            held.push_back(frame);
            seen.push_back(d);
        }
        if (hold == 3) {
            const int capturesBefore = evk::callCounts().captureImage;
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            EXPECT_EQ(evk::callCounts().captureImage, capturesBefore) << "capture read while every frame was held";
            EXPECT_EQ(camera.requestFrame(0), nullptr);
        } else {
            // Let the free frames cycle past every frame they held before.
            record.drain();
            const uint64_t target = (seen.empty() ? record.frames() : seen.back().index + 1) + 3 * (3 - hold) + 1;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (record.frames() < target && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                record.drain();
            }
            ASSERT_GE(record.frames(), target) << "capture stalled";
        }
        EXPECT_EQ(camera.stop(), VelmoraSuccess);
        record.drain();
        const uint64_t produced = record.frames();
        std::vector<Delivery> drained = drainReady(camera, FrameType::RAW, round);
        ASSERT_EQ(drained.size(), 3 - hold) << "holding " << hold;
        for (size_t i = 0; i < drained.size(); ++i) {
            EXPECT_EQ(drained[i].index, produced - drained.size() + i) << "holding " << hold;
            EXPECT_TRUE(whole(drained[i], record));
        }
        for (size_t i = 0; i < held.size(); ++i) {
            Delivery now;
            observe(held[i], FrameType::RAW, now);
            EXPECT_TRUE(sameObservation(seen[i], now)) << "a held frame was overwritten";
            EXPECT_TRUE(whole(seen[i], record));
            EXPECT_EQ(camera.releaseFrame(held[i]), VelmoraSuccess);
        }
    }
    EXPECT_EQ(camera.close(), VelmoraSuccess);
    record.detach();
}

// Hundreds of lifecycles in random order, consumers running during each
// streaming period, frames held across stop, close and open and released
// before the next start.
TEST_F(StressTest, HundredsOfLifecyclesWithFramesHeldAcross) {
    const int cycles = envOr("VELMORA_STRESS_CYCLES", 200);
    std::mt19937 random(5);
    const ConfigFile quiet(kQuietModuleConfig, "quiet");
    ModuleRecord record;
    VelmoraTOFCamera camera;
    open(camera, record, &quiet);
    const int threadsWithCamera = threadCount();
    std::vector<Delivery> all;
    int reopened = 0;

    for (int cycle = 0; cycle < cycles; ++cycle) {
        const FrameType type = random() % 2 ? FrameType::RAW : FrameType::DEPTH;
        // The depth check assumes the far range.
        ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 4000), VelmoraSuccess);
        ASSERT_EQ(camera.start(type), VelmoraSuccess) << "cycle " << cycle;
        EXPECT_EQ(threadCount(), threadsWithCamera + 1);

        // Frames the caller keeps across the end of this period.
        std::vector<std::pair<VelmoraFrameBuffer*, Delivery>> kept;
        const int keep = static_cast<int>(random() % 3);
        std::vector<Delivery> period;
        if (random() % 4 == 0) {
            period = streamWithConsumers(camera, record, type, 2, cycle, 1000u + static_cast<unsigned>(cycle),
                                         StopCamera::WhileConsuming, [&] {
                for (int k = 0; k < keep; ++k) {
                    if (VelmoraFrameBuffer* f = camera.requestFrame(1000)) {
                        Delivery d;
                        observe(f, type, d);
                        d.period = cycle;
                        kept.emplace_back(f, d);
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
            });
        } else {
            for (int k = 0; k < keep; ++k) {
                VelmoraFrameBuffer* f = camera.requestFrame(1000);
                ASSERT_NE(f, nullptr) << "cycle " << cycle;
                Delivery d;
                observe(f, type, d);
                d.period = cycle;
                kept.emplace_back(f, d);
            }
            EXPECT_EQ(camera.stop(), VelmoraSuccess);
        }
        EXPECT_EQ(threadCount(), threadsWithCamera) << "capture thread still there after stop";
        EXPECT_EQ(evk::lentImages(handle), 0);
        all.insert(all.end(), period.begin(), period.end());
        for (const auto& k : kept) all.push_back(k.second);

        // What stayed ready is dropped by the next start; take some of it now.
        if (random() % 2) {
            for (Delivery& d : drainReady(camera, type, cycle)) all.push_back(d);
        }
        if (random() % 3 == 0) {
            // Close and reopen with frames held: the pool survives both.
            record.drain();
            checkDeliveries(all, record);
            all.clear();
            EXPECT_EQ(camera.close(), VelmoraSuccess);
            record.detach();
            EXPECT_EQ(evk::openModules(), 0);
            open(camera, record, &quiet);
            ++reopened;
        }
        for (auto& k : kept) {
            Delivery now;
            observe(k.first, type, now);
            EXPECT_TRUE(sameObservation(k.second, now)) << "a held frame changed across stop/close/open";
            EXPECT_EQ(camera.releaseFrame(k.first), VelmoraSuccess) << "cycle " << cycle;
        }
    }
    record.drain();
    checkDeliveries(all, record);
    std::printf("    %d cycles, %d reopened\n", cycles, reopened);
    EXPECT_EQ(camera.close(), VelmoraSuccess);
    record.detach();
}
