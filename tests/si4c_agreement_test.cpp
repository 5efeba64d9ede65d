// The phase processor's vectorised measurement and filters against their
// scalar forms and the plain scalar reference, bit for bit: every vector form
// on every (i, q) pair of the sample differences and on two frequencies across
// the unwrapping's cases; each filter at every radius and level on values
// crowded at its tolerance's edges; the processor, single and double
// frequency, on random words and on simulated frames over the whole range,
// unfiltered against the reference and with filters in every form.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "Si4cConfig.h"
#include "Si4cMeasure.h"
#include "Si4cProcessor.h"
#include "Si4cReference.h"
#include "Si4cValidity.h"
#include "VgaRender.h"
#include "support/BitEqual.h"

using VelmoraTest::bitEqual;

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr size_t kPixels = static_cast<size_t>(kWidth) * kHeight;

std::vector<si4c::measure::Variant> variants() {
    size_t n = 0;
    const si4c::measure::Variant* v = si4c::measure::variants(&n);
    return std::vector<si4c::measure::Variant>(v, v + n);
}

struct Outputs {
    std::vector<float> depth = std::vector<float>(kPixels, -1.0f);
    std::vector<float> amplitude = std::vector<float>(kPixels, -1.0f);
    std::vector<float> confidence = std::vector<float>(kPixels, -1.0f);
};

void compare(const Outputs& got, const Outputs& want, const char* what) {
    EXPECT_TRUE(bitEqual(got.depth.data(), want.depth.data(), kPixels, "depth")) << what;
    EXPECT_TRUE(bitEqual(got.amplitude.data(), want.amplitude.data(), kPixels, "amplitude")) << what;
    EXPECT_TRUE(bitEqual(got.confidence.data(), want.confidence.data(), kPixels, "confidence")) << what;
}

// A scratch directory holding a "ConfigAlgorithm.json"; by default with the
// filters off, as the reference computes none.
class ConfigDirectory {
public:
    explicit ConfigDirectory(const std::string& text = "[DenoisingParams]\nTDenoiseLevel_Depth=0\n"
                                                       "SDenoiseLevel_Depth=0\nTDenoiseLevel_Gray=0\n"
                                                       "SDenoiseLevel_Gray=0\n") {
        char name[] = "/tmp/si4c-agreement-XXXXXX";
        if (mkdtemp(name)) {
            path = name;
            std::ofstream(path + "/ConfigAlgorithm.json") << text;
        }
    }
    ~ConfigDirectory() {
        std::remove((path + "/ConfigAlgorithm.json").c_str());
        rmdir(path.c_str());
    }
    ConfigDirectory(const ConfigDirectory&) = delete;
    ConfigDirectory& operator=(const ConfigDirectory&) = delete;
    std::string path;
};

// The processor's whole frame call (the variant the CPU picks) against the reference.
void processAndCompare(const std::vector<uint16_t>& frame, bool single, const std::vector<uint8_t>& calibration,
                       const char* what) {
    ConfigDirectory config;
    si4c::Processor processor;
    processor.setSingleFrequency(single);
    ASSERT_TRUE(processor.init(kWidth, kHeight));
    if (!calibration.empty()) processor.setCalibration(calibration.data(), calibration.size());
    processor.setConfigDirectory(config.path.c_str());
    ASSERT_TRUE(processor.start());
    Outputs got;
    ASSERT_TRUE(processor.process(reinterpret_cast<const uint8_t*>(frame.data()), got.depth.data(),
                                  got.amplitude.data(), got.confidence.data()));

    si4c::ReferenceSettings settings;
    settings.single = single;
    if (!calibration.empty()) settings.calibration = si4c::parseCalibration(calibration.data(), calibration.size());
    Outputs want;
    si4c::referencePhaseImage(frame.data(), kWidth, kHeight, settings, want.depth.data(), want.amplitude.data(),
                              want.confidence.data());
    compare(got, want, what);
}

}  // namespace

TEST(Si4cMeasure, ListEndsWithScalar) {
    const auto list = variants();
    ASSERT_FALSE(list.empty());
    EXPECT_STREQ(list.back().name, "scalar");
#if defined(__x86_64__) || defined(__aarch64__)
    EXPECT_GE(list.size(), 2u) << "a vector variant is built for this architecture";
#endif
}

class MeasureForm : public ::testing::TestWithParam<size_t> {};

std::string formName(const ::testing::TestParamInfo<size_t>& info) { return variants()[info.param].name; }

// The sweeps below fill planes line by line: one i, and every q from -4093 to 4093.
constexpr size_t kLine = 8187;

// a - b = difference with 1 <= a, b <= 4094 (never saturated).
void splitDifference(int difference, uint16_t& a, uint16_t& b) {
    a = static_cast<uint16_t>(difference >= 0 ? 1 + difference : 1);
    b = static_cast<uint16_t>(difference >= 0 ? 1 : 1 - difference);
}

struct LineOutputs {
    std::vector<float> depth = std::vector<float>(kLine);
    std::vector<float> amplitude = std::vector<float>(kLine);
    std::vector<float> confidence = std::vector<float>(kLine);
    std::vector<uint8_t> valid = std::vector<uint8_t>(kLine);
    si4c::measure::Outputs forFilters() { return {depth.data(), amplitude.data(), valid.data(), nullptr}; }
    si4c::measure::Outputs planes() { return {depth.data(), amplitude.data(), nullptr, confidence.data()}; }
};

// One line through the scalar form (`want`) and a vector form (`got`), both
// called as (band, outputs): the planes for the filters (distance, amplitude,
// validity) in `band`, and the output planes, written directly when nothing is
// filtered, in `outputBand`.
template <class Want, class Got>
void compareLine(Want want, Got got, si4c::measure::Band band, si4c::measure::Band outputBand,
                 const std::string& where) {
    LineOutputs wanted, measured;
    want(band, wanted.forFilters());
    got(band, measured.forFilters());
    ASSERT_TRUE(bitEqual(measured.depth.data(), wanted.depth.data(), kLine, "depth")) << where;
    ASSERT_TRUE(bitEqual(measured.amplitude.data(), wanted.amplitude.data(), kLine, "amplitude")) << where;
    ASSERT_EQ(measured.valid, wanted.valid) << where;
    want(outputBand, wanted.planes());
    got(outputBand, measured.planes());
    ASSERT_TRUE(bitEqual(measured.depth.data(), wanted.depth.data(), kLine, "depth")) << where;
    ASSERT_TRUE(bitEqual(measured.confidence.data(), wanted.confidence.data(), kLine, "confidence")) << where;
}

std::string lineName(int i, double offset) { return "i " + std::to_string(i) + ", offset " + std::to_string(offset); }

// Every difference pair the 12-bit samples can form, i and q in -4093..4093
// with no sample saturated, through each form against the scalar one: the
// planes for the filters and the output planes, with and without an offset.
TEST_P(MeasureForm, EqualsTheScalarFormOnEveryPairOfDifferences) {
    using si4c::measure::Band;
    using si4c::measure::Outputs;
    const si4c::measure::Variant form = variants()[GetParam()];
    std::vector<uint16_t> planes[5];
    for (auto& p : planes) p.assign(kLine, 300);  // the grey image stays at 300
    const uint16_t* pointers[5];
    for (int k = 0; k < 5; ++k) pointers[k] = planes[k].data();
    for (int i = -4093; i <= 4093; ++i) {
        for (size_t j = 0; j < kLine; ++j) {
            splitDifference(i, planes[0][j], planes[2][j]);
            splitDifference(static_cast<int>(j) - 4093, planes[1][j], planes[3][j]);
        }
        for (const double offset : {0.0, 0.7}) {
            ASSERT_NO_FATAL_FAILURE(compareLine(
                [&](Band band, Outputs out) { si4c::measure::singleScalar(pointers, kLine, offset, band, out); },
                [&](Band band, Outputs out) { form.single(pointers, kLine, offset, band, out); }, Band{0, 7000},
                Band{0, 1000}, lineName(i, offset)));
        }
    }
}

// Two frequencies through each form against the scalar one. The higher
// frequency takes every q with one i in 13 (all octants and table steps); the
// lower one the phase of a distance consistent with it, give or take an error
// that sweeps -500..500 mm, so that every wrap count wins somewhere and the
// unwrapping's limits (250 mm, and 375 mm where two counts tie) are crossed,
// at amplitudes on both sides of the validity floor.
TEST_P(MeasureForm, EqualsTheScalarFormOnTwoFrequencies) {
    using si4c::measure::Band;
    using si4c::measure::Outputs;
    const si4c::measure::Variant form = variants()[GetParam()];
    constexpr double kPi = 3.14159265358979323846;
    std::vector<uint16_t> planes[10];
    for (auto& p : planes) p.assign(kLine, 300);  // the grey images stay at 300
    const uint16_t* high[5];
    const uint16_t* low[5];
    for (int k = 0; k < 5; ++k) {
        high[k] = planes[k].data();
        low[k] = planes[5 + k].data();
    }
    Band band{0, 7000};
    band.minAmplitude = 20;
    band.minAmplitudeLow = 25;
    int line = 0;
    for (int i = -4093; i <= 4093; i += 13, ++line) {
        for (size_t j = 0; j < kLine; ++j) {
            const int q = static_cast<int>(j) - 4093;
            splitDifference(i, planes[0][j], planes[2][j]);
            splitDifference(q, planes[1][j], planes[3][j]);
            const double highPhase = std::atan2(q, i) < 0 ? std::atan2(q, i) + 2 * kPi : std::atan2(q, i);
            const double distance = highPhase / (2 * kPi) * si4c::kHighRangeMm + si4c::kHighRangeMm * (line % 3) +
                                    (static_cast<double>((j * 7 + static_cast<size_t>(line) * 131) % 1001) - 500.0);
            const double lowPhase = 2 * kPi * distance / si4c::kLowRangeMm;
            const double amplitude = 10.0 + static_cast<double>((j * 13 + static_cast<size_t>(line)) % 2000);
            splitDifference(static_cast<int>(std::lround(amplitude * std::cos(lowPhase))), planes[5][j], planes[7][j]);
            splitDifference(static_cast<int>(std::lround(amplitude * std::sin(lowPhase))), planes[6][j], planes[8][j]);
        }
        for (const double offset : {0.0, 0.7}) {
            ASSERT_NO_FATAL_FAILURE(compareLine(
                [&](Band b, Outputs out) { si4c::measure::doubleScalar(high, low, kLine, offset, -offset, b, out); },
                [&](Band b, Outputs out) { form.dual(high, low, kLine, offset, -offset, b, out); }, band,
                Band{500, 3000}, lineName(i, offset)));
        }
    }
}

// The vector forms; the last, the scalar form itself, is what they are compared with.
INSTANTIATE_TEST_SUITE_P(Si4cMeasure, MeasureForm, ::testing::Range(size_t{0}, variants().size() - 1), formName);

TEST(Si4cMeasure, ProcessorEqualsReferenceOnSimulatedFrames) {
    for (const bool single : {true, false}) {
        for (const bool calibrated : {false, true}) {
            const auto calibration =
                calibrated ? si4c::encodeCalibration({0.5f, -0.8f, 2.1f}) : std::vector<uint8_t>{};
            // Constant scenes over the whole unambiguous range, and the demo room.
            const double range = single ? si4c::kSingleRangeMm : si4c::kDoubleRangeMm;
            for (int step = 0; step <= 4; ++step) {
                VelmoraSim::SceneSettings settings;
                settings.kind = step < 4 ? "constant" : "demo";
                settings.distanceMm = range * (step + 0.41) / 4.0;
                settings.reflectivity = step % 2 ? 1.0 : 0.3;
                settings.noise = 5;
                settings.seed = static_cast<uint32_t>(step + 1);
                VelmoraSim::Scene scene(settings, kWidth, kHeight);
                std::vector<uint16_t> frame(VelmoraSim::vgaFrameWords(kWidth, kHeight, single));
                VelmoraSim::renderVgaFrame(scene, {single, calibrated ? 0.5 : 0.0}, static_cast<uint64_t>(step),
                                           frame.data());
                processAndCompare(frame, single, calibration, single ? "single frequency" : "double frequency");
            }
        }
    }
}

TEST(Si4cMeasure, ProcessorEqualsReferenceOnRandomWords) {
    std::mt19937 rng(99);
    for (const bool single : {true, false}) {
        const char* what = single ? "single frequency" : "double frequency";
        std::vector<uint16_t> frame(si4c::rawWords(single, kWidth, kHeight));
        for (uint16_t& w : frame) w = static_cast<uint16_t>(rng());
        frame[0] = 0;  // no metadata marker: the frame is taken as it comes
        processAndCompare(frame, single, {}, what);
        processAndCompare(frame, single, si4c::encodeCalibration({-1.5f, 3.0f, 0.25f}), what);
    }
}

// Calibration offsets beyond a turn take the scalar form; the results are the same.
TEST(Si4cMeasure, LargeCalibrationOffsetsEqualReference) {
    VelmoraSim::SceneSettings settings;
    settings.noise = 3;
    VelmoraSim::Scene scene(settings, kWidth, kHeight);
    for (const bool single : {true, false}) {
        std::vector<uint16_t> frame(VelmoraSim::vgaFrameWords(kWidth, kHeight, single));
        VelmoraSim::renderVgaFrame(scene, {single, 0.0}, 1, frame.data());
        processAndCompare(frame, single, si4c::encodeCalibration({9.0f, -7.5f, 13.0f}),
                          single ? "single frequency" : "double frequency");
    }
}

// Values that put many neighbours exactly on a tolerance's edge (whole
// numbers near 1000 and 100 for the depth's 30 mm and 3 %, near 20 for the
// grey's 4 counts and 15 %), besides arbitrary, tiny, zero and negative ones;
// or, with `surfaces`, bands of 16 columns of one surface each (spreads of 30
// and just beyond around 1000 and -1000, values near 0 with some 2^30 times
// smaller, steps of a float's last place), where many windows are taken whole.
std::vector<float> edgyValues(size_t n, std::mt19937& rng, bool surfaces = false) {
    std::vector<float> v(n);
    std::uniform_real_distribution<float> any(-10.0f, 5000.0f);
    for (size_t i = 0; i < n; ++i) {
        float& x = v[i];
        const int whole = static_cast<int>(rng() % 81) - 40;
        if (surfaces) {
            const float spread = static_cast<float>(whole % 16);
            switch ((i / 16) % 6) {
                case 0: x = 1000.0f + spread; break;
                case 5: x = 1000.0f + static_cast<float>(whole) * 0x1p-14f; break;  // means on float midpoints
                case 1: x = 1000.0f + spread * 0.75f; break;
                case 2: x = -1000.0f + spread; break;
                case 3: x = 970.0f + spread * 1.00005f; break;  // spreads just beyond 30 mm
                default: x = std::fabs(any(rng)) * (rng() % 9 ? 0.005f : 1e-12f); break;  // sums not exact
            }
            continue;
        }
        switch (rng() % 7) {
            case 0: x = 1000.0f + static_cast<float>(whole); break;
            case 1: x = 100.0f + static_cast<float>(whole); break;
            case 2: x = 20.0f + static_cast<float>(whole % 8); break;
            case 3: x = any(rng); break;
            case 4: x = any(rng) * 1e-30f; break;
            case 5: x = 0.0f; break;
            default: x = 1000.0f + static_cast<float>(whole) * 0.75f; break;
        }
    }
    return v;
}

struct Tolerance {
    double absolute;
    double relative;
};
constexpr Tolerance kTolerances[] = {{30.0, 0.03}, {4.0, 0.15}};  // depth, grey

// Every radius the levels select and one more, masked (depth) or not (grey),
// both tolerances, on rows wider and narrower than a window and than a vector.
TEST_P(MeasureForm, SpatialFilterEqualsTheScalarForm) {
    const si4c::measure::Variant form = variants()[GetParam()];
    std::mt19937 rng(7);
    for (const auto& size : {std::make_pair(640, 7), std::make_pair(101, 5), std::make_pair(5, 4),
                            std::make_pair(2, 3), std::make_pair(1, 1)}) {
        const int width = size.first, height = size.second;
        const size_t n = static_cast<size_t>(width) * height;
        for (const bool surfaces : {false, true}) {
            const std::vector<float> plane = edgyValues(n, rng, surfaces);
            std::vector<uint8_t> mask(n);
            for (uint8_t& m : mask) m = rng() % (surfaces ? 50 : 5) != 0;
            for (int radius = 1; radius <= 4; ++radius) {
                for (const bool masked : {true, false}) {
                    for (const Tolerance t : kTolerances) {
                        const uint8_t* m = masked ? mask.data() : nullptr;
                        std::vector<float> want(n), got(n, -1.0f);
                        for (int y = 0; y < height; ++y) {
                            const size_t line = static_cast<size_t>(y) * width;
                            si4c::measure::spatialRowScalar(plane.data(), m, width, height, y, radius, t.absolute,
                                                            t.relative, want.data() + line);
                            form.spatialRow(plane.data(), m, width, height, y, radius, t.absolute, t.relative,
                                            got.data() + line);
                        }
                        ASSERT_TRUE(bitEqual(got.data(), want.data(), n, "filtered"))
                            << width << " x " << height << ", radius " << radius << (masked ? ", masked" : "")
                            << ", tolerance " << t.absolute << (surfaces ? ", surfaces" : "");
                    }
                }
            }
        }
    }
}

// Every level (weight 1 / (level + 1)), both tolerances, masked or not, over
// frames whose values stay, step exactly to a tolerance's edge, or jump; the
// form filters in place, as the processor does, or into another plane.
TEST_P(MeasureForm, TemporalFilterEqualsTheScalarForm) {
    const si4c::measure::Variant form = variants()[GetParam()];
    constexpr size_t kN = 203;  // not a whole number of vectors
    std::mt19937 rng(11);
    for (int level = 1; level <= 100; ++level) {
        for (const bool masked : {true, false}) {
            for (const Tolerance t : kTolerances) {
                std::vector<float> wantHistory(kN, si4c::measure::kNoHistory), gotHistory = wantHistory;
                std::vector<float> value = edgyValues(kN, rng);
                for (int frame = 0; frame < 5; ++frame) {
                    for (size_t i = 0; i < kN; ++i) {
                        const float edge = static_cast<float>(std::max(t.absolute, t.relative * std::fabs(value[i])));
                        const int step = static_cast<int>(rng() % 5) - 2;
                        const float next = value[i] + static_cast<float>(step) * edge / 2;
                        value[i] = rng() % 8 == 0 ? edgyValues(1, rng)[0] : next;
                    }
                    std::vector<uint8_t> mask(kN);
                    for (uint8_t& m : mask) m = !masked || rng() % 6 != 0;
                    std::vector<float> want(kN), got = value;
                    si4c::measure::temporalScalar(value.data(), masked ? mask.data() : nullptr, wantHistory.data(),
                                                  kN, 1.0 / (level + 1), t.absolute, t.relative, want.data());
                    const float* in = level % 2 ? got.data() : value.data();
                    form.temporalRow(in, masked ? mask.data() : nullptr, gotHistory.data(), kN, 1.0 / (level + 1),
                                     t.absolute, t.relative, got.data());
                    ASSERT_TRUE(bitEqual(got.data(), want.data(), kN, "filtered")) << "level " << level;
                    ASSERT_TRUE(bitEqual(gotHistory.data(), wantHistory.data(), kN, "history")) << "level " << level;
                }
            }
        }
    }
}

// The whole frame call with filters, each form against the scalar forms
// throughout, over consecutive frames (the temporal history) and every kind
// of configuration: the defaults, each filter alone, the widest windows.
TEST(Si4cMeasure, FilteredFramesEqualTheScalarFormsInEveryForm) {
    constexpr int kW = 320, kH = 240;
    const char* const configs[] = {
        "",  // the defaults
        "[DenoisingParams]\nTDenoiseLevel_Depth=0\nTDenoiseLevel_Gray=0\nSDenoiseLevel_Gray=0\n",
        "[DenoisingParams]\nSDenoiseLevel_Depth=0\nTDenoiseLevel_Gray=0\nSDenoiseLevel_Gray=0\n",
        "[DenoisingParams]\nSDenoiseLevel_Depth=0\nTDenoiseLevel_Depth=0\nTDenoiseLevel_Gray=0\n",
        "[DenoisingParams]\nSDenoiseLevel_Depth=0\nTDenoiseLevel_Depth=0\nSDenoiseLevel_Gray=0\n",
        "[DenoisingParams]\nSDenoiseLevel_Depth=100\nTDenoiseLevel_Depth=100\nSDenoiseLevel_Gray=5\n"
        "TDenoiseLevel_Gray=2\n[ConfidenceParams]\nValidDistMin=400\nValidDistMax=2000\n",
    };
    const auto list = variants();
    for (const bool single : {true, false}) {
        VelmoraSim::SceneSettings settings;
        settings.noise = 6;
        VelmoraSim::Scene scene(settings, kW, kH);
        std::vector<std::vector<uint16_t>> frames(3, std::vector<uint16_t>(VelmoraSim::vgaFrameWords(kW, kH, single)));
        for (size_t f = 0; f < frames.size(); ++f)
            VelmoraSim::renderVgaFrame(scene, {single, 0.0}, f, frames[f].data());
        for (const char* text : configs) {
            ConfigDirectory config(text);
            std::vector<si4c::Processor> processors(list.size());
            for (size_t v = 0; v < list.size(); ++v) {
                processors[v].useVariant(list[v]);
                processors[v].setSingleFrequency(single);
                ASSERT_TRUE(processors[v].init(kW, kH));
                processors[v].setConfigDirectory(config.path.c_str());
                ASSERT_TRUE(processors[v].start());
            }
            for (const auto& frame : frames) {
                const size_t n = static_cast<size_t>(kW) * kH;
                std::vector<float> want(3 * n), got(3 * n);
                const uint8_t* raw = reinterpret_cast<const uint8_t*>(frame.data());
                ASSERT_TRUE(processors.back().process(raw, want.data(), want.data() + n, want.data() + 2 * n));
                for (size_t v = 0; v + 1 < list.size(); ++v) {
                    ASSERT_TRUE(processors[v].process(raw, got.data(), got.data() + n, got.data() + 2 * n));
                    ASSERT_TRUE(bitEqual(got.data(), want.data(), 3 * n, "planes"))
                        << list[v].name << (single ? ", single" : ", double") << ", configuration '" << text << "'";
                }
            }
        }
    }
}

// The frame call with the default filters, which measures a few lines ahead
// of the filters into working planes of a few lines, against the filters'
// scalar rows over whole planes, one filter after the other, over frames that
// keep and break the temporal history.
TEST(Si4cMeasure, FilteredFramesEqualTheFiltersOverWholePlanes) {
    constexpr int kW = 320, kH = 240;
    constexpr size_t kN = static_cast<size_t>(kW) * kH;
    const si4c::AlgorithmConfig defaults;
    const auto list = variants();
    for (const bool single : {true, false}) {
        VelmoraSim::SceneSettings settings;
        settings.noise = 6;
        VelmoraSim::Scene scene(settings, kW, kH);
        ConfigDirectory config(" ");  // the defaults
        si4c::Processor processor;
        processor.useVariant(list.back());
        processor.setSingleFrequency(single);
        ASSERT_TRUE(processor.init(kW, kH));
        processor.setConfigDirectory(config.path.c_str());
        ASSERT_TRUE(processor.start());
        std::vector<float> depthHistory(kN, si4c::measure::kNoHistory), grayHistory = depthHistory;
        std::mt19937 rng(5);
        for (uint64_t f = 0; f < 4; ++f) {
            std::vector<uint16_t> frame(VelmoraSim::vgaFrameWords(kW, kH, single));
            VelmoraSim::renderVgaFrame(scene, {single, 0.0}, f, frame.data());
            if (f == 2)
                for (size_t i = 0; i < frame.size(); i += 1 + rng() % 7) frame[i] = static_cast<uint16_t>(rng());
            std::vector<float> got(3 * kN);
            ASSERT_TRUE(processor.process(reinterpret_cast<const uint8_t*>(frame.data()), got.data(),
                                          got.data() + kN, got.data() + 2 * kN));

            // Five sub-images per frequency; a single-frequency frame has no second five.
            const uint16_t* planes[10] = {};
            for (int k = 0; k < (single ? 5 : 10); ++k)
                planes[k] = frame.data() + static_cast<size_t>(k) * kW * (kH + 1) + kW;
            si4c::measure::Band band{defaults.validDistMin, defaults.validDistMax};
            band.minAmplitude = si4c::amplitudeFloor(planes, kN, defaults.validNoiseRatio);
            if (!single) band.minAmplitudeLow = si4c::amplitudeFloor(planes + 5, kN, defaults.validNoiseRatio);
            std::vector<float> depth(kN), gray(kN), spatial(kN), want(3 * kN);
            std::vector<uint8_t> valid(kN);
            const si4c::measure::Outputs out{depth.data(), gray.data(), valid.data(), nullptr};
            if (single)
                si4c::measure::singleScalar(planes, kN, 0.0, band, out);
            else
                si4c::measure::doubleScalar(planes, planes + 5, kN, 0.0, 0.0, band, out);
            for (int y = 0; y < kH; ++y)  // level 3: radius 2
                si4c::measure::spatialRowScalar(depth.data(), valid.data(), kW, kH, y, 2, 30.0, 0.03,
                                                spatial.data() + static_cast<size_t>(y) * kW);
            si4c::measure::temporalScalar(spatial.data(), valid.data(), depthHistory.data(), kN, 1.0 / 4, 30.0, 0.03,
                                          depth.data());
            for (int y = 0; y < kH; ++y)  // level 1: radius 1
                si4c::measure::spatialRowScalar(gray.data(), nullptr, kW, kH, y, 1, 4.0, 0.15,
                                                spatial.data() + static_cast<size_t>(y) * kW);
            si4c::measure::temporalScalar(spatial.data(), nullptr, grayHistory.data(), kN, 1.0 / 2, 4.0, 0.15,
                                          gray.data());
            si4c::measure::publishScalar(depth.data(), gray.data(), valid.data(), kN, band, want.data(),
                                         want.data() + kN, want.data() + 2 * kN);
            ASSERT_TRUE(bitEqual(got.data(), want.data(), 3 * kN, "planes"))
                << (single ? "single" : "double") << ", frame " << f;
        }
    }
}
