// Packed 12-bit unpacking with AVX-512 VBMI's full-width byte permute:
// sixteen groups (48 bytes) per step into 64 bytes of samples. Built with
// -mavx512vbmi (csi.cmake) and run only where the CPU reports it and AVX-512BW.

#if defined(__x86_64__)

#include <immintrin.h>

#include "CsiPacked12.h"

namespace Velmora {
namespace Packed12 {

void unpackAvx512(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups) {
    // Lanes b0 << 8 | b2 and b1 << 8 | b2 of each group, as in the SSSE3 form.
    alignas(64) static const uint8_t order[64] = {
        2,  0,  2,  1,  5,  3,  5,  4,  8,  6,  8,  7,  11, 9,  11, 10, 14, 12, 14, 13, 17, 15,
        17, 16, 20, 18, 20, 19, 23, 21, 23, 22, 26, 24, 26, 25, 29, 27, 29, 28, 32, 30, 32, 31,
        35, 33, 35, 34, 38, 36, 38, 37, 41, 39, 41, 40, 44, 42, 44, 43, 47, 45, 47, 46};
    const __m512i lanes = _mm512_load_si512(order);
    // Bits taken from v >> 4; the rest, the low nibble of each group's first
    // sample, from v itself (the top nibble of v >> 4 is zero anyway).
    const __m512i fromShifted = _mm512_set1_epi32(-16);  // 0xfffffff0
    size_t g = 0;
    // Each step reads 64 bytes, of which its sixteen groups use 48.
    for (; g + 16 <= groups && 3 * g + 64 <= readable; g += 16) {
        // The zero-masking form: the plain one trips a false uninitialised-value warning in GCC 12.
        const __m512i v = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, lanes, _mm512_loadu_si512(source + 3 * g));
        // Bitwise fromShifted ? (v >> 4) : v.
        const __m512i samples = _mm512_ternarylogic_epi32(_mm512_srli_epi16(v, 4), v, fromShifted, 0xE4);
        _mm512_storeu_si512(destination + 4 * g, samples);
    }
    // The rest of a line (120 groups for width 240 leave 8) in narrower steps;
    // a CPU with AVX-512 VBMI has AVX2.
    unpackAvx2(source + 3 * g, readable - 3 * g, destination + 4 * g, groups - g);
}

}  // namespace Packed12
}  // namespace Velmora

#endif
