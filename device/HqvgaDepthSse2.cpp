// HQVGA depth with SSE2, the x86-64 baseline: four pixels per vector.

#if defined(__x86_64__)

#include <emmintrin.h>

#define HQVGA_VECTOR_BYTES 16
#define HQVGA_DEPTH_ENTRY depthSse2
#include "HqvgaDepthVector.inl"

namespace {

Floats sqrtLanes(Floats v) { return (Floats)_mm_sqrt_ps((__m128)v); }

Floats reciprocalLanes(Floats v) { return (Floats)_mm_rcp_ps((__m128)v); }

// No FMA: Dekker's exact product, each factor split into halves of at most 12
// bits whose products are exact. a - p is exact (p is within a factor 2 of a),
// and so is the remainder, which fits 24 bits.
Floats remainderLanes(Floats a, Floats q, Floats b) {
    const Floats qHigh = (Floats)((Signed)q & ~0xFFF);
    const Floats qLow = q - qHigh;
    const Floats bHigh = (Floats)((Signed)b & ~0xFFF);
    const Floats bLow = b - bHigh;
    const Floats p = q * b;
    const Floats error = (((qHigh * bHigh - p) + qHigh * bLow) + qLow * bHigh) + qLow * bLow;
    return (a - p) - error;
}

Floats tableLanes(const float* table, Signed index) {
    return Floats{table[index[0]], table[index[1]], table[index[2]], table[index[3]]};
}

bool anyLane(Signed mask) { return _mm_movemask_ps((__m128)mask) != 0; }

Unsigned widenWords(WordsHalf v) { return __builtin_convertvector(v, Unsigned); }

}  // namespace

#endif
