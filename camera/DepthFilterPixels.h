#pragma once
// One pixel of each depth filter, as plain float arithmetic with selects and
// no branches: the row loops of every instruction-set form inline these, so
// each lane computes exactly what the scalar form computes. Static: every
// form compiles its own copy with its own instruction set.

#include <cmath>

namespace Velmora {
namespace DepthFilterPixels {

static inline float larger(float a, float b) { return a > b ? a : b; }

// The pixel at distance `d` (0: invalid) without the others around it if it
// lies between two opposite neighbours, each more than a step away; an
// invalid neighbour (0) never counts as either side.
static inline float flying(float d, float left, float right, float up, float down, float upLeft, float downRight,
                    float upRight, float downLeft, float minStep, float relative) {
    const float step = larger(minStep, relative * d);
    auto between = [d, step](float a, float b) {
        return (a > 0) & (b > 0) & (((a - d > step) & (d - b > step)) | ((d - a > step) & (b - d > step)));
    };
    const bool mixed = (d > 0) & (between(left, right) | between(up, down) | between(upLeft, downRight) |
                                  between(upRight, downLeft));
    return mixed ? 0.0f : d;
}

// The mean of the pixel and its neighbours within the edge limit, summed as
// offsets from the pixel so a flat patch keeps its exact value.
static inline float spatial(float d, const float (&around)[8], float edge, float relative) {
    const float limit = larger(edge, relative * d);
    float sum = 0.0f, count = 1.0f;
    for (float v : around) {
        const bool near = (v > 0) & (std::fabs(v - d) <= limit);
        sum += near ? v - d : 0.0f;
        count += near ? 1.0f : 0.0f;
    }
    // Computed for every pixel, so the loop has no branch to vectorise around.
    const float smoothed = d + sum / count;
    return d > 0 ? smoothed : d;
}

// The pixel's new value from its last one; a jump, or a hole in either, starts afresh.
static inline float temporal(float d, float before, float alpha, float edge, float relative) {
    const float limit = larger(edge, relative * d);
    const float blended = before + alpha * (d - before);
    const bool continues = (d > 0) & (before > 0) & (std::fabs(d - before) <= limit);
    return continues ? blended : d;
}

// The pixel, or 0 when it is darker than the faintest surface taken as real.
static inline float wrapped(float d, float amplitude, float floor, float inverseFalloff) {
    const float q = d * inverseFalloff;
    return (d > 0) & (amplitude * (1.0f + q * q) < floor) ? 0.0f : d;
}

}  // namespace DepthFilterPixels
}  // namespace Velmora
