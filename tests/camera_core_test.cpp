#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <climits>
#include <cstring>
#include <set>
#include <thread>

#include "ScriptedParts.h"
#include "SystemAccess.h"

namespace Velmora {
namespace {

using namespace std::chrono_literals;

struct Rig {
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    VelmoraTOFCamera camera;
    ScriptedSensor* sensor = nullptr;
    ScriptedDevice* device = nullptr;

    explicit Rig(uint32_t w = 240, uint32_t h = 180) {
        auto s = std::make_unique<ScriptedSensor>(log, w, h);
        auto d = std::make_unique<ScriptedDevice>(log);
        sensor = s.get();
        device = d.get();
        sensor->frameCount = 4;
        EXPECT_EQ(CameraTestAccess::openWith(camera, std::move(s), std::move(d)), VelmoraSuccess);
        // Frames carry their ids in the depth plane: no filter may touch them.
        camera.setDepthFilters(DepthFilterSettings::none());
    }
    // Value carried by a delivered frame (the sensor's frame number).
    static int id(VelmoraFrameBuffer* frame) {
        return int(static_cast<float*>(frame->getData(FrameType::DEPTH))[0]);
    }
    // Waits until the sensor has been asked for `reads` frames.
    void waitForReads(int reads) {
        for (int i = 0; i < 2000 && sensor->reads.load() < reads; ++i) std::this_thread::sleep_for(1ms);
    }
};

// A wall clock that steps (NTP, a board setting its time after boot) while
// the monotonic clock runs on.
class SteppingClock : public SystemAccess {
public:
    int64_t realtimeNanoseconds() override { return monotonic.load() + wallOffset.load(); }
    int64_t monotonicNanoseconds() override { return monotonic.load(); }
    std::atomic<int64_t> monotonic{5000000000};
    std::atomic<int64_t> wallOffset{1700000000000000000};
};

std::vector<std::string> without(const std::vector<std::string>& log, const std::string& prefix) {
    std::vector<std::string> kept;
    for (const auto& e : log)
        if (e.rfind(prefix, 0) != 0) kept.push_back(e);
    return kept;
}

TEST(ErrorText, ListedAndUnlistedCodes) {
    EXPECT_STREQ(to_str(VelmoraSuccess), "Success");
    EXPECT_STREQ(to_str(VelmoraUnkownDevice), "Unkown device");
    EXPECT_STREQ(to_str(VelmoraSkipFrame), "Skip frame");
    EXPECT_STREQ(to_str(VelmoraSystemError), "System error");
    for (int unlisted : {5, 239, 241, -3, 1000})
        EXPECT_STREQ(to_str(TofErrorCode(unlisted)), "Unknown error") << unlisted;
    EXPECT_STREQ(to_str(VelmoraUnkownError), "Unknown error");
}

TEST(CameraLifecycle, CallingOrderOverALife) {
    Rig rig;
    rig.sensor->allowFrames(2);
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    ASSERT_NE(rig.camera.requestFrame(1000), nullptr);
    EXPECT_EQ(rig.camera.stop(), VelmoraSuccess);
    EXPECT_EQ(rig.camera.close(), VelmoraSuccess);
    auto calls = without(rig.log->snapshot(), "device.getControl(6)");
    std::vector<std::string> expected = {
        "sensor.open", "device.attachSensor", "device.getControl(0)", "device.setControl(0,4000)",
        "device.configureSensor", "sensor.start", "device.start", "sensor.getCameraInfo",
        "device.getFrameFormats", "device.stop", "sensor.stop", "device.close", "sensor.close"};
    EXPECT_EQ(calls, expected);
}

TEST(CameraLifecycle, ModelFollowsReportedGeometry) {
    struct Case { uint32_t w, h; DeviceType type; int frameCount; };
    for (Case c : {Case{240, 180, HQVGA, 4}, Case{180, 240, VGA, 1}, Case{240, 181, VGA, 1}, Case{640, 480, VGA, 1}}) {
        VelmoraTOFCamera camera;
        auto log = std::make_shared<CallLog>();
        // The model's own attach result is its business; the choice is the camera's.
        CameraTestAccess::openSensor(camera, std::make_unique<ScriptedSensor>(log, c.w, c.h));
        EXPECT_EQ(camera.getCameraInfo().device_type, c.type) << c.w << "x" << c.h;
        EXPECT_EQ(CameraTestAccess::sensor(camera)->frameCount, c.frameCount);
    }
}

TEST(CameraLifecycle, FailedOpenKeepsCodeAndLeavesNoModel) {
    VelmoraTOFCamera camera;
    auto log = std::make_shared<CallLog>();
    auto sensor = std::make_unique<ScriptedSensor>(log);
    sensor->openResult = VelmoraSystemError;
    EXPECT_EQ(CameraTestAccess::openSensor(camera, std::move(sensor)), VelmoraSystemError);
    int v = 0;
    EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &v), VelmoraUnkownError);
    EXPECT_EQ(camera.start(FrameType::DEPTH), VelmoraUnkownError);
}

TEST(CameraLifecycle, OpenArguments) {
    VelmoraTOFCamera camera;
    EXPECT_EQ(camera.open(Connection(7), 3), VelmoraUnkownError);
    EXPECT_EQ(camera.getCameraInfo().index, 3u);
    EXPECT_EQ(int(camera.getCameraInfo().connect), 7);
    VelmoraTOFCamera other;
    const CameraInfo before = other.getCameraInfo();
    EXPECT_EQ(other.openWithFile(nullptr, 5), VelmoraUnkownError);
    const CameraInfo after = other.getCameraInfo();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(CameraInfo)), 0);
}

TEST(CameraLifecycle, OperationsBeforeOpenAreRefused) {
    VelmoraTOFCamera camera;
    int v = 0;
    EXPECT_EQ(camera.start(FrameType::DEPTH), VelmoraUnkownError);
    EXPECT_EQ(camera.stop(), VelmoraUnkownError);
    EXPECT_EQ(camera.close(), VelmoraUnkownError);
    EXPECT_EQ(camera.setOutputType(FrameType::RAW), VelmoraUnkownError);
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 0), VelmoraUnkownError);
    EXPECT_EQ(camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &v), VelmoraUnkownError);
    EXPECT_EQ(camera.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "x"), VelmoraUnkownError);
    EXPECT_EQ(camera.requestFrame(0), nullptr);
    EXPECT_EQ(camera.releaseFrame(nullptr), VelmoraUnkownError);
}

TEST(CameraLifecycle, StartFailuresPassThroughTheFirstFailingStep) {
    Rig rig;
    rig.device->configureResult = VelmoraSystemError;
    EXPECT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSystemError);
    EXPECT_EQ(rig.sensor->starts, 0);
    rig.device->configureResult = 0;
    rig.sensor->startResult = -1;
    EXPECT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraUnkownError);
    rig.sensor->startResult = 0;
    // An output type that is not RAW or DEPTH fails only after device and transport started.
    EXPECT_EQ(rig.camera.start(FrameType::CONFIDENCE), VelmoraUnkownError);
    EXPECT_EQ(rig.camera.getCameraInfo().type, FrameType::CONFIDENCE);
    EXPECT_EQ(CameraTestAccess::pool(rig.camera), nullptr);
    EXPECT_EQ(rig.camera.start(FrameType::RAW), VelmoraSuccess);
    EXPECT_EQ(rig.camera.stop(), VelmoraSuccess);
}

TEST(CameraLifecycle, StartWhileStreamingIsRefusedBeforeAnyStep) {
    Rig rig;
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    const size_t calls = rig.log->snapshot().size();
    EXPECT_EQ(rig.camera.start(FrameType::RAW), VelmoraUnkownError);
    EXPECT_EQ(rig.camera.getCameraInfo().type, FrameType::DEPTH);
    EXPECT_EQ(rig.sensor->starts, 1);
    EXPECT_EQ(rig.log->snapshot().size(), calls);
    EXPECT_NE(rig.camera.requestFrame(1000), nullptr);
    EXPECT_EQ(rig.camera.stop(), VelmoraSuccess);
}

TEST(CameraLifecycle, StopWithoutThreadStillStopsDeviceAndTransport) {
    Rig rig;
    rig.sensor->stopResult = VelmoraSystemError;
    EXPECT_EQ(rig.camera.stop(), VelmoraSystemError);
    auto calls = rig.log->snapshot();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "device.stop"), calls.end());
    EXPECT_EQ(calls.back(), "sensor.stop");
}

TEST(CameraLifecycle, CloseOfAnUnstartedCameraCallsNoStop) {
    Rig rig;
    rig.sensor->closeResult = 3;
    EXPECT_EQ(rig.camera.close(), TofErrorCode(3));
    auto calls = rig.log->snapshot();
    std::vector<std::string> tail(calls.end() - 2, calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"device.close", "sensor.close"}));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "sensor.stop"), 0);
}

TEST(CameraLifecycle, CloseAfterAFailedReopenReleasesTheTransport) {
    Rig rig;
    auto log = std::make_shared<CallLog>();
    auto failing = std::make_unique<ScriptedSensor>(log);
    failing->openResult = VelmoraSystemError;
    failing->closeResult = 7;
    ASSERT_EQ(CameraTestAccess::openSensor(rig.camera, std::move(failing)), VelmoraSystemError);
    EXPECT_EQ(rig.camera.close(), TofErrorCode(7));
    EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"sensor.open", "sensor.close"}));
}

TEST(CameraLifecycle, ChoosingTheModelAgainStopsTheStreamFirst) {
    Rig rig;
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    ASSERT_NE(rig.camera.requestFrame(1000), nullptr);
    // The capture thread must not be left running on the model this replaces.
    EXPECT_EQ(rig.camera.openPostHandle(), VelmoraSuccess);
    auto calls = rig.log->snapshot();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "sensor.stop"), 1);
    EXPECT_EQ(rig.camera.getCameraInfo().device_type, HQVGA);
}

TEST(CameraLifecycle, DestroyingAStreamingCameraJoinsItsThread) {
    auto rig = std::make_unique<Rig>();
    ASSERT_EQ(rig->camera.start(FrameType::DEPTH), VelmoraSuccess);
    ASSERT_NE(rig->camera.requestFrame(1000), nullptr);
    rig.reset();  // would terminate the process with a joinable thread
    SUCCEED();
}

TEST(CameraControls, RoutingOfCameraLevelControls) {
    Rig rig;
    int v = -5;
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::AUTO_FRAME_RATE, 5), VelmoraSuccess);
    EXPECT_EQ(rig.camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &v), VelmoraSuccess);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::AUTO_FRAME_RATE, 0), VelmoraSuccess);
    EXPECT_EQ(rig.camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &v), VelmoraSuccess);
    EXPECT_EQ(v, 0);

    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 3), VelmoraSuccess);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME, 2), VelmoraSuccess);
    EXPECT_EQ(CameraTestAccess::skipFrame(rig.camera), 2);
    // Reading SKIP_FRAME asks the model, not the camera's member.
    EXPECT_EQ(rig.camera.getControl(CameraCtrl::SKIP_FRAME, &v), VelmoraSuccess);
    EXPECT_EQ(v, 4000);
    EXPECT_EQ(rig.log->snapshot().back(), "device.getControl(7)");

    for (CameraCtrl forwarded : {CameraCtrl::RANGE, CameraCtrl::EXPOSURE, CameraCtrl::MODE, CameraCtrl(77)}) {
        rig.device->setResult = 4;
        EXPECT_EQ(rig.camera.setControl(forwarded, 9), VelmoraNotImplemented);
        EXPECT_EQ(rig.log->snapshot().back(), "device.setControl(" + std::to_string(int(forwarded)) + ",9)");
    }
    const char* untouched = "keep";
    EXPECT_EQ(rig.camera.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &untouched), VelmoraSuccess);
    EXPECT_STREQ(untouched, "keep");
}

TEST(CameraControls, SkipSettingsOutsideTheRuleAreRefused) {
    Rig rig;
    ASSERT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 4), VelmoraSuccess);
    ASSERT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME, 2), VelmoraSuccess);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 0), VelmoraInvalidParameter);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 256), VelmoraInvalidParameter);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 1), VelmoraInvalidParameter);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME, -1), VelmoraInvalidParameter);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME, 5), VelmoraInvalidParameter);
    EXPECT_EQ(CameraTestAccess::skipFrameLoop(rig.camera), 4);
    EXPECT_EQ(CameraTestAccess::skipFrame(rig.camera), 2);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 255), VelmoraSuccess);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME, 255), VelmoraSuccess);
}

TEST(CameraControls, FrameRateCanOnlyBeLowered) {
    Rig rig;
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::FRAME_RATE, 0), VelmoraInvalidParameter);
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::FRAME_RATE, 31), VelmoraInvalidParameter);
    EXPECT_EQ(rig.device->frameRate.load(), 30);
    rig.device->setResult = 4;
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::FRAME_RATE, 30), VelmoraNotImplemented);
    rig.device->setResult = 0;
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::FRAME_RATE, 12), VelmoraSuccess);
    EXPECT_EQ(rig.device->frameRate.load(), 12);
    // A model that cannot report its rate passes its error through.
    rig.device->getResult = VelmoraNotImplemented;
    EXPECT_EQ(rig.camera.setControl(CameraCtrl::FRAME_RATE, 5), VelmoraNotImplemented);
}

TEST(CameraControls, AdjustFrameRateFollowsTheMeasuredRate) {
    struct Case { float measured; int expectedRate; };
    for (Case c : {Case{24.7f, 24}, Case{27.0f, 30}, Case{34.0f, 30}, Case{0.0f, 1}, Case{INFINITY, 1}}) {
        Rig rig;
        CameraTestAccess::setFps(rig.camera, c.measured);
        rig.camera.adjustFrameRate();
        EXPECT_EQ(rig.device->frameRate.load(), c.expectedRate) << c.measured;
    }
}

TEST(CaptureThread, WallClockStepsNeitherSkewNorThrottleTheFrameRate) {
    for (int64_t step : {-1000000000ll, 3600000000000ll}) {
        SteppingClock clock;
        ScopedSystemOverride seam(clock);
        Rig rig;
        // 30 frames per second on the monotonic clock.
        rig.sensor->beforeDelivery = [&clock] { clock.monotonic.fetch_add(33333333); };
        rig.sensor->allowFrames(0);
        ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
        auto deliver = [&](int frames) {
            const int target = rig.sensor->delivered.load() + frames;
            rig.sensor->allowFrames(frames);
            for (int i = 0; i < 5000 && rig.sensor->delivered.load() < target; ++i) std::this_thread::sleep_for(1ms);
            // The pass that delivered the last one has ended once the next read began.
            rig.waitForReads(rig.sensor->reads.load() + 1);
        };
        deliver(60);
        clock.wallOffset.fetch_add(step);
        deliver(1);
        EXPECT_NEAR(CameraTestAccess::fps(rig.camera), 30.0f, 1.5f) << "wall clock stepped by " << step << " ns";
        // Over three seconds more, so the periodic adjustment runs.
        deliver(100);
        rig.camera.stop();
        EXPECT_EQ(rig.device->frameRate.load(), 30) << "wall clock stepped by " << step << " ns";
    }
}

TEST(CaptureThread, FrameRateUpdateCountStopsAtItsMaximum) {
    Rig rig;
    CameraTestAccess::setFpsUpdates(rig.camera, INT32_MAX);
    CameraTestAccess::updateFps(rig.camera);
    EXPECT_EQ(CameraTestAccess::fpsUpdates(rig.camera), INT32_MAX);
    // Still the weighted average, not a first interval taken unchanged.
    EXPECT_FLOAT_EQ(CameraTestAccess::smoothing(rig.camera), 1.0f / 30.0f);
}

TEST(CaptureThread, SkipRuleExamples) {
    struct Case { int loop, skip; std::string pattern; };
    for (Case c : {Case{1, 0, "1111"}, Case{1, 1, "0000"}, Case{3, 1, "110110"}, Case{4, 2, "10101010"},
                   Case{5, 2, "1011010110"}}) {
        Rig rig;
        ASSERT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, c.loop), VelmoraSuccess);
        ASSERT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME, c.skip), VelmoraSuccess);
        CameraInfo cacheInfo = rig.camera.getCameraInfo();
        cacheInfo.height *= 4;
        auto pool = FramePool::create(FrameType::DEPTH, cacheInfo, {240, 720}, {240, 180});
        ASSERT_TRUE(pool);
        CameraTestAccess::setType(rig.camera, FrameType::DEPTH);
        auto* cache = static_cast<uint8_t*>(pool->cacheFrame->getData(FrameType::CACHE));
        std::string seen;
        for (size_t i = 0; i < c.pattern.size(); ++i) {
            LinkNode* node = pool->queue->popFree();
            int rc = CameraTestAccess::analysis(rig.camera, cache, node);
            seen += rc == 0 ? '1' : (rc == VelmoraSkipFrame ? '0' : '?');
            pool->queue->putBack(node);
        }
        EXPECT_EQ(seen, c.pattern) << "loop " << c.loop << " skip " << c.skip;
    }
}

TEST(CaptureThread, FailedReadsAndFailedProcessingDeliverNothing) {
    Rig rig;
    rig.device->phaseResult = false;
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    EXPECT_EQ(rig.camera.requestFrame(100), nullptr);
    EXPECT_GT(rig.sensor->delivered.load(), 0);
    rig.device->phaseResult = true;
    EXPECT_NE(rig.camera.requestFrame(1000), nullptr);
    rig.camera.stop();
}

TEST(CaptureThread, SmoothingTakesFirstIntervalThenWeights) {
    SteppingClock clock;
    ScopedSystemOverride seam(clock);
    Rig rig;
    auto frameAfter = [&](int64_t ms) {
        CameraTestAccess::setLastFrameTime(rig.camera, clock.monotonic.load());
        clock.monotonic.fetch_add(ms * 1000000);
        CameraTestAccess::updateFps(rig.camera);
        return CameraTestAccess::frameInterval(rig.camera);
    };
    EXPECT_FLOAT_EQ(frameAfter(100), 100.0f);
    EXPECT_FLOAT_EQ(CameraTestAccess::smoothing(rig.camera), 0.1f);
    EXPECT_FLOAT_EQ(CameraTestAccess::fps(rig.camera), 10.0f);
    EXPECT_FLOAT_EQ(frameAfter(200), 110.0f);
    EXPECT_FLOAT_EQ(CameraTestAccess::smoothing(rig.camera), 1.0f / 30.0f);
    EXPECT_NEAR(frameAfter(400), 110.0f * 29.0f / 30.0f + 400.0f / 30.0f, 1e-3f);
}

TEST(FrameDelivery, SlowConsumerFindsTheThreeNewestOldestFirst) {
    Rig rig;
    rig.sensor->allowFrames(10);
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    // Ten frames delivered, and the thread has gone on to ask for an eleventh.
    for (int i = 0; i < 2000 && !(rig.sensor->delivered.load() == 10 && rig.sensor->reads.load() > 11); ++i)
        std::this_thread::sleep_for(1ms);
    // While starved the thread holds the oldest ready frame during each read attempt; a
    // read that brings nothing hands it back, so after stop all three are there.
    rig.camera.stop();
    std::vector<int> ids;
    while (VelmoraFrameBuffer* frame = rig.camera.requestFrame(0)) ids.push_back(Rig::id(frame));
    EXPECT_EQ(ids, (std::vector<int>{8, 9, 10}));
}

TEST(FrameDelivery, HoldingAllFramesPausesCapture) {
    Rig rig;
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    VelmoraFrameBuffer* held[3];
    for (auto& f : held) ASSERT_NE(f = rig.camera.requestFrame(1000), nullptr);
    const int delivered = rig.sensor->delivered.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.sensor->delivered.load(), delivered);
    EXPECT_EQ(rig.camera.releaseFrame(held[0]), VelmoraSuccess);
    for (int i = 0; i < 2000 && rig.sensor->delivered.load() == delivered; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_GT(rig.sensor->delivered.load(), delivered);
    // Frames still held are never overwritten.
    const int first = Rig::id(held[1]);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Rig::id(held[1]), first);
    rig.camera.stop();
}

TEST(FrameDelivery, ConsumersReceiveDistinctFrames) {
    Rig rig;
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    std::mutex mutex;
    std::multiset<int> ids;
    std::vector<std::thread> consumers;
    for (int t = 0; t < 3; ++t)
        consumers.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                VelmoraFrameBuffer* frame = rig.camera.requestFrame(1000);
                if (!frame) continue;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    ids.insert(Rig::id(frame));
                }
                rig.camera.releaseFrame(frame);
            }
        });
    for (auto& c : consumers) c.join();
    rig.camera.stop();
    EXPECT_GT(ids.size(), 100u);
    for (int id : ids) EXPECT_EQ(ids.count(id), 1u) << "frame " << id << " delivered twice";
}

TEST(FrameDelivery, FramesStayRequestableAfterStop) {
    Rig rig;
    rig.sensor->allowFrames(2);
    ASSERT_EQ(rig.camera.start(FrameType::RAW), VelmoraSuccess);
    for (int i = 0; i < 2000 && rig.sensor->reads.load() < 4; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(rig.camera.stop(), VelmoraSuccess);
    VelmoraFrameBuffer* frame = rig.camera.requestFrame(0);
    ASSERT_NE(frame, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(frame->getFormat(FrameType::RAW, &format), 0);
    EXPECT_EQ(format.timestamp, 1000u);
    EXPECT_EQ(static_cast<int16_t*>(frame->getData(FrameType::RAW))[240 * 720 - 1], 1);
    EXPECT_NE(rig.camera.requestFrame(0), nullptr);
    EXPECT_EQ(rig.camera.requestFrame(0), nullptr);
}

TEST(FrameDelivery, RequestTimeouts) {
    Rig rig;
    rig.sensor->allowFrames(0);
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.camera.requestFrame(0), nullptr);
    EXPECT_EQ(rig.camera.requestFrame(200), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 195ms);

    std::thread producer([&] {
        std::this_thread::sleep_for(50ms);
        rig.sensor->allowFrames(1);
    });
    VelmoraFrameBuffer* frame = rig.camera.requestFrame(-1);
    producer.join();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(Rig::id(frame), 1);
    rig.camera.stop();
}

TEST(FrameDelivery, StopWakesBlockedConsumers) {
    Rig rig;
    rig.sensor->allowFrames(0);
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    std::vector<std::thread> waiters;
    std::atomic<int> nulls{0};
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            if (!rig.camera.requestFrame(-1)) nulls.fetch_add(1);
        });
    std::this_thread::sleep_for(50ms);
    rig.camera.stop();
    for (auto& w : waiters) w.join();
    EXPECT_EQ(nulls.load(), 2);
}

TEST(FrameDelivery, ReleaseAcceptsOnlyHeldFrames) {
    Rig rig;
    // The first frame is held before the others exist, so none of them is
    // reclaimed behind the consumer's back: one held, two ready, none free.
    rig.sensor->allowFrames(1);
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    VelmoraFrameBuffer* frame = rig.camera.requestFrame(1000);
    ASSERT_NE(frame, nullptr);
    rig.sensor->allowFrames(2);
    for (int i = 0; i < 2000 && rig.sensor->delivered.load() < 3; ++i) std::this_thread::sleep_for(1ms);
    // A read begun after the third frame's means that frame has been queued.
    rig.waitForReads(rig.sensor->reads.load() + 1);
    rig.camera.stop();

    FramePool* pool = CameraTestAccess::pool(rig.camera);
    ASSERT_NE(pool->queue->readyHead, nullptr);
    ASSERT_NE(pool->queue->readyHead->next, nullptr);
    VelmoraFrameBuffer* ready = pool->queue->readyHead->frame.get();
    DepthData foreign(240, 180);
    EXPECT_EQ(rig.camera.releaseFrame(nullptr), VelmoraUnkownError);
    EXPECT_EQ(rig.camera.releaseFrame(&foreign), VelmoraUnkownError);
    EXPECT_EQ(rig.camera.releaseFrame(ready), VelmoraUnkownError);
    EXPECT_EQ(rig.camera.releaseFrame(frame), VelmoraSuccess);
    EXPECT_EQ(rig.camera.releaseFrame(frame), VelmoraUnkownError);

    std::set<LinkNode*> freeNodes;
    int freeCount = 0;
    for (LinkNode* n = pool->queue->freeHead; n && freeCount < 10; n = n->next, ++freeCount) freeNodes.insert(n);
    EXPECT_EQ(size_t(freeCount), freeNodes.size());
    EXPECT_EQ(freeCount, 1);
}

TEST(FrameDelivery, SkipSettingsThinTheStreamAndTheRate) {
    Rig rig;
    ASSERT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 3), VelmoraSuccess);
    ASSERT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME, 1), VelmoraSuccess);
    rig.sensor->allowFrames(0);
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    std::vector<int> ids;
    auto take = [&](short timeout) {
        VelmoraFrameBuffer* frame = rig.camera.requestFrame(timeout);
        if (frame) {
            ids.push_back(Rig::id(frame));
            rig.camera.releaseFrame(frame);
        }
        return frame != nullptr;
    };
    // One sensor frame at a time, so the consumer never falls behind.
    for (int i = 0; i < 9; ++i) {
        rig.sensor->allowFrames(1);
        take(150);
    }
    while (take(300)) {
    }
    rig.camera.stop();
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 4, 5, 7, 8}));
}

TEST(FrameDelivery, FramesArriveInCaptureOrderWhateverTheConsumerDoes) {
    Rig rig;
    ASSERT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 2), VelmoraSuccess);
    ASSERT_EQ(rig.camera.setControl(CameraCtrl::SKIP_FRAME, 1), VelmoraSuccess);
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    std::vector<int> ids;
    unsigned seed = 7;
    for (int i = 0; i < 300; ++i) {
        VelmoraFrameBuffer* frame = rig.camera.requestFrame(1000);
        if (!frame) break;
        ids.push_back(Rig::id(frame));
        seed = seed * 1103515245u + 12345u;
        if ((seed >> 16) % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds((seed >> 8) % 500));
        rig.camera.releaseFrame(frame);
    }
    rig.camera.stop();
    ASSERT_EQ(ids.size(), 300u);
    for (size_t i = 1; i < ids.size(); ++i) ASSERT_LT(ids[i - 1], ids[i]) << "at " << i;
}

TEST(FrameDelivery, AConsumerHoldingTwoFramesStillGetsTheThird) {
    Rig rig;
    ASSERT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    VelmoraFrameBuffer* a = rig.camera.requestFrame(1000);
    VelmoraFrameBuffer* b = rig.camera.requestFrame(1000);
    ASSERT_TRUE(a && b);
    // One frame cycles; the capture thread must not keep taking it back from a waiting consumer.
    for (int i = 0; i < 50; ++i) {
        VelmoraFrameBuffer* c = rig.camera.requestFrame(2000);
        ASSERT_NE(c, nullptr) << "pass " << i;
        rig.camera.releaseFrame(c);
    }
    rig.camera.stop();
}

TEST(FramePoolSizing, GeometriesThatOverflowOrExceedTheLimitFailStart) {
    {
        Rig rig(70000, 70000);
        rig.sensor->frameCount = 1;
        rig.device->raw = {70000, 70000};
        rig.device->depth = {70000, 70000};
        EXPECT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraUnkownError);
    }
    {
        Rig rig(16384, 16384);
        rig.sensor->frameCount = 1;
        rig.device->raw = {16384, 16384};
        rig.device->depth = {64, 64};
        EXPECT_EQ(rig.camera.start(FrameType::RAW), VelmoraUnkownError);
        EXPECT_EQ(CameraTestAccess::pool(rig.camera), nullptr);
    }
}

TEST(FramePoolSizing, ProductsThatWrapIn64BitsFailStart) {
    {
        // Sensor size whose byte count wraps to about 268 MB: no model reads such frames.
        Rig rig(4294903841u, 2147515376u);
        rig.sensor->frameCount = 1;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraInvalidParameter);
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(CameraTestAccess::pool(rig.camera), nullptr);
    }
    {
        Rig rig;
        rig.device->depth = {2147451396, 1431677267};
        EXPECT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraUnkownError);
        EXPECT_EQ(CameraTestAccess::pool(rig.camera), nullptr);
    }
}

TEST(FramePoolSizing, ModelReadingBeyondTheCacheFailsStart) {
    Rig rig;
    rig.device->raw = {240, 721};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rig.camera.start(FrameType::RAW), VelmoraInvalidParameter);
    EXPECT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraInvalidParameter);
    ::testing::internal::GetCapturedStderr();
    rig.device->raw = {240, 720};
    EXPECT_EQ(rig.camera.start(FrameType::DEPTH), VelmoraSuccess);
    rig.camera.stop();
}

}  // namespace
}  // namespace Velmora
