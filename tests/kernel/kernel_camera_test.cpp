// The whole camera over the virtual camera module, with only the platform
// model overridden (the device-tree model file does not exist on the
// emulated PC), and the faults of a camera that stops delivering, fails its
// dequeues, or sits beside other media devices.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "KernelSupport.h"
#include "VelmoraTOFCSISensor.h"
#include "VelmoraTOFCamera.h"
#include "support/TakeFrame.h"

using namespace Velmora;
using namespace KernelCheck;
using VelmoraTest::takeFrame;

namespace {

constexpr int kPixels = 240 * 180;
constexpr double kTargetMm = 1500;

class WholeCamera : public ::testing::TestWithParam<int> {};

// The whole driver on a camera of the module: the board model of its family behind the seam.
struct DriverOnModule {
    explicit DriverOnModule(int family, int fromInstance = 0)
        : camera(moduleCamera(family, fromInstance)), seam(family) {}
    // Opens the camera; false when the module has no such camera or the open fails.
    bool open() { return camera.instance >= 0 && cam.open(Connection::CSI, camera.videoIndex) == VelmoraSuccess; }

    KernelCheck::ModuleCamera camera;
    BoardModelSeam seam;
    ScopedSystemOverride installed{seam};
    VelmoraTOFCamera cam;
};

// Pixels of a depth plane further than `toleranceMm` from the target.
int depthMisses(const float* depth, double toleranceMm) {
    int misses = 0;
    for (int i = 0; i < kPixels; ++i)
        if (!(std::fabs(depth[i] - kTargetMm) <= toleranceMm)) ++misses;
    return misses;
}

}  // namespace

TEST_P(WholeCamera, DepthAndRawOfTheKnownTargetAtBothRanges) {
    const int family = GetParam();
    DriverOnModule driver(family);
    ASSERT_TRUE(driver.open()) << "family " << family;
    VelmoraTOFCamera& cam = driver.cam;
    EXPECT_EQ(cam.getCameraInfo().device_type, HQVGA);

    for (int range : {4000, 2000}) {
        SCOPED_TRACE("range " + std::to_string(range));
        ASSERT_EQ(cam.setControl(CameraCtrl::RANGE, range), VelmoraSuccess);
        ASSERT_EQ(cam.start(FrameType::DEPTH), VelmoraSuccess);
        for (int i = 0; i < 3; ++i) {
            VelmoraFrameBuffer* frame = cam.requestFrame(3000);
            ASSERT_NE(frame, nullptr);
            const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
            EXPECT_EQ(depthMisses(depth, 5.0), 0) << "centre pixel " << depth[kPixels / 2 + 120] << " mm";
            if (i == 2) std::printf("    family %d, range %d: depth %.1f mm\n", family, range, depth[kPixels / 2 + 120]);
            cam.releaseFrame(frame);
        }
        ASSERT_EQ(cam.stop(), VelmoraSuccess);
    }

    // Raw frames carry the four phase planes, decoded to signed counts on a 16 x scale.
    ASSERT_EQ(cam.setControl(CameraCtrl::RANGE, 4000), VelmoraSuccess);
    ASSERT_EQ(cam.start(FrameType::RAW), VelmoraSuccess);
    VelmoraFrameBuffer* frame = cam.requestFrame(3000);
    ASSERT_NE(frame, nullptr);
    const short* raw = static_cast<const short*>(frame->getData(FrameType::RAW));
    const int far[4] = {-283, 283, 283, -283};
    int wrong = 0;
    // Line r of phase k is raw line 4r + k.
    for (int line = 0; line < 4 * 180; ++line)
        for (int x = 0; x < 240; ++x)
            if (raw[line * 240 + x] != 16 * far[line % 4]) ++wrong;
    EXPECT_EQ(wrong, 0);
    cam.releaseFrame(frame);
    EXPECT_EQ(cam.close(), VelmoraSuccess);
}

INSTANTIATE_TEST_SUITE_P(Families, WholeCamera, ::testing::Values(2, 3, 5, 6, 7));

// The module's dequeues fail (EIO): nothing is delivered, the capture thread
// backs off, and streaming resumes when dequeues work again.
TEST(ModuleCameraFaults, FailedDequeuesDeliverNothingAndStreamingResumes) {
    DriverOnModule driver(5);
    ASSERT_TRUE(driver.open());
    VelmoraTOFCamera& cam = driver.cam;
    ASSERT_EQ(cam.start(FrameType::RAW), VelmoraSuccess);
    const uint64_t lastGood = takeFrame(cam, FrameType::RAW);
    ASSERT_NE(lastGood, 0u);

    ASSERT_TRUE(setModuleParameter("fail_dqbuf", "5"));  // EIO
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (takeFrame(cam, FrameType::RAW, 0) != 0) {
    }  // frames read before the failures
    const int failuresBefore = moduleParameter("dqbuf_failures");
    EXPECT_EQ(cam.requestFrame(300), nullptr) << "a failed dequeue was delivered as a frame";
    const int failures = moduleParameter("dqbuf_failures") - failuresBefore;
    std::printf("    %d failed dequeues in 300 ms\n", failures);
    EXPECT_GE(failures, 1);
    EXPECT_LE(failures, 20) << "failed dequeues are retried without pause";

    ASSERT_TRUE(setModuleParameter("fail_dqbuf", "0"));
    EXPECT_GT(takeFrame(cam, FrameType::RAW), lastGood) << "streaming did not resume";
    EXPECT_EQ(cam.close(), VelmoraSuccess);
}

// The sensor stops delivering (cable, driver hang): stop still returns.
TEST(ModuleCameraFaults, StopReturnsWhileTheModuleWithholdsFrames) {
    DriverOnModule driver(6);
    ASSERT_TRUE(driver.open());
    VelmoraTOFCamera& cam = driver.cam;
    ASSERT_EQ(cam.start(FrameType::DEPTH), VelmoraSuccess);
    ASSERT_NE(takeFrame(cam, FrameType::DEPTH), 0u);

    ASSERT_TRUE(setModuleParameter("withhold", "1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto began = std::chrono::steady_clock::now();
    auto stopped = std::async(std::launch::async, [&] { return cam.stop(); });
    const bool returned = stopped.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
    ASSERT_TRUE(setModuleParameter("withhold", "0"));
    ASSERT_TRUE(returned) << "stop hangs while the module delivers nothing";
    EXPECT_EQ(stopped.get(), VelmoraSuccess);
    std::printf("    stop returned after %lld ms\n", static_cast<long long>(tookMs));
    EXPECT_LT(tookMs, 1000);
    EXPECT_EQ(cam.close(), VelmoraSuccess);
}

// The receiver puts the queue in its permanent error state (every dequeue
// fails with EIO): the transport restarts streaming and frames come again.
TEST(ModuleCameraFaults, ADeadQueueIsRestartedAndFramesResume) {
    DriverOnModule driver(7);
    ASSERT_TRUE(driver.open());
    VelmoraTOFCamera& cam = driver.cam;
    ASSERT_EQ(cam.start(FrameType::RAW), VelmoraSuccess);
    const uint64_t before = takeFrame(cam, FrameType::RAW);
    ASSERT_NE(before, 0u);
    ASSERT_TRUE(setModuleParameter("queue_error", "1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(moduleParameter("queue_error"), 0) << "the module never failed the queue";
    while (takeFrame(cam, FrameType::RAW, 0) != 0) {
    }  // frames read before the queue failed
    EXPECT_GT(takeFrame(cam, FrameType::RAW, 3000), before) << "streaming never came back from the dead queue";
    EXPECT_EQ(cam.close(), VelmoraSuccess);
}

// Other drivers' media devices (an ISP's) sit beside the camera's own: the
// walk over the capture node's device finds the camera's.
TEST(ModuleDiscovery, TheCamerasOwnMediaNodeBesideOtherDrivers) {
    std::vector<std::string> others;
    for (const std::string& entry : listDir("/sys/bus/media/devices"))
        if (readText("/sys/bus/media/devices/" + entry + "/model").empty() ||
            readText("/sys/bus/media/devices/" + entry + "/model") == "velmora-isp")
            others.push_back(entry);
    const KernelCheck::ModuleCamera camera = moduleCamera(5, 5);
    ASSERT_GE(camera.instance, 0);
    std::string own;
    for (const std::string& entry : listDir(camera.deviceDir))
        if (entry.compare(0, 5, "media") == 0) own = entry;
    ASSERT_FALSE(own.empty());
    std::printf("    camera's media node %s; other drivers' %zu\n", own.c_str(), others.size());
    VelmoraTOFCSISensor sensor(1, 5, camera.video.c_str());
    CameraInfo info{};
    EXPECT_EQ(sensor.open(info), 0);
    EXPECT_EQ(std::string(sensor.mediaNodePath()), "/dev/" + own);
    EXPECT_EQ(sensor.close(), 0);
}

// The VGA sensor (powering up in 640 x 480 single frequency): the camera picks
// the VGA model, sets the frame rate through the control chip, and hands the
// sensor's raw frames on.
TEST(WholeCameraVga, RawFramesAtTheFrameRateSetThroughTheChip) {
    DriverOnModule driver(5, 6);
    ASSERT_TRUE(driver.open()) << "no camera with the VGA sensor";
    VelmoraTOFCamera& cam = driver.cam;
    EXPECT_EQ(cam.getCameraInfo().device_type, VGA);
    EXPECT_EQ(cam.getCameraInfo().width, 640u);
    ASSERT_EQ(cam.setControl(CameraCtrl::FRAME_RATE, 10), VelmoraSuccess);
    ASSERT_EQ(cam.start(FrameType::RAW), VelmoraSuccess);

    std::vector<uint64_t> stamps;
    for (int i = 0; i < 4; ++i) {
        VelmoraFrameBuffer* frame = cam.requestFrame(3000);
        ASSERT_NE(frame, nullptr);
        FrameDataFormat format{};
        ASSERT_EQ(frame->getFormat(FrameType::RAW, &format), 0);
        stamps.push_back(format.timestamp);
        const short* raw = static_cast<const short*>(frame->getData(FrameType::RAW));
        int wrong = 0;
        for (uint32_t y = 0; y < 2405; ++y)
            for (uint32_t x = 0; x < 640; ++x)
                if (static_cast<uint16_t>(raw[y * 640 + x]) != vgaWord(x, y)) ++wrong;
        EXPECT_EQ(wrong, 0) << "frame " << i;
        cam.releaseFrame(frame);
    }
    // The camera drops the oldest unrequested frame, never one in between: steps are whole intervals.
    const double step = static_cast<double>(stamps.back() - stamps[1]) / 2.0;
    std::printf("    VGA at 10 fps: frames %.1f ms apart\n", step);
    EXPECT_GE(step, 95.0);
    EXPECT_EQ(cam.close(), VelmoraSuccess);
}
