#pragma once
// The depth filters of a camera's stream, with the temporal filter's memory.

#include <cstdint>
#include <vector>

#include "VelmoraDepthFilters.h"

namespace Velmora {

struct DepthPlaneSet {
    int width;
    int height;
    float* depth;       // distance along the ray, mm; 0 where invalid
    float* amplitude;
    float* confidence;  // 0 where invalid
};

struct DepthFilterKernels;

class DepthFilterChain {
public:
    // `forced`: one form of the row loops (tests, benchmarks); default the pick.
    explicit DepthFilterChain(const DepthFilterKernels* forced = nullptr) : kernels(forced) {}
    // `focalPx` is the lens's smaller focal length in pixels: how far apart
    // neighbouring pixels look at a given distance.
    void apply(const DepthFilterSettings& settings, double focalPx, const DepthPlaneSet& planes);
    // The next frame does not continue the last (a new stream, range or size).
    void forgetHistory() { history.clear(); }

private:
    const DepthFilterKernels* kernels;
    std::vector<float> scratch;
    std::vector<float> history;  // last output of the temporal filter, 0 where none
};

// The single filters, for the benchmark and the tests; `scratch` holds a
// plane; `kernels` a form of the row loops (null: the pick).
void filterWrappedDistance(const DepthFilterSettings& s, const DepthPlaneSet& planes,
                           const DepthFilterKernels* kernels = nullptr);
void filterFlyingPixels(const DepthFilterSettings& s, double focalPx, const DepthPlaneSet& planes,
                        std::vector<float>& scratch, const DepthFilterKernels* kernels = nullptr);
void filterSpatial(const DepthFilterSettings& s, const DepthPlaneSet& planes, std::vector<float>& scratch,
                   const DepthFilterKernels* kernels = nullptr);
void filterTemporal(const DepthFilterSettings& s, const DepthPlaneSet& planes, std::vector<float>& history,
                    const DepthFilterKernels* kernels = nullptr);
void filterHoles(const DepthPlaneSet& planes, std::vector<float>& scratch);

}  // namespace Velmora
