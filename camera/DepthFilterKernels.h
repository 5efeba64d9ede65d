#pragma once
// The depth filters' row loops in one form per instruction set, and the pick.

#include <cstddef>
#include <vector>

namespace Velmora {

struct DepthFilterKernels {
    // Interior columns 1 .. width-2 of one row, from the rows above, at and below.
    void (*flyingRow)(const float* up, const float* mid, const float* down, const float* amplitudeUp,
                      const float* amplitudeMid, const float* amplitudeDown, float* out, int width, float minStep,
                      float relative, float inclined, float faint);
    void (*spatialRow)(const float* up, const float* mid, const float* down, float* out, int width, float edge,
                       float relative);
    // Whole planes.
    void (*temporalRun)(float* depth, float* history, size_t count, float alpha, float edge, float relative);
    void (*wrappedRun)(float* depth, const float* amplitude, size_t count, float floor, float inverseFalloff);
};

struct DepthFilterForm {
    const char* name;  // "avx512", "avx2", "sse2" or "neon" (the build's baseline), "scalar"
    const DepthFilterKernels* kernels;
};

// Every form this CPU runs, the pick first and the scalar form last.
const std::vector<DepthFilterForm>& depthFilterForms();

// Built per form (DepthFilters<Form>.cpp); the vector ones only where they exist.
extern const DepthFilterKernels depthFilterKernelsScalar;
extern const DepthFilterKernels depthFilterKernelsBaseline;
#if defined(__x86_64__)
extern const DepthFilterKernels depthFilterKernelsAvx2;
extern const DepthFilterKernels depthFilterKernelsAvx512;
#endif

}  // namespace Velmora
