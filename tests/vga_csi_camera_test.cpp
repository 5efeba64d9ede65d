// VGA depth end to end over the emulated CSI board: VelmoraTOFCamera opens
// the board's VGA sensor, configures its raw size, and the phase processor
// turns the streamed frames into depth.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BoardSession.h"
#include "BoardWithFiles.h"
#include "Si4cConfig.h"
#include "Si4cLayout.h"
#include "VelmoraTOFCamera.h"
#include "vga_test_support.h"

namespace {

using namespace Velmora;
using VelmoraTest::BoardWithFiles;
using VelmoraTest::EmulatedBoard;

constexpr short kWaitMs = 5000;
constexpr double kPi = 3.14159265358979323846;

VelmoraTest::BoardOptions vgaBoard(double distanceMm, double phaseOffset = 0) {
    VelmoraTest::BoardOptions o = VelmoraTest::boardPreset(5);
    o.vgaSensor = true;
    o.vgaPhaseOffset = phaseOffset;
    o.nativeWidth = 640;  // powers up in 640 x 480 single frequency
    o.nativeHeight = 2405;
    o.scene.kind = "constant";
    o.scene.distanceMm = distanceMm;
    o.dequeueDelayUs = 0;
    return o;
}

class VgaCsiCamera : public ::testing::Test {
protected:
    // Opens the board's camera and sets the model to the picture size and mode.
    void openCamera(int width, int height, bool single) {
        camera = std::make_unique<VelmoraTOFCamera>();  // after the seam: platform detection sees the board
        ASSERT_EQ(camera->open(Connection::CSI, 0), VelmoraSuccess);
        ASSERT_EQ(camera->getCameraInfo().device_type, VGA);
        ASSERT_EQ(camera->setControl(CameraCtrl::FMT_WIDTH, width), VelmoraSuccess);
        ASSERT_EQ(camera->setControl(CameraCtrl::FMT_HEIGHT, height), VelmoraSuccess);
        ASSERT_EQ(camera->setControl(CameraCtrl::MODE, single ? 0 : 1), VelmoraSuccess);
    }

    float worstError(double expected, int frames = 3) {
        float worst = 0;
        for (int i = 0; i < frames; ++i) {
            VelmoraFrameBuffer* frame = camera->requestFrame(kWaitMs);
            if (!frame) return 1e9f;
            FrameDataFormat format{};
            frame->getFormat(FrameType::DEPTH, &format);
            const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
            for (size_t p = 0; p < size_t(format.width) * format.height; ++p)
                worst = std::max(worst, static_cast<float>(std::fabs(depth[p] - expected)));
            camera->releaseFrame(frame);
        }
        return worst;
    }

    void closeCamera(BoardWithFiles& seam, EmulatedBoard& board) {
        ASSERT_EQ(camera->stop(), VelmoraSuccess);
        ASSERT_EQ(camera->close(), VelmoraSuccess);
        camera.reset();
        EXPECT_EQ(seam.held(), 0u) << "\"cali.bin\" released";
        VelmoraTest::expectNothingHeld(board);
    }

    vgatest::ScratchDir dir;
    std::unique_ptr<VelmoraTOFCamera> camera;
};

TEST_F(VgaCsiCamera, SingleFrequencyAtTheSizeTheModelConfigures) {
    EmulatedBoard board(vgaBoard(820));
    BoardWithFiles seam(board);
    ScopedSystemOverride over(seam);
    openCamera(320, 240, true);
    ASSERT_EQ(camera->start(FrameType::DEPTH), VelmoraSuccess);
    EXPECT_EQ(camera->getCameraInfo().width, 320u);
    EXPECT_EQ(camera->getCameraInfo().height, 1205u);
    EXPECT_LT(worstError(820), 1.0f);
    closeCamera(seam, board);
}

TEST_F(VgaCsiCamera, DoubleFrequencyUpTo4500mm) {
    EmulatedBoard board(vgaBoard(4100));
    BoardWithFiles seam(board);
    ScopedSystemOverride over(seam);
    openCamera(320, 240, false);
    ASSERT_EQ(camera->start(FrameType::DEPTH), VelmoraSuccess);
    EXPECT_EQ(camera->getCameraInfo().height, 2410u);
    EXPECT_LT(worstError(4100), 1.0f);
    closeCamera(seam, board);
}

TEST_F(VgaCsiCamera, CalibrationCorrectsTheModuleInBothModes) {
    const float offset = 0.7f;
    for (const bool single : {true, false}) {
        const double truth = single ? 450 : 3400;
        EmulatedBoard board(vgaBoard(truth, offset));
        BoardWithFiles seam(board);
        ScopedSystemOverride over(seam);
        std::filesystem::remove("cali.bin");
        openCamera(320, 240, single);
        ASSERT_EQ(camera->start(FrameType::DEPTH), VelmoraSuccess);
        if (single) {
            EXPECT_LT(worstError(truth + offset / (2 * kPi) * si4c::kSingleRangeMm), 1.0f);
        } else {
            EXPECT_GT(worstError(truth, 1), 50.0f) << "uncalibrated, the offset shows";
        }
        ASSERT_EQ(camera->stop(), VelmoraSuccess);

        vgatest::writeBytes("cali.bin", si4c::encodeCalibration({offset, offset, offset}));
        ASSERT_EQ(camera->start(FrameType::DEPTH), VelmoraSuccess);
        EXPECT_LT(worstError(truth), 1.0f) << "single " << single;
        closeCamera(seam, board);
    }
}

TEST_F(VgaCsiCamera, FullSizeDoubleFrequencyRawFrames) {
    EmulatedBoard board(vgaBoard(1000));
    BoardWithFiles seam(board);
    ScopedSystemOverride over(seam);
    openCamera(640, 480, false);
    ASSERT_EQ(camera->start(FrameType::RAW), VelmoraSuccess);
    VelmoraFrameBuffer* frame = camera->requestFrame(kWaitMs);
    ASSERT_NE(frame, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(frame->getFormat(FrameType::RAW, &format), 0);
    EXPECT_EQ(format.width, 640u);
    EXPECT_EQ(format.height, 4810u);
    const auto* words = static_cast<const uint16_t*>(frame->getData(FrameType::RAW));
    EXPECT_EQ(words[si4c::kMetaCount], 10);
    EXPECT_EQ(words[size_t(9) * 640 * 481 + si4c::kMetaIndex], 9);
    camera->releaseFrame(frame);
    closeCamera(seam, board);
}

}  // namespace
