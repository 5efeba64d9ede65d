// The row loops of the depth filters, compiled once per instruction set by
// DepthFilters<Form>.cpp with DEPTH_FILTER_FORM naming the table. Straight
// loops over the per-pixel functions, which the compiler vectorises; built
// with -ffp-contract=off, so every lane rounds as the scalar form does.

#include "DepthFilterKernels.h"
#include "DepthFilterPixels.h"

namespace Velmora {
namespace {

using namespace DepthFilterPixels;

void flyingRow(const float* __restrict up, const float* __restrict mid, const float* __restrict down,
               const float* __restrict amplitudeUp, const float* __restrict amplitudeMid,
               const float* __restrict amplitudeDown, float* __restrict out, int width, float minStep, float relative,
               float inclined, float faint) {
    for (int x = 1; x + 1 < width; ++x) {
        const float n[8] = {mid[x - 1], mid[x + 1], up[x], down[x], up[x - 1], down[x + 1], up[x + 1], down[x - 1]};
        const float a[8] = {amplitudeMid[x - 1], amplitudeMid[x + 1], amplitudeUp[x],     amplitudeDown[x],
                            amplitudeUp[x - 1],  amplitudeDown[x + 1], amplitudeUp[x + 1], amplitudeDown[x - 1]};
        out[x] = flying(mid[x], amplitudeMid[x], n, a, minStep, relative, inclined, faint);
    }
}

void spatialRow(const float* __restrict up, const float* __restrict mid, const float* __restrict down,
                float* __restrict out, int width, float edge, float relative) {
    for (int x = 1; x + 1 < width; ++x) {
        const float around[8] = {up[x - 1], up[x], up[x + 1], mid[x - 1], mid[x + 1], down[x - 1], down[x], down[x + 1]};
        out[x] = spatial(mid[x], around, edge, relative);
    }
}

void temporalRun(float* __restrict depth, float* __restrict history, size_t count, float alpha, float edge,
                 float relative) {
    for (size_t i = 0; i < count; ++i) {
        const float out = temporal(depth[i], history[i], alpha, edge, relative);
        depth[i] = out;
        history[i] = out;
    }
}

void wrappedRun(float* __restrict depth, const float* __restrict amplitude, size_t count, float floor,
                float inverseFalloff) {
    for (size_t i = 0; i < count; ++i) depth[i] = wrapped(depth[i], amplitude[i], floor, inverseFalloff);
}

}  // namespace

extern const DepthFilterKernels DEPTH_FILTER_FORM;
const DepthFilterKernels DEPTH_FILTER_FORM = {flyingRow, spatialRow, temporalRun, wrappedRun};

}  // namespace Velmora
