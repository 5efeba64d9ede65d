// The VGA model's calibration from the camera module's control chip, against
// the block reads of the emulated board: which blocks are read, that the record
// reaches the phase processor and corrects depth as it says, and when the
// model falls back to "cali.bin".

#include <linux/i2c-dev.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BoardSession.h"
#include "BoardWithFiles.h"
#include "Si4cConfig.h"
#include "VelmoraDeviceVGA.h"
#include "VelmoraTOFCSISensor.h"
#include "vga_test_support.h"

namespace {

using namespace Velmora;
using VelmoraTest::BoardSession;
using VelmoraTest::Call;
using VelmoraTest::EmulatedBoard;

// Offsets of the blocks the chip was asked for, in order.
std::vector<uint16_t> requestedBlocks(const EmulatedBoard& board) {
    std::vector<uint16_t> offsets;
    for (const auto& transfer : board.i2cTransfers()) {
        if (transfer.messages.size() != 1) continue;
        const auto& data = transfer.messages[0].data;
        if (data.size() == 6 && data[0] == 0x06 && data[1] == 0x31)
            offsets.push_back(static_cast<uint16_t>(data[2] << 8 | data[3]));
    }
    return offsets;
}

bool triedCalibrationFile(const EmulatedBoard& board) {
    const auto calls = board.calls();
    return std::any_of(calls.begin(), calls.end(),
                       [](const VelmoraTest::CallRecord& c) { return c.call == Call::Open && c.target == "cali.bin"; });
}

constexpr double kPi = 3.14159265358979323846;
// The module adds this phase at every frequency; its calibration record says so.
constexpr float kModuleOffset = 0.9f;
constexpr double kTruthMm = 500;
constexpr uint16_t kRecordLength = 1300;  // three blocks
constexpr float kFileOffset = 0.3f;

// A 320 x 240 VGA module whose store holds `store` from block offset 80 on.
VelmoraTest::BoardOptions moduleBoard(std::vector<uint8_t> store) {
    VelmoraTest::BoardOptions options = VelmoraTest::patternPreset(5);
    options.vgaSensor = true;
    options.nativeWidth = 320;
    options.nativeHeight = 1205;
    options.calibrationStore = std::move(store);
    return options;
}

class VgaModuleCalibration : public ::testing::Test {
protected:
    explicit VgaModuleCalibration(std::vector<uint8_t> store = si4c::encodeCalibration(
                                      {kModuleOffset, kModuleOffset, kModuleOffset}, kRecordLength))
        : board(moduleBoard(std::move(store))) {}

    void SetUp() override {
        ASSERT_EQ(sensor.open(info), 0);
        ASSERT_EQ(model.attachSensor(&sensor), 0);
        ASSERT_EQ(model.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
        ASSERT_EQ(model.setControl(CameraCtrl::FMT_HEIGHT, 240), 0);
        // A "cali.bin" that corrects only part of the module's offset.
        vgatest::writeBytes("cali.bin", si4c::encodeCalibration({kFileOffset, kFileOffset, kFileOffset}));
    }
    void TearDown() override {
        model.close();
        sensor.close();
        EXPECT_EQ(seam.held(), 0u) << "\"cali.bin\" released";
        VelmoraTest::expectNothingHeld(board);
    }

    // Starts the model and measures a pixel of a frame from this module at kTruthMm.
    float startAndMeasure() {
        EXPECT_EQ(model.configureSensor(), 0);
        EXPECT_EQ(model.start(), 0);
        FrameGeometry raw{}, depth{};
        model.getFrameFormats(raw, depth);
        const auto frame = vgatest::synthesiseFrame(
            320, 240, true, [](int, int) { return vgatest::PixelTruth{kTruthMm, 300}; }, kModuleOffset);
        std::vector<float> d(320 * 240, -1.0f), a(d), c(d);
        EXPECT_TRUE(model.getPhaseImage(reinterpret_cast<const uint8_t*>(frame.data()), d.data(), a.data(), c.data()));
        return d[1000];
    }

    // Depth of that pixel when "cali.bin" corrected it instead of the module's record.
    static double fromTheFile() { return kTruthMm + (kModuleOffset - kFileOffset) / (2 * kPi) * si4c::kSingleRangeMm; }

    vgatest::ScratchDir dir;  // the default files, "cali.bin" and the dump live here
    EmulatedBoard board;
    VelmoraTest::BoardWithFiles seam{board};
    ScopedSystemOverride over{seam};
    VelmoraTOFCSISensor sensor{1, 5, "/dev/video0"};
    CameraInfo info{};
    VelmoraDeviceVGA model{5};
};

TEST_F(VgaModuleCalibration, OffByDefault) {
    EXPECT_NEAR(startAndMeasure(), fromTheFile(), 1.0);
    EXPECT_TRUE(requestedBlocks(board).empty());
    EXPECT_FALSE(std::filesystem::exists("cali.out.bin"));
}

TEST_F(VgaModuleCalibration, ReadsEveryBlockOfTheRecordCorrectsDepthAndDumpsIt) {
    model.setModuleCalibration(true, true);
    EXPECT_NEAR(startAndMeasure(), kTruthMm, 1.0) << "the module's record replaces the file";
    EXPECT_EQ(requestedBlocks(board), (std::vector<uint16_t>{80, 592, 1104}));

    const std::string dump = vgatest::readFile("cali.out.bin");
    const auto record = si4c::encodeCalibration({kModuleOffset, kModuleOffset, kModuleOffset}, kRecordLength);
    EXPECT_EQ(dump, std::string(record.begin(), record.end()));
}

TEST_F(VgaModuleCalibration, FailedBlockReadFallsBackToTheFile) {
    model.setModuleCalibration(true, true);
    // Transfers: request and fetch per block; the fourth is the second block's fetch.
    board.injectFault({Call::Ioctl, I2C_RDWR, "", EIO, 3, 1});
    EXPECT_NEAR(startAndMeasure(), fromTheFile(), 1.0);
    EXPECT_EQ(requestedBlocks(board).size(), 2u);
    EXPECT_FALSE(std::filesystem::exists("cali.out.bin"));
}

// A stored length outside 512 to 16384 bytes: the module's data is not used.
class VgaModuleLengthOutOfRange : public VgaModuleCalibration, public ::testing::WithParamInterface<uint16_t> {
protected:
    VgaModuleLengthOutOfRange() : VgaModuleCalibration(storeWithLength(GetParam())) {}
    static std::vector<uint8_t> storeWithLength(uint16_t length) {
        auto store = si4c::encodeCalibration({kModuleOffset, kModuleOffset, kModuleOffset}, kRecordLength);
        store[0] = static_cast<uint8_t>(length);
        store[1] = static_cast<uint8_t>(length >> 8);
        return store;
    }
};

TEST_P(VgaModuleLengthOutOfRange, FallsBackToTheFile) {
    model.setModuleCalibration(true, true);
    EXPECT_NEAR(startAndMeasure(), fromTheFile(), 1.0);
    EXPECT_EQ(requestedBlocks(board), std::vector<uint16_t>{80}) << "only the length was read";
    EXPECT_FALSE(std::filesystem::exists("cali.out.bin"));
}

INSTANTIATE_TEST_SUITE_P(Lengths, VgaModuleLengthOutOfRange, ::testing::Values(32, 511, 16385, 65535));

class NonCsiSensor : public VelmoraTOFSensor {
public:
    int open(CameraInfo&) override { return 0; }
    int close() override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    CameraInfo getCameraInfo() override { return {}; }
    int readFrame(uint8_t*, uint64_t*) override { return -1; }
    int setControl(CameraCtrl, int) override { return 0; }
    int getControl(CameraCtrl, int*) override { return 4; }
};

TEST(VgaModuleCalibrationUsb, OtherTransportsUseTheFile) {
    vgatest::ScratchDir dir;
    BoardSession session{VelmoraTest::patternPreset(5)};
    NonCsiSensor sensor;
    VelmoraDeviceVGA model(0);
    ASSERT_EQ(model.attachSensor(&sensor), 0);
    model.setModuleCalibration(true, true);
    ASSERT_EQ(model.start(), 0);
    EXPECT_TRUE(session.board.i2cTransfers().empty());
    EXPECT_TRUE(triedCalibrationFile(session.board));
    EXPECT_FALSE(std::filesystem::exists("cali.out.bin"));
}

}  // namespace
