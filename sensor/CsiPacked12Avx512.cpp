// Packed 12-bit unpacking with AVX-512 VBMI's full-width byte permute:
// sixteen groups (48 bytes) per step into 64 bytes of samples, the last step
// of a run masked to its groups. Built with
// -mavx512vbmi (csi.cmake) and run only where the CPU reports it and AVX-512BW.

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>

#include "CsiPacked12.h"

namespace Velmora {
namespace Packed12 {

namespace {

// Lanes b0 << 8 | b2 and b1 << 8 | b2 of each group, as in the SSSE3 form.
alignas(64) const uint8_t kOrder[64] = {
    2,  0,  2,  1,  5,  3,  5,  4,  8,  6,  8,  7,  11, 9,  11, 10, 14, 12, 14, 13, 17, 15,
    17, 16, 20, 18, 20, 19, 23, 21, 23, 22, 26, 24, 26, 25, 29, 27, 29, 28, 32, 30, 32, 31,
    35, 33, 35, 34, 38, 36, 38, 37, 41, 39, 41, 40, 44, 42, 44, 43, 47, 45, 47, 46};

// The samples of the sixteen groups in the low 48 bytes of `packed`.
inline __m512i unpackRegister(__m512i packed) {
    const __m512i lanes = _mm512_load_si512(kOrder);
    // Bits taken from v >> 4; the rest, the low nibble of each group's first
    // sample, from v itself (the top nibble of v >> 4 is zero anyway).
    const __m512i fromShifted = _mm512_set1_epi32(-16);  // 0xfffffff0
    // The zero-masking form: the plain one trips a false uninitialised-value warning in GCC 12.
    const __m512i v = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, lanes, packed);
    // Bitwise fromShifted ? (v >> 4) : v.
    return _mm512_ternarylogic_epi32(_mm512_srli_epi16(v, 4), v, fromShifted, 0xE4);
}

// The low `bytes` bytes (below 64).
inline __mmask64 firstBytes(size_t bytes) { return (__mmask64{1} << bytes) - 1; }

constexpr __mmask64 kGroupBytes = 0xFFFFFFFFFFFF;  // the 48 bytes of sixteen groups

}  // namespace

void unpackAvx512(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups) {
    size_t g = 0;
    for (; g + 16 <= groups && 3 * g + 64 <= readable; g += 16)
        _mm512_storeu_si512(destination + 4 * g, unpackRegister(_mm512_loadu_si512(source + 3 * g)));
    // Masked loads read nothing beyond the groups, so no tail needs a narrower form.
    for (; g + 16 <= groups; g += 16)
        _mm512_storeu_si512(destination + 4 * g, unpackRegister(_mm512_maskz_loadu_epi8(kGroupBytes, source + 3 * g)));
    if (g < groups) {
        const size_t rest = groups - g;  // below 16
        _mm512_mask_storeu_epi8(destination + 4 * g, firstBytes(4 * rest),
                                unpackRegister(_mm512_maskz_loadu_epi8(firstBytes(3 * rest), source + 3 * g)));
    }
}

// The output is one stream of 64-byte steps; a step that meets a line end
// takes the rest of its groups from the start of the next line, so every
// store stays on the destination's 64-byte grid (a line of 240 samples is
// 7.5 steps: stores would straddle cache lines on every other line). The
// grid is the destination's own: a first step of fewer groups reaches it.
void unpackLinesAvx512(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                       uint8_t* destination) {
    const size_t total = groupsPerLine * lines;
    const uint8_t* const end = source + readable;
    const uint8_t* line = source;  // the line of the next group, and that group in it
    size_t g = 0;
    size_t done = 0;
    // First the groups up to the grid, where the destination allows it.
    const size_t toGrid = (64 - reinterpret_cast<uintptr_t>(destination) % 64) % 64;
    if (toGrid % 4 == 0 && groupsPerLine >= 16) {
        g = done = std::min(toGrid / 4, total);
        unpackAvx512(source, readable, destination, g);
    }
    // Every load stays below line + stride + 64; the last line is left to the tail.
    // Per line the same count of whole steps, then at most one step across the
    // line end: a pattern the branch predictor learns.
    while (groupsPerLine >= 16 && done + groupsPerLine - g < total &&
           stride + 64 <= static_cast<size_t>(end - line)) {
        const size_t steps = (groupsPerLine - g) / 16;
        for (size_t k = 0; k < steps; ++k, g += 16, done += 16)
            _mm512_storeu_si512(destination + 4 * done, unpackRegister(_mm512_loadu_si512(line + 3 * g)));
        const size_t here = groupsPerLine - g;
        if (here > 0) {
            // The next line's first groups land behind this line's last ones.
            const __m512i packed = _mm512_mask_blend_epi8(kGroupBytes & ~firstBytes(3 * here),
                                                          _mm512_loadu_si512(line + 3 * g),
                                                          _mm512_loadu_si512(line + stride - 3 * here));
            _mm512_storeu_si512(destination + 4 * done, unpackRegister(packed));
            done += 16;
        }
        g = here > 0 ? 16 - here : 0;
        line += stride;
    }
    // The rest line by line, with the masked tails.
    for (; done < total; done += groupsPerLine - g, g = 0, line += stride)
        unpackAvx512(line + 3 * g, static_cast<size_t>(end - line) - 3 * g, destination + 4 * done, groupsPerLine - g);
}

}  // namespace Packed12
}  // namespace Velmora

#endif
