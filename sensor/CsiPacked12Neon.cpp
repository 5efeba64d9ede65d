// Packed 12-bit unpacking with AArch64 NEON: the structure loads split
// sixteen groups into their b0, b1 and b2 bytes, and the interleaving store
// writes the two samples of each group side by side.

#if defined(__aarch64__)

#include <arm_neon.h>

#include "CsiPacked12.h"

namespace Velmora {
namespace Packed12 {

namespace {

// Sixteen groups; reads exactly their 48 bytes.
inline void step(const uint8_t* in, uint8_t* out) {
    const uint8x16_t nibble = vdupq_n_u8(0x0f);
    const uint8x16x3_t bytes = vld3q_u8(in);
    const uint8x16_t lowNibbles = vandq_u8(bytes.val[2], nibble);
    const uint8x16_t highNibbles = vshrq_n_u8(bytes.val[2], 4);
    uint16x8x2_t first, second;
    first.val[0] = vorrq_u16(vshll_n_u8(vget_low_u8(bytes.val[0]), 4), vmovl_u8(vget_low_u8(lowNibbles)));
    first.val[1] = vorrq_u16(vshll_n_u8(vget_low_u8(bytes.val[1]), 4), vmovl_u8(vget_low_u8(highNibbles)));
    second.val[0] = vorrq_u16(vshll_n_u8(vget_high_u8(bytes.val[0]), 4), vmovl_u8(vget_high_u8(lowNibbles)));
    second.val[1] = vorrq_u16(vshll_n_u8(vget_high_u8(bytes.val[1]), 4), vmovl_u8(vget_high_u8(highNibbles)));
    uint16_t* samples = reinterpret_cast<uint16_t*>(out);
    vst2q_u16(samples, first);
    vst2q_u16(samples + 16, second);
}

}  // namespace

void unpackNeon(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups) {
    const uint8x8_t nibble = vdup_n_u8(0x0f);
    size_t g = 0;
    for (; g + 16 <= groups && 3 * g + 48 <= readable; g += 16) step(source + 3 * g, destination + 4 * g);
    // Eight groups at a time for the rest of a line (120 groups leave 8).
    for (; g + 8 <= groups && 3 * g + 24 <= readable; g += 8) {
        const uint8x8x3_t in = vld3_u8(source + 3 * g);
        uint16x8x2_t samples;
        samples.val[0] = vorrq_u16(vshll_n_u8(in.val[0], 4), vmovl_u8(vand_u8(in.val[2], nibble)));
        samples.val[1] = vorrq_u16(vshll_n_u8(in.val[1], 4), vmovl_u8(vshr_n_u8(in.val[2], 4)));
        vst2q_u16(reinterpret_cast<uint16_t*>(destination + 4 * g), samples);
    }
    unpackScalar(source + 3 * g, readable - 3 * g, destination + 4 * g, groups - g);
}

void unpackLinesNeon(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                     uint8_t* destination) {
    unpackLinesBy<16, 48>(source, readable, stride, groupsPerLine, lines, destination, step, unpackNeon);
}

}  // namespace Packed12
}  // namespace Velmora

#endif
