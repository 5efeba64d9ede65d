// The measurement with AArch64 NEON: two pixels per vector.

#if defined(__aarch64__)

#include <arm_neon.h>

#define SI4C_VECTOR_BYTES 16
#define SI4C_VARIANT kNeon
#define SI4C_VARIANT_NAME "neon"
#include "Si4cMeasureVector.inl"

namespace {

Doubles sqrtLanes(Doubles v) { return (Doubles)vsqrtq_f64((float64x2_t)v); }

FloatsWide reciprocalLanes(FloatsWide v) {
    // The estimate has 8 bits; one Newton step brings it to about 16.
    const float32x4_t estimate = vrecpeq_f32((float32x4_t)v);
    return (FloatsWide)vmulq_f32(estimate, vrecpsq_f32((float32x4_t)v, estimate));
}

// The 16 floats are 64 bytes: one four-register byte lookup, four bytes per lane.
FloatsWide tableLanes(const float* table, IntsWide index) {
    const uint8x16x4_t bytes = vld1q_u8_x4(reinterpret_cast<const uint8_t*>(table));
    const uint32x4_t select = vmlaq_n_u32(vdupq_n_u32(0x03020100u), (uint32x4_t)index, 0x04040404u);
    return (FloatsWide)vqtbl4q_u8(bytes, (uint8x16_t)select);
}

Doubles toDoubles(Ints v) { return __builtin_convertvector(v, Doubles); }
Longs toLongs(Ints mask) { return __builtin_convertvector(mask, Longs); }
IntsWide widenWords(WordsWide v) { return __builtin_convertvector(v, IntsWide); }
Floats toFloats(Doubles v) { return (Floats)vcvt_f32_f64((float64x2_t)v); }

IntsWide widenFlags(FlagsWide v) { return __builtin_convertvector(v, IntsWide); }

Doubles fmaLanes(Doubles a, Doubles b, Doubles c) {
    return (Doubles)vfmaq_f64((float64x2_t)c, (float64x2_t)a, (float64x2_t)b);
}

Ints widenFlagsNarrow(Flags v) { return Ints{v[0], v[1]}; }
Doubles toDoublesFromFloats(Floats v) { return (Doubles)vcvt_f64_f32((float32x2_t)v); }

Ints toInts(Doubles v) { return __builtin_convertvector(v, Ints); }

bool anyLane(Longs mask) { return (vgetq_lane_u64((uint64x2_t)mask, 0) | vgetq_lane_u64((uint64x2_t)mask, 1)) != 0; }

void storeFlags(uint8_t* to, Longs mask) {
    to[0] = static_cast<uint8_t>(mask[0] & 1);
    to[1] = static_cast<uint8_t>(mask[1] & 1);
}

}  // namespace

#endif
