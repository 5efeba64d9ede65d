// VGA depth end to end: the virtual USB camera delivering VGA raw frames,
// VelmoraTOFCamera with the VGA model, and this project's phase processor.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Si4cConfig.h"
#include "Si4cLayout.h"
#include "VelmoraEvkTesting.h"
#include "VelmoraScene.h"
#include "VelmoraTOFCamera.h"
#include "vga_test_support.h"

namespace {

using namespace Velmora;
using vgatest::ScratchDir;

constexpr short kWaitMs = 5000;
constexpr double kPi = 3.14159265358979323846;

struct Plane {
    std::vector<float> depth;
    std::vector<float> confidence;
};

class VgaCamera : public ::testing::Test {
protected:
    void SetUp() override { VelmoraSim::EvkTesting::reset(); }
    void TearDown() override {
        if (opened) {
            EXPECT_EQ(camera.close(), VelmoraSuccess);
        }
        EXPECT_EQ(VelmoraSim::EvkTesting::openModules(), 0);
    }

    // Opens the virtual camera with `settings` (one key=value a line) added to an unpaced constant scene.
    void open(const std::string& settings) {
        vgatest::writeFile("camera.cfg", "scene=constant\nfps=0\n" + settings);
        ASSERT_EQ(camera.openWithFile((dir.path() / "camera.cfg").c_str(), 0), VelmoraSuccess);
        opened = true;
        ASSERT_EQ(camera.getCameraInfo().device_type, VGA);
        // The model's geometry is set, not guessed from the sensor.
        if (settings.find("width=320") != std::string::npos) {
            ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 320), VelmoraSuccess);
            ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 240), VelmoraSuccess);
        }
    }

    // Depth and confidence of the next frame; empty when none came.
    Plane nextPlanes() {
        VelmoraFrameBuffer* frame = camera.requestFrame(kWaitMs);
        if (!frame) return {};
        FrameDataFormat format{};
        EXPECT_EQ(frame->getFormat(FrameType::DEPTH, &format), 0);
        const size_t n = static_cast<size_t>(format.width) * format.height;
        Plane plane{std::vector<float>(n), std::vector<float>(n)};
        std::memcpy(plane.depth.data(), frame->getData(FrameType::DEPTH), n * sizeof(float));
        std::memcpy(plane.confidence.data(), frame->getData(FrameType::CONFIDENCE), n * sizeof(float));
        camera.releaseFrame(frame);
        return plane;
    }

    // Largest distance of any pixel from `expected` over a few frames.
    float worstError(double expected, int frames = 3) {
        float worst = 0;
        for (int i = 0; i < frames; ++i) {
            const Plane p = nextPlanes();
            if (p.depth.empty()) return 1e9f;
            for (float d : p.depth) worst = std::max(worst, static_cast<float>(std::fabs(d - expected)));
        }
        return worst;
    }

    ScratchDir dir;
    VelmoraTOFCamera camera;
    bool opened = false;
};

TEST_F(VgaCamera, SingleFrequencyDepthAndTheFilesOfTheStart) {
    // Beyond the single frequency's 1250 mm, within the double's: only the
    // single range gives 1980 - 1250 = 730.
    open("width=320\nheight=240\nfrequency=single\ndistance_mm=1980\n");
    const CameraInfo info = camera.getCameraInfo();
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 1205u);
    int rate = 0;
    ASSERT_EQ(camera.getControl(CameraCtrl::FRAME_RATE, &rate), VelmoraSuccess);
    EXPECT_EQ(rate, 61);
    int range = 0;
    ASSERT_EQ(camera.getControl(CameraCtrl::RANGE, &range), VelmoraSuccess);
    EXPECT_EQ(range, 1250);

    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    vgatest::expectDefaultFiles();
    EXPECT_LT(worstError(730), 1.0f);
    const Plane p = nextPlanes();
    ASSERT_FALSE(p.confidence.empty());
    EXPECT_GT(*std::min_element(p.confidence.begin(), p.confidence.end()), 0.0f);
    ASSERT_EQ(camera.stop(), VelmoraSuccess);
}

// A module that sees nothing (reflectivity 0) delivers noise alone: next to
// no pixel may pass as a measured depth, in either mode.
TEST_F(VgaCamera, NoiseAloneGivesNoValidDepth) {
    for (const bool single : {true, false}) {
        open(std::string("width=320\nheight=240\nreflectivity=0\nnoise=6\nseed=5\nfrequency=") +
             (single ? "single\n" : "double\n"));
        ASSERT_EQ(camera.setControl(CameraCtrl::MODE, single ? 0 : 1), VelmoraSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
        const Plane p = nextPlanes();
        ASSERT_FALSE(p.confidence.empty());
        const auto valid = std::count_if(p.confidence.begin(), p.confidence.end(), [](float c) { return c > 0; });
        EXPECT_LE(valid * 1000, static_cast<long>(p.confidence.size())) << "single " << single;
        ASSERT_EQ(camera.stop(), VelmoraSuccess);
        ASSERT_EQ(camera.close(), VelmoraSuccess);
        opened = false;
    }
}

TEST_F(VgaCamera, DoubleFrequencyDepthAtFullSize) {
    open("width=640\nheight=480\nfrequency=double\ndistance_mm=4321\n");
    EXPECT_EQ(camera.getCameraInfo().height, 4810u);
    ASSERT_EQ(camera.setControl(CameraCtrl::MODE, static_cast<int>(TofWorkMode::DOUBLE_FREQ)), VelmoraSuccess);
    int value = 0;
    camera.getControl(CameraCtrl::RANGE, &value);
    EXPECT_EQ(value, 4500);
    camera.getControl(CameraCtrl::FRAME_RATE, &value);
    EXPECT_EQ(value, 23);
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    EXPECT_LT(worstError(4321, 2), 1.0f);
    ASSERT_EQ(camera.stop(), VelmoraSuccess);
}

// The module follows the raw geometry the model configures, whichever mode
// it powers up in. Users are shown the depth image's size (FMT_WIDTH x
// FMT_HEIGHT); getCameraInfo keeps the raw frame's.
TEST_F(VgaCamera, ModuleFollowsTheModeTheModelConfigures) {
    struct Case {
        const char* settings;
        bool single;
        int width, height;
    };
    for (const Case& c : {Case{"width=320\nheight=240\n", false, 320, 240},
                          Case{"width=320\nheight=240\nfrequency=double\n", true, 320, 240},
                          Case{"width=640\nheight=480\nfrequency=double\n", false, 640, 480}}) {
        SCOPED_TRACE(std::string(c.settings) + (c.single ? "MODE single" : "MODE double"));
        open(std::string("distance_mm=2000\n") + c.settings);
        ASSERT_EQ(camera.setControl(CameraCtrl::MODE, c.single ? 0 : 1), VelmoraSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
        EXPECT_EQ(camera.getCameraInfo().height, static_cast<uint32_t>((c.single ? 5 : 10) * (c.height + 1)));
        int width = 0, height = 0;
        camera.getControl(CameraCtrl::FMT_WIDTH, &width);
        camera.getControl(CameraCtrl::FMT_HEIGHT, &height);
        EXPECT_EQ(std::make_pair(width, height), std::make_pair(c.width, c.height));
        EXPECT_EQ(nextPlanes().depth.size(), static_cast<size_t>(width * height));
        // 2000 mm lies beyond the single frequency's 1250 mm, within the double's 4500 mm.
        EXPECT_LT(worstError(c.single ? 750 : 2000), 1.0f);
        ASSERT_EQ(camera.stop(), VelmoraSuccess);
        ASSERT_EQ(camera.close(), VelmoraSuccess);
        opened = false;
    }
}

// A module of neither sensor's geometry cannot deliver what the VGA model
// needs: the start says so, and leaves the camera as it was.
TEST_F(VgaCamera, StartTheModuleCannotServeSaysWhy) {
    open("width=320\nheight=200\n");
    for (int attempt = 0; attempt < 2; ++attempt) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(camera.start(FrameType::DEPTH), VelmoraInvalidParameter) << attempt;
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find("320 x 200"), std::string::npos) << said;
        EXPECT_NE(said.find("320 x 1205"), std::string::npos) << said;
    }
}

TEST_F(VgaCamera, CalibrationFileCorrectsTheModuleOffset) {
    const double offset = 0.5;
    open("width=320\nheight=240\nfrequency=single\ndistance_mm=600\nphase_offset=0.5\n");
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    const double shifted = 600 + offset / (2 * kPi) * si4c::kSingleRangeMm;
    EXPECT_LT(worstError(shifted), 1.0f) << "without calibration the offset shows";
    ASSERT_EQ(camera.stop(), VelmoraSuccess);

    // "cali.bin" is read at every start.
    const auto f = static_cast<float>(offset);
    vgatest::writeBytes("cali.bin", si4c::encodeCalibration({f, f, f}));
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    EXPECT_LT(worstError(600), 1.0f);
    ASSERT_EQ(camera.stop(), VelmoraSuccess);
}

TEST_F(VgaCamera, ConfigurationDirectoryIsHonoured) {
    std::filesystem::create_directory("tuned");
    vgatest::writeFile("tuned/ConfigAlgorithm.json", "[ConfidenceParams]\nValidDistMin=0\nValidDistMax=500\n");
    open("width=320\nheight=240\nfrequency=single\ndistance_mm=700\n");
    ASSERT_EQ(camera.setControlExt(CameraCtrl::CONFIG_DIR_EXT, (dir.path() / "tuned").c_str()), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    const Plane p = nextPlanes();
    ASSERT_FALSE(p.depth.empty());
    EXPECT_TRUE(std::all_of(p.depth.begin(), p.depth.end(), [](float d) { return d == 0; }))
        << "700 mm lies outside the directory's valid band";
    EXPECT_TRUE(std::all_of(p.confidence.begin(), p.confidence.end(), [](float c) { return c == 0; }));
    ASSERT_EQ(camera.stop(), VelmoraSuccess);
    EXPECT_EQ(vgatest::readFile("tuned/ConfigAlgorithm.json"), "[ConfidenceParams]\nValidDistMin=0\nValidDistMax=500\n")
        << "only the working directory's files are rewritten";
}

TEST_F(VgaCamera, RawFramesInDoubleModeAreTheWholeSensorFrame) {
    open("width=640\nheight=480\nfrequency=double\ndistance_mm=1000\n");
    ASSERT_EQ(camera.setControl(CameraCtrl::MODE, static_cast<int>(TofWorkMode::DOUBLE_FREQ)), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), VelmoraSuccess);
    VelmoraFrameBuffer* frame = camera.requestFrame(kWaitMs);
    ASSERT_NE(frame, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(frame->getFormat(FrameType::RAW, &format), 0);
    EXPECT_EQ(format.width, 640u);
    EXPECT_EQ(format.height, 4810u);
    const auto* words = static_cast<const uint16_t*>(frame->getData(FrameType::RAW));
    ASSERT_NE(words, nullptr);
    for (int image = 0; image < 10; ++image) {
        const uint16_t* meta = words + static_cast<size_t>(image) * 640 * 481;
        EXPECT_EQ(meta[si4c::kMetaMarkerWord], si4c::kMetaMarker) << image;
        EXPECT_EQ(meta[si4c::kMetaIndex], image);
        EXPECT_EQ(meta[si4c::kMetaCount], 10);
    }
    // Last word of the frame: the grey image of the lower frequency.
    const double grey = words[640u * 4810u - 1];
    EXPECT_NEAR(grey, si4c::kGreyDark + VelmoraSim::amplitudeForDistance(1000, 1.0), 1);
    camera.releaseFrame(frame);
    ASSERT_EQ(camera.stop(), VelmoraSuccess);
}

}  // namespace
