// HQVGA depth with AArch64 Advanced SIMD (NEON), which every AArch64 core
// has: four pixels per vector.

#if defined(__aarch64__)

#include <arm_neon.h>

#define HQVGA_VECTOR_BYTES 16
#define HQVGA_DEPTH_ENTRY depthNeon
#include "HqvgaDepthVector.inl"

namespace {

Floats sqrtLanes(Floats v) { return (Floats)vsqrtq_f32((float32x4_t)v); }

Floats reciprocalLanes(Floats v) {
    // The estimate has 8 bits; one Newton step brings it to about 16.
    const float32x4_t estimate = vrecpeq_f32((float32x4_t)v);
    return (Floats)vmulq_f32(estimate, vrecpsq_f32((float32x4_t)v, estimate));
}

Doubles gatherLanes(const double* table, SignedHalf index) { return Doubles{table[index[0]], table[index[1]]}; }

Doubles toDoubles(SignedHalf v) { return __builtin_convertvector(v, Doubles); }

Unsigned widenWords(WordsHalf v) { return __builtin_convertvector(v, Unsigned); }

}  // namespace

#endif
