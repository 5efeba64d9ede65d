// The measurement with AArch64 NEON: two pixels per vector.

#if defined(__aarch64__)

#include <arm_neon.h>

#define SI4C_VECTOR_BYTES 16
#define SI4C_VARIANT kNeon
#define SI4C_VARIANT_NAME "neon"
#include "Si4cMeasureVector.inl"

namespace {

Doubles sqrtLanes(Doubles v) { return (Doubles)vsqrtq_f64((float64x2_t)v); }

Doubles gatherLanes(const double* table, Ints index) { return Doubles{table[index[0]], table[index[1]]}; }

Doubles toDoubles(Ints v) { return __builtin_convertvector(v, Doubles); }
Longs toLongs(Ints mask) { return __builtin_convertvector(mask, Longs); }
Ints widenWords(Words v) { return __builtin_convertvector(v, Ints); }
Floats toFloats(Doubles v) { return (Floats)vcvt_f32_f64((float64x2_t)v); }

IntsWide widenFlags(FlagsWide v) { return __builtin_convertvector(v, IntsWide); }

Doubles fmaLanes(Doubles a, Doubles b, Doubles c) {
    return (Doubles)vfmaq_f64((float64x2_t)c, (float64x2_t)a, (float64x2_t)b);
}

Ints widenFlagsNarrow(Flags v) { return Ints{v[0], v[1]}; }
Doubles toDoublesFromFloats(Floats v) { return (Doubles)vcvt_f64_f32((float32x2_t)v); }

Doubles divideLanes(Doubles x, double divisor, double inverse) {
    const Doubles q = x * inverse;
    const Doubles remainder = fmaLanes(-q, Doubles{} + divisor, x);  // exact
    return fmaLanes(remainder, Doubles{} + inverse, q);
}

Ints toInts(Doubles v) { return __builtin_convertvector(v, Ints); }

}  // namespace

#endif
