// HQVGA depth with AVX-512F: sixteen pixels per vector. Built with -mavx512f
// (hqvga.cmake) and run only where the CPU reports it.

#if defined(__x86_64__)

#include <immintrin.h>

// GCC 12's intrinsic headers fill unused result lanes from a deliberately
// uninitialised variable, which its own flow analysis then reports.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define HQVGA_VECTOR_BYTES 64
#define HQVGA_DEPTH_ENTRY depthAvx512
#include "HqvgaDepthVector.inl"

namespace {

Floats sqrtLanes(Floats v) { return (Floats)_mm512_sqrt_ps((__m512)v); }

Floats reciprocalLanes(Floats v) { return (Floats)_mm512_rcp14_ps((__m512)v); }

// The 16-entry table fits two registers: a permute, far cheaper than a gather.
Doubles gatherLanes(const double* table, SignedHalf index) {
    static_assert(kSteps + 1 == 16, "table of two registers");
    const __m512i lanes = _mm512_cvtepi32_epi64((__m256i)index);
    return (Doubles)_mm512_permutex2var_pd(_mm512_load_pd(table), lanes, _mm512_load_pd(table + 8));
}

Doubles toDoubles(SignedHalf v) { return (Doubles)_mm512_cvtepi32_pd((__m256i)v); }

Unsigned widenWords(WordsHalf v) { return (Unsigned)_mm512_cvtepu16_epi32((__m256i)v); }

}  // namespace

#endif
