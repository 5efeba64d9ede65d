// Packed 12-bit unpacking with SSSE3's byte shuffle: four groups per step.
// Built with -mssse3 (csi.cmake) and run only where the CPU reports it.

#if defined(__x86_64__)

#include <tmmintrin.h>

#include "CsiPacked12.h"

namespace Velmora {
namespace Packed12 {

namespace {

// 16-bit lanes v = b0 << 8 | b2 (first sample of a group) and b1 << 8 | b2
// (second). The second sample is v >> 4; the first is (v >> 4) with its low
// nibble replaced by v's. Four groups; reads 16 bytes, of which they use 12.
inline void step(const uint8_t* in, uint8_t* out) {
    const __m128i lanes = _mm_setr_epi8(2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10);
    const __m128i keepShifted = _mm_setr_epi16(0x0ff0, 0x0fff, 0x0ff0, 0x0fff, 0x0ff0, 0x0fff, 0x0ff0, 0x0fff);
    const __m128i keepLow = _mm_setr_epi16(0x000f, 0, 0x000f, 0, 0x000f, 0, 0x000f, 0);
    const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), lanes);
    const __m128i samples = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(v, 4), keepShifted), _mm_and_si128(v, keepLow));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), samples);
}

}  // namespace

void unpackSsse3(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups) {
    size_t g = 0;
    for (; g + 4 <= groups && 3 * g + 16 <= readable; g += 4) step(source + 3 * g, destination + 4 * g);
    unpackScalar(source + 3 * g, readable - 3 * g, destination + 4 * g, groups - g);
}

void unpackLinesSsse3(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                      uint8_t* destination) {
    unpackLinesBy<4, 16>(source, readable, stride, groupsPerLine, lines, destination, step, unpackSsse3);
}

}  // namespace Packed12
}  // namespace Velmora

#endif
