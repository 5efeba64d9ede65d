// Cost per frame of each depth filter and of the default chain, on frames of
// both sensors' sizes: the demo room with sensor-like noise.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "DepthFilterKernels.h"
#include "DepthFilters.h"
#include "VelmoraIntrinsics.h"
#include "VelmoraScene.h"

namespace Velmora {
namespace {

struct Frame {
    int width, height;
    std::vector<float> depth, amplitude, confidence;
    DepthPlaneSet set() { return {width, height, depth.data(), amplitude.data(), confidence.data()}; }
};

Frame roomFrame(int width, int height, uint64_t index) {
    VelmoraSim::SceneSettings settings;
    settings.kind = "demo";
    const VelmoraSim::Scene scene(settings, width, height);
    VelmoraSim::NoiseSource noise(3, index);
    Frame f{width, height, {}, {}, {}};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            f.depth.push_back(static_cast<float>(scene.distanceMm(x, y) + 15.0 * noise.gaussian()));
            f.amplitude.push_back(static_cast<float>(scene.amplitudeCounts(x, y)));
        }
    }
    f.confidence = f.amplitude;
    return f;
}

enum Filter { Wrapped, Flying, Spatial, Temporal, Holes, Chain };

void filterCost(benchmark::State& state, int width, int height, Filter filter, const DepthFilterKernels* form) {
    const Frame source = roomFrame(width, height, 1);
    const Frame next = roomFrame(width, height, 2);
    DepthFilterSettings settings;
    settings.holeFilling = true;
    settings.wrappedDistance = true;
    settings.wrappedWhiteAmplitude = DepthFilterSettings::kNominalWhiteAmplitudeVga;
    const double focal = nominalIntrinsics(uint32_t(width), uint32_t(height)).fx;
    std::vector<float> scratch, history;
    DepthFilterChain chain(form);
    Frame work = source;
    filterTemporal(settings, work.set(), history);
    bool odd = false;
    for (auto _ : state) {
        state.PauseTiming();
        work = odd ? next : source;  // the temporal filter sees a changing stream
        odd = !odd;
        state.ResumeTiming();
        switch (filter) {
        case Wrapped: filterWrappedDistance(settings, work.set(), form); break;
        case Flying: filterFlyingPixels(settings, focal, work.set(), scratch, form); break;
        case Spatial: filterSpatial(settings, work.set(), scratch, form); break;
        case Temporal: filterTemporal(settings, work.set(), history, form); break;
        case Holes: filterHoles(work.set(), scratch); break;
        case Chain: chain.apply(DepthFilterSettings(), focal, work.set()); break;
        }
        benchmark::DoNotOptimize(work.depth.data());
    }
}

void registerAll() {
    const struct {
        const char* name;
        int width, height;
    } sizes[] = {{"HQVGA", 240, 180}, {"VGA", 640, 480}};
    const struct {
        const char* name;
        Filter filter;
    } filters[] = {{"wrapped distance", Wrapped}, {"flying pixel", Flying}, {"spatial", Spatial},
                   {"temporal", Temporal},        {"hole filling", Holes},  {"default chain", Chain}};
    // Each filter at the pick; the default chain in every form this CPU runs.
    const std::vector<DepthFilterForm>& forms = depthFilterForms();
    for (const auto& size : sizes)
        for (const auto& f : filters)
            for (const DepthFilterForm& form : forms) {
                if (f.filter != Chain && &form != &forms.front()) continue;
                const std::string name = std::string("filters/") + size.name + "/" + f.name + "/" + form.name +
                                         (&form == &forms.front() ? "/pick" : "");
                benchmark::RegisterBenchmark(name.c_str(), filterCost, size.width, size.height, f.filter,
                                             form.kernels)
                    ->Unit(benchmark::kMicrosecond);
            }
}

}  // namespace
}  // namespace Velmora

int main(int argc, char** argv) {
    Velmora::registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
