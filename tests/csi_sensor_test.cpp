// CSI capture on emulated boards: streaming, frame assembly, buffers, controls, release.

#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <cstdint>
#include <vector>

#include "BoardSession.h"
#include "CsiDefinitions.h"
#include "VelmoraTOFCSISensor.h"
#include "support/GuardedBytes.h"

using namespace VelmoraTest;
using Velmora::CameraCtrl;
using Velmora::CameraInfo;
using Velmora::Connection;
using Velmora::VelmoraTOFCSISensor;

namespace {

constexpr size_t kSubFrameBytes = 240 * 180 * 2;

struct Rig {
    explicit Rig(const BoardOptions& options, int frames = 1)
        : session(options), sensor(frames, options.platformModel, "/dev/video0") {
        info.connect = Connection::CSI;
        openResult = sensor.open(info);
    }
    explicit Rig(int model, int frames = 1) : Rig(patternPreset(model), frames) {}

    EmulatedBoard& board() { return session.board; }

    BoardSession session;
    VelmoraTOFCSISensor sensor;
    CameraInfo info{};
    int openResult = -99;
};

// A frame buffer of `subFrames` sub-frames with guard bytes behind it.
struct FrameBuffer : GuardedBytes {
    explicit FrameBuffer(int subFrames) : GuardedBytes(kSubFrameBytes * static_cast<size_t>(subFrames), 256) {}
    uint16_t word(int subFrame, size_t sample) const {
        const size_t at = kSubFrameBytes * static_cast<size_t>(subFrame) + 2 * sample;
        return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
    }
};

// Every sample of the sub-frame holds the board's pattern for `sequence`.
::testing::AssertionResult holdsSubFrame(const FrameBuffer& frame, int subFrame, const BoardOptions& options,
                                         uint64_t sequence) {
    const uint16_t expected = static_cast<uint16_t>(EmulatedBoard::patternWord(sequence) << options.sampleShift);
    for (size_t i = 0; i < 240 * 180; ++i) {
        if (frame.word(subFrame, i) != expected)
            return ::testing::AssertionFailure() << "sub-frame " << subFrame << " sample " << i << " is "
                                                 << frame.word(subFrame, i) << ", expected " << expected
                                                 << " (sequence " << sequence << ")";
    }
    return ::testing::AssertionSuccess();
}

timeval at(long seconds, long micros) {
    timeval t{};
    t.tv_sec = seconds;
    t.tv_usec = micros;
    return t;
}

}  // namespace

class CsiStreaming : public ::testing::TestWithParam<int> {};

TEST_P(CsiStreaming, EachLayoutBecomesFullSubFrames) {
    Rig rig(GetParam(), 4);
    ASSERT_EQ(rig.openResult, 0);
    ASSERT_EQ(rig.sensor.start(), 0);
    EXPECT_TRUE(rig.board().streaming());
    EXPECT_EQ(rig.sensor.mappedBufferCount(), 8);

    FrameBuffer frame(4);
    uint64_t timestamp = 0;
    ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(holdsSubFrame(frame, k, rig.board().options(), static_cast<uint64_t>(k)));
    EXPECT_TRUE(frame.guardIntact());
    // The last sub-frame of the first frame: 1 s + 3 ms.
    EXPECT_EQ(timestamp, 1003u);

    ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(holdsSubFrame(frame, k, rig.board().options(), 4u + k));
    EXPECT_EQ(timestamp, 1036u);

    EXPECT_EQ(rig.sensor.stop(), 0);
    EXPECT_FALSE(rig.board().streaming());
    EXPECT_EQ(rig.board().liveMappings(), 0);
    EXPECT_EQ(rig.sensor.close(), 0);
    expectNothingHeld(rig.board());
}

TEST_P(CsiStreaming, SceneSamplesArriveAsTheBoardRenderedThem) {
    BoardOptions options = boardPreset(GetParam());
    options.dequeueDelayUs = 0;
    Rig rig(options, 4);
    ASSERT_EQ(rig.openResult, 0);
    ASSERT_EQ(rig.sensor.start(), 0);
    FrameBuffer frame(4);
    uint64_t timestamp = 0;
    ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    for (int k = 0; k < 4; ++k) {
        const std::vector<uint16_t> truth = rig.board().subFrameWords(static_cast<uint64_t>(k));
        int wrong = 0;
        for (size_t y = 0; y < 180; ++y) {
            for (size_t x = 0; x < 240; ++x) {
                // The split layout carries the last 16 samples of an even line in the odd line's place.
                const bool duplicated = options.layout == BufferLayout::Split960 && y % 2 == 0 && x >= 224;
                const uint16_t expected =
                    static_cast<uint16_t>(truth[(duplicated ? y + 1 : y) * 240 + x] << options.sampleShift);
                if (frame.word(k, y * 240 + x) != expected) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0) << "sub-frame " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiStreaming, ::testing::Values(2, 3, 5, 6, 7));

TEST(CsiFrameAssembly, TimestampInMilliseconds) {
    Rig rig(5);
    ASSERT_EQ(rig.sensor.start(), 0);
    rig.board().scriptTimestamps({at(12, 345678)});
    FrameBuffer frame(1);
    uint64_t timestamp = 0;
    ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    EXPECT_EQ(timestamp, 12345u);
}

TEST(CsiFrameAssembly, GapAboveFiveMillisecondsRestartsTheFrame) {
    Rig rig(5, 2);
    ASSERT_EQ(rig.sensor.start(), 0);
    FrameBuffer frame(2);
    uint64_t timestamp = 0;

    rig.board().scriptTimestamps({at(1, 0), at(1, 5001), at(1, 6001)});
    ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    EXPECT_TRUE(holdsSubFrame(frame, 0, rig.board().options(), 1));
    EXPECT_TRUE(holdsSubFrame(frame, 1, rig.board().options(), 2));
    EXPECT_EQ(timestamp, 1006u);

    // Exactly 5000 us still belongs to the frame.
    rig.board().scriptTimestamps({at(2, 0), at(2, 5000)});
    ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    EXPECT_TRUE(holdsSubFrame(frame, 0, rig.board().options(), 3));
    EXPECT_TRUE(holdsSubFrame(frame, 1, rig.board().options(), 4));

    // Measured across the second boundary: 0.999 s to 1.000 s is 1000 us.
    rig.board().scriptTimestamps({at(2, 999000), at(3, 0)});
    ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    EXPECT_TRUE(holdsSubFrame(frame, 0, rig.board().options(), 5));
    EXPECT_TRUE(holdsSubFrame(frame, 1, rig.board().options(), 6));
    EXPECT_EQ(timestamp, 3000u);
    EXPECT_TRUE(frame.guardIntact());
}

TEST(CsiFrameAssembly, NoSubFramesMeansTimestampZero) {
    Rig rig(5, 0);
    ASSERT_EQ(rig.sensor.start(), 0);
    uint64_t timestamp = 77;
    EXPECT_EQ(rig.sensor.readFrame(nullptr, &timestamp), 0);
    EXPECT_EQ(timestamp, 0u);
    EXPECT_EQ(rig.board().subFramesDelivered(), 0u);
}

TEST(CsiFrameAssembly, IndexOutsideTheMappedBuffersIsRefused) {
    Rig rig(5);
    ASSERT_EQ(rig.sensor.start(), 0);
    FrameBuffer frame(1);
    uint64_t timestamp = 0;
    rig.board().scriptReportedIndexes({8});
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 2);
    // The remaining buffers keep the stream going.
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    EXPECT_TRUE(frame.guardIntact());
}

TEST(CsiFrameAssembly, IndexOfAnUnmappedSlotIsRefused) {
    BoardOptions options = patternPreset(5);
    options.grantedBuffers = 3;
    Rig rig(options);
    ASSERT_EQ(rig.sensor.start(), 0);
    FrameBuffer frame(1);
    uint64_t timestamp = 0;
    rig.board().scriptReportedIndexes({5});
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 2);
    EXPECT_TRUE(frame.guardIntact());
}

TEST(CsiFrameAssembly, ReportedLengthBeyondTheMappingIsNotRead) {
    for (int model : {2, 5, 6, 7, 3}) {
        BoardOptions options = patternPreset(model);
        options.reportedLength = 1 << 20;
        Rig rig(options, 2);
        ASSERT_EQ(rig.sensor.start(), 0) << model;
        FrameBuffer frame(2);
        uint64_t timestamp = 0;
        ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0) << model;
        EXPECT_TRUE(holdsSubFrame(frame, 0, options, 0)) << model;
        EXPECT_TRUE(holdsSubFrame(frame, 1, options, 1)) << model;
        EXPECT_TRUE(frame.guardIntact()) << model;
    }
}

TEST(CsiFrameAssembly, ShortReportedLengthLeavesTheRestUnwritten) {
    BoardOptions options = patternPreset(5);
    options.reportedLength = 100;
    Rig rig(options, 2);
    ASSERT_EQ(rig.sensor.start(), 0);
    FrameBuffer frame(2);
    uint64_t timestamp = 0;
    ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    // Both buffers were appended back to back, 100 bytes each.
    EXPECT_EQ(frame.word(0, 0), EmulatedBoard::patternWord(0));
    EXPECT_EQ(frame.word(0, 50), EmulatedBoard::patternWord(1));
    EXPECT_EQ(frame.bytes[200], 0xCC);
}

TEST(CsiFrameAssembly, DequeueAndQueueFailuresReturnSystemError) {
    Rig rig(5);
    ASSERT_EQ(rig.sensor.start(), 0);
    FrameBuffer frame(1);
    uint64_t timestamp = 0;
    rig.board().injectFault({Call::Ioctl, VIDIOC_DQBUF, "", EIO});
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), -2);
    rig.board().injectFault({Call::Ioctl, VIDIOC_QBUF, "", EINVAL});
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), -2);
    // Interrupted requests are repeated.
    rig.board().injectFault({Call::Ioctl, VIDIOC_DQBUF, "", EINTR, 0, 4});
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    rig.board().injectFault({Call::Ioctl, VIDIOC_DQBUF, "", EAGAIN, 0, 5});
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), -2);
    EXPECT_EQ(rig.sensor.close(), 0);
    expectNothingHeld(rig.board());
}

TEST(CsiBuffers, FewerThanEightGrantedAreUsed) {
    BoardOptions options = patternPreset(5);
    options.grantedBuffers = 3;
    Rig rig(options);
    ASSERT_EQ(rig.sensor.start(), 0);
    EXPECT_EQ(rig.sensor.mappedBufferCount(), 3);
    EXPECT_EQ(rig.board().liveMappings(), 3);
    FrameBuffer frame(1);
    uint64_t timestamp = 0;
    for (uint64_t i = 0; i < 7; ++i) {
        ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
        EXPECT_TRUE(holdsSubFrame(frame, 0, options, i));
    }
    EXPECT_EQ(rig.sensor.stop(), 0);
    EXPECT_EQ(rig.board().liveMappings(), 0);
}

TEST(CsiBuffers, OneGrantedBufferCannotStream) {
    for (int granted : {0, 1}) {
        BoardOptions options = patternPreset(5);
        options.grantedBuffers = granted;
        Rig rig(options);
        EXPECT_EQ(rig.sensor.start(), -1) << granted;
        EXPECT_FALSE(rig.board().streaming());
        EXPECT_EQ(rig.board().liveMappings(), 0);
        EXPECT_EQ(rig.sensor.close(), 0);
        expectNothingHeld(rig.board());
    }
}

TEST(CsiBuffers, MoreThanEightGrantedUsesEight) {
    BoardOptions options = patternPreset(5);
    options.grantedBuffers = 12;
    Rig rig(options);
    ASSERT_EQ(rig.sensor.start(), 0);
    EXPECT_EQ(rig.sensor.mappedBufferCount(), 8);
    EXPECT_EQ(rig.board().liveMappings(), 8);
    FrameBuffer frame(1);
    uint64_t timestamp = 0;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    EXPECT_EQ(rig.sensor.stop(), 0);
    EXPECT_EQ(rig.board().liveMappings(), 0);
}

TEST(CsiFormat, PixelFormatAndBusCodesPerBoard) {
    {
        Rig rig(6);
        ASSERT_EQ(rig.sensor.start(), 0);
        EXPECT_EQ(rig.board().formatPixel(), Velmora::csi::kPixelFormatY12P);
        EXPECT_EQ(rig.board().subdevCode("csi2"), 0x2013u);
        EXPECT_EQ(rig.board().subdevCode("velmora-marquenty 4-000c"), 0x2013u);
    }
    for (int model : {2, 3, 5, 7}) {
        Rig rig(model);
        ASSERT_EQ(rig.sensor.start(), 0) << model;
        EXPECT_EQ(rig.board().formatPixel(), Velmora::csi::kPixelFormatY12) << model;
    }
}

TEST(CsiFormat, SizeTheBoardCannotDeliverFailsBeforeBuffers) {
    Rig rig(5);
    ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    EXPECT_EQ(rig.sensor.start(), -1);
    EXPECT_EQ(rig.board().allocatedBuffers(), 0);
    EXPECT_EQ(rig.board().liveMappings(), 0);
    ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 240), 0);
    EXPECT_EQ(rig.sensor.start(), 0);
}

// The sensor keeps try formats per open file: only the active format tells what start set.
TEST(CsiFormat, VgaRawSizesAreReadBackFromTheActiveFormat) {
    BoardOptions options = patternPreset(5);
    options.vgaSensor = true;
    Rig rig(options);
    ASSERT_EQ(rig.openResult, 0);
    EXPECT_EQ(rig.info.width, 240u);  // the sensor's default size, from the try format
    EXPECT_EQ(rig.info.height, 180u);
    struct Size {
        int width, height;
    };
    for (const Size size : {Size{640, 2405}, Size{640, 4810}, Size{320, 1205}}) {
        ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, size.width), 0);
        ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, size.height), 0);
        EXPECT_EQ(rig.sensor.start(), 0) << size.width << "x" << size.height;
        EXPECT_EQ(rig.sensor.stop(), 0);
    }
    // A later open still reads the try format of its own file handle.
    CameraInfo info{};
    ASSERT_EQ(rig.sensor.open(info), 0);
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(rig.sensor.close(), 0);
    expectNothingHeld(rig.board());
}

TEST(CsiFormat, StartFailuresReturnTheirCodesAndKeepNoMappings) {
    struct Case {
        unsigned long request;
        int skip;
        int expected;
    };
    const Case cases[] = {{VIDIOC_TRY_FMT, 0, -1}, {VIDIOC_S_FMT, 0, -1},     {VIDIOC_G_FMT, 0, -1},
                          {VIDIOC_REQBUFS, 0, -1}, {VIDIOC_QUERYBUF, 3, -1},  {VIDIOC_QBUF, 5, -1},
                          {VIDIOC_STREAMON, 0, -2}};
    for (const Case& c : cases) {
        Rig rig(2);
        ASSERT_EQ(rig.openResult, 0);
        rig.board().injectFault({Call::Ioctl, c.request, "", EIO, c.skip});
        EXPECT_EQ(rig.sensor.start(), c.expected) << c.request;
        EXPECT_EQ(rig.board().liveMappings(), 0) << c.request;
        EXPECT_FALSE(rig.board().streaming());
        // The fault is spent: the next start works.
        EXPECT_EQ(rig.sensor.start(), 0) << c.request;
        EXPECT_EQ(rig.sensor.close(), 0);
        expectNothingHeld(rig.board());
    }
    Rig rig(2);
    rig.board().injectFault({Call::Mmap, 0, "", ENOMEM, 2});
    EXPECT_EQ(rig.sensor.start(), -1);
    EXPECT_EQ(rig.board().liveMappings(), 0);
}

TEST(CsiFormat, SubdeviceFormatFailureFailsStart) {
    Rig rig(6);
    rig.board().injectFault({Call::Ioctl, VIDIOC_SUBDEV_S_FMT, "", EIO, 1});
    EXPECT_EQ(rig.sensor.start(), -1);
    EXPECT_EQ(rig.board().allocatedBuffers(), 0);
}

TEST(CsiLifecycle, SecondStartWhileStreamingIsRefused) {
    Rig rig(5);
    ASSERT_EQ(rig.sensor.start(), 0);
    EXPECT_EQ(rig.sensor.start(), -1);
    EXPECT_TRUE(rig.board().streaming());
    FrameBuffer frame(1);
    uint64_t timestamp = 0;
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
    EXPECT_EQ(rig.sensor.stop(), 0);
    EXPECT_EQ(rig.sensor.start(), 0);
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &timestamp), 0);
}

TEST(CsiLifecycle, StopFailuresReportSystemError) {
    Rig rig(5);
    ASSERT_EQ(rig.sensor.start(), 0);
    rig.board().injectFault({Call::Ioctl, VIDIOC_STREAMOFF, "", EIO});
    EXPECT_EQ(rig.sensor.stop(), -2);
    rig.board().injectFault({Call::Munmap, 0, "", EINVAL, 2});
    EXPECT_EQ(rig.sensor.stop(), -2);
    EXPECT_EQ(rig.board().liveMappings(), 0);
    EXPECT_EQ(rig.sensor.close(), 0);
    expectNothingHeld(rig.board());

    VelmoraTOFCSISensor unopened(1, 5, "/dev/video0");
    EXPECT_EQ(unopened.stop(), -2);
}

TEST(CsiLifecycle, CloseWithoutStopReleasesEverythingOnce) {
    for (int model : {2, 3, 5, 6, 7}) {
        Rig rig(model);
        ASSERT_EQ(rig.sensor.start(), 0);
        EXPECT_GT(rig.board().openDescriptors(), 1);
        EXPECT_EQ(rig.sensor.close(), 0);
        EXPECT_FALSE(rig.board().streaming());
        expectNothingHeld(rig.board());
        EXPECT_EQ(rig.sensor.getCalibrationBuffer(), nullptr);
        // Closing again touches nothing.
        EXPECT_EQ(rig.sensor.close(), 0);
        EXPECT_EQ(rig.board().badCloses(), 0);
    }
}

TEST(CsiLifecycle, DestructorReleasesWhatCloseDidNot) {
    BoardSession session(patternPreset(6));
    {
        VelmoraTOFCSISensor sensor(1, 6, "/dev/video0");
        CameraInfo info{};
        ASSERT_EQ(sensor.open(info), 0);
        ASSERT_EQ(sensor.start(), 0);
        EXPECT_EQ(session.board.liveMappings(), 8);
    }
    EXPECT_FALSE(session.board.streaming());
    expectNothingHeld(session.board);
}

TEST(CsiLifecycle, OpeningAgainReleasesTheFirstOpen) {
    Rig rig(6);
    ASSERT_EQ(rig.sensor.start(), 0);
    const int held = rig.board().openDescriptors();
    CameraInfo info{};
    ASSERT_EQ(rig.sensor.open(info), 0);
    EXPECT_EQ(rig.board().openDescriptors(), held);
    EXPECT_EQ(rig.board().liveMappings(), 0);
    EXPECT_EQ(rig.sensor.subdeviceCount(), 2);
    EXPECT_EQ(rig.sensor.start(), 0);
}

TEST(CsiControls, RangeMapsToThePrivateControl) {
    for (int model : {2, 3, 5, 6, 7}) {
        Rig rig(model);
        ASSERT_EQ(rig.openResult, 0);
        EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, 3), 1);
        EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, 2000), 1);
        EXPECT_EQ(rig.board().rangeControlWrites(), 0);

        int value = 0;
        EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, 2), 0) << model;
        EXPECT_EQ(rig.board().rangeControl(), 1);
        EXPECT_EQ(rig.board().modulationHz(), VelmoraSim::kNearModulationHz);
        EXPECT_EQ(rig.sensor.getControl(CameraCtrl::RANGE, &value), 0);
        EXPECT_EQ(value, 2);

        EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, 4), 0);
        EXPECT_EQ(rig.board().rangeControl(), 0);
        EXPECT_EQ(rig.sensor.getControl(CameraCtrl::RANGE, &value), 0);
        EXPECT_EQ(value, 4);
        EXPECT_EQ(rig.board().rangeControlWrites(), 2);
    }
}

TEST(CsiControls, ExposureReachesTheSensor) {
    // Jetson boards (controls on the video node), and the subdevice after the receiver on model 6.
    for (int model : {2, 3, 5, 6, 7}) {
        Rig rig(model);
        ASSERT_EQ(rig.sensor.setControl(CameraCtrl::EXPOSURE, 500), 0) << model;
        EXPECT_EQ(rig.board().exposure(), 500);
        int value = 0;
        EXPECT_EQ(rig.sensor.getControl(CameraCtrl::EXPOSURE, &value), 0);
        EXPECT_EQ(value, 500);
    }
}

TEST(CsiControls, FailuresPrintAndLeaveTheValue) {
    Rig rig(5);
    rig.board().injectFault({Call::Ioctl, VIDIOC_S_CTRL, "", EIO});
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "VIDIOC_S_CTRL: Input/output error\n");
    // Values outside the sensor's range are clamped by the control framework, not refused.
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::EXPOSURE, 0), 0);
    EXPECT_EQ(rig.board().exposure(), 1);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::EXPOSURE, 70000), 0);
    EXPECT_EQ(rig.board().exposure(), 65535);

    rig.board().injectFault({Call::Ioctl, VIDIOC_G_CTRL, "", EIO, 0, 2});
    int value = 1234;
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::RANGE, &value), -1);
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::EXPOSURE, &value), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "VIDIOC_G_CTRL: Input/output error\nVIDIOC_G_CTRL: Input/output error\n");
    EXPECT_EQ(value, 1234);
}

TEST(CsiControls, BeforeOpenControlsFailCleanly) {
    BoardSession session(patternPreset(2));
    VelmoraTOFCSISensor sensor(1, 2, "/dev/video0");
    testing::internal::CaptureStderr();
    EXPECT_EQ(sensor.setControl(CameraCtrl::EXPOSURE, 10), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "VIDIOC_S_CTRL: Bad file descriptor\n");
    EXPECT_EQ(sensor.setControl(CameraCtrl::FRAME_RATE, 10), -2);
    EXPECT_EQ(sensor.readBlock(0, nullptr), -2);
    EXPECT_EQ(session.board.callCount(), 0u);
}

TEST(CsiControls, FrameRateGoesToTheChip) {
    Rig rig(2);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 30), 0);
    auto transfers = rig.board().i2cTransfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].bus, 9);
    ASSERT_EQ(transfers[0].messages.size(), 1u);
    EXPECT_EQ(transfers[0].messages[0].address, 0x0c);
    EXPECT_EQ(transfers[0].messages[0].data, (std::vector<uint8_t>{0x06, 0x33, 0x00, 0x00, 0x00, 0x1E}));
    int value = 0;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::FRAME_RATE, &value), 0);
    EXPECT_EQ(value, 30);

    rig.board().injectFault({Call::Ioctl, I2C_RDWR, "", EREMOTEIO});
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 10), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::FRAME_RATE, &value), 0);
    EXPECT_EQ(value, 10);
}

TEST(CsiControls, SizeAndRefusedControls) {
    Rig rig(5);
    int value = 0;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::FMT_WIDTH, &value), 0);
    EXPECT_EQ(value, 240);
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::FMT_HEIGHT, &value), 0);
    EXPECT_EQ(value, 180);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, 90), 0);
    EXPECT_EQ(rig.sensor.getCameraInfo().height, 90u);
    for (int bad : {0, -1, 100000}) {
        EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, bad), 1) << bad;
        EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, bad), 1) << bad;
    }
    EXPECT_EQ(rig.sensor.getCameraInfo().height, 90u);

    for (CameraCtrl ctrl : {CameraCtrl::MODE, CameraCtrl::FRAME_MODE, CameraCtrl::SKIP_FRAME,
                            CameraCtrl::AUTO_FRAME_RATE, CameraCtrl::CONFIG_DIR_EXT}) {
        value = 55;
        EXPECT_EQ(rig.sensor.setControl(ctrl, 1), 1);
        EXPECT_EQ(rig.sensor.getControl(ctrl, &value), 1);
        EXPECT_EQ(value, 55);
    }
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::RANGE, nullptr), 1);
}

TEST(CsiControls, ReadBlockThroughTheSensor) {
    Rig rig(5);
    uint8_t* calibration = rig.sensor.getCalibrationBuffer();
    ASSERT_NE(calibration, nullptr);
    ASSERT_EQ(rig.sensor.readBlock(0x0250, calibration + 512), 0);
    auto transfers = rig.board().i2cTransfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].bus, 10);
    EXPECT_EQ(transfers[0].messages[0].data, (std::vector<uint8_t>{0x06, 0x31, 0x02, 0x50, 0x02, 0x00}));
    for (size_t j = 0; j < 512; ++j) ASSERT_EQ(calibration[512 + j], EmulatedBoard::blockByte(0x0250, j));
    // The block lands only where it was asked to.
    EXPECT_EQ(calibration[511], 0);
    EXPECT_EQ(calibration[1024], 0);
}
