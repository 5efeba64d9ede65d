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

Doubles gatherLanes(const double* table, SignedHalf index) {
    return (Doubles)_mm256_i32gather_pd(table, (__m128i)index, sizeof(double));
}

Doubles toDoubles(SignedHalf v) { return (Doubles)_mm256_cvtepi32_pd((__m128i)v); }

Unsigned widenWords(WordsHalf v) { return (Unsigned)_mm256_cvtepu16_epi32((__m128i)v); }

}  // namespace

#endif
