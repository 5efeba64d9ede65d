// The measurement with AVX-512F: eight pixels per vector. Built with
// -mavx512f (si4c.cmake) and run only where the CPU reports it.

#if defined(__x86_64__)

#include <cstring>

#include <immintrin.h>

// GCC 12's intrinsic headers fill unused result lanes from a deliberately
// uninitialised variable, which its own flow analysis then reports.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define SI4C_VECTOR_BYTES 64
#define SI4C_VARIANT kAvx512
#define SI4C_VARIANT_NAME "avx512"
#include "Si4cMeasureVector.inl"

namespace {

Doubles sqrtLanes(Doubles v) { return (Doubles)_mm512_sqrt_pd((__m512d)v); }

FloatsWide reciprocalLanes(FloatsWide v) { return (FloatsWide)_mm512_rcp14_ps((__m512)v); }

// The 16-entry table is one register: a permute.
FloatsWide tableLanes(const float* table, IntsWide index) {
    return (FloatsWide)_mm512_permutexvar_ps((__m512i)index, _mm512_load_ps(table));
}

Doubles toDoubles(Ints v) { return (Doubles)_mm512_cvtepi32_pd((__m256i)v); }
Longs toLongs(Ints mask) { return (Longs)_mm512_cvtepi32_epi64((__m256i)mask); }
IntsWide widenWords(WordsWide v) { return (IntsWide)_mm512_cvtepu16_epi32((__m256i)v); }
Floats toFloats(Doubles v) { return (Floats)_mm512_cvtpd_ps((__m512d)v); }

IntsWide widenFlags(FlagsWide v) { return (IntsWide)_mm512_cvtepu8_epi32((__m128i)v); }

Doubles fmaLanes(Doubles a, Doubles b, Doubles c) {
    return (Doubles)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c);
}

Ints widenFlagsNarrow(Flags v) {
    uint64_t bytes;
    std::memcpy(&bytes, &v, sizeof bytes);
    return (Ints)_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(bytes)));
}
Doubles toDoublesFromFloats(Floats v) { return (Doubles)_mm512_cvtps_pd((__m256)v); }

Ints toInts(Doubles v) { return (Ints)_mm512_cvttpd_epi32((__m512d)v); }

bool anyLane(Longs mask) { return _mm512_test_epi64_mask((__m512i)mask, (__m512i)mask) != 0; }

void storeFlags(uint8_t* to, Longs mask) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm512_cvtepi64_epi8((__m512i)(mask & 1)));
}

}  // namespace

#endif
