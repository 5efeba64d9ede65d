// The measurement with SSE2, the x86-64 baseline: two pixels per vector.

#if defined(__x86_64__)

#include <cstring>

#include <emmintrin.h>

#define SI4C_VECTOR_BYTES 16
#define SI4C_VARIANT kSse2
#define SI4C_VARIANT_NAME "sse2"
#include "Si4cMeasureVector.inl"

namespace {

// The two-lane halves (Ints, Floats) in the low 8 bytes of a register and back:
// GCC would otherwise move such lanes through general registers one by one.
__m128i lowHalf(const void* v) { return _mm_loadl_epi64(static_cast<const __m128i*>(v)); }
template <class Half>
Half fromLowHalf(__m128i v) {
    Half half;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&half), v);
    return half;
}

Doubles sqrtLanes(Doubles v) { return (Doubles)_mm_sqrt_pd((__m128d)v); }

FloatsWide reciprocalLanes(FloatsWide v) { return (FloatsWide)_mm_rcp_ps((__m128)v); }

FloatsWide tableLanes(const float* table, IntsWide index) {
    return FloatsWide{table[index[0]], table[index[1]], table[index[2]], table[index[3]]};
}

Doubles toDoubles(Ints v) { return (Doubles)_mm_cvtepi32_pd(lowHalf(&v)); }
// A mask lane is all ones or all zeros: each copied into both halves of its 64-bit lane.
Longs toLongs(Ints mask) { return (Longs)_mm_shuffle_epi32(lowHalf(&mask), _MM_SHUFFLE(1, 1, 0, 0)); }
IntsWide widenWords(WordsWide v) { return (IntsWide)_mm_unpacklo_epi16(lowHalf(&v), _mm_setzero_si128()); }
Floats toFloats(Doubles v) { return fromLowHalf<Floats>(_mm_castps_si128(_mm_cvtpd_ps((__m128d)v))); }

IntsWide widenFlags(FlagsWide v) {
    uint32_t bytes;
    std::memcpy(&bytes, &v, sizeof bytes);
    const __m128i zero = _mm_setzero_si128();
    return (IntsWide)_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(bytes)), zero), zero);
}

Doubles fmaLanes(Doubles a, Doubles b, Doubles c) { return a * b + c; }

Ints widenFlagsNarrow(Flags v) {
    uint16_t bytes;
    std::memcpy(&bytes, &v, sizeof bytes);
    const __m128i zero = _mm_setzero_si128();
    const __m128i words = _mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero);
    return fromLowHalf<Ints>(_mm_unpacklo_epi16(words, zero));
}
Doubles toDoublesFromFloats(Floats v) { return (Doubles)_mm_cvtps_pd(_mm_castsi128_ps(lowHalf(&v))); }

Ints toInts(Doubles v) { return fromLowHalf<Ints>(_mm_cvttpd_epi32((__m128d)v)); }

bool anyLane(Longs mask) { return _mm_movemask_pd((__m128d)mask) != 0; }

void storeFlags(uint8_t* to, Longs mask) {
    const int bits = _mm_movemask_pd((__m128d)mask);
    to[0] = static_cast<uint8_t>(bits & 1);
    to[1] = static_cast<uint8_t>(bits >> 1);
}

}  // namespace

#endif
