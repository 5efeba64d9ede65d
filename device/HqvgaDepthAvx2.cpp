// HQVGA depth with AVX2 and FMA: eight pixels per vector. Built with -mavx2
// -mfma (hqvga.cmake) and run only where the CPU reports both.

#if defined(__x86_64__)

#include <immintrin.h>

// GCC 12's intrinsic headers fill unused result lanes from a deliberately
// uninitialised variable, which its own flow analysis then reports.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define HQVGA_VECTOR_BYTES 32
#define HQVGA_DEPTH_ENTRY depthAvx2
#include "HqvgaDepthVector.inl"

namespace {

Floats sqrtLanes(Floats v) { return (Floats)_mm256_sqrt_ps((__m256)v); }

Floats reciprocalLanes(Floats v) { return (Floats)_mm256_rcp_ps((__m256)v); }

Floats remainderLanes(Floats a, Floats q, Floats b) { return (Floats)_mm256_fnmadd_ps((__m256)q, (__m256)b, (__m256)a); }

// Two in-register permutes of eight entries each, chosen by bit 3 of the index.
Floats tableLanes(const float* table, Signed index) {
    const __m256i i = (__m256i)index;
    const __m256 first = _mm256_permutevar8x32_ps(_mm256_load_ps(table), i);
    const __m256 second = _mm256_permutevar8x32_ps(_mm256_load_ps(table + 8), i);
    return (Floats)_mm256_blendv_ps(first, second, _mm256_castsi256_ps(_mm256_slli_epi32(i, 28)));
}

bool anyLane(Signed mask) { return _mm256_movemask_ps((__m256)mask) != 0; }

Unsigned widenWords(WordsHalf v) { return (Unsigned)_mm256_cvtepu16_epi32((__m128i)v); }

}  // namespace

#endif
