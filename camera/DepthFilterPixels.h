#pragma once
// One pixel of each depth filter, as plain float arithmetic with selects and
// no branches: the row loops of every instruction-set form inline these, so
// each lane computes exactly what the scalar form computes. Static: every
// form compiles its own copy with its own instruction set.

#include <cmath>

namespace Velmora {
namespace DepthFilterPixels {

static inline float larger(float a, float b) { return a > b ? a : b; }

// The pixel at distance `d` (0: invalid), or 0 where it mixes two surfaces.
// Two signs of it, each at a depth edge (two neighbours farther apart than
// any surface the camera can see over two pixels, `inclined` x distance
// each, so flat and sloping faces never qualify):
// - it lies between two opposite neighbours, more than `step` from each
//   (beyond the noise);
// - its amplitude is below `faint` x the brightest neighbour's: the light of
//   the two surfaces cancelled, and its phase may land anywhere, even beyond
//   both surfaces.
// An invalid neighbour (0) never counts. Neighbours in `n`: left, right, up,
// down, up-left, down-right, up-right, down-left (opposite ones paired).
static inline float flying(float d, float amplitude, const float (&n)[8], const float (&nAmplitude)[8],
                           float minStep, float relative, float inclined, float faint) {
    const float step = larger(minStep, relative * d);
    const float apart = 2.0f * larger(step, inclined * d);
    bool between = false, edge = false;
    float brightest = 0.0f;
    for (int k = 0; k < 8; k += 2) {
        const float a = n[k], b = n[k + 1];
        const float above = a - d, below = d - b;
        const bool both = (a > 0) & (b > 0);
        const bool jump = both & (std::fabs(a - b) > apart);
        between = between | (jump & (((above > step) & (below > step)) | ((above < -step) & (below < -step))));
        edge = edge | jump;
    }
    for (int k = 0; k < 8; ++k) brightest = larger(brightest, n[k] > 0 ? nAmplitude[k] : 0.0f);
    const bool mixed = (d > 0) & (between | (edge & (amplitude < faint * brightest)));
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
