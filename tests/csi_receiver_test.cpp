// CSI capture against what boards' receiver drivers do: line layouts read
// back from the format the kernel set, read-only subdevice nodes, buffers
// flagged as errors, dead queues, vanished devices, other enabled links.

#include <gtest/gtest.h>
#include <linux/media.h>
#include <linux/videodev2.h>

#include <cstdint>
#include <vector>

#include "BoardSession.h"
#include "CsiDefinitions.h"
#include "CsiLineConverters.h"
#include "VelmoraTOFCSISensor.h"
#include "support/GuardedBytes.h"

using namespace VelmoraTest;
using namespace Velmora;

namespace {

constexpr size_t kSubFrameBytes = 240 * 180 * 2;

struct Rig {
    explicit Rig(const BoardOptions& options) : session(options), sensor(1, options.platformModel, "/dev/video0") {
        openResult = sensor.open(info);
    }
    EmulatedBoard& board() { return session.board; }
    // One sub-frame read; every sample holds the board's pattern for `sequence`.
    ::testing::AssertionResult readsPattern(uint64_t sequence) {
        GuardedBytes frame(kSubFrameBytes, 64);
        uint64_t stamp = 0;
        if (sensor.readFrame(frame.bytes.data(), &stamp) != 0) return ::testing::AssertionFailure() << "read failed";
        const uint16_t expected = EmulatedBoard::patternWord(sequence);
        for (size_t i = 0; i < kSubFrameBytes / 2; ++i)
            if ((frame.bytes[2 * i] | frame.bytes[2 * i + 1] << 8) != expected)
                return ::testing::AssertionFailure() << "sample " << i << " differs (sequence " << sequence << ")";
        return ::testing::AssertionSuccess();
    }

    BoardSession session;
    VelmoraTOFCSISensor sensor;
    CameraInfo info{};
    int openResult = -99;
};

}  // namespace

TEST(CsiLineLayout, ChosenFromPixelFormatAndBytesPerLine) {
    struct Case {
        uint32_t pixelFormat, width, bytesPerLine;
        bool compact, decodable, packed;
    } cases[] = {
        {csi::kPixelFormatY12P, 240, 368, false, true, true},   // Pi 5: 16-byte aligned
        {csi::kPixelFormatY12, 240, 512, true, true, true},     // compact: 256-byte aligned, as wide as plain
        {csi::kPixelFormatY12, 640, 1024, false, true, true},   // narrower than plain lines: packed
        {csi::kPixelFormatY12, 240, 480, false, true, false},
        {csi::kPixelFormatY12, 240, 512, false, true, false},   // plain with padding
        {csi::kPixelFormatY12, 240, 300, false, false, false},  // too short for any layout
        {csi::kPixelFormatY12P, 240, 359, false, false, false},
        {csi::fourcc('Y', '1', '6', ' '), 240, 480, false, false, false},
        {csi::fourcc('G', 'R', 'E', 'Y'), 240, 240, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " in " + std::to_string(c.bytesPerLine));
        LineLayout layout;
        ASSERT_EQ(lineLayoutFor(c.pixelFormat, c.width, c.bytesPerLine, c.compact, layout), c.decodable);
        if (!c.decodable) continue;
        EXPECT_EQ(layout.packed, c.packed);
        EXPECT_EQ(layout.stride, c.bytesPerLine);
    }
}

// The ROCK 5B's compact output: packed lines 256-byte aligned, as G_FMT reports them.
TEST(CsiReceivers, PackedLinesWithTheAlignmentTheKernelReports) {
    BoardOptions options = patternPreset(7);
    options.layout = BufferLayout::Packed12;
    options.packedStride = 512;
    Rig rig(options);
    ASSERT_EQ(rig.openResult, 0);
    ASSERT_EQ(rig.sensor.start(), 0);
    EXPECT_TRUE(rig.readsPattern(0));
    EXPECT_TRUE(rig.readsPattern(1));
}

// Read-only subdevice nodes: the format they already have is accepted, another one named.
TEST(CsiReceivers, ReadOnlySubdevicesAreAcceptedWhenTheyHoldTheFormat) {
    BoardOptions options = patternPreset(5);
    options.readOnlySubdevs = true;
    {
        Rig rig(options);
        ASSERT_EQ(rig.openResult, 0);
        EXPECT_EQ(rig.sensor.start(), 0);
        EXPECT_TRUE(rig.readsPattern(0));
    }
    options.vgaSensor = true;  // takes the VGA size on the video node only: the sensor keeps 240 x 180
    Rig rig(options);
    ASSERT_EQ(rig.openResult, 0);
    ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 640), 0);
    ASSERT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, 2405), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor.start(), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("is read-only and its active format is 240x180"), std::string::npos) << err;
    EXPECT_NE(err.find("/dev/v4l-subdev"), std::string::npos) << err;
}

// Buffers flagged as errors, or filled with less than a frame: failed reads, requeued.
TEST(CsiReceivers, LostSubFramesAreFailedReadsAndGoBack) {
    for (bool truncated : {false, true}) {
        SCOPED_TRACE(truncated ? "short buffers" : "error-flagged buffers");
        BoardOptions options = patternPreset(5);
        options.errorEvery = 2;
        options.errorsTruncate = truncated;
        Rig rig(options);
        ASSERT_EQ(rig.openResult, 0);
        ASSERT_EQ(rig.sensor.start(), 0);
        for (uint64_t sequence = 0; sequence < 6; sequence += 2) {
            EXPECT_TRUE(rig.readsPattern(sequence));
            GuardedBytes frame(kSubFrameBytes, 64);
            uint64_t stamp = 0;
            EXPECT_NE(rig.sensor.readFrame(frame.bytes.data(), &stamp), 0) << "a lost sub-frame was delivered";
        }
        EXPECT_TRUE(rig.readsPattern(6)) << "the buffers did not go back to the driver";
    }
}

TEST(CsiReceivers, ARunOfEioRestartsStreamingAndENodevIsTheCameraGone) {
    Rig rig(patternPreset(5));
    ASSERT_EQ(rig.openResult, 0);
    ASSERT_EQ(rig.sensor.start(), 0);
    rig.board().injectFault({Call::Ioctl, VIDIOC_DQBUF, "", EIO, 0, csi::kDeadQueueFailures});
    GuardedBytes frame(kSubFrameBytes, 64);
    uint64_t stamp = 0;
    int restarts = 0;
    for (int i = 0; i < csi::kDeadQueueFailures; ++i) EXPECT_NE(rig.sensor.readFrame(frame.bytes.data(), &stamp), 0);
    for (const CallRecord& call : rig.board().calls())
        if (call.call == Call::Ioctl && call.request == VIDIOC_STREAMON) ++restarts;
    EXPECT_EQ(restarts, 2) << "the dead queue was not restarted";
    EXPECT_EQ(rig.sensor.readFrame(frame.bytes.data(), &stamp), 0);

    rig.board().injectFault({Call::Ioctl, VIDIOC_DQBUF, "", ENODEV, 0, 1});
    testing::internal::CaptureStderr();
    EXPECT_NE(rig.sensor.readFrame(frame.bytes.data(), &stamp), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("camera gone"), std::string::npos);
    EXPECT_TRUE(rig.sensor.cameraGone());
    const uint64_t calls = rig.board().callCount();
    EXPECT_NE(rig.sensor.readFrame(frame.bytes.data(), &stamp), 0);
    EXPECT_EQ(rig.board().callCount(), calls) << "a gone camera is still asked";
}

// The Pi 5's receiver with another output's link left enabled, and the mainline names.
TEST(CsiReceivers, Model6DisablesOtherOutputsAndTakesEitherSpelling) {
    struct Case {
        const char* node;
        uint16_t pad;
    } cases[] = {{"rp1-cfe-csi2_ch0", 4}, {"rp1-cfe-csi2-ch0", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node);
        BoardOptions options = patternPreset(6);
        options.videoName = c.node;
        options.entities[0].name = c.node;
        options.entities.push_back({"rp1-cfe-csi2_ch1", EntityRole::Video, 1, "", false});
        options.links = {{"velmora-marquenty 4-000c", 0, "csi2", 0, true},
                         {"csi2", c.pad, c.node, 0, false},
                         {"csi2", 5, "rp1-cfe-csi2_ch1", 0, true}};
        options.requiredLink = {"csi2", c.pad, c.node, 0, true};
        Rig rig(options);
        ASSERT_EQ(rig.openResult, 0);
        EXPECT_TRUE(rig.board().linkEnabled("csi2", c.pad, c.node, 0));
        EXPECT_FALSE(rig.board().linkEnabled("csi2", 5, "rp1-cfe-csi2_ch1", 0));
        ASSERT_EQ(rig.sensor.start(), 0);
        EXPECT_TRUE(rig.readsPattern(0));
    }
}
