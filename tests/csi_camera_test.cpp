// A camera opened over CSI on each emulated board, end to end: the HQVGA
// model's depth matches the scene the board's sensor sees, at both ranges.

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>
#include <vector>

#include "BoardSession.h"
#include "VelmoraTOFCamera.h"
#include "support/TakeFrame.h"

using namespace VelmoraTest;
using namespace Velmora;

namespace {

constexpr int kWidth = 240;
constexpr int kHeight = 180;

BoardOptions scenePreset(int model) {
    BoardOptions options = boardPreset(model);
    options.scene.kind = "demo";
    options.scene.noise = 0;
    return options;
}

// The board's split layout hands an even line's last 16 samples over from the odd line below.
int sourceRow(const BoardOptions& options, int x, int y) {
    return options.layout == BufferLayout::Split960 && y % 2 == 0 && x >= 224 ? y + 1 : y;
}

int16_t decode(uint16_t word, int shift) {
    int t = (word >> shift) & 0x7ff;
    if (t >= 1024) t -= 2048;
    return static_cast<int16_t>(16 * t);
}

struct DepthCheck {
    int compared = 0;
    int wrong = 0;
    double worst = 0;
};

// Depth against the scene's true distances, folded into the unambiguous range.
DepthCheck compareDepth(const float* depth, const EmulatedBoard& board, double rangeMm) {
    const VelmoraSim::Scene& scene = board.scene();
    DepthCheck check;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (sourceRow(board.options(), x, y) != y) continue;
            const double amplitude = scene.amplitudeCounts(x, y);
            if (amplitude < 20) continue;
            const double expected = std::fmod(scene.distanceMm(x, y), rangeMm);
            double error = std::fabs(depth[y * kWidth + x] - expected);
            error = std::min(error, rangeMm - error);
            // Samples are whole counts: the phase is known to about one count over the amplitude.
            const double tolerance = 2.0 + rangeMm / (2 * M_PI) * (1.5 / amplitude);
            ++check.compared;
            if (error > tolerance) ++check.wrong;
            check.worst = std::max(check.worst, error);
        }
    }
    return check;
}

VelmoraFrameBuffer* waitFrame(VelmoraTOFCamera& camera) { return camera.requestFrame(5000); }

}  // namespace

class CsiCamera : public ::testing::TestWithParam<int> {};

TEST_P(CsiCamera, DepthMatchesTheSceneAtBothRanges) {
    const int model = GetParam();
    BoardSession session(scenePreset(model));
    EmulatedBoard& board = session.board;
    {
        VelmoraTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
        // Compared with the scene pixel by pixel: the decoding alone.
        ASSERT_EQ(camera.setDepthFilters(DepthFilterSettings::none()), VelmoraSuccess);
        CameraInfo info = camera.getCameraInfo();
        EXPECT_EQ(info.device_type, HQVGA);
        EXPECT_EQ(info.width, 240u);
        EXPECT_EQ(info.height, 180u);
        EXPECT_EQ(info.bit_width, 12u);

        ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
        // The model's 4000 mm reached the sensor as range 4: far, 37.5 MHz.
        EXPECT_GE(board.rangeControlWrites(), 1);
        EXPECT_EQ(board.rangeControl(), 0);
        for (int i = 0; i < 2; ++i) {
            VelmoraFrameBuffer* frame = waitFrame(camera);
            ASSERT_NE(frame, nullptr);
            DepthCheck far = compareDepth(static_cast<float*>(frame->getData(FrameType::DEPTH)), board, 4000);
            EXPECT_GT(far.compared, 30000);
            EXPECT_EQ(far.wrong, 0) << "worst error " << far.worst << " mm";
            EXPECT_EQ(camera.releaseFrame(frame), VelmoraSuccess);
        }
        ASSERT_EQ(camera.stop(), VelmoraSuccess);

        ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), VelmoraSuccess);
        EXPECT_EQ(board.rangeControl(), 1);
        ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
        VelmoraFrameBuffer* frame = waitFrame(camera);
        ASSERT_NE(frame, nullptr);
        DepthCheck nearRange = compareDepth(static_cast<float*>(frame->getData(FrameType::DEPTH)), board, 2000);
        EXPECT_GT(nearRange.compared, 30000);
        EXPECT_EQ(nearRange.wrong, 0) << "worst error " << nearRange.worst << " mm";
        camera.releaseFrame(frame);
        ASSERT_EQ(camera.stop(), VelmoraSuccess);
        EXPECT_EQ(board.liveMappings(), 0);
        EXPECT_EQ(camera.close(), VelmoraSuccess);
        expectNothingHeld(board);
    }
    expectNothingHeld(board);
}

TEST_P(CsiCamera, RawFramesCarryTheDeliveredPhasePlanes) {
    const int model = GetParam();
    BoardSession session(scenePreset(model));
    EmulatedBoard& board = session.board;
    const BoardOptions& options = board.options();
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), VelmoraSuccess);
    VelmoraFrameBuffer* frame = waitFrame(camera);
    ASSERT_NE(frame, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(frame->getFormat(FrameType::RAW, &format), 0);
    EXPECT_EQ(format.width, 240u);
    EXPECT_EQ(format.height, 720u);

    // The timestamp is the frame's last sub-frame, in ms: it tells which frame this is.
    const double us = static_cast<double>(format.timestamp) * 1000.0 - static_cast<double>(options.firstTimestampUs) -
                      3.0 * static_cast<double>(options.subFrameIntervalUs);
    const uint64_t index = static_cast<uint64_t>(std::llround(us / static_cast<double>(options.frameIntervalUs)));
    const int16_t* raw = static_cast<const int16_t*>(frame->getData(FrameType::RAW));
    int wrong = 0;
    for (int k = 0; k < 4; ++k) {
        const std::vector<uint16_t> truth = board.subFrameWords(4 * index + static_cast<uint64_t>(k));
        for (int r = 0; r < kHeight; ++r) {
            for (int c = 0; c < kWidth; ++c) {
                const uint16_t word = static_cast<uint16_t>(truth[sourceRow(options, c, r) * kWidth + c]
                                                            << options.sampleShift);
                if (raw[(4 * r + k) * kWidth + c] != decode(word, options.sampleShift)) ++wrong;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "frame " << index;
    camera.releaseFrame(frame);
    EXPECT_EQ(camera.stop(), VelmoraSuccess);
    EXPECT_EQ(camera.close(), VelmoraSuccess);
    expectNothingHeld(board);
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiCamera, ::testing::Values(2, 3, 5, 6, 7));

TEST(CsiCameraControls, RangeAndExposureReachTheSensorsSubdevice) {
    BoardSession session(scenePreset(6));
    EmulatedBoard& board = session.board;
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);

    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), VelmoraSuccess);
    EXPECT_EQ(board.rangeControl(), 1);
    EXPECT_EQ(board.modulationHz(), VelmoraSim::kNearModulationHz);
    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 4000), VelmoraSuccess);
    EXPECT_EQ(board.rangeControl(), 0);
    int value = 0;
    EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &value), VelmoraSuccess);
    EXPECT_EQ(value, 4000);

    // Exposure is read from the sensor's subdevice (the receiver has no such control).
    EXPECT_EQ(camera.getControl(CameraCtrl::EXPOSURE, &value), VelmoraSuccess);
    EXPECT_EQ(value, board.exposure());
    EXPECT_EQ(camera.getControl(CameraCtrl::FMT_WIDTH, &value), VelmoraSuccess);
    EXPECT_EQ(value, 240);
    EXPECT_EQ(camera.close(), VelmoraSuccess);
    expectNothingHeld(board);
}

TEST(CsiCameraControls, JetsonControlsGoToTheVideoNode) {
    BoardSession session(scenePreset(2));
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), VelmoraSuccess);
    EXPECT_EQ(session.board.rangeControl(), 1);
    int value = 0;
    EXPECT_EQ(camera.getControl(CameraCtrl::EXPOSURE, &value), VelmoraSuccess);
    EXPECT_EQ(value, session.board.exposure());
    camera.close();
}

TEST(CsiCameraControls, ControlsWhileStreaming) {
    BoardSession session(scenePreset(5));
    EmulatedBoard& board = session.board;
    {
        VelmoraTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
        const int writesAtStart = board.rangeControlWrites();
        for (int i = 0; i < 12; ++i) {
            ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, i % 2 ? 2000 : 4000), VelmoraSuccess);
            EXPECT_EQ(board.rangeControl(), i % 2);
            int value = 0;
            EXPECT_EQ(camera.getControl(CameraCtrl::EXPOSURE, &value), VelmoraSuccess);
            VelmoraFrameBuffer* frame = waitFrame(camera);
            ASSERT_NE(frame, nullptr);
            camera.releaseFrame(frame);
        }
        EXPECT_EQ(board.rangeControlWrites(), writesAtStart + 12);
        EXPECT_EQ(camera.stop(), VelmoraSuccess);
        EXPECT_EQ(camera.close(), VelmoraSuccess);
    }
    expectNothingHeld(board);
}

TEST(CsiCameraLifecycle, ReopeningLeaksNothing) {
    BoardSession session(scenePreset(7));
    EmulatedBoard& board = session.board;
    {
        VelmoraTOFCamera camera;
        ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
        const int held = board.openDescriptors();
        ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
        VelmoraFrameBuffer* frame = waitFrame(camera);
        ASSERT_NE(frame, nullptr);
        camera.releaseFrame(frame);
        ASSERT_EQ(camera.stop(), VelmoraSuccess);
        // Open again without close: the first sensor is replaced and releases what it held.
        ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
        EXPECT_EQ(board.openDescriptors(), held);
        EXPECT_EQ(board.liveMappings(), 0);
        ASSERT_EQ(camera.start(FrameType::RAW), VelmoraSuccess);
        frame = waitFrame(camera);
        ASSERT_NE(frame, nullptr);
        camera.releaseFrame(frame);
        // close stops the capture thread and the stream without an explicit stop.
        EXPECT_EQ(camera.close(), VelmoraSuccess);
        expectNothingHeld(board);
        ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
    }
    expectNothingHeld(board);
}

TEST(CsiCameraLifecycle, FailedOpensReportAndRelease) {
    BoardSession session(scenePreset(5));
    EmulatedBoard& board = session.board;
    {
        VelmoraTOFCamera camera;
        board.injectFault({Call::Ioctl, VIDIOC_QUERYCAP, "", EIO});
        testing::internal::CaptureStderr();
        EXPECT_EQ(camera.open(Connection::CSI, 0), VelmoraSystemError);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "VIDIOC_QUERYCAP: error - 5\n");
        EXPECT_EQ(camera.open(Connection::CSI, 4), VelmoraSystemError);  // no /dev/video4
        EXPECT_EQ(camera.getCameraInfo().index, 4u);
        ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
    }
    expectNothingHeld(board);
}

// A dequeue failing for good (the camera unplugged, its driver unbound) delivers
// nothing, costs few calls, and streaming resumes once reads succeed again.
TEST(CsiCameraFaults, FailedReadsDeliverNothingBackOffAndRecover) {
    BoardSession session(scenePreset(5));
    EmulatedBoard& board = session.board;
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), VelmoraSuccess);
    const uint64_t lastGood = takeFrame(camera, FrameType::RAW);
    ASSERT_NE(lastGood, 0u);

    // EIO: a dead queue, which the transport also restarts on the way.
    board.injectFault({Call::Ioctl, VIDIOC_DQBUF, "", EIO, 0, -1});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (takeFrame(camera, FrameType::RAW, 0) != 0) {
    }  // frames read before the fault
    auto dequeues = [&] {
        size_t count = 0;
        for (const CallRecord& call : board.calls())
            if (call.call == Call::Ioctl && call.request == VIDIOC_DQBUF) ++count;
        return count;
    };
    const size_t dequeuesBefore = dequeues();
    EXPECT_EQ(camera.requestFrame(300), nullptr) << "a failed read was delivered as a frame";
    // Doubling waits up to 100 ms: about ten reads in 300 ms.
    EXPECT_LT(dequeues() - dequeuesBefore, 20u) << "failed reads are retried without pause";

    board.clearFaults();
    EXPECT_GT(takeFrame(camera, FrameType::RAW), lastGood) << "streaming did not resume";
    EXPECT_EQ(camera.close(), VelmoraSuccess);
    expectNothingHeld(board);
}

// A sensor that stops delivering (cable, driver hang) must not hold stop for good.
TEST(CsiCameraFaults, StopReturnsWhileTheSensorWithholdsFrames) {
    BoardSession session(scenePreset(6));
    EmulatedBoard& board = session.board;
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::CSI, 0), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    ASSERT_NE(takeFrame(camera, FrameType::DEPTH), 0u);

    board.withholdFrames(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto began = std::chrono::steady_clock::now();
    auto stopped = std::async(std::launch::async, [&] { return camera.stop(); });
    const bool returned = stopped.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    const auto took = std::chrono::steady_clock::now() - began;
    board.withholdFrames(false);  // lets a hung stop finish so the test can end
    EXPECT_TRUE(returned) << "stop hangs while the sensor delivers nothing";
    EXPECT_EQ(stopped.get(), VelmoraSuccess);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1000);
    EXPECT_EQ(camera.close(), VelmoraSuccess);
    expectNothingHeld(board);
}
