// Vector form of the HQVGA depth arithmetic, written once in the compiler's
// generic vector types and built once per instruction set. The including
// source defines, before including this file:
//   HQVGA_VECTOR_BYTES   width of one native vector register in bytes
//   HQVGA_DEPTH_ENTRY    name of the exported depth function
// and, after it, defines the lane helpers declared below for its instruction set.
//
// Every lane works in single precision, and the results equal the scalar
// form's bit for bit:
// - Amplitude: with the samples divided by 16, x and y are integers of at
//   most 11 bits, x*x + y*y is exact in float, and a correctly rounded float
//   square root of it, times 8, is the double square root of the scalar form
//   rounded to float.
// - Angle (Ziv's strategy): the angle is computed as an unevaluated sum of
//   two floats with a proven bound on its error, and rounded to float. Where
//   the sum lies closer than that bound to a rounding boundary of the float,
//   the lane is recomputed by the scalar form's own double atan2. Everything
//   after the angle is the same float arithmetic in the same order.
//
// The angle: with n = min(|x|, |y|), m = max(|x|, |y|) and j / 15 near n / m,
// atan(n / m) = atan(j / 15) + atan(d) with d = (15 n - j m) / (15 m + j n),
// |d| < 0.034. Numerator and denominator are exact integers; d is their
// float quotient q plus the exact remainder's share qLow; atan(d) - d = c is
// q^3 (-1/3 + q^2/5 - q^4/7) in plain float. atan(j / 15) and pi / 2 are
// float pairs good to 2^-47. The octant's multiple of the pi / 2 pair plus
// the signed table step is summed first, then the signed quotient, each high
// sum exact with its error kept. The error of the pair against the true angle, and
// against the scalar form's atan2, is below
//   |c| 2^-19 + |q| 2^-33 + 2^-42
// (c to a dozen float roundings and the q^2 qLow it leaves out; qLow to the
// reciprocal's 2^-11 and atan2's last place where the angle is q itself; the
// sums of the low parts, the tables and atan2's last place elsewhere to
// 2^-44), each term about twice what the steps add up to. 0.04 % of all
// (y, x) pairs and 0.02 % of the pixels of simulated scenes take the scalar
// recomputation.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "HqvgaKernels.h"

namespace {

constexpr int kLanes = HQVGA_VECTOR_BYTES / 4;
constexpr int kSteps = 15;  // table steps of the ratio n / m in [0, 1]
static_assert(Velmora::HqvgaKernels::kWidth % kLanes == 0, "lines split into whole vectors");

typedef uint16_t WordsHalf __attribute__((vector_size(HQVGA_VECTOR_BYTES / 2)));
typedef uint32_t Unsigned __attribute__((vector_size(HQVGA_VECTOR_BYTES)));
typedef int32_t Signed __attribute__((vector_size(HQVGA_VECTOR_BYTES)));
typedef float Floats __attribute__((vector_size(HQVGA_VECTOR_BYTES)));

// Defined by the includer for its instruction set:
// correctly rounded float square root of every lane,
Floats sqrtLanes(Floats v);
// 1 / v of every lane to a relative error of at most 2^-11,
Floats reciprocalLanes(Floats v);
// a - q * b exactly, for integers a, b below 2^17 and q the float quotient a / b,
Floats remainderLanes(Floats a, Floats q, Floats b);
// table[index] of every lane, for a table of 16 floats aligned to 64 bytes,
Floats tableLanes(const float* table, Signed index);
// whether any lane is set,
bool anyLane(Signed mask);
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

inline Floats toFloats(Signed v) { return __builtin_convertvector(v, Floats); }
inline Floats absLanes(Floats v) { return (Floats)((Signed)v & 0x7FFFFFFF); }  // vector casts keep the bits

// atan(j / kSteps) as high and low float, and pi / 2 likewise.
struct AtanTable {
    alignas(64) float high[kSteps + 1];
    alignas(64) float low[kSteps + 1];
    AtanTable() {
        for (int j = 0; j <= kSteps; ++j) {
            const long double value = std::atan(static_cast<long double>(j) / kSteps);
            high[j] = static_cast<float>(value);
            low[j] = static_cast<float>(value - high[j]);
        }
    }
};

const AtanTable& atanTable() {
    static const AtanTable table;
    return table;
}

constexpr float kHalfPiHigh = 1.57079637f;
constexpr float kHalfPiLow = static_cast<float>(1.5707963267948966 - static_cast<double>(kHalfPiHigh));

// The 11-bit two's complement held in bits 10..0 of (word >> shift).
template <bool Shifted>
inline Signed decodeLanes(const uint8_t* words, int shift) {
    Unsigned u = widenWords(loadLanes<WordsHalf>(words));
    if (Shifted) u = u >> shift;
    return (Signed)(u << 21) >> 21;
}

// The scalar form's angle in the lanes not marked sure, from the samples of
// the pixels from `i` on.
template <bool NearOrder>
__attribute__((noinline)) Floats recompute(Floats angle, Signed sure, const uint8_t* const planes[4], int shift,
                                           int i) {
    for (int k = 0; k < kLanes; ++k) {
        if (sure[k]) continue;
        int s[4];
        for (int p = 0; p < 4; ++p)
            s[p] = Velmora::HqvgaKernels::decodeSample(planes[p] + 2 * (i + k), static_cast<uint8_t>(shift));
        const int y = NearOrder ? s[1] - s[3] : s[2] - s[0];
        const int x = NearOrder ? s[2] - s[0] : s[3] - s[1];
        angle[k] = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
    }
    return angle;
}

// What the first pass leaves for the second, one line of pixels: the angle is
//   (sum + sumLow) + atan(numerator / denominator),
// where sum + sumLow is the octant's multiple of pi / 2 with the signed table
// step added, and the numerator carries the octant's sign.
struct LineParts {
    static constexpr int kPixels = Velmora::HqvgaKernels::kWidth;
    alignas(64) float numerator[kPixels];
    alignas(64) float denominator[kPixels];
    alignas(64) float sum[kPixels];
    alignas(64) float sumLow[kPixels];
    alignas(64) int32_t clipped[kPixels];  // lanes of -1 where a sample clipped
};

// First pass, all but the quotient: samples, amplitude, octant and table step.
template <bool NearOrder, bool Shifted>
inline void firstPass(const AtanTable& table, const uint8_t* const planes[4], int shift, int i, int at,
                      float* amplitude, float* confidence, LineParts& parts) {
    const Signed s0 = decodeLanes<Shifted>(planes[0] + 2 * i, shift);
    const Signed s1 = decodeLanes<Shifted>(planes[1] + 2 * i, shift);
    const Signed s2 = decodeLanes<Shifted>(planes[2] + 2 * i, shift);
    const Signed s3 = decodeLanes<Shifted>(planes[3] + 2 * i, shift);
    const Signed y = NearOrder ? s1 - s3 : s2 - s0;
    const Signed x = NearOrder ? s2 - s0 : s3 - s1;
    const Floats xf = toFloats(x);
    const Floats yf = toFloats(y);

    const Floats amp = sqrtLanes(xf * xf + yf * yf) * 8.0f;
    storeLanes(amplitude + i, amp);
    // Either end of the 11-bit scale (t ^ sign == 1023): saturated, no depth.
    const Signed clipped = ((s0 ^ (s0 >> 31)) == 1023) | ((s1 ^ (s1 >> 31)) == 1023) |
                           ((s2 ^ (s2 >> 31)) == 1023) | ((s3 ^ (s3 >> 31)) == 1023);
    storeLanes(parts.clipped + at, clipped);
    storeLanes(confidence + i, clipped ? Floats{} : amp);

    const Floats ax = absLanes(xf);
    const Floats ay = absLanes(yf);
    const Signed swapped = ay > ax;  // lanes of -1 or 0
    const Floats n = ay < ax ? ay : ax;
    const Floats one = Floats{} + 1.0f;
    // At least 1: where x and y are both 0, n is 0 and the angle 0, as atan2 gives.
    Floats m = ay > ax ? ay : ax;
    m = m > one ? m : one;
    // Any nearby step works: the remainder is computed exactly from the step taken.
    const Floats n15 = float(kSteps) * n;
    const Signed j = __builtin_convertvector(n15 * reciprocalLanes(m) + 0.5f, Signed);
    const Floats jf = toFloats(j);

    // |x| >= |y|: a, or pi - a when x < 0; |y| > |x|: pi/2 - a, or pi/2 + a when
    // x < 0; all of it negated when y < 0. The sign goes into the table step and
    // the numerator (atan is odd), the rest into the base.
    const Signed xNegative = x < 0;
    const Signed ySignBit = (Signed)yf & int32_t(0x80000000);
    const Signed flip = ((swapped ^ xNegative) & int32_t(0x80000000)) ^ ySignBit;
    const Floats zero = Floats{};
    const Floats base = (Floats)((Signed)(swapped ? zero + kHalfPiHigh : xNegative ? zero + 2 * kHalfPiHigh : zero) ^
                                 ySignBit);  // exact
    const Floats signedHigh = (Floats)((Signed)tableLanes(table.high, j) ^ flip);
    const Floats sum = base + signedHigh;  // exact with the next line: |base| > |high|, or base = 0
    storeLanes(parts.sum + at, sum);
    const Floats signedLow = (Floats)((Signed)tableLanes(table.low, j) ^ flip);
    storeLanes(parts.sumLow + at, (signedHigh - (sum - base)) + (base * (kHalfPiLow / kHalfPiHigh) + signedLow));
    storeLanes(parts.numerator + at, (Floats)((Signed)(n15 - jf * m) ^ flip));  // integers below 2^17: exact
    storeLanes(parts.denominator + at, float(kSteps) * m + jf * n);
}

// Second pass: the quotient and its arctangent, the angle rounded to float, the depth.
template <bool NearOrder>
inline void secondPass(const LineParts& parts, int at, const uint8_t* const planes[4], int shift, int i,
                       float metresPerRadian, float* depth) {
    const Floats numerator = loadLanes<Floats>(parts.numerator + at);
    const Floats denominator = loadLanes<Floats>(parts.denominator + at);
    const Floats q = numerator / denominator;
    const Floats qLow = remainderLanes(numerator, q, denominator) * reciprocalLanes(denominator);
    const Floats z = q * q;
    const Floats c = (q * z) * (-1.0f / 3 + z * (0.2f - z * (1.0f / 7)));

    // The sum and the quotient add exactly (hi + lo): |sum| >= 0.066 > |q|, or sum = 0.
    const Floats sum = loadLanes<Floats>(parts.sum + at);
    const Floats hi = sum + q;
    const Floats lo = (q - (hi - sum)) + (loadLanes<Floats>(parts.sumLow + at) + (qLow + c));
    Floats angle = hi + lo;

    // Sure where both ends of the interval the true angle lies in round to the same float.
    const Floats bound = absLanes(c) * 0x1p-19f + (absLanes(q) * 0x1p-33f + 0x1p-42f);
    const Signed sure = (hi + (lo - bound)) == (hi + (lo + bound));
    if (anyLane(~sure)) angle = recompute<NearOrder>(angle, sure, planes, shift, i);
    angle = angle < 0.0f ? angle + 6.2831855f : angle;
    const Signed clipped = loadLanes<Signed>(parts.clipped + at);
    storeLanes(depth, clipped ? Floats{} : (angle * metresPerRadian) * 1000.0f);
}

// A line in two passes, each a loop of short independent steps that the CPU
// overlaps; one loop through the whole angle is a dependency chain too long
// for it to keep more than two vectors in flight.
template <bool NearOrder, bool Shifted>
void depthFrame(const uint8_t* raw, float metresPerRadian, int shift, float* depth, float* amplitude,
                float* confidence) {
    using Velmora::HqvgaKernels::kPixels;
    constexpr int kLine = LineParts::kPixels;
    const AtanTable& table = atanTable();
    const uint8_t* planes[4];
    for (int k = 0; k < 4; ++k) planes[k] = raw + 2 * static_cast<size_t>(k) * kPixels;
    LineParts parts;
    for (int line = 0; line < kPixels; line += kLine) {
        for (int at = 0; at < kLine; at += kLanes)
            firstPass<NearOrder, Shifted>(table, planes, shift, line + at, at, amplitude, confidence, parts);
        for (int at = 0; at < kLine; at += kLanes)
            secondPass<NearOrder>(parts, at, planes, shift, line + at, metresPerRadian, depth + line + at);
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
