// This project's phase processor: configuration and calibration decoding, the
// arithmetic against its plain reference, depth over both frequency modes,
// validity, filters, frame checks and the frequency switch across threads.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DefaultConfigFiles.h"
#include "Si4cConfig.h"
#include "Si4cReference.h"
#include "VgaRender.h"
#include "si4c.h"
#include "support/BitEqual.h"
#include "vga_test_support.h"

namespace {

using vgatest::PixelTruth;
using vgatest::ScratchDir;

constexpr double kPi = 3.14159265358979323846;

// One library instance, initialised and started in the working directory.
class Library {
public:
    Library(int w, int h, bool single, const std::vector<uint8_t>& calibration = {}, const char* directory = nullptr)
        : width(w), height(h) {
        EXPECT_TRUE(SiSDKCreate(&handle));
        EXPECT_TRUE(SiSDKInit(handle, w, h));
        if (!calibration.empty())
            SiSDKSetCaliData(handle, calibration.data(), static_cast<uint32_t>(calibration.size()));
        if (directory) SiSDKSetConfig(handle, directory);
        SiSDKSetSingleFreq(handle, single);
        EXPECT_TRUE(SiSDKStart(handle));
        const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
        depth.assign(n, -1.0f);
        amplitude.assign(n, -1.0f);
        confidence.assign(n, -1.0f);
    }
    ~Library() { SiSDKDestroy(&handle); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool process(const std::vector<uint16_t>& frame) {
        return SiSDKGetPhaseImage(handle, reinterpret_cast<const uint8_t*>(frame.data()), depth.data(),
                                  amplitude.data(), confidence.data());
    }
    float depthAt(int x, int y) const { return depth[static_cast<size_t>(y) * static_cast<size_t>(width) + x]; }

    SiSDK* handle = nullptr;
    int width;
    int height;
    std::vector<float> depth, amplitude, confidence;
};

std::vector<uint16_t> renderConstant(int w, int h, bool single, double distanceMm, double noise = 0,
                                     double offset = 0, double reflectivity = 1.0, uint64_t frame = 0) {
    VelmoraSim::SceneSettings settings;
    settings.kind = "constant";
    settings.distanceMm = distanceMm;
    settings.noise = noise;
    settings.seed = 7;
    settings.reflectivity = reflectivity;
    VelmoraSim::Scene scene(settings, w, h);
    std::vector<uint16_t> out(VelmoraSim::vgaFrameWords(w, h, single));
    VelmoraSim::renderVgaFrame(scene, {single, offset}, frame, out.data());
    return out;
}

float maxAbsError(const std::vector<float>& depth, double expected) {
    float worst = 0;
    for (float d : depth) worst = std::max(worst, static_cast<float>(std::fabs(d - expected)));
    return worst;
}

double spread(const std::vector<float>& depth, double expected) {
    double sum = 0;
    for (float d : depth) sum += (d - expected) * (d - expected);
    return std::sqrt(sum / static_cast<double>(depth.size()));
}

// ---------------------------------------------------------------- configuration

TEST(Si4cConfig, DefaultFileGivesTheBuiltInDefaults) {
    si4c::AlgorithmConfig parsed;
    parsed.temporalLevelDepth = 99;  // every key of the default file must overwrite
    parsed.validDistMax = 1;
    EXPECT_EQ(si4c::parseAlgorithmConfig(std::string(Velmora::defaultAlgorithmConfig), parsed), 11);
    const si4c::AlgorithmConfig defaults;
    EXPECT_EQ(parsed.temporalLevelDepth, defaults.temporalLevelDepth);
    EXPECT_EQ(parsed.spatialLevelDepth, defaults.spatialLevelDepth);
    EXPECT_EQ(parsed.temporalLevelGray, defaults.temporalLevelGray);
    EXPECT_EQ(parsed.repairLevel, defaults.repairLevel);
    EXPECT_EQ(parsed.validDistMin, 0);
    EXPECT_EQ(parsed.validDistMax, 7000);
}

// Whole numbers are decimal, leading zeros or not, or hexadecimal after "0x";
// anything else keeps the default and is reported with file, line and key.
TEST(Si4cConfig, ReadsDecimalAndHexAndReportsBadValues) {
    ScratchDir dir;
    vgatest::writeFile("algo.json",
                       "[DenoisingParams]\r\n"
                       "TDenoiseLevel_Depth=7\r\n"
                       "SDenoiseLevel_Depth=abc\n"
                       "SDenoiseLevel_Gray=\n"
                       "//ValidDistMax=10\n"
                       "Unknown=3\n"
                       "ERDOLvl=0x1F\n"
                       "ValidDistMin=0300\n"
                       "ValidDistMax=09000\n"
                       "TDenoiseLevel_Gray=101\n"
                       "SDenoiseMethod_Gray=-1\n"
                       "TDenoiseMethod_Gray=0x\n"
                       "noequals\n");
    si4c::AlgorithmConfig c;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(si4c::loadAlgorithmConfig("algo.json", c));
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.temporalLevelDepth, 7);
    EXPECT_EQ(c.repairLevel, 31);
    EXPECT_EQ(c.validDistMin, 300);
    EXPECT_EQ(c.validDistMax, 9000);
    const si4c::AlgorithmConfig defaults;
    EXPECT_EQ(c.spatialLevelDepth, defaults.spatialLevelDepth);
    EXPECT_EQ(c.spatialLevelGray, defaults.spatialLevelGray);
    EXPECT_EQ(c.temporalLevelGray, defaults.temporalLevelGray);
    EXPECT_EQ(c.spatialMethodGray, defaults.spatialMethodGray);
    EXPECT_EQ(c.temporalMethodGray, defaults.temporalMethodGray);

    EXPECT_NE(report.find("si4c: algo.json:3: bad value 'abc' for key 'SDenoiseLevel_Depth' (expected a whole "
                          "number from 0 to 100)\n"),
              std::string::npos)
        << report;
    for (const char* where : {"algo.json:4: bad value '' for key 'SDenoiseLevel_Gray'",
                              "algo.json:10: bad value '101' for key 'TDenoiseLevel_Gray'",
                              "algo.json:11: bad value '-1' for key 'SDenoiseMethod_Gray'",
                              "algo.json:12: bad value '0x' for key 'TDenoiseMethod_Gray'"})
        EXPECT_NE(report.find(where), std::string::npos) << where << "\n" << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 5) << report;
}

TEST(Si4cConfig, LoadFailsForMissingFileOrDirectory) {
    ScratchDir dir;
    si4c::AlgorithmConfig c;
    EXPECT_FALSE(si4c::loadAlgorithmConfig("absent.json", c));
    std::filesystem::create_directory("adir");
    EXPECT_FALSE(si4c::loadAlgorithmConfig("adir", c));
    vgatest::writeFile("partial.json", "ValidDistMax=900\n");
    c.validDistMin = 50;
    ASSERT_TRUE(si4c::loadAlgorithmConfig("partial.json", c));
    EXPECT_EQ(c.validDistMax, 900);
    EXPECT_EQ(c.validDistMin, 0);  // keys the file lacks fall back to the defaults
}

// ---------------------------------------------------------------- calibration

TEST(Si4cCalibration, RoundTripsAndAcceptsPaddedModuleData) {
    const auto bytes = si4c::encodeCalibration({0.25f, -1.5f, 3.0f});
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(bytes[0], 32);
    EXPECT_EQ(std::memcmp(bytes.data() + 4, "SICB", 4), 0);
    const si4c::Calibration c = si4c::parseCalibration(bytes.data(), bytes.size());
    ASSERT_TRUE(c.valid);
    EXPECT_FLOAT_EQ(c.phaseOffset[si4c::kSingle], 0.25f);
    EXPECT_FLOAT_EQ(c.phaseOffset[si4c::kHigh], -1.5f);
    EXPECT_FLOAT_EQ(c.phaseOffset[si4c::kLow], 3.0f);

    auto padded = si4c::encodeCalibration({0.5f, 0.5f, 0.5f}, 600);
    ASSERT_EQ(padded.size(), 600u);
    padded.resize(1024, 0xEE);  // whatever follows the stated length is ignored
    EXPECT_TRUE(si4c::parseCalibration(padded.data(), padded.size()).valid);
}

TEST(Si4cCalibration, RejectsDamagedData) {
    const auto good = si4c::encodeCalibration({0.1f, 0.2f, 0.3f});
    EXPECT_FALSE(si4c::parseCalibration(nullptr, 32).valid);
    EXPECT_FALSE(si4c::parseCalibration(good.data(), 31).valid);

    auto tooLong = si4c::encodeCalibration({0.1f, 0.2f, 0.3f}, 64);
    EXPECT_FALSE(si4c::parseCalibration(tooLong.data(), 32).valid) << "length field beyond the bytes given";

    auto corrupt = [&](size_t at, uint8_t value) {
        auto b = good;
        b[at] = value;
        return si4c::parseCalibration(b.data(), b.size()).valid;
    };
    EXPECT_FALSE(corrupt(0, 16)) << "length below the header";
    EXPECT_FALSE(corrupt(2, 2)) << "version";
    EXPECT_FALSE(corrupt(4, 'X')) << "magic";
    EXPECT_FALSE(corrupt(9, static_cast<uint8_t>(good[9] ^ 1))) << "checksum";

    const float nan = std::nanf("");
    const auto bad = si4c::encodeCalibration({0.1f, nan, 0.3f});
    EXPECT_FALSE(si4c::parseCalibration(bad.data(), bad.size()).valid);
}

// ---------------------------------------------------------------- frame renderer

TEST(VgaRender, LayoutMatchesTheDocumentedFormula) {
    EXPECT_EQ(VelmoraSim::vgaFrameWords(640, 480, true), 640u * 2405u);
    EXPECT_EQ(VelmoraSim::vgaFrameWords(640, 480, false), 640u * 4810u);
    EXPECT_EQ(VelmoraSim::vgaFrameWords(320, 240, true), 320u * 1205u);

    const int w = 16, h = 4;
    const auto frame = renderConstant(w, h, false, 1000, 0, 0.3, 1.0, 4100);
    const double a = VelmoraSim::amplitudeForDistance(1000, 1.0);
    for (int image = 0; image < 10; ++image) {
        const uint16_t* meta = frame.data() + static_cast<size_t>(image) * w * (h + 1);
        EXPECT_EQ(meta[0], si4c::kMetaMarker);
        EXPECT_EQ(meta[1], image);
        EXPECT_EQ(meta[2], 10);
        EXPECT_EQ(meta[3], image < 5 ? si4c::kHigh : si4c::kLow);
        EXPECT_EQ(meta[4], image % 5);
        EXPECT_EQ(meta[5], 4100 & 0xFFF);
        const uint16_t sample = meta[w * 2 + 3];  // pixel (3, 1)
        const double range = image < 5 ? 1500.0 : 2250.0;
        const double phase = 2 * kPi * (1000 / range) + 0.3;
        const double expected = image % 5 == 4 ? 256 + a : 2048 + a * std::cos(phase - (image % 5) * kPi / 2);
        EXPECT_NEAR(sample, expected, 0.5) << "sub-image " << image;
    }

    auto restamped = frame;
    VelmoraSim::restampVgaFrame(restamped.data(), w, h, false, 9);
    size_t changed = 0;
    for (size_t i = 0; i < frame.size(); ++i) changed += frame[i] != restamped[i];
    EXPECT_EQ(changed, 10u);
    EXPECT_EQ(restamped[5], 9);
}

// ---------------------------------------------------------------- arithmetic

class Si4cProcessing : public ::testing::Test {
protected:
    void SetUp() override { vgatest::writeFile("ConfigAlgorithm.json", vgatest::unfilteredConfig()); }
    ScratchDir dir;
};

TEST_F(Si4cProcessing, EqualsThePlainReferenceWithoutFilters) {
    for (const bool single : {true, false}) {
        for (const bool calibrated : {false, true}) {
            VelmoraSim::SceneSettings settings;
            settings.kind = "demo";
            settings.noise = 6;
            settings.seed = 3;
            VelmoraSim::Scene scene(settings, 320, 240);
            std::vector<uint16_t> frame(VelmoraSim::vgaFrameWords(320, 240, single));
            VelmoraSim::renderVgaFrame(scene, {single, 0.4}, 11, frame.data());

            const auto cali = calibrated ? si4c::encodeCalibration({0.4f, 0.4f, 0.4f}) : std::vector<uint8_t>{};
            Library lib(320, 240, single, cali);
            ASSERT_TRUE(lib.process(frame));

            si4c::ReferenceSettings ref;
            ref.single = single;
            if (calibrated) ref.calibration = si4c::parseCalibration(cali.data(), cali.size());
            std::vector<float> d(320 * 240), a(320 * 240), c(320 * 240);
            si4c::referencePhaseImage(frame.data(), 320, 240, ref, d.data(), a.data(), c.data());
            // The processor's vector measurement equals the reference bit for bit.
            EXPECT_TRUE(VelmoraTest::bitEqual(lib.depth.data(), d.data(), d.size(), "depth"))
                << "single " << single << " calibrated " << calibrated;
            EXPECT_TRUE(VelmoraTest::bitEqual(lib.amplitude.data(), a.data(), a.size(), "amplitude"))
                << "single " << single << " calibrated " << calibrated;
            EXPECT_TRUE(VelmoraTest::bitEqual(lib.confidence.data(), c.data(), c.size(), "confidence"))
                << "single " << single << " calibrated " << calibrated;
            // The demo room lies within reach: most pixels must be valid.
            const auto valid = std::count_if(c.begin(), c.end(), [](float v) { return v > 0; });
            EXPECT_GT(valid, static_cast<long>(c.size() * 9 / 10));
        }
    }
}

TEST_F(Si4cProcessing, SingleFrequencyMeasuresWithin1250mm) {
    Library lib(320, 240, true);
    for (const double d : {30.0, 400.0, 812.5, 1240.0}) {
        ASSERT_TRUE(lib.process(renderConstant(320, 240, true, d)));
        EXPECT_LT(maxAbsError(lib.depth, d), 1.0f) << d;
        EXPECT_GT(lib.confidence[100], 0.0f);
    }
    // Beyond the unambiguous range the distance wraps.
    ASSERT_TRUE(lib.process(renderConstant(320, 240, true, 1400)));
    EXPECT_LT(maxAbsError(lib.depth, 150), 1.0f);
}

TEST_F(Si4cProcessing, DoubleFrequencyUnwrapsUpTo4500mm) {
    Library lib(320, 240, false);
    for (const double d : {60.0, 1300.0, 1501.0, 2249.0, 2700.0, 3700.0, 4480.0}) {
        ASSERT_TRUE(lib.process(renderConstant(320, 240, false, d)));
        EXPECT_LT(maxAbsError(lib.depth, d), 1.0f) << d;
    }
    ASSERT_TRUE(lib.process(renderConstant(320, 240, false, 4700)));
    EXPECT_LT(maxAbsError(lib.depth, 200), 1.0f);
}

TEST_F(Si4cProcessing, DoubleFrequencyUnwrapsUnderNoise) {
    Library lib(320, 240, false);
    ASSERT_TRUE(lib.process(renderConstant(320, 240, false, 3300, 8)));
    std::vector<float> d = lib.depth;
    std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
    EXPECT_NEAR(d[d.size() / 2], 3300, 3);
    const auto wrong = std::count_if(lib.depth.begin(), lib.depth.end(),
                                     [](float v) { return v != 0 && std::fabs(v - 3300) > 100; });
    EXPECT_EQ(wrong, 0) << "an unwrapping error must never pass as a valid depth";
}

TEST_F(Si4cProcessing, WeakOrSaturatedPixelsAreInvalid) {
    Library lib(64, 8, true);
    ASSERT_TRUE(lib.process(renderConstant(64, 8, true, 700, 0, 0, 0.0)));
    for (size_t i = 0; i < lib.depth.size(); ++i) {
        ASSERT_EQ(lib.depth[i], 0.0f);
        ASSERT_EQ(lib.confidence[i], 0.0f);
    }
    // Columns: amplitude 3 (too weak), 30 (fine), 3000 (clips at 0 and 4095).
    const auto frame = vgatest::synthesiseFrame(64, 8, true, [](int x, int) {
        return PixelTruth{700, x < 20 ? 3.0 : x < 40 ? 30.0 : 3000.0};
    });
    ASSERT_TRUE(lib.process(frame));
    EXPECT_EQ(lib.depthAt(5, 3), 0.0f);
    EXPECT_NEAR(lib.depthAt(30, 3), 700, 15);
    EXPECT_NEAR(lib.confidence[3 * 64 + 30], 30, 1);
    EXPECT_EQ(lib.depthAt(50, 3), 0.0f);
    EXPECT_EQ(lib.confidence[3 * 64 + 50], 0.0f);
    EXPECT_GT(lib.amplitude[3 * 64 + 50], 0.0f) << "amplitude is reported for invalid pixels too";
}

// Validity relative to the noise, measured on the virtual camera's frames:
// noise alone (no modulation) at sigma 2 to 8 counts leaves at most 0.1 %
// valid; an amplitude of 10 sigma keeps 99 % valid with under 0.1 % of them
// at a wrong distance, as does a weak signal in strong noise with two
// frequencies; the threshold is the ValidNoiseRatio key.
TEST_F(Si4cProcessing, ValidityIsRelativeToTheNoise) {
    constexpr int kW = 320, kH = 240;
    constexpr double kPixels = kW * kH;
    auto reflectivityFor = [](double amplitude, double distance) {
        return amplitude * (1 + (distance / 4000) * (distance / 4000)) / VelmoraSim::kMaxAmplitudeCounts;
    };
    struct Count {
        long valid = 0;
        long wrong = 0;
    };
    auto count = [](const Library& lib, double truth) {
        Count c;
        for (size_t i = 0; i < lib.depth.size(); ++i) {
            if (lib.confidence[i] <= 0) continue;
            ++c.valid;
            c.wrong += std::fabs(lib.depth[i] - truth) > 200;
        }
        return c;
    };
    for (const bool single : {true, false}) {
        Library lib(kW, kH, single);
        const double truth = single ? 700 : 3300;
        for (const double sigma : {2.0, 4.0, 8.0}) {
            ASSERT_TRUE(lib.process(renderConstant(kW, kH, single, truth, sigma, 0, 0.0, 1)));
            EXPECT_LE(count(lib, truth).valid, kPixels / 1000) << "noise only, sigma " << sigma << ", single " << single;

            ASSERT_TRUE(lib.process(renderConstant(kW, kH, single, truth, sigma, 0, reflectivityFor(10 * sigma, truth), 2)));
            const Count strong = count(lib, truth);
            EXPECT_GE(strong.valid, 0.99 * kPixels) << "amplitude 10 sigma, sigma " << sigma << ", single " << single;
            EXPECT_LE(strong.wrong * 1000, strong.valid) << "sigma " << sigma << ", single " << single;
        }
    }
    // A weak signal in strong noise: what still counts as valid is unwrapped right.
    Library dual(kW, kH, false);
    ASSERT_TRUE(dual.process(renderConstant(kW, kH, false, 3300, 8, 0, reflectivityFor(6, 3300), 3)));
    const Count weak = count(dual, 3300);
    EXPECT_LE(weak.wrong * 1000, weak.valid) << "amplitude 6, sigma 8: " << weak.wrong << " of " << weak.valid;

    vgatest::writeFile("ConfigAlgorithm.json", vgatest::unfilteredConfig() + "ValidNoiseRatio=0\n");
    Library fixedFloor(kW, kH, true);
    ASSERT_TRUE(fixedFloor.process(renderConstant(kW, kH, true, 700, 8, 0, 0.0, 1)));
    EXPECT_GT(count(fixedFloor, 700).valid, kPixels / 2) << "ratio 0: only the fixed floor of 4 counts is left";
}

TEST_F(Si4cProcessing, HonoursTheValidBand) {
    vgatest::writeFile("ConfigAlgorithm.json", vgatest::unfilteredConfig(300, 900));
    Library lib(64, 8, true);
    for (const auto& [d, valid] : std::vector<std::pair<double, bool>>{{200, false}, {600, true}, {1000, false}}) {
        ASSERT_TRUE(lib.process(renderConstant(64, 8, true, d)));
        if (valid) {
            EXPECT_LT(maxAbsError(lib.depth, d), 1.0f);
        } else {
            EXPECT_EQ(maxAbsError(lib.depth, 0), 0.0f) << d;
        }
    }
}

TEST_F(Si4cProcessing, CalibrationRemovesTheModuleOffset) {
    const double offset = 0.6;
    for (const bool single : {true, false}) {
        const double truth = single ? 700 : 3000;
        const auto frame = renderConstant(64, 8, single, truth, 0, offset);
        Library raw(64, 8, single);
        ASSERT_TRUE(raw.process(frame));
        if (single) {
            EXPECT_NEAR(raw.depthAt(10, 4), truth + offset / (2 * kPi) * 1250, 1.5);
        } else {
            EXPECT_GT(std::fabs(raw.depthAt(10, 4) - truth), 100.0);
        }

        const auto f = static_cast<float>(offset);
        Library calibrated(64, 8, single, si4c::encodeCalibration({f, f, f}));
        ASSERT_TRUE(calibrated.process(frame));
        EXPECT_LT(maxAbsError(calibrated.depth, truth), 1.0f) << "single " << single;
    }
}

TEST_F(Si4cProcessing, InitForgetsCalibrationAndDirectory) {
    std::filesystem::create_directory("conf");
    vgatest::writeFile("conf/ConfigAlgorithm.json", vgatest::unfilteredConfig(0, 500));
    const auto frame = renderConstant(64, 8, true, 700, 0, 0.6);
    Library lib(64, 8, true, si4c::encodeCalibration({0.6f, 0.6f, 0.6f}), "conf");
    ASSERT_TRUE(lib.process(frame));
    EXPECT_EQ(lib.depthAt(3, 3), 0.0f) << "700 mm lies outside the directory's band";

    ASSERT_TRUE(SiSDKInit(lib.handle, 64, 8));
    EXPECT_FALSE(lib.process(frame)) << "not started after init";
    ASSERT_TRUE(SiSDKStart(lib.handle));
    ASSERT_TRUE(lib.process(frame));
    EXPECT_NEAR(lib.depthAt(3, 3), 700 + 0.6 / (2 * kPi) * 1250, 1.5);
}

TEST_F(Si4cProcessing, ConfigDirectoryWithoutTheFileFallsBackToTheWorkingDirectory) {
    vgatest::writeFile("ConfigAlgorithm.json", vgatest::unfilteredConfig(0, 500));
    std::filesystem::create_directory("empty");
    Library lib(64, 8, true, {}, "empty");
    ASSERT_TRUE(lib.process(renderConstant(64, 8, true, 700)));
    EXPECT_EQ(lib.depthAt(3, 3), 0.0f);
}

TEST_F(Si4cProcessing, RefusesFramesOfTheOtherModeWithoutTouchingThePlanes) {
    Library lib(64, 8, false);
    // A single-frequency frame, sized as such: the double-mode library must
    // not read past it (address sanitizer checks the bound).
    auto single = vgatest::synthesiseFrame(64, 8, true, [](int, int) { return PixelTruth{500, 100}; }, 0, true);
    EXPECT_FALSE(lib.process(single));
    EXPECT_EQ(lib.depth[0], -1.0f);
    EXPECT_EQ(lib.confidence[0], -1.0f);

    SiSDKSetSingleFreq(lib.handle, true);
    auto dbl = vgatest::synthesiseFrame(64, 8, false, [](int, int) { return PixelTruth{500, 100}; }, 0, true);
    EXPECT_FALSE(lib.process(dbl));
    dbl[static_cast<size_t>(64 * 9 * 3 + 1)] = 7;  // sub-image 3 claims another index
    SiSDKSetSingleFreq(lib.handle, false);
    EXPECT_FALSE(lib.process(dbl));

    // Without metadata the frame is taken as it comes.
    auto bare = vgatest::synthesiseFrame(64, 8, false, [](int, int) { return PixelTruth{500, 100}; });
    EXPECT_TRUE(lib.process(bare));
    EXPECT_NEAR(lib.depth[0], 500, 1);
}

TEST_F(Si4cProcessing, RefusesBadCallsCleanly) {
    const auto frame = renderConstant(64, 8, true, 500);
    SiSDK* h = nullptr;
    ASSERT_TRUE(SiSDKCreate(&h));
    std::vector<float> d(64 * 8), a(64 * 8), c(64 * 8);
    const auto* raw = reinterpret_cast<const uint8_t*>(frame.data());
    EXPECT_FALSE(SiSDKGetPhaseImage(h, raw, d.data(), a.data(), c.data())) << "not initialised";
    EXPECT_FALSE(SiSDKStart(h)) << "start before init";
    EXPECT_FALSE(SiSDKInit(h, 0, 480));
    EXPECT_FALSE(SiSDKInit(h, 640, 5000));
    ASSERT_TRUE(SiSDKInit(h, 64, 8));
    ASSERT_TRUE(SiSDKStart(h));
    EXPECT_FALSE(SiSDKGetPhaseImage(h, nullptr, d.data(), a.data(), c.data()));
    EXPECT_FALSE(SiSDKGetPhaseImage(h, raw, d.data(), nullptr, c.data()));
    EXPECT_FALSE(SiSDKGetPhaseImage(h, raw + 1, d.data(), a.data(), c.data())) << "misaligned words";
    EXPECT_TRUE(SiSDKGetPhaseImage(h, raw, d.data(), a.data(), c.data()));
    SiSDKDestroy(&h);
    EXPECT_EQ(h, nullptr);

    // A null handle is refused by every call.
    EXPECT_FALSE(SiSDKCreate(nullptr));
    EXPECT_FALSE(SiSDKInit(nullptr, 64, 8));
    EXPECT_FALSE(SiSDKStart(nullptr));
    EXPECT_FALSE(SiSDKGetPhaseImage(nullptr, raw, d.data(), a.data(), c.data()));
    SiSDKSetCaliData(nullptr, nullptr, 0);
    SiSDKSetConfig(nullptr, "x");
    SiSDKSetSingleFreq(nullptr, false);
    SiSDKDestroy(&h);
    SiSDKDestroy(nullptr);
}

// ---------------------------------------------------------------- filters

TEST_F(Si4cProcessing, TemporalFilterLowersNoiseAndRestartsOnAJump) {
    vgatest::writeFile("ConfigAlgorithm.json",
                       "TDenoiseLevel_Depth=3\nSDenoiseLevel_Depth=0\nTDenoiseLevel_Gray=0\nSDenoiseLevel_Gray=0\n");
    Library filtered(64, 32, true);
    vgatest::writeFile("ConfigAlgorithm.json", vgatest::unfilteredConfig());
    Library plain(64, 32, true);
    for (uint64_t f = 0; f < 12; ++f) {
        const auto frame = renderConstant(64, 32, true, 600, 25, 0, 0.3, f);
        ASSERT_TRUE(filtered.process(frame));
        ASSERT_TRUE(plain.process(frame));
    }
    EXPECT_LT(spread(filtered.depth, 600), 0.75 * spread(plain.depth, 600));

    // A new surface is taken at once, not blended with the old one.
    ASSERT_TRUE(filtered.process(renderConstant(64, 32, true, 1000, 0, 0, 0.3, 20)));
    EXPECT_LT(maxAbsError(filtered.depth, 1000), 1.0f);
}

TEST_F(Si4cProcessing, SpatialFilterLowersNoiseButKeepsEdges) {
    vgatest::writeFile("ConfigAlgorithm.json",
                       "TDenoiseLevel_Depth=0\nSDenoiseLevel_Depth=3\nTDenoiseLevel_Gray=0\nSDenoiseLevel_Gray=0\n");
    Library filtered(64, 32, true);
    const auto step = vgatest::synthesiseFrame(64, 32, true, [](int x, int) {
        return PixelTruth{x < 32 ? 500.0 : 1000.0, 200};
    });
    ASSERT_TRUE(filtered.process(step));
    for (int x = 29; x < 35; ++x) EXPECT_NEAR(filtered.depthAt(x, 10), x < 32 ? 500 : 1000, 1.0) << x;

    vgatest::writeFile("ConfigAlgorithm.json", vgatest::unfilteredConfig());
    Library plain(64, 32, true);
    const auto noisy = renderConstant(64, 32, true, 600, 25, 0, 0.3, 1);
    ASSERT_TRUE(filtered.process(noisy));
    ASSERT_TRUE(plain.process(noisy));
    EXPECT_LT(spread(filtered.depth, 600), 0.6 * spread(plain.depth, 600));
}

// ---------------------------------------------------------------- threads

TEST_F(Si4cProcessing, FrequencySwitchFromAnotherThreadNeverMixesModes) {
    // Frames of both modes in buffers of the double size; whichever mode a
    // frame is read in, the result is either refused or right.
    Library lib(64, 16, true);
    auto single = renderConstant(64, 16, true, 900);
    single.resize(si4c::rawWords(false, 64, 16), 0);
    const auto dbl = renderConstant(64, 16, false, 900);
    std::atomic<bool> done{false};
    std::thread toggler([&] {
        bool mode = true;
        while (!done.load()) {
            mode = !mode;
            SiSDKSetSingleFreq(lib.handle, mode);
            (void)SiSDKIsSingleFreq(lib.handle);
        }
    });
    int accepted = 0;
    for (int i = 0; i < 400; ++i) {
        std::fill(lib.depth.begin(), lib.depth.end(), -1.0f);
        if (lib.process(i % 2 ? single : dbl)) {
            ++accepted;
            ASSERT_LT(maxAbsError(lib.depth, 900), 1.0f);
        } else {
            ASSERT_EQ(lib.depth[0], -1.0f);
        }
    }
    done.store(true);
    toggler.join();
    EXPECT_GT(accepted, 0);
}

}  // namespace
