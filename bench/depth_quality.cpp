// Quality of the depth filters on the virtual camera's `steps` scene with its
// pixel physics (mixed pixels at edges, ambient light, shot noise), against
// the scene's ground truth: per sensor setting and filter set, the flying
// pixels left, the flat-face pixels kept, the temporal noise on flat faces
// and the wrapped pixels reported valid. Prints one table; run by
// scripts/bench.sh.
//
//   depth_quality [frames per filter set, default 20]

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "VelmoraScene.h"
#include "VelmoraTOFCamera.h"

using namespace Velmora;

namespace {

constexpr double kNoise = 20;
constexpr double kFlyingToleranceMm = 50;
constexpr double kEdgeSpanMm = 100;

struct SensorSetting {
    const char* name;
    int width, height;
    int range;          // RANGE to set (HQVGA), 0 for none
    int mode;           // MODE to set (VGA), -1 for none
    double unambiguousMm;
};

struct FilterSet {
    const char* name;
    DepthFilterSettings settings;
};

struct Measure {
    double flyingValid = 0;  // per frame
    double flatValid = 0;    // per frame
    double noiseMm = 0;      // median over flat pixels valid in every frame of their temporal deviation
    double wrappedValid = 0; // per frame
};

Measure measure(VelmoraTOFCamera& camera, const VelmoraSim::Scene& scene, const SensorSetting& sensor, int frames) {
    const int w = sensor.width, h = sensor.height;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    std::vector<double> sum(n, 0), sumSquares(n, 0);
    std::vector<int> validCount(n, 0);
    Measure m;
    int taken = 0;
    for (int f = 0; taken < frames + 5 && f < 10 * (frames + 5); ++f) {
        VelmoraFrameBuffer* frame = camera.requestFrame(5000);
        if (!frame) break;
        const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        if (++taken > 5) {  // the first frames fill the temporal filter's memory
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
                    const double d = depth[i];
                    if (!(d > 0)) continue;
                    const VelmoraSim::PixelTruth t = scene.truth(x, y);
                    // Beyond the unambiguous range a pixel is wrapped, whatever else it
                    // is; within 5 % of it the noise alone wraps some frames.
                    const bool wrapped = t.farthestMm >= 0.95 * sensor.unambiguousMm;
                    m.wrappedValid += wrapped;
                    // An edge pixel: its footprint meets surfaces far apart (one inclined
                    // surface spans a few millimetres over a pixel).
                    const bool edge = t.farthestMm - t.nearestMm > kEdgeSpanMm;
                    m.flyingValid += !wrapped && edge && !scene.nearSurface(x, y, d, kFlyingToleranceMm);
                    if (!t.flat || wrapped) continue;
                    m.flatValid += 1;
                    sum[i] += d;
                    sumSquares[i] += d * d;
                    ++validCount[i];
                }
            }
        }
        camera.releaseFrame(frame);
    }
    const int counted = taken - 5;
    if (counted <= 0) return m;
    std::vector<double> deviations;
    for (size_t i = 0; i < n; ++i) {
        if (validCount[i] != counted || counted < 2) continue;
        const double mean = sum[i] / counted;
        deviations.push_back(std::sqrt(std::max(0.0, (sumSquares[i] - counted * mean * mean) / (counted - 1))));
    }
    if (!deviations.empty()) {
        std::nth_element(deviations.begin(), deviations.begin() + deviations.size() / 2, deviations.end());
        m.noiseMm = deviations[deviations.size() / 2];
    }
    m.flyingValid /= counted;
    m.flatValid /= counted;
    m.wrappedValid /= counted;
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
    const SensorSetting sensors[] = {
        {"HQVGA range 4000", 240, 180, 4000, -1, 4000},
        {"HQVGA range 2000", 240, 180, 2000, -1, 2000},
        {"VGA double frequency", 640, 480, 0, int(TofWorkMode::DOUBLE_FREQ), 4500},
        {"VGA single frequency", 640, 480, 0, int(TofWorkMode::SINGLE_FREQ), 1250},
    };
    const DepthFilterSettings none = DepthFilterSettings::none();
    auto only = [&](bool DepthFilterSettings::*flag) {
        DepthFilterSettings s = none;
        s.*flag = true;
        return s;
    };
    DepthFilterSettings wrapped;
    wrapped.wrappedDistance = true;
    const FilterSet sets[] = {{"none", none},
                              {"flying pixel", only(&DepthFilterSettings::flyingPixel)},
                              {"spatial", only(&DepthFilterSettings::spatial)},
                              {"temporal", only(&DepthFilterSettings::temporal)},
                              {"defaults", DepthFilterSettings()},
                              {"defaults + wrapped", wrapped}};

    std::printf("Depth quality on the steps scene: physics on, noise %.0f, %d frames per row; flying pixels are\n"
                "valid pixels more than %.0f mm from every surface they straddle; every figure but the last\n"
                "leaves out what lies beyond 95 %% of the unambiguous range (wrapped, or wrapped by noise)\n\n",
                kNoise, frames, kFlyingToleranceMm);
    std::printf("%-22s %-20s %14s %9s %12s %9s %11s %14s\n", "sensor", "filters", "flying valid", "removed",
                "flat valid", "kept", "noise mm", "wrapped valid");
    const std::string config = "/tmp/velmora_quality_" + std::to_string(::getpid()) + ".cfg";
    for (const SensorSetting& sensor : sensors) {
        std::ofstream(config) << "width=" << sensor.width << "\nheight=" << sensor.height
                              << "\nscene=steps\nphysics=on\nfps=0\nseed=5\nnoise=" << kNoise << "\n";
        VelmoraSim::SceneSettings sceneSettings;
        sceneSettings.kind = "steps";
        sceneSettings.physics = true;
        sceneSettings.noise = kNoise;
        const VelmoraSim::Scene scene(sceneSettings, sensor.width, sensor.height);
        VelmoraTOFCamera camera;
        if (camera.openWithFile(config.c_str(), 0) != VelmoraSuccess) {
            std::fprintf(stderr, "%s: the virtual camera does not open\n", sensor.name);
            return 1;
        }
        if (sensor.range) camera.setControl(CameraCtrl::RANGE, sensor.range);
        if (sensor.mode >= 0) camera.setControl(CameraCtrl::MODE, sensor.mode);
        Measure reference;
        for (const FilterSet& set : sets) {
            camera.setDepthFilters(set.settings);
            if (camera.start(FrameType::DEPTH) != VelmoraSuccess) {
                std::fprintf(stderr, "%s: the virtual camera does not start\n", sensor.name);
                return 1;
            }
            const Measure m = measure(camera, scene, sensor, frames);
            camera.stop();
            if (&set == &sets[0]) reference = m;
            auto share = [](double part, double whole) { return whole > 0 ? 100.0 * part / whole : 0.0; };
            char removed[16] = "-";
            if (reference.flyingValid > 0)
                std::snprintf(removed, sizeof(removed), "%.1f%%", 100.0 - share(m.flyingValid, reference.flyingValid));
            std::printf("%-22s %-20s %14.1f %9s %12.0f %8.2f%% %11.2f %14.1f\n", sensor.name, set.name,
                        m.flyingValid, removed, m.flatValid, share(m.flatValid, reference.flatValid), m.noiseMm,
                        m.wrappedValid);
        }
        camera.close();
    }
    std::remove(config.c_str());
    std::printf("\ngoals: defaults remove >= 95%% of flying pixels, keep >= 98%% of flat-face pixels, halve the noise\n");
    return 0;
}
