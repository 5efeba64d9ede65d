// HQVGA depth with SSE2, the x86-64 baseline: four pixels per vector.

#if defined(__x86_64__)

#include <emmintrin.h>

#define HQVGA_VECTOR_BYTES 16
#define HQVGA_DEPTH_ENTRY depthSse2
#include "HqvgaDepthVector.inl"

namespace {

Floats sqrtLanes(Floats v) { return (Floats)_mm_sqrt_ps((__m128)v); }

Floats reciprocalLanes(Floats v) { return (Floats)_mm_rcp_ps((__m128)v); }

Doubles gatherLanes(const double* table, SignedHalf index) { return Doubles{table[index[0]], table[index[1]]}; }

Doubles toDoubles(SignedHalf v) { return (Doubles)_mm_cvtepi32_pd((__m128i)Signed{v[0], v[1], 0, 0}); }

Unsigned widenWords(WordsHalf v) { return __builtin_convertvector(v, Unsigned); }

}  // namespace

#endif
