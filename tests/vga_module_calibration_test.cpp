// The VGA model's calibration from the camera module's control chip, against
// the block reads of the emulated board.

#include <linux/i2c-dev.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BoardSession.h"
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

class VgaModuleCalibration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sensor.open(info), 0);
        ASSERT_EQ(model.attachSensor(&sensor), 0);
    }
    void TearDown() override {
        model.close();
        sensor.close();
        VelmoraTest::expectNothingHeld(session.board);
    }

    vgatest::ScratchDir dir;  // the default files and the dump land here
    BoardSession session{VelmoraTest::patternPreset(5)};
    VelmoraTOFCSISensor sensor{1, 5, "/dev/video0"};
    CameraInfo info{};
    VelmoraDeviceVGA model{5};
};

TEST_F(VgaModuleCalibration, OffByDefault) {
    ASSERT_EQ(model.start(), 0);
    EXPECT_TRUE(requestedBlocks(session.board).empty());
    EXPECT_TRUE(triedCalibrationFile(session.board));
    EXPECT_FALSE(std::filesystem::exists("cali.out.bin"));
}

TEST_F(VgaModuleCalibration, ReadsEveryBlockOfTheStatedLengthAndDumpsIt) {
    model.setModuleCalibration(true, true);
    ASSERT_EQ(model.start(), 0);

    const size_t length = EmulatedBoard::blockByte(80, 0) | EmulatedBoard::blockByte(80, 1) << 8;
    ASSERT_GE(length, 512u);
    ASSERT_LE(length, 16384u);
    const size_t blocks = (length + 511) / 512;
    std::vector<uint16_t> expected;
    for (size_t j = 0; j < blocks; ++j) expected.push_back(static_cast<uint16_t>(80 + 512 * j));
    EXPECT_EQ(requestedBlocks(session.board), expected);
    EXPECT_FALSE(triedCalibrationFile(session.board)) << "the module's data replaces the file";

    const std::string dump = vgatest::readFile("cali.out.bin");
    ASSERT_EQ(dump.size(), length);
    for (size_t i = 0; i < length; ++i) {
        ASSERT_EQ(static_cast<uint8_t>(dump[i]), EmulatedBoard::blockByte(static_cast<uint16_t>(80 + 512 * (i / 512)), i % 512))
            << "byte " << i;
    }
}

TEST_F(VgaModuleCalibration, FailedBlockReadFallsBackToTheFile) {
    model.setModuleCalibration(true, true);
    // Transfers: request and fetch per block; the fourth is the second block's fetch.
    session.board.injectFault({Call::Ioctl, I2C_RDWR, "", EIO, 3, 1});
    ASSERT_EQ(model.start(), 0);
    EXPECT_EQ(requestedBlocks(session.board).size(), 2u);
    EXPECT_TRUE(triedCalibrationFile(session.board));
    EXPECT_FALSE(std::filesystem::exists("cali.out.bin"));
}

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
