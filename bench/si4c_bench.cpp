// The VGA phase processor (this project's libsi4c) at 640 x 480, single and
// double frequency, next to its plain scalar reference, in one run: the
// processor's whole frame call without filters (what the reference computes)
// and each measurement variant of this CPU alone; and the default path, the
// frame call with the default filters, in each form against the scalar forms
// of measurement and filters.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "Si4cMeasure.h"
#include "Si4cProcessor.h"
#include "Si4cReference.h"
#include "VgaRender.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr size_t kPixels = static_cast<size_t>(kWidth) * kHeight;

// A directory holding one "ConfigAlgorithm.json", removed with it.
class ConfigDirectory {
public:
    explicit ConfigDirectory(const std::string& text) {
        char name[] = "/tmp/velmora-si4c-bench-XXXXXX";
        if (mkdtemp(name)) {
            path = name;
            std::ofstream(path + "/ConfigAlgorithm.json") << text;
        }
    }
    ~ConfigDirectory() {
        if (path.empty()) return;
        std::remove((path + "/ConfigAlgorithm.json").c_str());
        rmdir(path.c_str());
    }
    ConfigDirectory(const ConfigDirectory&) = delete;
    ConfigDirectory& operator=(const ConfigDirectory&) = delete;
    std::string path;
};

const char* const kUnfiltered =
    "[DenoisingParams]\nTDenoiseLevel_Depth=0\nSDenoiseLevel_Depth=0\nTDenoiseLevel_Gray=0\nSDenoiseLevel_Gray=0\n"
    "[ConfidenceParams]\nValidDistMin=0\nValidDistMax=7000\n";
const char* const kDefaultFilters =
    "[DenoisingParams]\nTDenoiseLevel_Depth=3\nSDenoiseLevel_Depth=3\nTDenoiseMethod_Depth=1\n"
    "SDenoiseMethod_Depth=1\nTDenoiseLevel_Gray=1\nSDenoiseLevel_Gray=1\nTDenoiseMethod_Gray=1\n"
    "SDenoiseMethod_Gray=1\n[ConfidenceParams]\nValidDistMin=0\nValidDistMax=7000\n";

// The demo room with sensor noise, as the simulated module renders it.
std::vector<uint16_t> renderedFrame(bool single) {
    VelmoraSim::SceneSettings settings;
    settings.noise = 4;
    settings.seed = 5;
    VelmoraSim::Scene scene(settings, kWidth, kHeight);
    std::vector<uint16_t> frame(VelmoraSim::vgaFrameWords(kWidth, kHeight, single));
    VelmoraSim::renderVgaFrame(scene, {single, 0.0}, 3, frame.data());
    return frame;
}

struct Planes {
    std::vector<float> depth = std::vector<float>(kPixels);
    std::vector<float> amplitude = std::vector<float>(kPixels);
    std::vector<float> confidence = std::vector<float>(kPixels);
};

void reference(benchmark::State& state, bool single) {
    const std::vector<uint16_t> frame = renderedFrame(single);
    si4c::ReferenceSettings settings;
    settings.single = single;
    Planes out;
    for (auto _ : state) {
        si4c::referencePhaseImage(frame.data(), kWidth, kHeight, settings, out.depth.data(), out.amplitude.data(),
                                  out.confidence.data());
        benchmark::ClobberMemory();
    }
}

// The frame call in `forms`; null: the pick.
void processor(benchmark::State& state, bool single, const char* config, const si4c::measure::Variant* forms) {
    const std::vector<uint16_t> frame = renderedFrame(single);
    ConfigDirectory directory(config);
    si4c::Processor p;
    if (forms) p.useVariant(*forms);
    p.setSingleFrequency(single);
    if (directory.path.empty() || !p.init(kWidth, kHeight)) {
        state.SkipWithError("the processor did not start");
        return;
    }
    p.setConfigDirectory(directory.path.c_str());
    if (!p.start()) {
        state.SkipWithError("the processor did not start");
        return;
    }
    Planes out;
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(frame.data());
    for (auto _ : state) {
        if (!p.process(raw, out.depth.data(), out.amplitude.data(), out.confidence.data())) {
            state.SkipWithError("the processor refused the frame");
            return;
        }
        benchmark::ClobberMemory();
    }
    state.SetLabel(forms ? forms->name : si4c::measure::best().name);
}

// One measurement variant alone, without the processor's frame handling.
void variant(benchmark::State& state, bool single, si4c::measure::Variant v) {
    const std::vector<uint16_t> frame = renderedFrame(single);
    const size_t imageWords = static_cast<size_t>(kWidth) * (kHeight + 1);
    const uint16_t* planes[10];
    for (int k = 0; k < 10; ++k) planes[k] = frame.data() + k * imageWords + kWidth;
    Planes out;
    const si4c::measure::Band band{0, 7000};
    for (auto _ : state) {
        const si4c::measure::Outputs outputs{out.depth.data(), out.amplitude.data(), nullptr, out.confidence.data()};
        if (single)
            v.single(planes, kPixels, 0.0, band, outputs);
        else
            v.dual(planes, planes + 5, kPixels, 0.0, 0.0, band, outputs);
        benchmark::ClobberMemory();
    }
}

void registerAll() {
    size_t count = 0;
    const si4c::measure::Variant* variants = si4c::measure::variants(&count);
    for (const bool single : {true, false}) {
        const std::string mode = single ? "si4c_single/" : "si4c_double/";
        benchmark::RegisterBenchmark((mode + "reference").c_str(), reference, single)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((mode + "processor").c_str(), processor, single, kUnfiltered, nullptr)
            ->Unit(benchmark::kMicrosecond);
        for (size_t i = 0; i < count; ++i)
            benchmark::RegisterBenchmark((mode + variants[i].name).c_str(), variant, single, variants[i])
                ->Unit(benchmark::kMicrosecond);
        const std::string path = single ? "si4c_default_single/" : "si4c_default_double/";
        benchmark::RegisterBenchmark((path + "pick").c_str(), processor, single, kDefaultFilters, nullptr)
            ->Unit(benchmark::kMicrosecond);
        // The last variant is the scalar form: the default path's reference.
        for (size_t i = 0; i < count; ++i)
            benchmark::RegisterBenchmark((path + variants[i].name).c_str(), processor, single, kDefaultFilters,
                                         &variants[i])
                ->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
