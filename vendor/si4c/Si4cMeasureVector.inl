// The measurement in the compiler's generic vector types, built once per
// instruction set. The including source defines SI4C_VECTOR_BYTES (width of
// one native double vector), SI4C_VARIANT (the Variant it exports) and
// SI4C_VARIANT_NAME, and after it defines the few operations declared below
// for its instruction set.
//
// Each lane does what the scalar form does, in double precision and in the
// same order, except the distance's scaling (one product instead of a
// division and a product) and the angle: atan2(q, i) of the integers
// i, q in [-4095, 4095] is computed as
//     base + atan(sign * d),   d = (15n - jm) / (15m + jn)
// with n = min(|i|, |q|), m = max(|i|, |q|), j/15 near n/m, and base the
// octant's multiple of pi/2 plus sign * atan(j/15). Numerator and denominator
// are exact integers, |d| < 0.034 and five terms of the series leave an error
// below 2^-57; base is a pair of floats (the multiple of pi/2 and the table
// step summed exactly, their low parts to 2^-45). The first pass finds these
// at the full float width of the vector, the second evaluates the angle in
// double. It lies within 2^-44 of the library atan2's. Where that difference
// could change a float result or a decision (a rounding boundary of the float
// distance, a wrap of the phase, the valid band, the unwrapping's limits), the
// pixel is measured again by the scalar form, so every result equals the
// scalar form's.

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "Si4cLayout.h"
#include "Si4cMeasure.h"
#include "Si4cProcessor.h"

namespace {

constexpr size_t kLanes = SI4C_VECTOR_BYTES / 8;
constexpr int kSteps = 15;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2 * kPi;

typedef double Doubles __attribute__((vector_size(SI4C_VECTOR_BYTES)));
typedef int64_t Longs __attribute__((vector_size(SI4C_VECTOR_BYTES)));
typedef int32_t Ints __attribute__((vector_size(SI4C_VECTOR_BYTES / 2)));
typedef float Floats __attribute__((vector_size(SI4C_VECTOR_BYTES / 2)));
typedef uint8_t Flags __attribute__((vector_size(SI4C_VECTOR_BYTES / 8)));
// Full-width 32-bit lanes: the first pass and the output planes.
constexpr size_t kWideLanes = SI4C_VECTOR_BYTES / 4;
typedef float FloatsWide __attribute__((vector_size(SI4C_VECTOR_BYTES)));
typedef int32_t IntsWide __attribute__((vector_size(SI4C_VECTOR_BYTES)));
typedef uint16_t WordsWide __attribute__((vector_size(SI4C_VECTOR_BYTES / 2)));
typedef uint8_t FlagsWide __attribute__((vector_size(SI4C_VECTOR_BYTES / 4)));

// Defined by the includer for its instruction set (GCC 12 splits the generic
// conversions between vector sizes into pieces): the correctly rounded square
// root of every lane,
Doubles sqrtLanes(Doubles v);
// a * b + c, fused where the instruction set has it (only the series uses it:
// these sources are built without contraction, so that every other step
// rounds as the error bounds below assume),
Doubles fmaLanes(Doubles a, Doubles b, Doubles c);
// 1 / v of every lane to a relative error of at most 2^-11,
FloatsWide reciprocalLanes(FloatsWide v);
// table[index] of every lane, for a table of 16 floats aligned to 64 bytes,
FloatsWide tableLanes(const float* table, IntsWide index);
// whether any lane of a mask is set,
bool anyLane(Longs mask);
// 1 or 0 per lane of a mask, as bytes,
void storeFlags(uint8_t* to, Longs mask);
// and the conversions between lane widths.
Doubles toDoubles(Ints v);
Longs toLongs(Ints mask);
IntsWide widenWords(WordsWide v);
Floats toFloats(Doubles v);
Ints toInts(Doubles v);  // truncated
IntsWide widenFlags(FlagsWide v);
Ints widenFlagsNarrow(Flags v);
Doubles toDoublesFromFloats(Floats v);

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


// atan(j / kSteps) as high and low float.
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
constexpr float kHalfPiLow = static_cast<float>(kPi / 2 - static_cast<double>(kHalfPiHigh));

inline FloatsWide toFloats(IntsWide v) { return __builtin_convertvector(v, FloatsWide); }
inline FloatsWide absLanes(FloatsWide v) { return (FloatsWide)((IntsWide)v & INT32_MAX); }

// The lower (H = 0) or upper half of a full-width float vector.
template <size_t H, size_t... I>
inline Floats halfOf(FloatsWide v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (H * kLanes + I)...);
}
template <size_t H>
inline Floats halfOf(FloatsWide v) {
    return halfOf<H>(v, std::make_index_sequence<kLanes>());
}

// The angle's parts that need no quotient: the signed numerator, the
// denominator and the base as a float pair.
struct AngleParts {
    FloatsWide numerator;
    FloatsWide denominator;
    FloatsWide base;
    FloatsWide baseLow;
};

inline AngleParts angleParts(const AtanTable& table, FloatsWide yf, FloatsWide xf) {
    const FloatsWide ax = absLanes(xf);
    const FloatsWide ay = absLanes(yf);
    const IntsWide swapped = ay > ax;
    const FloatsWide n = ay < ax ? ay : ax;
    const FloatsWide one = FloatsWide{} + 1.0f;
    FloatsWide m = ay > ax ? ay : ax;
    m = m > one ? m : one;  // n is 0 there: angle 0 or pi, as atan2 gives
    // Any nearby step works: the remainder is computed exactly from the step taken.
    const FloatsWide n15 = float(kSteps) * n;
    const IntsWide j = __builtin_convertvector(n15 * reciprocalLanes(m) + 0.5f, IntsWide);
    const FloatsWide jf = toFloats(j);
    // |x| >= |y|: a, or pi - a when x < 0; |y| > |x|: pi/2 - a, or pi/2 + a when
    // x < 0; all of it negated when y < 0. The sign goes into the numerator and
    // the table step (atan is odd), the rest into the base.
    const IntsWide xNegative = xf < 0;
    const IntsWide ySignBit = (IntsWide)yf & INT32_MIN;
    const IntsWide flip = ((swapped ^ xNegative) & INT32_MIN) ^ ySignBit;
    const FloatsWide zero = FloatsWide{};
    const FloatsWide multiple =
        (FloatsWide)((IntsWide)(swapped ? zero + kHalfPiHigh : xNegative ? zero + 2 * kHalfPiHigh : zero) ^
                     ySignBit);  // exact
    const FloatsWide step = (FloatsWide)((IntsWide)tableLanes(table.high, j) ^ flip);
    AngleParts parts;
    parts.numerator = (FloatsWide)((IntsWide)(n15 - jf * m) ^ flip);  // integers below 2^17: exact
    parts.denominator = float(kSteps) * m + jf * n;
    parts.base = multiple + step;  // exact with the next line: |multiple| > |step|, or multiple = 0
    parts.baseLow = (step - (parts.base - multiple)) +
                    (multiple * (kHalfPiLow / kHalfPiHigh) + (FloatsWide)((IntsWide)tableLanes(table.low, j) ^ flip));
    return parts;
}

inline Doubles angleLanes(Floats numerator, Floats denominator, Floats base, Floats baseLow) {
    const Doubles d = toDoublesFromFloats(numerator) / toDoublesFromFloats(denominator);
    const Doubles z = d * d;
    Doubles poly = fmaLanes(z, Doubles{} + 1.0 / 9, Doubles{} - 1.0 / 7);
    poly = fmaLanes(z, poly, Doubles{} + 1.0 / 5);
    poly = fmaLanes(z, poly, Doubles{} - 1.0 / 3);
    const Doubles series = fmaLanes(d * z, poly, d);
    return (toDoublesFromFloats(base) + toDoublesFromFloats(baseLow)) + series;
}

// mask ? a : b for a mask of whole lanes, as bit operations: from a mask it
// did not compute itself, GCC tests each lane apart where the instruction set
// compares no 64-bit integers (SSE2).
inline Doubles selectLanes(Longs mask, Doubles a, Doubles b) {
    return (Doubles)(((Longs)a & mask) | ((Longs)b & ~mask));
}

// si4c::strongEnough of every lane.
inline Longs strongEnough(Doubles amplitude, double minimum) { return amplitude >= minimum; }

// |v|, as fabs: the sign bit cleared.
inline Doubles absLanes(Doubles v) { return (Doubles)((Longs)v & INT64_MAX); }

// How far the distance may lie from the scalar form's: the angle within 2^-44
// of atan2's (with the roundings of the wrap, the offset and the scaling),
// times at most range / 2 pi, and once more for the two frequencies'
// unwrapping; each about 8 times what the steps add up to.
constexpr double kSingleTolerance = 0x1p-32;
constexpr double kDoubleTolerance = 0x1p-30;

inline Longs near(Doubles value, double boundary, Doubles bound) { return absLanes(value - boundary) <= bound; }

// Lanes whose distance d could round to another float than the scalar form's,
// or fall on the other side of a wrap at 0 or `range` or of an end of the band.
inline Longs unsureDistance(Doubles d, double tolerance, double range, si4c::measure::Band band) {
    const Doubles bound = tolerance + absLanes(d) * 0x1p-50;
    // Compared as doubles: the full-width comparison gives 64-bit lanes directly.
    return (toDoublesFromFloats(toFloats(d - bound)) != toDoublesFromFloats(toFloats(d + bound))) | (d < bound) |
           near(d, range, bound) | near(d, band.validMin, bound) | near(d, band.validMax, bound);
}

inline IntsWide sampleLanes(const uint16_t* plane, size_t i) {
    return widenWords(loadLanes<WordsWide>(plane + i)) & si4c::kSampleMask;
}

// One frequency's distances, amplitudes and saturation over a chunk of pixels.
struct Chunk {
    static constexpr size_t kPixels = 256;
    alignas(64) double distance[kPixels];
    alignas(64) double amplitude[kPixels];
    alignas(64) int32_t saturated[kPixels];
    alignas(64) int64_t unsure[kPixels];  // the lanes the scalar form measures again
    // What the first pass leaves for the second.
    alignas(64) float numerator[kPixels];
    alignas(64) float denominator[kPixels];
    alignas(64) float base[kPixels];
    alignas(64) float baseLow[kPixels];
    alignas(64) float inSquared[kPixels];
    alignas(64) float quadSquared[kPixels];
};

// Measures `count` pixels (a multiple of kWideLanes) from `first` in two
// passes: the integer and float work at full vector width, then the
// double-precision angle, phase, distance and amplitude. Each pass is a loop
// of short independent steps that the CPU overlaps; one fused loop is a single
// long chain of dependent latencies.
inline void measureChunk(const AtanTable& table, const uint16_t* const planes[5], size_t first, size_t count,
                         double offset, double rangeMm, Chunk& out) {
    const double mmPerRadian = rangeMm / kTwoPi;
    for (size_t j = 0; j < count; j += kWideLanes) {
        IntsWide s[4];
        IntsWide saturated = {};
        for (int k = 0; k < 4; ++k) {
            s[k] = sampleLanes(planes[k], first + j);
            saturated |= (s[k] <= 0) | (s[k] >= si4c::kSampleMax);
        }
        saturated |= sampleLanes(planes[si4c::kGreyImage], first + j) >= si4c::kSampleMax;
        const FloatsWide in = toFloats(s[0] - s[2]);
        const FloatsWide quad = toFloats(s[1] - s[3]);
        const AngleParts parts = angleParts(table, quad, in);
        storeLanes(out.numerator + j, parts.numerator);
        storeLanes(out.denominator + j, parts.denominator);
        storeLanes(out.base + j, parts.base);
        storeLanes(out.baseLow + j, parts.baseLow);
        // Each square is below 2^24, exact in float; their sum is exact in double.
        storeLanes(out.inSquared + j, in * in);
        storeLanes(out.quadSquared + j, quad * quad);
        storeLanes(out.saturated + j, saturated);
    }
    for (size_t j = 0; j < count; j += kLanes) {
        Doubles phase = angleLanes(loadLanes<Floats>(out.numerator + j), loadLanes<Floats>(out.denominator + j),
                                   loadLanes<Floats>(out.base + j), loadLanes<Floats>(out.baseLow + j));
        phase = phase < 0 ? phase + kTwoPi : phase;
        phase -= offset;
        // fmod(phase, 2 pi) for phase in (-2 pi, 4 pi) (offsetInRange): the phase
        // itself below 2 pi, above it phase - 2 pi, which is exact there.
        phase = phase >= kTwoPi ? phase - kTwoPi : phase;
        phase = phase < 0 ? phase + kTwoPi : phase;
        // The scalar form divides by 2 pi and multiplies by the range; one
        // product differs from that by a few units of the last place.
        storeLanes(out.distance + j, phase * mmPerRadian);
        const Doubles squares = toDoublesFromFloats(loadLanes<Floats>(out.inSquared + j)) +
                                toDoublesFromFloats(loadLanes<Floats>(out.quadSquared + j));
        storeLanes(out.amplitude + j, sqrtLanes(squares) / 2);
    }
}

inline Longs saturatedLanes(const Chunk& chunk, size_t j) { return toLongs(loadLanes<Ints>(chunk.saturated + j)); }

// Measures again, after the vector loop, the pixels whose lanes it marked
// unsure: a branch inside the loop would tie every step to the long chain
// of operations that decides it.
template <class Measure>
inline void remeasure(const Chunk& chunk, Longs anyUnsure, size_t count, Measure measure) {
    if (!anyLane(anyUnsure)) return;
    for (size_t at = 0; at < count; ++at)
        if (chunk.unsure[at]) measure(at);
}

// Offsets for which the phase less the offset stays in (-2 pi, 4 pi); any
// other (calibration data is not bounded) takes the scalar form.
inline bool offsetInRange(double offset) { return offset > -kTwoPi && offset < kTwoPi; }

inline void storeResults(const si4c::measure::Outputs& out, size_t i, Doubles d, Doubles amplitude, Longs ok) {
    if (out.confidence) {
        storeLanes(out.depth + i, toFloats(selectLanes(ok, d, Doubles{})));
        storeLanes(out.amplitude + i, toFloats(amplitude));
        storeLanes(out.confidence + i, toFloats(selectLanes(ok, amplitude, Doubles{})));
    } else {
        storeLanes(out.depth + i, toFloats(d));
        storeLanes(out.amplitude + i, toFloats(amplitude));
        storeFlags(out.valid + i, ok);
    }
}

void measureSingle(const uint16_t* const planes[5], size_t n, double offset, si4c::measure::Band band,
                   si4c::measure::Outputs out) {
    if (!offsetInRange(offset)) return si4c::measure::singleScalar(planes, n, offset, band, out);
    const AtanTable& table = atanTable();
    Chunk chunk;
    size_t first = 0;
    while (n - first >= kWideLanes) {
        const size_t count = std::min(Chunk::kPixels, (n - first) / kWideLanes * kWideLanes);
        measureChunk(table, planes, first, count, offset, si4c::kSingleRangeMm, chunk);
        Longs anyUnsure = {};
        for (size_t j = 0; j < count; j += kLanes) {
            const Doubles d = loadLanes<Doubles>(chunk.distance + j);  // phase / 2 pi * range
            const Doubles a = loadLanes<Doubles>(chunk.amplitude + j);
            const Longs ok = ~saturatedLanes(chunk, j) & strongEnough(a, band.minAmplitude) &
                             (d >= band.validMin) & (d <= band.validMax);
            storeResults(out, first + j, d, a, ok);
            const Longs unsure = unsureDistance(d, kSingleTolerance, si4c::kSingleRangeMm, band);
            storeLanes(chunk.unsure + j, unsure);
            anyUnsure |= unsure;
        }
        remeasure(chunk, anyUnsure, count, [&](size_t at) {
            const size_t i = first + at;
            const uint16_t* pixel[5];
            for (int p = 0; p < 5; ++p) pixel[p] = planes[p] + i;
            si4c::measure::singleScalar(pixel, 1, offset, band, out.at(i));
        });
        first += count;
    }
    if (first < n) {
        const uint16_t* rest[5];
        for (int k = 0; k < 5; ++k) rest[k] = planes[k] + first;
        si4c::measure::singleScalar(rest, n - first, offset, band, out.at(first));
    }
}

// Two frequencies, in chunks: each frequency's measurement first, then the
// unwrapping; three short loops keep fewer values live than one long one.
void measureDouble(const uint16_t* const high[5], const uint16_t* const low[5], size_t n, double highOffset,
                   double lowOffset, si4c::measure::Band band, si4c::measure::Outputs out) {
    using namespace si4c;
    if (!offsetInRange(highOffset) || !offsetInRange(lowOffset))
        return measure::doubleScalar(high, low, n, highOffset, lowOffset, band, out);
    const AtanTable& table = atanTable();
    const double wHigh = 1.0 / (kHighRangeMm * kHighRangeMm);
    const double wLow = 1.0 / (kLowRangeMm * kLowRangeMm);
    const double lowShare = wLow / (wHigh + wLow);
    Chunk highChunk, lowChunk;
    alignas(64) double combined[Chunk::kPixels];
    alignas(64) double unwrapError[Chunk::kPixels];
    size_t first = 0;
    while (n - first >= kWideLanes) {
        const size_t count = std::min(Chunk::kPixels, (n - first) / kWideLanes * kWideLanes);
        measureChunk(table, high, first, count, highOffset, kHighRangeMm, highChunk);
        measureChunk(table, low, first, count, lowOffset, kLowRangeMm, lowChunk);
        // The unwrapping first, the decisions after: two loops of shorter chains.
        for (size_t j = 0; j < count; j += kLanes) {
            const Doubles dHigh = loadLanes<Doubles>(highChunk.distance + j);
            const Doubles dLow = loadLanes<Doubles>(lowChunk.distance + j);
            // The scalar form tries the six wrap counts (nHigh 0..2, nLow 0..1) and
            // keeps the candidate whose wrapped difference is smallest. Those
            // differences are (dHigh - dLow) shifted by the six multiples of 750
            // modulo 4500, so the winner is the multiple nearest to -(dHigh - dLow):
            // with k = round(-(dHigh - dLow) / 750) + 2 in 0..5, nHigh = (5 - k) mod 3
            // and nLow = k mod 2. Its candidate and difference are then computed
            // with the scalar form's own operations. Only where two candidates are
            // nearly as close (a difference near 375 mm) can the choice differ,
            // and such a pixel is invalid either way (beyond kMaxUnwrapErrorMm).
            const Ints k = toInts((dLow - dHigh) * (1.0 / 750) + 2.5);
            const Ints highTurns = 5 - k;
            const Doubles nHigh = toDoubles(highTurns >= 3 ? highTurns - 3 : highTurns);
            const Doubles nLow = toDoubles(k & 1);
            const Doubles bestHigh = dHigh + nHigh * kHighRangeMm;
            Doubles bestDiff = bestHigh - (dLow + nLow * kLowRangeMm);
            bestDiff = bestDiff >= kDoubleRangeMm / 2 ? bestDiff - kDoubleRangeMm : bestDiff;
            bestDiff = bestDiff < -kDoubleRangeMm / 2 ? bestDiff + kDoubleRangeMm : bestDiff;
            storeLanes(unwrapError + j, absLanes(bestDiff));
            Doubles d = bestHigh - bestDiff * lowShare;
            d = d < 0 ? d + kDoubleRangeMm : d;
            d = d >= kDoubleRangeMm ? d - kDoubleRangeMm : d;
            storeLanes(combined + j, d);
        }
        Longs anyUnsure = {};
        for (size_t j = 0; j < count; j += kLanes) {
            const Doubles dHigh = loadLanes<Doubles>(highChunk.distance + j);
            const Doubles dLow = loadLanes<Doubles>(lowChunk.distance + j);
            const Doubles bestDistance = loadLanes<Doubles>(unwrapError + j);
            const Doubles d = loadLanes<Doubles>(combined + j);
            const Doubles ampHigh = loadLanes<Doubles>(highChunk.amplitude + j);
            const Doubles ampLow = loadLanes<Doubles>(lowChunk.amplitude + j);
            const Doubles a = (ampHigh + ampLow) / 2;
            const Longs saturated = saturatedLanes(highChunk, j) | saturatedLanes(lowChunk, j);
            const Longs ok = ~saturated & strongEnough(ampHigh, band.minAmplitude) &
                             strongEnough(ampLow, band.minAmplitudeLow) &
                             (bestDistance <= kMaxUnwrapErrorMm) & (d >= band.validMin) &
                             (d <= band.validMax);
            storeResults(out, first + j, d, a, ok);
            // Also unsure: either frequency's phase near a wrap, the unwrapping
            // error near its limit, or two wrap counts nearly as good (375 mm).
            const Doubles bound = Doubles{} + kDoubleTolerance;
            const Longs unsure = unsureDistance(d, kDoubleTolerance, kDoubleRangeMm, band) | (dHigh < bound) |
                                 near(dHigh, kHighRangeMm, bound) | (dLow < bound) | near(dLow, kLowRangeMm, bound) |
                                 near(bestDistance, kMaxUnwrapErrorMm, bound) |
                                 (bestDistance >= kDoubleRangeMm / 12 - kDoubleTolerance);
            storeLanes(highChunk.unsure + j, unsure);
            anyUnsure |= unsure;
        }
        remeasure(highChunk, anyUnsure, count, [&](size_t at) {
            const size_t i = first + at;
            const uint16_t* pixelHigh[5];
            const uint16_t* pixelLow[5];
            for (int p = 0; p < 5; ++p) {
                pixelHigh[p] = high[p] + i;
                pixelLow[p] = low[p] + i;
            }
            measure::doubleScalar(pixelHigh, pixelLow, 1, highOffset, lowOffset, band, out.at(i));
        });
        first += count;
    }
    if (first < n) {
        const uint16_t* restHigh[5];
        const uint16_t* restLow[5];
        for (int k = 0; k < 5; ++k) {
            restHigh[k] = high[k] + first;
            restLow[k] = low[k] + first;
        }
        measure::doubleScalar(restHigh, restLow, n - first, highOffset, lowOffset, band, out.at(first));
    }
}

void publish(const float* depthIn, const float* amplitudeIn, const uint8_t* valid, size_t n,
             si4c::measure::Band band, float* depth, float* amplitude, float* confidence) {
    constexpr size_t kWide = SI4C_VECTOR_BYTES / 4;
    // The band's ends as float, as the scalar comparison converts them.
    const float low = static_cast<float>(band.validMin);
    const float high = static_cast<float>(band.validMax);
    size_t i = 0;
    for (; i + kWide <= n; i += kWide) {
        const FloatsWide d = loadLanes<FloatsWide>(depthIn + i);
        const FloatsWide a = loadLanes<FloatsWide>(amplitudeIn + i);
        const IntsWide ok = (widenFlags(loadLanes<FlagsWide>(valid + i)) != 0) & (d >= low) & (d <= high);
        storeLanes(depth + i, ok ? d : FloatsWide{});
        storeLanes(amplitude + i, a);
        storeLanes(confidence + i, ok ? a : FloatsWide{});
    }
    si4c::measure::publishScalar(depthIn + i, amplitudeIn + i, valid + i, n - i, band, depth + i, amplitude + i,
                                 confidence + i);
}

// The spatial filter, exactly as the scalar form computes it, in two ways.
//
// Where every pixel of a window is taken (valid, within tolerance of the
// centre) and the window's sum is exact in double whatever the order, the
// sum is that of a box, from sums of columns: this is most of a surface. All
// of a window is within tolerance when its minimum and maximum are, since
// the rounded difference v - c grows with v. The sum is exact when no value
// is zero or of the other sign and the largest is at most 2^23 times the
// smallest: each value is then a multiple of the smallest one's last place,
// and 49 of them stay below 2^53 such units. A sum that is not finite means
// a value that is not, and the window goes the other way.
//
// The other way visits each window in the scalar form's order and adds in
// double as it does. A pixel left out adds +0.0, which changes no sum: one
// that starts at +0.0 never becomes -0.0.
// Counts in [0, 2^52) as doubles, exactly: the integer in the low bits of
// 2^52's significand, less 2^52. Neither SSE2 nor AVX-512F converts 64-bit
// integers, and GCC would do it lane by lane.
inline Doubles countLanes(Longs count) { return (Doubles)(count | 0x4330000000000000) - 0x1p52; }

// Blocks of kLanes pixels from the columns `xs`.
template <int Blocks, bool Masked>
inline void spatialInOrder(const float* plane, const uint8_t* mask, int width, int y0, int y1, int radius,
                           double absTolerance, double relTolerance, size_t line, const int* xs, float* out) {
    // Independent sums keep the adder busy instead of waiting on one chain.
    Doubles centre[Blocks], tolerance[Blocks], sum[Blocks];
    Longs count[Blocks];
    for (int b = 0; b < Blocks; ++b) {
        centre[b] = toDoublesFromFloats(loadLanes<Floats>(plane + line + xs[b]));
        const Doubles scaled = relTolerance * absLanes(centre[b]);
        tolerance[b] = absTolerance < scaled ? scaled : Doubles{} + absTolerance;  // std::max's choice
        sum[b] = Doubles{};
        count[b] = Longs{};
    }
    for (int yy = y0; yy <= y1; ++yy) {
        const size_t row = static_cast<size_t>(yy) * static_cast<size_t>(width);
        for (int dx = -radius; dx <= radius; ++dx) {
            for (int b = 0; b < Blocks; ++b) {
                const size_t j = row + static_cast<size_t>(xs[b] + dx);
                const Doubles value = toDoublesFromFloats(loadLanes<Floats>(plane + j));
                Longs take = ~(absLanes(value - centre[b]) > tolerance[b]);
                if (Masked) take &= toLongs(widenFlagsNarrow(loadLanes<Flags>(mask + j)) != 0);
                sum[b] += (Doubles)((Longs)value & take);
                count[b] -= take;
            }
        }
    }
    for (int b = 0; b < Blocks; ++b) {
        Floats result = toFloats(sum[b] / countLanes(count[b]));
        if (Masked) {
            const Ints keep = widenFlagsNarrow(loadLanes<Flags>(mask + line + xs[b])) == 0;
            result = keep ? loadLanes<Floats>(plane + line + xs[b]) : result;
        }
        storeLanes(out + xs[b], result);
    }
}

constexpr int kTile = 128;           // output columns per tile of column sums
constexpr int kMaxBoxRadius = 3;     // the widest window the levels select
constexpr int kColumns = kTile + 2 * kMaxBoxRadius;

// Per column of a tile, over the window's lines: least and greatest value
// (the greatest +inf where one is not valid: no window with it is taken
// whole), and the sum in double.
struct Columns {
    alignas(64) float low[kColumns];
    alignas(64) float high[kColumns];
    alignas(64) double sum[kColumns];
};

template <bool Masked>
inline void columnPass(const float* plane, const uint8_t* mask, int width, int y0, int y1, int c0, int c1,
                       Columns& col) {
    const size_t stride = static_cast<size_t>(width);
    const int wide = static_cast<int>(kWideLanes);
    int c = c0;
    while (c + wide <= c1 || (c < c1 && c1 - c0 >= wide)) {
        // The last few columns: one more vector ending at c1, over some done already.
        if (c + wide > c1) c = c1 - wide;
        size_t at = static_cast<size_t>(y0) * stride + static_cast<size_t>(c);
        FloatsWide low = loadLanes<FloatsWide>(plane + at), high = low;
        Doubles sum0 = toDoublesFromFloats(loadLanes<Floats>(plane + at));
        Doubles sum1 = toDoublesFromFloats(loadLanes<Floats>(plane + at + kLanes));
        FlagsWide valid = Masked ? loadLanes<FlagsWide>(mask + at) : FlagsWide{} + 1;
        for (int yy = y0 + 1; yy <= y1; ++yy) {
            at += stride;
            const FloatsWide v = loadLanes<FloatsWide>(plane + at);
            low = v < low ? v : low;
            high = v > high ? v : high;
            sum0 += toDoublesFromFloats(loadLanes<Floats>(plane + at));
            sum1 += toDoublesFromFloats(loadLanes<Floats>(plane + at + kLanes));
            if (Masked) valid &= loadLanes<FlagsWide>(mask + at);
        }
        if (Masked) {
            high = widenFlags(valid) != 0 ? high : FloatsWide{} + __builtin_inff();
        }
        const int k = c - c0;
        storeLanes(col.low + k, low);
        storeLanes(col.high + k, high);
        storeLanes(col.sum + k, sum0);
        storeLanes(col.sum + k + kLanes, sum1);
        c += wide;
    }
    for (; c < c1; ++c) {
        size_t at = static_cast<size_t>(y0) * stride + static_cast<size_t>(c);
        float low = plane[at], high = low;
        double sum = plane[at];
        uint8_t valid = Masked ? mask[at] : 1;
        for (int yy = y0 + 1; yy <= y1; ++yy) {
            at += stride;
            low = plane[at] < low ? plane[at] : low;
            high = plane[at] > high ? plane[at] : high;
            sum += plane[at];
            if (Masked) valid &= mask[at];
        }
        col.low[c - c0] = low;
        col.high[c - c0] = valid ? high : __builtin_inff();
        col.sum[c - c0] = sum;
    }
}

// kWideLanes pixels from column x, whose columns start at `k` in `col`: the
// boxes stored, and a bit per kLanes of them whose windows cannot be taken
// whole (their stored values are then to be replaced). The radius is a
// constant, so that the window's steps unroll; the minimum and maximum go at
// the full float width.
template <int radius>
inline int spatialBoxes(const float* plane, int y0, int y1, double absTolerance, double relTolerance, size_t line,
                        int x, const Columns& col, int k, float* out) {
    FloatsWide low = loadLanes<FloatsWide>(col.low + k - radius), high = loadLanes<FloatsWide>(col.high + k - radius);
    Doubles sum[2];
    for (int h = 0; h < 2; ++h) sum[h] = loadLanes<Doubles>(col.sum + k - radius + h * kLanes);
    for (int dx = 1 - radius; dx <= radius; ++dx) {
        const FloatsWide l = loadLanes<FloatsWide>(col.low + k + dx), u = loadLanes<FloatsWide>(col.high + k + dx);
        low = l < low ? l : low;
        high = u > high ? u : high;
        for (int h = 0; h < 2; ++h) sum[h] += loadLanes<Doubles>(col.sum + k + dx + h * kLanes);
    }
    const double count = static_cast<double>((y1 - y0 + 1) * (2 * radius + 1));
    const auto box = [&](int h, Floats lowHalf, Floats highHalf) {
        const size_t at = static_cast<size_t>(x) + static_cast<size_t>(h) * kLanes;
        const Doubles centre = toDoublesFromFloats(loadLanes<Floats>(plane + line + at));
        const Doubles scaled = relTolerance * absLanes(centre);
        const Doubles tolerance = absTolerance < scaled ? scaled : Doubles{} + absTolerance;
        const Doubles least = toDoublesFromFloats(lowHalf), most = toDoublesFromFloats(highHalf);
        const Longs exact = ((least > 0) & (most <= least * 0x1p23)) | ((most < 0) & (-least <= -most * 0x1p23));
        storeLanes(out + at, toFloats(sum[h] / count));
        return exact & (most - centre <= tolerance) & (least - centre >= -tolerance) &
               (absLanes(sum[h]) <= __DBL_MAX__);
    };
    const Longs first = box(0, halfOf<0>(low), halfOf<0>(high));
    const Longs second = box(1, halfOf<1>(low), halfOf<1>(high));
    return static_cast<int>(anyLane(~first)) | static_cast<int>(anyLane(~second)) << 1;
}

template <bool Masked, int radius>
inline void spatialTiles(const float* plane, const uint8_t* mask, int width, int y0, int y1, int first, int last,
                         double absTolerance, double relTolerance, size_t line, int& x, float* out) {
    Columns col;
    const int lanes = static_cast<int>(kLanes);
    // Blocks the boxes leave go in order four at a time: one alone would wait on its own chain of sums.
    constexpr int kPending = 4;
    int pending[kPending];
    int waiting = 0;
    const auto inOrder = [&]() {
        for (int b = waiting; b < kPending; ++b) pending[b] = pending[0];  // a block twice gives the same twice
        spatialInOrder<kPending, Masked>(plane, mask, width, y0, y1, radius, absTolerance, relTolerance, line,
                                         pending, out);
        waiting = 0;
    };
    const int wide = static_cast<int>(kWideLanes);
    while (last - x >= wide || (x > first && x < last && last - first >= wide)) {
        // The last few columns: one more block, ending at `last`, over some done already.
        if (last - x < wide) x = last - wide;
        const int tile = std::min(kTile, (last - x) / wide * wide);
        columnPass<Masked>(plane, mask, width, y0, y1, x - radius, x + tile + radius, col);
        for (int at = 0; at < tile; at += wide) {
            int failed = spatialBoxes<radius>(plane, y0, y1, absTolerance, relTolerance, line, x + at, col,
                                              at + radius, out);
            for (int h = 0; failed != 0; ++h, failed >>= 1) {
                if (!(failed & 1)) continue;
                pending[waiting++] = x + at + h * lanes;
                if (waiting == kPending) inOrder();
            }
        }
        x += tile;
    }
    if (waiting > 0) inOrder();
}

template <bool Masked>
void spatialColumns(const float* plane, const uint8_t* mask, int width, int height, int y, int radius,
                    double absTolerance, double relTolerance, float* out) {
    using si4c::measure::spatialPixelsScalar;
    const int y0 = std::max(0, y - radius), y1 = std::min(height - 1, y + radius);
    const int first = std::min(radius, width);
    const int last = std::max(first, width - radius);  // columns [first, last) see their whole window
    const size_t line = static_cast<size_t>(y) * static_cast<size_t>(width);
    spatialPixelsScalar(plane, mask, width, height, y, radius, absTolerance, relTolerance, 0, first, out);
    int x = first;
    if (radius == 1)
        spatialTiles<Masked, 1>(plane, mask, width, y0, y1, first, last, absTolerance, relTolerance, line, x, out);
    else if (radius == 2)
        spatialTiles<Masked, 2>(plane, mask, width, y0, y1, first, last, absTolerance, relTolerance, line, x, out);
    else if (radius == 3)
        spatialTiles<Masked, 3>(plane, mask, width, y0, y1, first, last, absTolerance, relTolerance, line, x, out);
    if (radius > kMaxBoxRadius) {
        constexpr int kBlocks = 4;
        for (; x + kBlocks * static_cast<int>(kLanes) <= last; x += kBlocks * static_cast<int>(kLanes)) {
            const int xs[kBlocks] = {x, x + static_cast<int>(kLanes), x + 2 * static_cast<int>(kLanes),
                                     x + 3 * static_cast<int>(kLanes)};
            spatialInOrder<kBlocks, Masked>(plane, mask, width, y0, y1, radius, absTolerance, relTolerance, line, xs,
                                            out);
        }
    }
    spatialPixelsScalar(plane, mask, width, height, y, radius, absTolerance, relTolerance, x, width, out);
}

// Columns whose window the row's ends clip take the scalar form.
void spatialRow(const float* plane, const uint8_t* mask, int width, int height, int y, int radius,
                double absTolerance, double relTolerance, float* out) {
    if (mask)
        spatialColumns<true>(plane, mask, width, height, y, radius, absTolerance, relTolerance, out);
    else
        spatialColumns<false>(plane, mask, width, height, y, radius, absTolerance, relTolerance, out);
}

// The temporal filter, kLanes pixels at once, with the scalar form's
// operations in double; the choices are selects, not branches.
void temporalRow(const float* in, const uint8_t* mask, float* history, size_t n, double weight,
                 double absTolerance, double relTolerance, float* out) {
    const Doubles none = Doubles{} + static_cast<double>(si4c::measure::kNoHistory);
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        // The history is the one plane that comes from memory, not cache: asked for early.
        __builtin_prefetch(history + i + 1024);
        const Doubles value = toDoublesFromFloats(loadLanes<Floats>(in + i));
        const Doubles past = toDoublesFromFloats(loadLanes<Floats>(history + i));
        const Doubles scaled = relTolerance * absLanes(past);
        const Doubles tolerance = absTolerance < scaled ? scaled : Doubles{} + absTolerance;
        const Longs same = absLanes(value - past) <= tolerance;  // false where past is "none" (NaN)
        const Doubles next = same ? past + weight * (value - past) : value;
        if (mask) {
            const Longs valid = toLongs(widenFlagsNarrow(loadLanes<Flags>(mask + i)) != 0);
            storeLanes(history + i, toFloats(selectLanes(valid, next, none)));
            storeLanes(out + i, toFloats(selectLanes(valid, next, value)));
        } else {
            storeLanes(history + i, toFloats(next));
            storeLanes(out + i, toFloats(next));
        }
    }
    si4c::measure::temporalScalar(in + i, mask ? mask + i : nullptr, history + i, n - i, weight, absTolerance,
                                  relTolerance, out + i);
}

}  // namespace

namespace si4c {
namespace measure {

const Variant SI4C_VARIANT = {SI4C_VARIANT_NAME, measureSingle, measureDouble, publish, spatialRow, temporalRow};

}  // namespace measure
}  // namespace si4c
