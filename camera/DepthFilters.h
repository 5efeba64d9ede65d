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

class DepthFilterChain {
public:
    // `focalPx` is the lens's smaller focal length in pixels: how far apart
    // neighbouring pixels look at a given distance.
    void apply(const DepthFilterSettings& settings, double focalPx, const DepthPlaneSet& planes);
    // The next frame does not continue the last (a new stream, range or size).
    void forgetHistory() { history.clear(); }

private:
    std::vector<float> scratch;
    std::vector<float> history;  // last output of the temporal filter, 0 where none
};

// The single filters, for the benchmark and the tests; `scratch` holds a plane.
void filterWrappedDistance(const DepthFilterSettings& s, const DepthPlaneSet& planes);
void filterFlyingPixels(const DepthFilterSettings& s, double focalPx, const DepthPlaneSet& planes,
                        std::vector<float>& scratch);
void filterSpatial(const DepthFilterSettings& s, const DepthPlaneSet& planes, std::vector<float>& scratch);
void filterTemporal(const DepthFilterSettings& s, const DepthPlaneSet& planes, std::vector<float>& history);
void filterHoles(const DepthPlaneSet& planes, std::vector<float>& scratch);

}  // namespace Velmora
