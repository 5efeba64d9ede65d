// Packed 12-bit unpacking with AArch64 NEON: the structure loads split
// sixteen groups into their b0, b1 and b2 bytes, and the interleaving store
// writes the two samples of each group side by side.

#if defined(__aarch64__)

#include <arm_neon.h>

#include "CsiPacked12.h"

namespace Velmora {
namespace Packed12 {

void unpackNeon(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups) {
    const uint8x16_t nibble = vdupq_n_u8(0x0f);
    size_t g = 0;
    for (; g + 16 <= groups && 3 * g + 48 <= readable; g += 16) {
        const uint8x16x3_t in = vld3q_u8(source + 3 * g);
        const uint8x16_t lowNibbles = vandq_u8(in.val[2], nibble);
        const uint8x16_t highNibbles = vshrq_n_u8(in.val[2], 4);
        uint16x8x2_t first, second;
        first.val[0] = vorrq_u16(vshll_n_u8(vget_low_u8(in.val[0]), 4), vmovl_u8(vget_low_u8(lowNibbles)));
        first.val[1] = vorrq_u16(vshll_n_u8(vget_low_u8(in.val[1]), 4), vmovl_u8(vget_low_u8(highNibbles)));
        second.val[0] = vorrq_u16(vshll_n_u8(vget_high_u8(in.val[0]), 4), vmovl_u8(vget_high_u8(lowNibbles)));
        second.val[1] = vorrq_u16(vshll_n_u8(vget_high_u8(in.val[1]), 4), vmovl_u8(vget_high_u8(highNibbles)));
        uint16_t* out = reinterpret_cast<uint16_t*>(destination + 4 * g);
        vst2q_u16(out, first);
        vst2q_u16(out + 16, second);
    }
    // Eight groups at a time for the rest of a line (120 groups leave 8).
    for (; g + 8 <= groups && 3 * g + 24 <= readable; g += 8) {
        const uint8x8x3_t in = vld3_u8(source + 3 * g);
        uint16x8x2_t samples;
        samples.val[0] = vorrq_u16(vshll_n_u8(in.val[0], 4), vmovl_u8(vand_u8(in.val[2], vget_low_u8(nibble))));
        samples.val[1] = vorrq_u16(vshll_n_u8(in.val[1], 4), vmovl_u8(vshr_n_u8(in.val[2], 4)));
        vst2q_u16(reinterpret_cast<uint16_t*>(destination + 4 * g), samples);
    }
    unpackScalar(source + 3 * g, readable - 3 * g, destination + 4 * g, groups - g);
}

}  // namespace Packed12
}  // namespace Velmora

#endif
