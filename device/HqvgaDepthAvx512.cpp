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

Floats remainderLanes(Floats a, Floats q, Floats b) { return (Floats)_mm512_fnmadd_ps((__m512)q, (__m512)b, (__m512)a); }

// The 16-entry table is one register: a permute.
Floats tableLanes(const float* table, Signed index) {
    return (Floats)_mm512_permutexvar_ps((__m512i)index, _mm512_load_ps(table));
}

bool anyLane(Signed mask) { return _mm512_test_epi32_mask((__m512i)mask, (__m512i)mask) != 0; }

Unsigned widenWords(WordsHalf v) { return (Unsigned)_mm512_cvtepu16_epi32((__m256i)v); }

}  // namespace

#endif
