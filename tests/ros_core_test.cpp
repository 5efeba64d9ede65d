// The ROS node's middleware-independent core: invalid pixels, lenses with
// distortion, capture stamps and losses, parameters, and the supervised
// camera stream with setting changes. The node's own test checks the wall
// scene's depth and cloud and the recovery from faults end to end.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CameraStream.h"
#include "FrameConversion.h"
#include "Lens.h"
#include "NodeParameters.h"
#include "Recycler.h"
#include "StampMapper.h"
#include "VelmoraEvkTesting.h"
#include "VelmoraTOFCamera.h"

using namespace Velmora;
using namespace Velmora::Ros;

namespace {

class ConfigFile {
public:
    ConfigFile(const std::string& name, const std::string& text)
        : path(::testing::TempDir() + "ros_core_" + std::to_string(::getpid()) + "_" + name) {
        std::ofstream(path) << text;
    }
    ~ConfigFile() { std::remove(path.c_str()); }
    const std::string path;
};

}  // namespace

// --- conversion ----------------------------------------------------------------

TEST(DepthConversion, InvalidPixelsAreNaNOrZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> depth = {1000, 0, -5, nan, inf, 1000, 70000, 2000};
    const std::vector<float> amplitude = {7, 7, 7, 7, 7, 7, 7, 7};
    const std::vector<float> confidence = {50, 50, 50, 50, 50, 9, 50, nan};
    const DepthPlanes planes{8, 1, depth.data(), amplitude.data(), confidence.data()};
    Intrinsics lens;
    lens.width = 8;
    lens.height = 1;
    lens.fx = lens.fy = 1e6;  // rays all but parallel to the axis
    lens.cx = 3.5;
    const RayTable rays(lens);

    std::vector<float> metres(8);
    std::vector<uint16_t> millimetres(8);
    std::vector<PointXYZI> points(8);
    convertFrame(planes, rays, 10, DepthEncoding::Metres32F, reinterpret_cast<uint8_t*>(metres.data()), points.data());
    convertFrame(planes, rays, 10, DepthEncoding::Millimetres16U, reinterpret_cast<uint8_t*>(millimetres.data()),
                 nullptr);

    const bool valid[] = {true, false, false, false, false, false, true, false};
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(!std::isnan(metres[i]), valid[i]);
        EXPECT_EQ(!std::isnan(points[i].x) && !std::isnan(points[i].y) && !std::isnan(points[i].z), valid[i]);
        EXPECT_EQ(points[i].intensity, 7);
    }
    EXPECT_FLOAT_EQ(metres[0], 1.0f);
    EXPECT_EQ(millimetres[0], 1000);
    // 70 m does not fit 16 bits of millimetres: no value rather than a wrong one.
    EXPECT_FLOAT_EQ(metres[6], 70.0f);
    EXPECT_EQ(millimetres[6], 0);
    for (int i : {1, 2, 3, 4, 5, 7}) EXPECT_EQ(millimetres[i], 0) << i;
}

TEST(StampMapper, IntervalsAreTheSensorsWhateverTheDeliveryLatency) {
    StampMapper mapper;
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> latency(2000000, 30000000);
    const int64_t hostStart = 1000000000000;
    int64_t previousStamp = 0;
    for (int n = 0; n < 300; ++n) {
        const uint64_t timestamp = 5000 + 33 * n;
        // Now and then a frame comes with the least latency there is.
        const int64_t arrival = hostStart + 33000000LL * n + (n % 10 == 0 ? 1000000 : latency(random));
        const int64_t stamp = mapper.map(timestamp, arrival);
        EXPECT_LE(stamp, arrival);
        // Arrival times jitter by up to 28 ms; the stamps only by the allowance
        // for clock drift (200 ppm) accumulated between such frames.
        if (n > 0) {
            EXPECT_NEAR(stamp - previousStamp, 33000000, 70000) << n;
        }
        previousStamp = stamp;
    }
    // A reopened camera starts its clock again: the stamps follow the host at once.
    const int64_t arrival = hostStart + 20000000000LL;
    const int64_t stamp = mapper.map(40, arrival);
    EXPECT_LE(stamp, arrival);
    EXPECT_GT(stamp, arrival - 40000000);
}

TEST(StampMapper, SlowSensorClockDoesNotLeaveStampsBehind) {
    StampMapper mapper;
    int64_t lag = 0;
    // The sensor's clock runs 100 ppm slow; ten minutes at 30 frames per second.
    for (int n = 0; n < 18000; ++n) {
        const int64_t arrival = 1000000000000 + 33333333LL * n + 3000000;
        const auto timestamp = static_cast<uint64_t>(std::llround(33.333333 * n * 0.9999));
        lag = arrival - mapper.map(timestamp, arrival);
    }
    EXPECT_GE(lag, 0);
    EXPECT_LT(lag, 20000000);  // ms-rounding of the timestamps plus a little
}

TEST(StreamStatistics, CountsLossesAndStaleFramesButNotSkippedOnes) {
    StreamStatistics s;
    EXPECT_FALSE(s.add(0));  // a frame without any capture behind it
    uint64_t t = 100;
    for (int i = 0; i < 30; ++i, t += 33) ASSERT_TRUE(s.add(t));
    EXPECT_NEAR(s.frameRate(), 30.3, 0.5);
    EXPECT_EQ(s.dropped(), 0u);
    EXPECT_TRUE(s.add(t + 3 * 33));  // three frames lost
    t += 4 * 33;
    EXPECT_EQ(s.dropped(), 3u);
    EXPECT_FALSE(s.add(t - 33));  // the same frame again
    EXPECT_EQ(s.stale(), 2u);

    // One of every two frames skipped on purpose is no loss.
    s.setSkip(1, 2);
    for (int i = 0; i < 20; ++i, t += 66) ASSERT_TRUE(s.add(t));
    EXPECT_EQ(s.dropped(), 3u);
    s.setSkip(0, 1);
    EXPECT_NEAR(s.expectedIntervalMs(), 66, 1);
    // A camera that runs slower from now on is a new rate, not endless losses.
    for (int i = 0; i < 50; ++i, t += 100) ASSERT_TRUE(s.add(t));
    EXPECT_LE(s.dropped(), 3u + 3 * 3);
    EXPECT_NEAR(s.frameRate(), 10, 0.5);
}

// --- parameters ------------------------------------------------------------------

namespace {
class MapSource : public ParameterSource {
public:
    std::map<std::string, std::string> text;
    std::map<std::string, int> integers;
    std::map<std::string, double> reals;
    std::map<std::string, bool> flags;

    bool getString(const std::string& n, std::string& v, std::string& e) override { return get(text, n, v, e); }
    bool getInt(const std::string& n, int& v, std::string& e) override { return get(integers, n, v, e); }
    bool getDouble(const std::string& n, double& v, std::string& e) override { return get(reals, n, v, e); }
    bool getBool(const std::string& n, bool& v, std::string& e) override { return get(flags, n, v, e); }

private:
    template <typename T>
    bool get(const std::map<std::string, T>& m, const std::string& n, T& v, std::string& e) {
        const auto it = m.find(n);
        if (it != m.end()) {
            v = it->second;
            return true;
        }
        // Set, but as another type.
        if (text.count(n) || integers.count(n) || reals.count(n) || flags.count(n)) e = "wrong type";
        return false;
    }
};
}  // namespace

TEST(NodeParameters, ReadsEveryParameterAndNamesEachBadOne) {
    MapSource source;
    NodeParameters p;
    EXPECT_TRUE(readParameters(source, p).empty());
    EXPECT_EQ(p.frameId, "camera_depth_optical_frame");
    EXPECT_EQ(p.connection, Connection::USB);

    source.text = {{"connection", "CSI"}, {"output", "raw"}, {"depth_encoding", "16UC1"}, {"mode", "double"},
                   {"frame_id", "tof"}, {"camera_info_url", "file:///c.yaml"}};
    source.integers = {{"index", 2}, {"range", 2000}, {"frame_rate", 15}, {"skip_frame", 1}, {"skip_frame_loop", 3}};
    source.reals = {{"min_confidence", 12.5}, {"temporal_alpha", 0.25}};
    source.flags = {{"publish_points", false}, {"auto_frame_rate", false}, {"hole_filling", true}};
    EXPECT_TRUE(readParameters(source, p).empty());
    EXPECT_EQ(p.connection, Connection::CSI);
    EXPECT_EQ(p.index, 2);
    EXPECT_EQ(p.output, StreamOutput::Raw);
    EXPECT_EQ(p.depthEncoding, DepthEncoding::Millimetres16U);
    EXPECT_EQ(p.frameId, "tof");
    EXPECT_FALSE(p.publishPoints);
    EXPECT_EQ(p.settings.range, 2000);
    EXPECT_EQ(p.settings.mode, FrequencyMode::Double);
    EXPECT_EQ(p.settings.frameRate, 15);
    EXPECT_FALSE(p.settings.autoFrameRate);
    EXPECT_EQ(p.settings.skipFrame, 1);
    EXPECT_EQ(p.settings.skipFrameLoop, 3);
    EXPECT_EQ(p.settings.minConfidence, 12.5);
    EXPECT_EQ(p.settings.filters.temporalAlpha, 0.25f);
    EXPECT_TRUE(p.settings.filters.holeFilling);

    MapSource bad;
    bad.text = {{"connection", "wifi"}, {"output", "colour"}, {"depth_encoding", "8UC1"}, {"mode", "triple"},
                {"config", "x.cfg"}, {"index", "one"}, {"frame_id", ""}, {"link_frame_id", ""}};
    bad.integers = {{"range", 3000}};
    NodeParameters q;
    q.connection = Connection::CSI;
    const auto errors = readParameters(bad, q);
    ASSERT_EQ(errors.size(), 9u);
    for (const char* named : {"'connection'", "'output'", "'depth_encoding'", "'mode'", "'config'", "'index'",
                              "range 3000", "'frame_id'", "'link_frame_id'"}) {
        bool found = false;
        for (const std::string& e : errors) found = found || e.find(named) != std::string::npos;
        EXPECT_TRUE(found) << named;
    }

    // A configuration file that does not open is refused at once, naming the
    // directory a relative path was taken against (a launched node runs in
    // ROS_HOME, not where roslaunch was called).
    MapSource missing;
    missing.text = {{"connection", "usb"}, {"config", "no-such-scene.cfg"}};
    NodeParameters m;
    const auto missingErrors = readParameters(missing, m);
    ASSERT_EQ(missingErrors.size(), 1u);
    EXPECT_NE(missingErrors[0].find("'no-such-scene.cfg'"), std::string::npos) << missingErrors[0];
    EXPECT_NE(missingErrors[0].find("relative to"), std::string::npos) << missingErrors[0];

    // A frame cannot be its own parent in the transform tree.
    MapSource same;
    same.text = {{"frame_id", "tof"}, {"link_frame_id", "tof"}};
    NodeParameters f;
    EXPECT_EQ(readParameters(same, f).size(), 1u);

    // Skipping every frame would deliver nothing at all.
    for (int skipped : {4, 3}) {
        MapSource skip;
        skip.integers = {{"skip_frame", skipped}, {"skip_frame_loop", 3}};
        NodeParameters r;
        EXPECT_EQ(readParameters(skip, r).size(), 1u) << skipped;
    }
}

// --- the supervised stream -------------------------------------------------------

namespace {
// Collects what a CameraStream reports, and lets a test wait for it.
class Recorder {
public:
    CameraStream::FrameHandler frames() {
        return [this](const StreamFrame& f) {
            std::lock_guard<std::mutex> guard(lock);
            timestamps.push_back(f.timestampMs);
            stamps.push_back(f.stampNs);
            width = f.planes.width;
            changed.notify_all();
        };
    }
    CameraStream::LogHandler log() {
        return [this](LogLevel level, const std::string& line) {
            std::lock_guard<std::mutex> guard(lock);
            lines.push_back({level, line});
            changed.notify_all();
        };
    }
    template <typename Predicate>
    bool waitFor(Predicate done, int seconds = 10) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(seconds), [&] { return done(); });
    }

    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<uint64_t> timestamps;
    std::vector<int64_t> stamps;
    uint32_t width = 0;
    std::vector<std::pair<LogLevel, std::string>> lines;
};

int64_t hostNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

NodeParameters withConfig(const std::string& path, double stallTimeout = 2.0) {
    NodeParameters p;
    p.config = path;
    p.stallTimeout = stallTimeout;
    return p;
}
}  // namespace

TEST(CameraStream, DeliversStampedFramesAndKeepsRefusedSettings) {
    ConfigFile config("stream.cfg", "scene=wall\nfps=50\n");
    Recorder r;
    CameraStream stream(withConfig(config.path), r.frames(), r.log(), hostNow);
    stream.start();
    ASSERT_TRUE(r.waitFor([&] { return r.timestamps.size() >= 5; }));
    {
        std::lock_guard<std::mutex> guard(r.lock);
        EXPECT_EQ(r.width, 240u);
        for (size_t i = 1; i < r.timestamps.size(); ++i) {
            EXPECT_GT(r.timestamps[i], r.timestamps[i - 1]);
            EXPECT_GT(r.stamps[i], r.stamps[i - 1]);
        }
        // Host stamps span what the sensor's clock spans, up to the delivery jitter.
        const int64_t sensorSpan = int64_t(r.timestamps.back() - r.timestamps.front()) * 1000000;
        EXPECT_NEAR(double(r.stamps.back() - r.stamps.front()), double(sensorSpan), 50e6);
        EXPECT_LE(r.stamps.back(), hostNow());
    }
    EXPECT_EQ(stream.settings().range, 4000);  // read back from the camera

    CameraSettings wanted = stream.settings();
    wanted.range = 2000;
    wanted.exposure = 100;  // the virtual camera has no exposure control
    wanted.skipFrame = 3;   // more than the loop of 2
    wanted.skipFrameLoop = 2;
    wanted.minConfidence = 20;
    wanted.filters.temporal = false;
    wanted.filters.spatialEdgeMm = 25;
    std::vector<std::string> refusals;
    CameraSettings effective = stream.changeSettings(wanted, refusals);
    EXPECT_EQ(effective.range, 2000);
    EXPECT_EQ(effective.minConfidence, 20);
    EXPECT_EQ(effective.filters, wanted.filters);
    EXPECT_EQ(effective.exposure, 0);
    EXPECT_EQ(effective.skipFrame, 0);
    EXPECT_EQ(effective.skipFrameLoop, 1);
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_NE(refusals[0].find("exposure 100 refused by the camera"), std::string::npos) << refusals[0];
    EXPECT_NE(refusals[1].find("skip_frame 3"), std::string::npos) << refusals[1];

    // The frequency mode is the VGA sensor's; HQVGA refuses it and keeps streaming.
    wanted = effective;
    wanted.mode = FrequencyMode::Single;
    wanted.skipFrame = 1;
    wanted.skipFrameLoop = 2;
    wanted.filters.temporalAlpha = 5;  // out of range: the filters stay as they were
    refusals.clear();
    effective = stream.changeSettings(wanted, refusals);
    EXPECT_EQ(effective.mode, FrequencyMode::CameraDefault);
    EXPECT_EQ(effective.skipFrame, 1);
    EXPECT_EQ(effective.skipFrameLoop, 2);
    EXPECT_EQ(effective.filters.temporalAlpha, DepthFilterSettings().temporalAlpha);
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_NE(refusals[1].find("temporal_alpha 5"), std::string::npos) << refusals[1];
    const size_t before = r.timestamps.size();
    EXPECT_TRUE(r.waitFor([&] { return r.timestamps.size() >= before + 5; }));
    EXPECT_EQ(stream.health().state, StreamState::Streaming);

    stream.stop();
    EXPECT_EQ(stream.health().state, StreamState::Stopped);
    EXPECT_EQ(r.lines.back().second, "camera closed");
    // Changes after the stop are kept for the next start, without waiting for anyone.
    wanted.range = 4000;
    refusals.clear();
    EXPECT_EQ(stream.changeSettings(wanted, refusals).range, 4000);
}

TEST(CameraStream, AModeTheCameraCannotStartInIsUndone) {
    ConfigFile config("vga.cfg", "width=640\nheight=480\nfps=30\n");
    Recorder r;
    CameraStream stream(withConfig(config.path), r.frames(), r.log(), hostNow);
    stream.start();
    ASSERT_TRUE(r.waitFor([&] { return r.timestamps.size() >= 3; }, 20));
    ASSERT_EQ(stream.settings().mode, FrequencyMode::Single);

    VelmoraSim::EvkTesting::failNext(VelmoraSim::EvkTesting::Call::StartCamera);
    CameraSettings wanted = stream.settings();
    wanted.mode = FrequencyMode::Double;
    std::vector<std::string> refusals;
    EXPECT_EQ(stream.changeSettings(wanted, refusals).mode, FrequencyMode::Single);
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_NE(refusals[0].find("mode double"), std::string::npos) << refusals[0];
    // Streaming on in the old mode, not reconnecting for ever in the new one.
    const size_t before = r.timestamps.size();
    EXPECT_TRUE(r.waitFor([&] { return r.timestamps.size() >= before + 3; }));
    EXPECT_EQ(stream.health().reconnects, 0u);
    EXPECT_EQ(stream.settings().mode, FrequencyMode::Single);
}

TEST(CameraStream, AChangeIsAnsweredInTimeWhileTheCameraThreadHangs) {
    ConfigFile config("hang.cfg", "scene=wall\nfps=50\n");
    const auto hangFor = CameraStream::kAnswerWithin + std::chrono::seconds(1);
    std::atomic<bool> hang{false}, hanging{false};
    CameraStream stream(
        withConfig(config.path, 60),
        [&](const StreamFrame&) {
            if (!hang.exchange(false)) return;
            hanging = true;
            std::this_thread::sleep_for(hangFor);
        },
        nullptr, hostNow);
    stream.start();
    hang = true;
    for (int i = 0; i < 500 && !hanging; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(hanging);
    CameraSettings wanted = stream.settings();
    wanted.range = 2000;
    std::vector<std::string> refusals;
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(stream.changeSettings(wanted, refusals).range, 4000);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, CameraStream::kAnswerWithin + std::chrono::milliseconds(500));
    EXPECT_EQ(refusals.size(), 1u);
    // The change answered as not made is not made later either.
    std::this_thread::sleep_for(hangFor - CameraStream::kAnswerWithin + std::chrono::milliseconds(300));
    EXPECT_EQ(stream.settings().range, 4000);
}

TEST(Recycler, HandsOutAgainOnlyWhatNobodyHolds) {
    Recycler<std::shared_ptr<std::vector<uint8_t>>> messages([] { return std::make_shared<std::vector<uint8_t>>(); });
    auto first = messages.take();
    first->assign(100, 7);
    auto second = messages.take();
    EXPECT_NE(first, second);  // the first is still held
    const uint8_t* bytes = first->data();
    first.reset();
    auto again = messages.take();
    // The same buffer, sized and not filled again.
    ASSERT_EQ(again->data(), bytes);
    EXPECT_EQ((*again)[99], 7);
}
