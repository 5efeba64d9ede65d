// USB transport against the simulated camera module.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "VelmoraEvkTesting.h"
#include "VelmoraTOFUSBSensor.h"

using namespace Velmora;
namespace evk = VelmoraSim::EvkTesting;

namespace {

class ConfigFile {
public:
    ConfigFile(const std::string& name, const std::string& text)
        : path(::testing::TempDir() + "usb_sensor_" + std::to_string(::getpid()) + "_" + name) {
        std::ofstream(path) << text;
    }
    ~ConfigFile() { std::remove(path.c_str()); }
    const std::string path;
};

CameraInfo cameraRecord() {
    CameraInfo info{};
    info.index = 7;
    info.connect = Connection::USB;
    info.device_type = VGA;
    info.type = FrameType::DEPTH;
    return info;
}

std::vector<uint16_t> samples(const std::vector<uint8_t>& bytes) {
    std::vector<uint16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

class UsbSensorTest : public ::testing::Test {
protected:
    void SetUp() override { evk::reset(); }
    void TearDown() override { EXPECT_EQ(evk::openModules(), 0) << "a test left a module open"; }

    // Opened and streaming sensor over `text`; frameCount as given.
    std::unique_ptr<VelmoraTOFUSBSensor> streamingSensor(const ConfigFile& file, int frameCount) {
        auto sensor = std::make_unique<VelmoraTOFUSBSensor>(frameCount, file.path, 0);
        CameraInfo info = cameraRecord();
        EXPECT_EQ(sensor->open(info), 0);
        EXPECT_EQ(sensor->start(), 0);
        return sensor;
    }
};

constexpr int kW = 16;
constexpr int kH = 4;
const std::string kSmall = "width=16\nheight=4\nfps=0\nscene=demo\nnoise=6\nseed=11\n";

}  // namespace

TEST_F(UsbSensorTest, BinaryFlagFollowsCaseSensitiveSuffix) {
    struct Case {
        std::string name;
        uint8_t flag;
    };
    for (const Case& c : {Case{"cfg.bin", 1}, Case{"cfg.BIN", 0}, Case{"cfg.bin.txt", 0}, Case{"cfg.txt", 0}}) {
        ConfigFile file(c.name, kSmall);
        VelmoraTOFUSBSensor sensor(1, file.path, 0);
        CameraInfo info = cameraRecord();
        const int rc = sensor.open(info);
        const evk::OpenRecord rec = evk::lastOpen();
        ASSERT_TRUE(rec.called) << c.name;
        EXPECT_FALSE(rec.pathWasNull);
        EXPECT_EQ(rec.path, file.path);
        EXPECT_EQ(rec.binaryFlag, c.flag) << c.name;
        // The module reads text files only, so only the binary open fails.
        EXPECT_EQ(rc, c.flag ? -1 : 0) << c.name;
        EXPECT_EQ(sensor.close(), 0);
    }
}

TEST_F(UsbSensorTest, EmptyPathKeepsLibraryDefaults) {
    VelmoraTOFUSBSensor sensor(1, "", 0);
    CameraInfo info = cameraRecord();
    ASSERT_EQ(sensor.open(info), 0);
    const evk::OpenRecord rec = evk::lastOpen();
    EXPECT_TRUE(rec.pathWasNull);
    EXPECT_EQ(rec.binaryFlag, 0);
    EXPECT_EQ(evk::callCounts().defaultParam, 1);
    // The module's defaults: the 240 x 180 sensor with 12-bit samples.
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(info.bit_width, 12u);
    EXPECT_EQ(info.bpp, 2u);
    sensor.close();
}

TEST_F(UsbSensorTest, ShortPathIsNotBinaryAndDoesNotThrow) {
    for (const std::string path : {"a", "ab", "bin", ".bi"}) {
        VelmoraTOFUSBSensor sensor(1, path, 0);
        CameraInfo info = cameraRecord();
        int rc = 0;
        EXPECT_NO_THROW(rc = sensor.open(info)) << path;
        EXPECT_EQ(evk::lastOpen().binaryFlag, 0) << path;
        EXPECT_EQ(rc, -1) << "no such file: " << path;
        EXPECT_EQ(sensor.close(), 0);
    }
}

TEST_F(UsbSensorTest, OpenReportsGeometryAndBytesPerSample) {
    for (int bits : {8, 9, 10, 12, 16}) {
        ConfigFile file("geometry.txt", "width=40\nheight=6\nbit_width=" + std::to_string(bits) + "\n");
        VelmoraTOFUSBSensor sensor(1, file.path, 3);
        CameraInfo info = cameraRecord();
        ASSERT_EQ(sensor.open(info), 0) << bits;
        EXPECT_EQ(info.width, 40u);
        EXPECT_EQ(info.height, 6u);
        EXPECT_EQ(info.bit_width, static_cast<uint32_t>(bits));
        EXPECT_EQ(info.bpp, bits > 8 ? 2u : 1u) << bits;
        // The camera's own fields pass through untouched.
        EXPECT_EQ(info.index, 7u);
        EXPECT_EQ(info.connect, Connection::USB);
        EXPECT_EQ(info.type, FrameType::DEPTH);
        const CameraInfo kept = sensor.getCameraInfo();
        EXPECT_EQ(0, std::memcmp(&info, &kept, sizeof(info)));
        sensor.close();
    }
}

TEST_F(UsbSensorTest, FailedOpenOrInitLeavesRecordAndCloseUsable) {
    ConfigFile file("fail.txt", kSmall);
    const CameraInfo before = cameraRecord();

    evk::failNext(evk::Call::OpenCamera);
    VelmoraTOFUSBSensor openFails(1, file.path, 0);
    CameraInfo info = before;
    EXPECT_EQ(openFails.open(info), -1);
    EXPECT_EQ(0, std::memcmp(&info, &before, sizeof(info)));
    EXPECT_EQ(openFails.close(), 0);
    EXPECT_EQ(evk::callCounts().closeCamera, 0) << "nothing was opened";

    evk::failNext(evk::Call::InitCamera);
    VelmoraTOFUSBSensor initFails(1, file.path, 0);
    EXPECT_EQ(initFails.open(info), -1);
    EXPECT_EQ(0, std::memcmp(&info, &before, sizeof(info)));
    EXPECT_EQ(evk::openModules(), 1);
    EXPECT_EQ(initFails.close(), 0);
    EXPECT_EQ(evk::callCounts().closeCamera, 1) << "the opened module is released";
    EXPECT_EQ(initFails.close(), 0);
    EXPECT_EQ(evk::callCounts().closeCamera, 1);
}

// Every bit width must land on the same 12-bit scale: the same scene read at
// 12 and 16 bits gives identical samples, narrower sensors lose only low bits.
TEST_F(UsbSensorTest, EveryBitWidthConvertsToTwelveBitScale) {
    auto read = [this](int bits) {
        ConfigFile file("bits.txt", kSmall + "bit_width=" + std::to_string(bits) + "\n");
        auto sensor = streamingSensor(file, 1);
        std::vector<uint8_t> dest(2 * kW * kH, 0xEE);
        uint64_t ts = 0;
        EXPECT_EQ(sensor->readFrame(dest.data(), &ts), 0);
        sensor->stop();
        sensor->close();
        return samples(dest);
    };
    const std::vector<uint16_t> twelve = read(12);
    const std::vector<uint16_t> sixteen = read(16);
    const std::vector<uint16_t> ten = read(10);
    const std::vector<uint16_t> eight = read(8);
    ASSERT_EQ(twelve.size(), static_cast<size_t>(kW * kH));
    int distinct = 0;
    for (size_t j = 0; j < twelve.size(); ++j) {
        EXPECT_LT(twelve[j], 4096) << j;
        EXPECT_EQ(sixteen[j], twelve[j]) << j;
        EXPECT_EQ(ten[j], twelve[j] & ~0x3) << j;
        EXPECT_EQ(eight[j], twelve[j] & ~0xF) << j;
        distinct += twelve[j] != twelve[0];
    }
    EXPECT_GT(distinct, 0) << "the test image must not be flat";
}

TEST_F(UsbSensorTest, ConversionsMatchTheDeliveredImages) {
    for (int bits : {8, 10, 12, 16}) {
        ConfigFile file("conv.txt", kSmall + "bit_width=" + std::to_string(bits) + "\n");
        auto sensor = streamingSensor(file, 1);
        ASSERT_TRUE(evk::keepImageCopies(evk::lastHandle(), true));
        std::vector<uint8_t> dest(2 * kW * kH);
        uint64_t ts = 0;
        ASSERT_EQ(sensor->readFrame(dest.data(), &ts), 0);
        const auto images = evk::takeImageCopies(evk::lastHandle());
        ASSERT_EQ(images.size(), 1u);
        const std::vector<uint8_t>& src = images[0];
        const std::vector<uint16_t> out = samples(dest);
        for (int j = 0; j < kW * kH; ++j) {
            uint16_t expected;
            if (bits == 8) {
                expected = static_cast<uint16_t>(src[j] * 16);
            } else {
                const unsigned v = src[2 * j] | (src[2 * j + 1] << 8);
                expected = static_cast<uint16_t>(bits == 16 ? v / 16 : bits == 10 ? v * 4 : v);
            }
            ASSERT_EQ(out[j], expected) << "bits " << bits << " sample " << j;
        }
        sensor->stop();
        sensor->close();
    }
}

TEST_F(UsbSensorTest, TimestampDriftRestartsTheFrame) {
    ConfigFile file("restart.txt", kSmall);
    auto sensor = streamingSensor(file, 4);
    const VelmoraEvkHandle h = evk::lastHandle();
    ASSERT_TRUE(evk::scriptTimestamps(h, {100, 102, 110, 112, 114, 116}));
    ASSERT_TRUE(evk::keepImageCopies(h, true));
    std::vector<uint8_t> dest(4 * 2 * kW * kH);
    uint64_t ts = 0;
    ASSERT_EQ(sensor->readFrame(dest.data(), &ts), 0);
    EXPECT_EQ(ts, 116u);
    const auto images = evk::takeImageCopies(h);
    ASSERT_EQ(images.size(), 6u);
    // The frame holds the images stamped 110, 112, 114, 116, in that order.
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(0, std::memcmp(dest.data() + k * 2 * kW * kH, images[2 + k].data(), 2 * kW * kH)) << k;
    EXPECT_EQ(evk::lentImages(h), 0);
    sensor->stop();
    sensor->close();
}

TEST_F(UsbSensorTest, ModuleClockGapResynchronisesOnTheNextFrame) {
    // The 11th sub-frame (third phase of frame 2) arrives late.
    ConfigFile file("gap.txt", kSmall + "timestamp_gap_every=11\n");
    auto sensor = streamingSensor(file, 4);
    const VelmoraEvkHandle h = evk::lastHandle();
    std::vector<uint8_t> dest(4 * 2 * kW * kH);
    uint64_t ts = 0;
    ASSERT_EQ(sensor->readFrame(dest.data(), &ts), 0);
    ASSERT_EQ(sensor->readFrame(dest.data(), &ts), 0);
    ASSERT_TRUE(evk::keepImageCopies(h, true));
    const int capturesBefore = evk::callCounts().captureImage;
    ASSERT_EQ(sensor->readFrame(dest.data(), &ts), 0);
    // Two images before the gap, one after it, then the next frame's four.
    EXPECT_EQ(evk::callCounts().captureImage - capturesBefore, 8);
    const auto images = evk::takeImageCopies(h);
    ASSERT_EQ(images.size(), 8u);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(0, std::memcmp(dest.data() + k * 2 * kW * kH, images[4 + k].data(), 2 * kW * kH)) << k;
    sensor->stop();
    sensor->close();
}

TEST_F(UsbSensorTest, WrongSizeImageFailsTheFrameAndIsReleased) {
    ConfigFile file("size.txt", kSmall + "wrong_size_every=2\n");
    auto sensor = streamingSensor(file, 1);
    std::vector<uint8_t> dest(2 * kW * kH);
    uint64_t ts = 0;
    EXPECT_EQ(sensor->readFrame(dest.data(), &ts), 0);
    EXPECT_EQ(sensor->readFrame(dest.data(), &ts), -1);
    EXPECT_EQ(evk::lentImages(evk::lastHandle()), 0);
    EXPECT_EQ(evk::callCounts().freeImage, 2);
    EXPECT_EQ(sensor->readFrame(dest.data(), &ts), 0) << "the transport carries on";
    sensor->stop();
    sensor->close();
}

TEST_F(UsbSensorTest, LostSubFrameFailsTheFrame) {
    // The third sub-frame is lost on the link: the frame would mix three new
    // images with whatever the last slot held, so it is reported as failed.
    ConfigFile file("lost.txt", kSmall + "fail_capture_every=3\n");
    auto sensor = streamingSensor(file, 4);
    const VelmoraEvkHandle h = evk::lastHandle();
    ASSERT_TRUE(evk::keepImageCopies(h, true));
    const size_t sub = 2 * kW * kH;
    std::vector<uint8_t> dest(4 * sub, 0xAB);
    uint64_t ts = 12345;
    EXPECT_EQ(sensor->readFrame(dest.data(), &ts), -1);
    EXPECT_EQ(evk::callCounts().captureImage, 4) << "four passes, one of them empty";
    EXPECT_EQ(evk::takeImageCopies(h).size(), 3u);
    EXPECT_EQ(evk::lentImages(h), 0);

    // Nothing at all arrives: a failure, not a frame with timestamp 0.
    evk::failNext(evk::Call::CaptureImage, 4);
    EXPECT_EQ(sensor->readFrame(dest.data(), &ts), -1);
    sensor->stop();
    sensor->close();
}

TEST_F(UsbSensorTest, ReadOutsideStreamingTouchesNothing) {
    ConfigFile file("idle.txt", kSmall);
    VelmoraTOFUSBSensor sensor(4, file.path, 0);
    CameraInfo info = cameraRecord();
    ASSERT_EQ(sensor.open(info), 0);
    std::vector<uint8_t> dest(4 * 2 * kW * kH, 0x5A);
    uint64_t ts = 77;
    EXPECT_EQ(sensor.readFrame(dest.data(), &ts), -1) << "no frame was read";
    EXPECT_EQ(ts, 77u);
    for (uint8_t b : dest) ASSERT_EQ(b, 0x5A);
    EXPECT_EQ(evk::callCounts().captureImage, 0);
    sensor.close();
}

TEST_F(UsbSensorTest, SecondStartFailsWithoutLibraryCall) {
    ConfigFile file("start.txt", kSmall);
    auto sensor = streamingSensor(file, 1);
    const int calls = evk::callCounts().total();
    EXPECT_EQ(sensor->start(), -1);
    EXPECT_EQ(evk::callCounts().total(), calls);
    EXPECT_EQ(sensor->stop(), 0);
    EXPECT_EQ(sensor->start(), 0) << "stop clears the flag";
    sensor->stop();
    sensor->close();
}

TEST_F(UsbSensorTest, RefusedStartLeavesCloseUsable) {
    ConfigFile file("refused.txt", kSmall);
    VelmoraTOFUSBSensor sensor(1, file.path, 0);
    CameraInfo info = cameraRecord();
    ASSERT_EQ(sensor.open(info), 0);
    evk::failNext(evk::Call::StartCamera);
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_EQ(sensor.close(), 0);
    EXPECT_EQ(evk::callCounts().closeCamera, 1);
}

TEST_F(UsbSensorTest, CloseTwiceClosesOnce) {
    ConfigFile file("close.txt", kSmall);
    VelmoraTOFUSBSensor sensor(1, file.path, 0);
    CameraInfo info = cameraRecord();
    ASSERT_EQ(sensor.open(info), 0);
    EXPECT_EQ(sensor.close(), 0);
    EXPECT_EQ(sensor.close(), 0);
    EXPECT_EQ(evk::callCounts().closeCamera, 1);
}

TEST_F(UsbSensorTest, DestructorReleasesAnOpenModule) {
    ConfigFile file("dtor.txt", kSmall);
    {
        auto sensor = streamingSensor(file, 1);
        EXPECT_EQ(evk::openModules(), 1);
    }
    EXPECT_EQ(evk::openModules(), 0);
}

TEST_F(UsbSensorTest, RangeWritesRegisterTableInOrder) {
    using Writes = std::vector<std::pair<uint32_t, uint32_t>>;
    const Writes nearTable{{0x216c, 0x08}, {0x2179, 0x0a}, {0x217a, 0x0e}, {0x217b, 0x12}};
    const Writes farTable{{0x216c, 0x10}, {0x2179, 0x0e}, {0x217a, 0x16}, {0x217b, 0x1e}};
    ConfigFile file("range.txt", kSmall);
    VelmoraTOFUSBSensor sensor(1, file.path, 0);
    CameraInfo info = cameraRecord();
    ASSERT_EQ(sensor.open(info), 0);
    const VelmoraEvkHandle h = evk::lastHandle();

    EXPECT_EQ(sensor.setControl(CameraCtrl::RANGE, 2000), 0);
    EXPECT_EQ(evk::registerWrites(h), nearTable);
    EXPECT_DOUBLE_EQ(evk::modulationHz(h), 75e6);

    EXPECT_EQ(sensor.setControl(CameraCtrl::RANGE, 4000), 0);
    Writes expected = nearTable;
    expected.insert(expected.end(), farTable.begin(), farTable.end());
    EXPECT_EQ(evk::registerWrites(h), expected);
    EXPECT_DOUBLE_EQ(evk::modulationHz(h), 37.5e6);

    EXPECT_EQ(sensor.setControl(CameraCtrl::RANGE, 2000), 0);
    EXPECT_EQ(sensor.setControl(CameraCtrl::RANGE, 1), 0);
    EXPECT_EQ(evk::registerWrites(h).size(), 16u);
    const Writes all = evk::registerWrites(h);
    EXPECT_EQ(Writes(all.end() - 4, all.end()), farTable);

    const int writes = evk::callCounts().writeSensorReg;
    EXPECT_EQ(sensor.setControl(CameraCtrl::EXPOSURE, 100), VelmoraInvalidParameter);
    EXPECT_EQ(sensor.setControl(CameraCtrl::FRAME_RATE, 10), VelmoraInvalidParameter);
    EXPECT_EQ(evk::callCounts().writeSensorReg, writes);

    int value = 42;
    EXPECT_EQ(sensor.getControl(CameraCtrl::RANGE, &value), VelmoraNotImplemented);
    EXPECT_EQ(value, 42);
    sensor.close();
    // Closed: accepted as on an open sensor, with nothing sent to the library.
    const int beforeClosedWrite = evk::callCounts().writeSensorReg;
    EXPECT_EQ(sensor.setControl(CameraCtrl::RANGE, 2000), 0) << "closed";
    EXPECT_EQ(evk::callCounts().writeSensorReg, beforeClosedWrite);
}
