// Vector form of the HQVGA depth arithmetic, written once in the compiler's
// generic vector types and built once per instruction set. The including
// source defines, before including this file:
//   HQVGA_VECTOR_BYTES   width of one native vector register in bytes
//   HQVGA_DEPTH_ENTRY    name of the exported depth function
// and, after it, defines sqrtLanes, reciprocalLanes, gatherLanes, toDoubles and
// widenWords for its instruction set.
//
// Why the results equal the scalar form's:
// - The decoded samples are multiples of 16 below 2^15, so x and y convert to
//   float and double exactly, and x*x + y*y is exact in float
//   (256 * (a*a + b*b) with a*a + b*b < 2^24). A correctly rounded float
//   square root of it equals the double square root rounded to float.
// - The angle is computed in double precision with an error of a few units
//   of the double's last place and rounded to float once, like the scalar
//   form's atan2; the two float results differ only where the exact angle
//   lies within those few units of a float rounding boundary. Everything
//   after the angle is the same float arithmetic in the same order.
//
// The angle: with n = min(|x|, |y|), m = max(|x|, |y|) and j / 15 near
// n / m, atan(n / m) = atan(j / 15) + atan(d) with d = (15 n - j m) / (15 m + j n).
// Numerator and denominator are exact integers, |d| < 0.034, and six terms of
// the arctangent series leave an error below 2^-62 of the result. atan(j / 15)
// comes from a table of 16 correctly rounded doubles; the octant is restored
// by an exact multiple of pi/2 and an exact sign.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "HqvgaKernels.h"

namespace {

constexpr int kFloatLanes = HQVGA_VECTOR_BYTES / 4;
constexpr int kDoubleLanes = HQVGA_VECTOR_BYTES / 8;
constexpr int kSteps = 15;  // table steps of the ratio n / m in [0, 1]
static_assert(Velmora::HqvgaKernels::kWidth % kFloatLanes == 0, "lines split into whole vectors");

typedef uint16_t WordsHalf __attribute__((vector_size(HQVGA_VECTOR_BYTES / 2)));
typedef uint32_t Unsigned __attribute__((vector_size(HQVGA_VECTOR_BYTES)));
typedef int32_t Signed __attribute__((vector_size(HQVGA_VECTOR_BYTES)));
typedef int32_t SignedHalf __attribute__((vector_size(HQVGA_VECTOR_BYTES / 2)));
typedef float Floats __attribute__((vector_size(HQVGA_VECTOR_BYTES)));
typedef float FloatsHalf __attribute__((vector_size(HQVGA_VECTOR_BYTES / 2)));
typedef double Doubles __attribute__((vector_size(HQVGA_VECTOR_BYTES)));

// Defined by the includer for its instruction set:
// correctly rounded float square root of every lane,
Floats sqrtLanes(Floats v);
// 1 / v of every lane to a relative error of at most 2^-11,
Floats reciprocalLanes(Floats v);
// table[index] of every lane,
Doubles gatherLanes(const double* table, SignedHalf index);
// the lanes as doubles,
Doubles toDoubles(SignedHalf v);
// and 16-bit words zero-extended to 32 bits.
Unsigned widenWords(WordsHalf v);

template <class V>
inline V loadLanes(const void* from) {
    V v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

template <class V>
inline void storeLanes(void* to, const V& v) {
    std::memcpy(to, &v, sizeof v);
}

// atan(j / kSteps), rounded to double once; 16 entries, a table that AVX-512
// looks up with a register permute instead of a gather.
struct AtanTable {
    alignas(64) double value[kSteps + 1];
    AtanTable() {
        // Long double keeps the rounding to double correct on every entry.
        for (int j = 0; j <= kSteps; ++j)
            value[j] = static_cast<double>(std::atan(static_cast<long double>(j) / kSteps));
    }
};

const double* atanTable() {
    static const AtanTable table;
    return table.value;
}

// 16 x the 11-bit two's complement held in bits 10..0 of (word >> shift).
template <bool Shifted>
inline Signed decodeLanes(const uint8_t* words, int shift) {
    Unsigned u = widenWords(loadLanes<WordsHalf>(words));
    if (Shifted) u = u >> shift;
    return (Signed)(u << 21) >> 17;  // vector cast: same bits, signed lanes
}

// The angle of one vector of pixels as turns * pi/2 + sign * (atan(step / kSteps)
// + atan(numerator / denominator)), with every part an exact integer.
struct AngleParts {
    Signed step;
    Signed numerator;
    Signed denominator;
    Signed turns;  // -2 .. 2
    Signed sign;   // -1 or 1
};

inline AngleParts angleParts(Signed y, Signed x) {
    const Signed ax = x < 0 ? -x : x;
    const Signed ay = y < 0 ? -y : y;
    const Signed swapped = ay > ax;  // lanes of -1 or 0
    const Signed xNegative = x < 0;
    const Signed yNegative = y < 0;
    const Signed n = swapped ? ax : ay;
    Signed m = swapped ? ay : ax;
    m = m > 0 ? m : 1;  // n is 0 there: angle 0 or pi, as atan2 gives
    // Any nearby step works: the remainder is computed exactly from the step taken,
    // so an approximate reciprocal (relative error up to 2^-11) does: |d| stays
    // below 0.034, and the series' error below 2^-62 of the result.
    const Floats ratio = __builtin_convertvector(n, Floats) * reciprocalLanes(__builtin_convertvector(m, Floats));
    AngleParts parts;
    parts.step = __builtin_convertvector(ratio * float(kSteps) + 0.5f, Signed);
    // atan(n / m) = atan(j / K) + atan((K n - j m) / (K m + j n)).
    parts.numerator = kSteps * n - parts.step * m;
    parts.denominator = kSteps * m + parts.step * n;
    // |x| >= |y|: a, or pi - a when x < 0; |y| > |x|: pi/2 - a, or pi/2 + a when
    // x < 0; all of it negated when y < 0.
    const Signed ySign = 2 * yNegative + 1;
    parts.turns = ySign * ((swapped & 1) | (~swapped & xNegative & 2));
    parts.sign = ySign * (2 * (swapped ^ xNegative) + 1);
    return parts;
}

// The angles of kDoubleLanes pixels, rounded to float.
inline FloatsHalf angleHalf(const double* table, SignedHalf step, SignedHalf numerator, SignedHalf denominator,
                            SignedHalf turns, SignedHalf sign) {
    const Doubles d = toDoubles(numerator) / toDoubles(denominator);
    const Doubles z = d * d;
    const Doubles series =
        d + d * z * (-1.0 / 3 + z * (1.0 / 5 + z * (-1.0 / 7 + z * (1.0 / 9 + z * (-1.0 / 11)))));
    const Doubles reduced = gatherLanes(table, step) + series;  // atan(n / m) in [0, pi/4]
    const Doubles angle = toDoubles(turns) * 1.5707963267948966 + toDoubles(sign) * reduced;
    return __builtin_convertvector(angle, FloatsHalf);
}

// A line in two passes: the integer and float work first, the double-precision
// angles second. Each pass is a loop of short independent steps that the CPU
// overlaps; one fused loop is a single long chain of dependent latencies.
template <bool NearOrder, bool Shifted>
void depthLine(const uint8_t* const planes[4], const double* table, int shift, float metresPerRadian,
               float* depth, float* amplitude, float* confidence) {
    constexpr int kWidth = Velmora::HqvgaKernels::kWidth;
    alignas(64) int32_t steps[kWidth];
    alignas(64) int32_t numerators[kWidth];
    alignas(64) int32_t denominators[kWidth];
    alignas(64) int32_t turns[kWidth];
    alignas(64) int32_t signs[kWidth];

    for (int c = 0; c < kWidth; c += kFloatLanes) {
        const Signed s0 = decodeLanes<Shifted>(planes[0] + 2 * c, shift);
        const Signed s1 = decodeLanes<Shifted>(planes[1] + 2 * c, shift);
        const Signed s2 = decodeLanes<Shifted>(planes[2] + 2 * c, shift);
        const Signed s3 = decodeLanes<Shifted>(planes[3] + 2 * c, shift);
        const Signed y = NearOrder ? s1 - s3 : s2 - s0;
        const Signed x = NearOrder ? s2 - s0 : s3 - s1;

        const Floats xf = __builtin_convertvector(x, Floats);
        const Floats yf = __builtin_convertvector(y, Floats);
        const Floats amp = sqrtLanes(xf * xf + yf * yf) * 0.5f;
        storeLanes(amplitude + c, amp);
        storeLanes(confidence + c, amp);

        const AngleParts parts = angleParts(y, x);
        storeLanes(steps + c, parts.step);
        storeLanes(numerators + c, parts.numerator);
        storeLanes(denominators + c, parts.denominator);
        storeLanes(turns + c, parts.turns);
        storeLanes(signs + c, parts.sign);
    }

    for (int c = 0; c < kWidth; c += kDoubleLanes) {
        FloatsHalf theta = angleHalf(table, loadLanes<SignedHalf>(steps + c), loadLanes<SignedHalf>(numerators + c),
                                     loadLanes<SignedHalf>(denominators + c), loadLanes<SignedHalf>(turns + c),
                                     loadLanes<SignedHalf>(signs + c));
        theta = theta < 0.0f ? theta + 6.2831855f : theta;
        storeLanes(depth + c, (theta * metresPerRadian) * 1000.0f);
    }
}

template <bool NearOrder, bool Shifted>
void depthFrame(const uint8_t* raw, float metresPerRadian, int shift, float* depth, float* amplitude,
                float* confidence) {
    using Velmora::HqvgaKernels::kPixels;
    using Velmora::HqvgaKernels::kWidth;
    const double* table = atanTable();
    for (int line = 0; line < Velmora::HqvgaKernels::kHeight; ++line) {
        const size_t first = static_cast<size_t>(line) * kWidth;
        const uint8_t* planes[4];
        for (int k = 0; k < 4; ++k) planes[k] = raw + 2 * (static_cast<size_t>(k) * kPixels + first);
        depthLine<NearOrder, Shifted>(planes, table, shift, metresPerRadian, depth + first, amplitude + first,
                             confidence + first);
    }
}

}  // namespace

namespace Velmora {
namespace HqvgaKernels {

void HQVGA_DEPTH_ENTRY(const uint8_t* raw, bool nearOrder, float metresPerRadian, uint8_t sampleShift,
                       float* depth, float* amplitude, float* confidence) {
    auto frame = nearOrder ? (sampleShift ? depthFrame<true, true> : depthFrame<true, false>)
                           : (sampleShift ? depthFrame<false, true> : depthFrame<false, false>);
    frame(raw, metresPerRadian, sampleShift, depth, amplitude, confidence);
}

}  // namespace HqvgaKernels
}  // namespace Velmora
