// Packed 12-bit unpacking with AVX2: eight groups per step, four in each
// 128-bit half. Built with -mavx2 (csi.cmake) and run only where the CPU
// reports it.

#if defined(__x86_64__)

#include <immintrin.h>

#include "CsiPacked12.h"

namespace Velmora {
namespace Packed12 {

namespace {

// As in the SSSE3 form: lanes b0 << 8 | b2 and b1 << 8 | b2, shifted by 4,
// the first sample of each group keeping the low nibble of b2. Eight groups,
// four in each 128-bit half; reads bytes 0..15 and 12..27 of their 24.
inline void step(const uint8_t* in, uint8_t* out) {
    const __m256i lanes = _mm256_setr_epi8(2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10,  //
                                           2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10);
    const __m256i keepShifted = _mm256_setr_epi16(0x0ff0, 0x0fff, 0x0ff0, 0x0fff, 0x0ff0, 0x0fff, 0x0ff0, 0x0fff,
                                                  0x0ff0, 0x0fff, 0x0ff0, 0x0fff, 0x0ff0, 0x0fff, 0x0ff0, 0x0fff);
    const __m256i keepLow = _mm256_setr_epi16(0x000f, 0, 0x000f, 0, 0x000f, 0, 0x000f, 0, 0x000f, 0, 0x000f, 0,
                                              0x000f, 0, 0x000f, 0);
    const __m256i both =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12)), 1);
    const __m256i v = _mm256_shuffle_epi8(both, lanes);
    const __m256i samples =
        _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(v, 4), keepShifted), _mm256_and_si256(v, keepLow));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), samples);
}

}  // namespace

void unpackAvx2(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups) {
    size_t g = 0;
    for (; g + 8 <= groups && 3 * g + 28 <= readable; g += 8) step(source + 3 * g, destination + 4 * g);
    // The rest in narrower steps; a CPU with AVX2 has SSSE3.
    unpackSsse3(source + 3 * g, readable - 3 * g, destination + 4 * g, groups - g);
}

void unpackLinesAvx2(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                     uint8_t* destination) {
    unpackLinesBy<8, 28>(source, readable, stride, groupsPerLine, lines, destination, step, unpackAvx2);
}

}  // namespace Packed12
}  // namespace Velmora

#endif
