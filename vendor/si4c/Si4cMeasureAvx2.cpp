// The measurement with AVX2 and FMA: four pixels per vector. Built with
// -mavx2 -mfma (si4c.cmake) and run only where the CPU reports both.

#if defined(__x86_64__)

#include <cstring>

#include <immintrin.h>

// GCC 12's intrinsic headers fill unused result lanes from a deliberately
// uninitialised variable, which its own flow analysis then reports.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define SI4C_VECTOR_BYTES 32
#define SI4C_VARIANT kAvx2
#define SI4C_VARIANT_NAME "avx2"
#include "Si4cMeasureVector.inl"

namespace {

Doubles sqrtLanes(Doubles v) { return (Doubles)_mm256_sqrt_pd((__m256d)v); }

FloatsWide reciprocalLanes(FloatsWide v) { return (FloatsWide)_mm256_rcp_ps((__m256)v); }

// Two in-register permutes of eight entries each, chosen by bit 3 of the index.
FloatsWide tableLanes(const float* table, IntsWide index) {
    const __m256i i = (__m256i)index;
    const __m256 first = _mm256_permutevar8x32_ps(_mm256_load_ps(table), i);
    const __m256 second = _mm256_permutevar8x32_ps(_mm256_load_ps(table + 8), i);
    return (FloatsWide)_mm256_blendv_ps(first, second, _mm256_castsi256_ps(_mm256_slli_epi32(i, 28)));
}

Doubles toDoubles(Ints v) { return (Doubles)_mm256_cvtepi32_pd((__m128i)v); }
Longs toLongs(Ints mask) { return (Longs)_mm256_cvtepi32_epi64((__m128i)mask); }
IntsWide widenWords(WordsWide v) { return (IntsWide)_mm256_cvtepu16_epi32((__m128i)v); }
Floats toFloats(Doubles v) { return (Floats)_mm256_cvtpd_ps((__m256d)v); }

IntsWide widenFlags(FlagsWide v) {
    return (IntsWide)_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&v)));
}

Doubles fmaLanes(Doubles a, Doubles b, Doubles c) {
    return (Doubles)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
}

Ints widenFlagsNarrow(Flags v) {
    uint32_t bytes;
    std::memcpy(&bytes, &v, sizeof bytes);
    return (Ints)_mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int>(bytes)));
}
Doubles toDoublesFromFloats(Floats v) { return (Doubles)_mm256_cvtps_pd((__m128)v); }

Ints toInts(Doubles v) { return (Ints)_mm256_cvttpd_epi32((__m256d)v); }

bool anyLane(Longs mask) { return _mm256_movemask_pd((__m256d)mask) != 0; }

void storeFlags(uint8_t* to, Longs mask) {
    // Bit k of the four-bit mask to bit 0 of byte k: the shifted copies do not overlap.
    const uint32_t bytes = static_cast<uint32_t>(_mm256_movemask_pd((__m256d)mask)) * 0x00204081u & 0x01010101u;
    std::memcpy(to, &bytes, sizeof bytes);
}

}  // namespace

#endif
