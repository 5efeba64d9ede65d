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

Doubles gatherLanes(const double* table, Ints index) {
    return (Doubles)_mm256_i32gather_pd(table, (__m128i)index, sizeof(double));
}

Doubles toDoubles(Ints v) { return (Doubles)_mm256_cvtepi32_pd((__m128i)v); }
Longs toLongs(Ints mask) { return (Longs)_mm256_cvtepi32_epi64((__m128i)mask); }
Ints widenWords(Words v) { return (Ints)_mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&v))); }
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

Doubles divideLanes(Doubles x, double divisor, double inverse) {
    const Doubles q = x * inverse;
    const Doubles remainder = fmaLanes(-q, Doubles{} + divisor, x);  // exact
    return fmaLanes(remainder, Doubles{} + inverse, q);
}

Ints toInts(Doubles v) { return (Ints)_mm256_cvttpd_epi32((__m256d)v); }

}  // namespace

#endif
