// HQVGA depth with AArch64 Advanced SIMD (NEON), which every AArch64 core
// has: four pixels per vector.

#if defined(__aarch64__)

#include <arm_neon.h>

#define HQVGA_VECTOR_BYTES 16
#define HQVGA_DEPTH_ENTRY depthNeon
#include "HqvgaDepthVector.inl"

namespace {

Floats sqrtLanes(Floats v) { return (Floats)vsqrtq_f32((float32x4_t)v); }

Floats reciprocalLanes(Floats v) {
    // The estimate has 8 bits; one Newton step brings it to about 16.
    const float32x4_t estimate = vrecpeq_f32((float32x4_t)v);
    return (Floats)vmulq_f32(estimate, vrecpsq_f32((float32x4_t)v, estimate));
}

Floats remainderLanes(Floats a, Floats q, Floats b) {
    return (Floats)vfmsq_f32((float32x4_t)a, (float32x4_t)q, (float32x4_t)b);
}

// The 16 floats are 64 bytes: one four-register byte lookup, four bytes per lane.
Floats tableLanes(const float* table, Signed index) {
    const uint8x16x4_t bytes = vld1q_u8_x4(reinterpret_cast<const uint8_t*>(table));
    const Unsigned select = (Unsigned)index * 0x04040404u + 0x03020100u;
    return (Floats)vqtbl4q_u8(bytes, (uint8x16_t)select);
}

bool anyLane(Signed mask) { return vmaxvq_u32((uint32x4_t)mask) != 0; }

Unsigned widenWords(WordsHalf v) { return __builtin_convertvector(v, Unsigned); }

}  // namespace

#endif
