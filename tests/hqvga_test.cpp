// HQVGA depth model: decoding, plane orders, angle wrap, raw interleave,
// controls, and equality with the scalar reference.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "HqvgaReference.h"
#include "VelmoraDeviceHQVGA.h"
#include "support/BitEqual.h"

using namespace Velmora;

namespace {

constexpr int kW = 240;
constexpr int kH = 180;
constexpr int kPixels = kW * kH;

struct RawFrame {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4 * kPixels * 2, 0);
    void set(int plane, int index, uint16_t word) {
        const size_t at = 2 * (static_cast<size_t>(plane) * kPixels + static_cast<size_t>(index));
        bytes[at] = static_cast<uint8_t>(word & 0xFF);
        bytes[at + 1] = static_cast<uint8_t>(word >> 8);
    }
    // One pixel from four signed 11-bit counts (each decodes to 16 x count).
    void pixel(int index, int c0, int c1, int c2, int c3) {
        const int c[4] = {c0, c1, c2, c3};
        for (int k = 0; k < 4; ++k) set(k, index, static_cast<uint16_t>(c[k] & 0x7FF));
    }
};

struct Planes {
    std::vector<float> depth = std::vector<float>(kPixels, -1.0f);
    std::vector<float> amplitude = std::vector<float>(kPixels, -1.0f);
    std::vector<float> confidence = std::vector<float>(kPixels, -1.0f);
};

Planes process(VelmoraDeviceHQVGA& model, const RawFrame& raw) {
    Planes p;
    EXPECT_TRUE(model.getPhaseImage(raw.bytes.data(), p.depth.data(), p.amplitude.data(), p.confidence.data()));
    return p;
}

class FakeSensor : public VelmoraTOFSensor {
public:
    explicit FakeSensor(Connection c) { info.connect = c; }
    int open(CameraInfo&) override { return 0; }
    int close() override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    CameraInfo getCameraInfo() override { return info; }
    int readFrame(uint8_t*, uint64_t*) override { return 0; }
    int setControl(CameraCtrl ctrl, int value) override {
        calls.emplace_back(ctrl, value);
        return setResult;
    }
    int getControl(CameraCtrl ctrl, int* value) override {
        if (ctrl == CameraCtrl::FRAME_RATE) *value = 25;
        return getResult;
    }

    CameraInfo info{};
    std::vector<std::pair<CameraCtrl, int>> calls;
    int setResult = 0;
    int getResult = 0;
};

}  // namespace

TEST(HqvgaDecode, ElevenBitTwosComplementTimesSixteen) {
    struct Case {
        uint16_t word;
        int16_t platform0;
        int16_t platform3;
    };
    const Case cases[] = {
        {0x0400, -16384, 1024}, {0x03FF, 16368, 0x3F * 16}, {0x0C00, -16384, 3072}, {0x07FF, -16, 0x7F * 16},
        {0x0001, 16, 0},        {0x000F, 240, 0},           {0xF800, 0, -2048},     {0x4000, 0, -16384},
        {0x3FF0, -256, 16368},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HqvgaReference::decodeSample(c.word, 0), c.platform0) << std::hex << c.word;
        EXPECT_EQ(HqvgaReference::decodeSample(c.word, 4), c.platform3) << std::hex << c.word;
    }
}

TEST(HqvgaDecode, ModelDecodesThroughRawOutputPerPlatform) {
    RawFrame raw;
    raw.set(0, 0, 0x0400);
    raw.set(1, 0, 0x03FF);
    raw.set(2, 0, 0x0C00);  // bit 11 is ignored
    raw.set(3, 0, 0x4010);  // platform 3 drops the low four bits first
    std::vector<int16_t> out(kW * 4 * kH);

    VelmoraDeviceHQVGA plain(0);
    EXPECT_EQ(plain.sampleShift(), 0);
    plain.getRawImages(raw.bytes.data(), out.data());
    EXPECT_EQ(out[0 * kW], -16384);
    EXPECT_EQ(out[1 * kW], 16368);
    EXPECT_EQ(out[2 * kW], -16384);
    EXPECT_EQ(out[3 * kW], 256);

    VelmoraDeviceHQVGA shifted(3);
    EXPECT_EQ(shifted.sampleShift(), 4);
    shifted.getRawImages(raw.bytes.data(), out.data());
    EXPECT_EQ(out[0 * kW], 1024);
    EXPECT_EQ(out[3 * kW], -16384 + 16);
    for (int platform : {0, 2, 5, 6, 7}) EXPECT_EQ(VelmoraDeviceHQVGA(platform).sampleShift(), 0) << platform;
}

TEST(HqvgaDepth, EqualSamplesGiveZeroEverywhere) {
    RawFrame raw;
    raw.pixel(5, 300, 300, 300, 300);
    raw.pixel(6, -7, -7, -7, -7);
    VelmoraDeviceHQVGA model(0);
    const Planes p = process(model, raw);
    for (int i : {0, 5, 6}) {
        EXPECT_EQ(p.depth[i], 0.0f) << i;
        EXPECT_EQ(p.amplitude[i], 0.0f) << i;
        EXPECT_EQ(p.confidence[i], 0.0f) << i;
    }
}

TEST(HqvgaDepth, HalfTurnIsHalfTheRangeInEitherOrder) {
    VelmoraDeviceHQVGA model(0);
    // Far order: y = P2 - P0 = 0, x = P3 - P1 < 0.
    RawFrame far;
    far.pixel(0, 50, 100, 50, -100);
    EXPECT_NEAR(process(model, far).depth[0], 2000.0f, 0.01f);

    // Near order at 75 MHz: y = P1 - P3 = 0, x = P2 - P0 < 0.
    ASSERT_EQ(model.setControl(CameraCtrl::RANGE, 2000), 0);
    RawFrame near;
    near.pixel(0, 100, 30, -100, 30);
    EXPECT_NEAR(process(model, near).depth[0], 1000.0f, 0.01f);
    // The far-order frame read in near order is a different angle.
    EXPECT_GT(std::fabs(process(model, far).depth[0] - 1000.0f), 100.0f);
}

TEST(HqvgaDepth, NegativeAngleWrapsIntoUpperHalf) {
    VelmoraDeviceHQVGA model(0);
    RawFrame raw;
    // Far order: y = P2 - P0 = -200 counts, x = P3 - P1 = +200: -pi/4 -> 7/8 of 4000 mm.
    raw.pixel(0, 100, -100, -100, 100);
    // y = -1 count, x large: just below a full turn.
    raw.pixel(1, 1, -500, 0, 500);
    const Planes p = process(model, raw);
    EXPECT_NEAR(p.depth[0], 3500.0f, 0.05f);
    EXPECT_GT(p.depth[1], 3990.0f);
    EXPECT_LT(p.depth[1], 4000.0f);
}

TEST(HqvgaDepth, AmplitudeIsHalfTheVectorLengthOnBothPlanes) {
    VelmoraDeviceHQVGA model(0);
    RawFrame raw;
    // Far order: x = P3 - P1 = 30 counts (480), y = P2 - P0 = 40 counts (640).
    raw.pixel(0, -20, -15, 20, 15);
    const Planes p = process(model, raw);
    EXPECT_FLOAT_EQ(p.amplitude[0], 400.0f);
    EXPECT_FLOAT_EQ(p.confidence[0], 400.0f);
    EXPECT_NEAR(p.depth[0], std::atan2(640.0, 480.0) / (2 * M_PI) * 4000.0, 0.01);
}

// The model runs the fastest vector form of this CPU with the plane order,
// frequency and sample shift of its range and platform: its planes and its
// raw interleave equal the scalar reference's bit for bit.
TEST(HqvgaDepth, EqualsTheScalarReferenceBitForBit) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> word(0, 0xFFFF);
    RawFrame raw;
    for (size_t i = 0; i + 1 < raw.bytes.size(); i += 2) {
        const int w = word(rng);
        raw.bytes[i] = static_cast<uint8_t>(w & 0xFF);
        raw.bytes[i + 1] = static_cast<uint8_t>(w >> 8);
    }
    for (int platform : {0, 3}) {
        for (int range : {4000, 2000}) {
            VelmoraDeviceHQVGA model(platform);
            ASSERT_EQ(model.setControl(CameraCtrl::RANGE, range), 0);
            const Planes got = process(model, raw);
            Planes want;
            HqvgaReference::depthFrame(raw.bytes.data(), range, model.modulationFrequency(), model.sampleShift(),
                                       want.depth.data(), want.amplitude.data(), want.confidence.data());
            EXPECT_TRUE(VelmoraTest::bitEqual(got.depth.data(), want.depth.data(), kPixels, "depth"))
                << "platform " << platform << " range " << range;
            EXPECT_TRUE(VelmoraTest::bitEqual(got.amplitude.data(), want.amplitude.data(), kPixels, "amplitude"))
                << "platform " << platform << " range " << range;
            EXPECT_TRUE(VelmoraTest::bitEqual(got.confidence.data(), want.confidence.data(), kPixels, "confidence"))
                << "platform " << platform << " range " << range;

            std::vector<int16_t> gotRaw(kW * 4 * kH), wantRaw(kW * 4 * kH);
            model.getRawImages(raw.bytes.data(), gotRaw.data());
            HqvgaReference::rawFrame(raw.bytes.data(), model.sampleShift(), wantRaw.data());
            ASSERT_EQ(gotRaw, wantRaw);
        }
    }
}

TEST(HqvgaRaw, LinesInterleaveThePhasePlanes) {
    RawFrame raw;
    // Word of plane k, row r, column c carries a value unique to (k, r, c) modulo 2048.
    auto tag = [](int k, int r, int c) { return static_cast<uint16_t>((k * 512 + r * 3 + c) & 0x7FF); };
    for (int k = 0; k < 4; ++k)
        for (int r = 0; r < kH; ++r)
            for (int c = 0; c < kW; ++c) raw.set(k, r * kW + c, tag(k, r, c));

    const int16_t guard = 0x1234;
    std::vector<int16_t> out(kW * 4 * kH + 64, guard);
    VelmoraDeviceHQVGA model(0);
    EXPECT_EQ(model.getRawImages(raw.bytes.data(), out.data()), 1);
    auto expect = [&](int line, int k, int r) {
        for (int c = 0; c < kW; ++c)
            ASSERT_EQ(out[line * kW + c], HqvgaReference::decodeSample(tag(k, r, c), 0))
                << "line " << line << " column " << c;
    };
    expect(0, 0, 0);
    expect(1, 1, 0);
    expect(3, 3, 0);
    expect(4, 0, 1);
    expect(718, 2, 179);
    expect(719, 3, 179);
    for (size_t i = kW * 4 * kH; i < out.size(); ++i) ASSERT_EQ(out[i], guard) << "written past the frame at " << i;
}

TEST(HqvgaControls, RangeSelectsFrequencyAndOrder) {
    VelmoraDeviceHQVGA model(0);
    int value = 0;
    EXPECT_EQ(model.getControl(CameraCtrl::RANGE, &value), 0);
    EXPECT_EQ(value, 4000);
    EXPECT_FLOAT_EQ(model.modulationFrequency(), 37.5e6f);

    EXPECT_EQ(model.setControl(CameraCtrl::RANGE, 2000), 0);
    EXPECT_FLOAT_EQ(model.modulationFrequency(), 75e6f);
    EXPECT_EQ(model.getControl(CameraCtrl::RANGE, &value), 0);
    EXPECT_EQ(value, 2000);

    RawFrame far;
    far.pixel(0, 50, 100, 50, -100);  // half turn in far order
    EXPECT_EQ(model.setControl(CameraCtrl::RANGE, 4000), 0);
    EXPECT_FLOAT_EQ(model.modulationFrequency(), 37.5e6f);
    EXPECT_NEAR(process(model, far).depth[0], 2000.0f, 0.01f);
}

// The sensor has two frequencies: any other range is refused and changes nothing.
TEST(HqvgaControls, RefusesRangesItHasNoFrequencyFor) {
    RawFrame raw;
    raw.pixel(0, 50, 100, 50, -100);
    for (int kept : {2000, 4000}) {
        FakeSensor sensor(Connection::USB);
        VelmoraDeviceHQVGA model(0);
        model.attachSensor(&sensor);
        ASSERT_EQ(model.setControl(CameraCtrl::RANGE, kept), 0);
        const float depth = process(model, raw).depth[0];
        for (int refused : {3000, 0, -2000, 1999, 2001, 1250, 4500, 2, 4, INT32_MIN, INT32_MAX}) {
            EXPECT_EQ(model.setControl(CameraCtrl::RANGE, refused), VelmoraInvalidParameter) << refused;
            int value = 0;
            model.getControl(CameraCtrl::RANGE, &value);
            EXPECT_EQ(value, kept) << refused;
            EXPECT_EQ(process(model, raw).depth[0], depth) << refused;
        }
        EXPECT_EQ(sensor.calls.size(), 1u) << "a refused range reached the sensor";
    }
}

TEST(HqvgaControls, RangeChangedWhileComputingNeverMixesOrderAndFrequency) {
    VelmoraDeviceHQVGA model(0);
    RawFrame raw;
    // Far order at 37.5 MHz: half a turn, 2000 mm. Near order at 75 MHz: a
    // quarter turn, 500 mm. Order and frequency of different ranges: 1000 mm.
    raw.pixel(0, 50, 100, 50, -100);
    std::atomic<bool> done{false};
    std::thread toggler([&] {
        for (int i = 0; !done; ++i) model.setControl(CameraCtrl::RANGE, i % 2 ? 2000 : 4000);
    });
    Planes p;
    int mixed = 0;
    for (int frame = 0; frame < 3000; ++frame) {
        model.getPhaseImage(raw.bytes.data(), p.depth.data(), p.amplitude.data(), p.confidence.data());
        mixed += std::fabs(p.depth[0] - 2000.0f) > 0.01f && std::fabs(p.depth[0] - 500.0f) > 0.01f;
    }
    done = true;
    toggler.join();
    EXPECT_EQ(mixed, 0) << "frames computed with the order of one range and the frequency of the other";
}

TEST(HqvgaControls, RefusesEverythingButRange) {
    FakeSensor sensor(Connection::USB);
    VelmoraDeviceHQVGA model(0);
    EXPECT_EQ(model.attachSensor(&sensor), 0);
    for (CameraCtrl c : {CameraCtrl::FRAME_RATE, CameraCtrl::EXPOSURE, CameraCtrl::FMT_WIDTH, CameraCtrl::FMT_HEIGHT,
                         CameraCtrl::MODE, CameraCtrl::CONFIG_DIR_EXT})
        EXPECT_EQ(model.setControl(c, 10), VelmoraInvalidParameter) << static_cast<int>(c);
    EXPECT_TRUE(sensor.calls.empty()) << "refused controls never reach the sensor";

    EXPECT_EQ(model.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/tmp"), VelmoraInvalidParameter);
    EXPECT_EQ(model.setControlExt(CameraCtrl::RANGE, "2000"), VelmoraInvalidParameter);
    const char* text = "unchanged";
    EXPECT_EQ(model.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), VelmoraInvalidParameter);
    EXPECT_STREQ(text, "unchanged");

    // The depth image's size is the model's to answer: the USB transport has none.
    sensor.getResult = VelmoraNotImplemented;
    int width = 0, height = 0;
    EXPECT_EQ(model.getControl(CameraCtrl::FMT_WIDTH, &width), 0);
    EXPECT_EQ(model.getControl(CameraCtrl::FMT_HEIGHT, &height), 0);
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(240, 180));
    sensor.getResult = 0;
    // Other reads are the sensor's to answer.
    int rate = 0;
    EXPECT_EQ(model.getControl(CameraCtrl::FRAME_RATE, &rate), 0);
    EXPECT_EQ(rate, 25);
    sensor.getResult = VelmoraNotImplemented;
    EXPECT_EQ(model.getControl(CameraCtrl::EXPOSURE, &rate), VelmoraNotImplemented);
}

TEST(HqvgaControls, RangeReachesTheSensorInItsOwnUnits) {
    FakeSensor usb(Connection::USB);
    VelmoraDeviceHQVGA overUsb(0);
    overUsb.attachSensor(&usb);
    EXPECT_EQ(overUsb.setControl(CameraCtrl::RANGE, 2000), 0);
    EXPECT_EQ(overUsb.setControl(CameraCtrl::RANGE, 4000), 0);
    using Calls = std::vector<std::pair<CameraCtrl, int>>;
    EXPECT_EQ(usb.calls, (Calls{{CameraCtrl::RANGE, 2000}, {CameraCtrl::RANGE, 4000}}));

    FakeSensor csi(Connection::CSI);
    VelmoraDeviceHQVGA overCsi(0);
    overCsi.attachSensor(&csi);
    EXPECT_EQ(overCsi.setControl(CameraCtrl::RANGE, 2000), 0);
    EXPECT_EQ(overCsi.setControl(CameraCtrl::RANGE, 4000), 0);
    EXPECT_EQ(csi.calls, (Calls{{CameraCtrl::RANGE, 2}, {CameraCtrl::RANGE, 4}}));
}

TEST(HqvgaControls, SensorFailureOnRangeIsReportedButModelFollows) {
    FakeSensor sensor(Connection::CSI);
    VelmoraDeviceHQVGA model(0);
    model.attachSensor(&sensor);
    sensor.setResult = VelmoraSystemError;
    EXPECT_EQ(model.setControl(CameraCtrl::RANGE, 2000), VelmoraSystemError);
    int value = 0;
    model.getControl(CameraCtrl::RANGE, &value);
    EXPECT_EQ(value, 2000);
    EXPECT_FLOAT_EQ(model.modulationFrequency(), 75e6f);

    // A sensor that answers with a refusal rather than a failure does not fail the model.
    sensor.setResult = VelmoraInvalidParameter;
    EXPECT_EQ(model.setControl(CameraCtrl::RANGE, 4000), 0);
}

TEST(HqvgaGeometry, FramesAndIdentity) {
    VelmoraDeviceHQVGA model(0);
    FrameGeometry raw{0, 0}, depth{0, 0};
    model.getFrameFormats(raw, depth);
    EXPECT_EQ(raw.width, 240);
    EXPECT_EQ(raw.height, 720);
    EXPECT_EQ(depth.width, 240);
    EXPECT_EQ(depth.height, 180);
    EXPECT_EQ(model.deviceType(), HQVGA);
    EXPECT_EQ(model.configureSensor(), 0);
    EXPECT_EQ(model.start(), 0);
    EXPECT_EQ(model.stop(), 0);
    EXPECT_EQ(model.close(), 0);
    // Unattached: range still works, sensor reads do not crash.
    int v = 0;
    EXPECT_EQ(model.setControl(CameraCtrl::RANGE, 2000), 0);
    EXPECT_NE(model.getControl(CameraCtrl::FRAME_RATE, &v), 0);
}
