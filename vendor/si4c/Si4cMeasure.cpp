#include "Si4cMeasure.h"

#include <algorithm>
#include <cmath>

#include "Si4cLayout.h"
#include "Si4cProcessor.h"
#include "Si4cValidity.h"

namespace si4c {
namespace measure {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Measurement {
    double phase;
    double amplitude;
    bool saturated;
};

inline Measurement measurePixel(const uint16_t* const planes[5], size_t i, double offset) {
    double s[4];
    bool saturated = false;
    for (int k = 0; k < 4; ++k) {
        s[k] = static_cast<double>(planes[k][i] & kSampleMask);
        if (s[k] <= 0.0 || s[k] >= kSampleMax) saturated = true;
    }
    if (static_cast<double>(planes[kGreyImage][i] & kSampleMask) >= kSampleMax) saturated = true;
    const double in = s[0] - s[2];
    const double quad = s[1] - s[3];
    double phase = std::atan2(quad, in);
    if (phase < 0) phase += 2 * kPi;
    phase -= offset;
    phase = std::fmod(phase, 2 * kPi);
    if (phase < 0) phase += 2 * kPi;
    return {phase, std::sqrt(in * in + quad * quad) / 2, saturated};
}

struct VariantTable {
    Variant entries[4];
    size_t count = 0;
};

VariantTable detectVariants() {
    VariantTable table;
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma");
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") && fma) table.entries[table.count++] = kAvx512;
    if (__builtin_cpu_supports("avx2") && fma) table.entries[table.count++] = kAvx2;
    table.entries[table.count++] = kSse2;
#elif defined(__aarch64__)
    table.entries[table.count++] = kNeon;
#endif
    table.entries[table.count++] =
        Variant{"scalar", singleScalar, doubleScalar, publishScalar, spatialRowScalar, temporalScalar};
    return table;
}

}  // namespace

const Variant* variants(size_t* count) {
    static const VariantTable table = detectVariants();
    if (count) *count = table.count;
    return table.entries;
}

const Variant& best() { return variants(nullptr)[0]; }

namespace {

inline void store(const Outputs& out, size_t i, double d, double a, bool ok) {
    if (out.confidence) {
        out.depth[i] = ok ? static_cast<float>(d) : 0.0f;
        out.amplitude[i] = static_cast<float>(a);
        out.confidence[i] = ok ? static_cast<float>(a) : 0.0f;
    } else {
        out.depth[i] = static_cast<float>(d);
        out.amplitude[i] = static_cast<float>(a);
        out.valid[i] = ok ? 1 : 0;
    }
}

}  // namespace

void singleScalar(const uint16_t* const planes[5], size_t n, double offset, Band band, Outputs out) {
    for (size_t i = 0; i < n; ++i) {
        const Measurement m = measurePixel(planes, i, offset);
        const double d = m.phase / (2 * kPi) * kSingleRangeMm;
        const bool ok = !m.saturated && strongEnough(m.amplitude, band.minAmplitude) && d >= band.validMin &&
                        d <= band.validMax;
        store(out, i, d, m.amplitude, ok);
    }
}

void doubleScalar(const uint16_t* const high[5], const uint16_t* const low[5], size_t n, double highOffset,
                  double lowOffset, Band band, Outputs out) {
    const double wHigh = 1.0 / (kHighRangeMm * kHighRangeMm);
    const double wLow = 1.0 / (kLowRangeMm * kLowRangeMm);
    for (size_t i = 0; i < n; ++i) {
        const Measurement mh = measurePixel(high, i, highOffset);
        const Measurement ml = measurePixel(low, i, lowOffset);
        const double dHigh = mh.phase / (2 * kPi) * kHighRangeMm;
        const double dLow = ml.phase / (2 * kPi) * kLowRangeMm;
        double bestDiff = 0;
        double bestHigh = 0;
        bool first = true;
        for (int nHigh = 0; nHigh < 3; ++nHigh) {
            for (int nLow = 0; nLow < 2; ++nLow) {
                const double candidate = dHigh + nHigh * kHighRangeMm;
                double diff = candidate - (dLow + nLow * kLowRangeMm);
                if (diff >= kDoubleRangeMm / 2) diff -= kDoubleRangeMm;
                if (diff < -kDoubleRangeMm / 2) diff += kDoubleRangeMm;
                if (first || std::fabs(diff) < std::fabs(bestDiff)) {
                    bestDiff = diff;
                    bestHigh = candidate;
                    first = false;
                }
            }
        }
        double d = bestHigh - bestDiff * wLow / (wHigh + wLow);
        if (d < 0) d += kDoubleRangeMm;
        if (d >= kDoubleRangeMm) d -= kDoubleRangeMm;
        const double a = (mh.amplitude + ml.amplitude) / 2;
        const bool ok = !mh.saturated && !ml.saturated && strongEnough(mh.amplitude, band.minAmplitude) &&
                        strongEnough(ml.amplitude, band.minAmplitudeLow) && std::fabs(bestDiff) <= kMaxUnwrapErrorMm &&
                        d >= band.validMin && d <= band.validMax;
        store(out, i, d, a, ok);
    }
}

void publishScalar(const float* depthIn, const float* amplitudeIn, const uint8_t* valid, size_t n, Band band,
                   float* depth, float* amplitude, float* confidence) {
    for (size_t i = 0; i < n; ++i) {
        const bool ok = valid[i] && depthIn[i] >= band.validMin && depthIn[i] <= band.validMax;
        depth[i] = ok ? depthIn[i] : 0.0f;
        amplitude[i] = amplitudeIn[i];
        confidence[i] = ok ? amplitudeIn[i] : 0.0f;
    }
}

void spatialPixelsScalar(const float* plane, const uint8_t* mask, int width, int height, int y, int radius,
                         double absTolerance, double relTolerance, int xBegin, int xEnd, float* out) {
    const int y0 = std::max(0, y - radius), y1 = std::min(height - 1, y + radius);
    for (int x = xBegin; x < xEnd; ++x) {
        const size_t c = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
        const double centre = plane[c];
        if (mask && !mask[c]) {
            out[x] = plane[c];
            continue;
        }
        const double tolerance = std::max(absTolerance, relTolerance * std::fabs(centre));
        const int x0 = std::max(0, x - radius), x1 = std::min(width - 1, x + radius);
        double sum = 0;
        int count = 0;
        for (int yy = y0; yy <= y1; ++yy) {
            const size_t row = static_cast<size_t>(yy) * static_cast<size_t>(width);
            for (int xx = x0; xx <= x1; ++xx) {
                const size_t j = row + static_cast<size_t>(xx);
                if (mask && !mask[j]) continue;
                if (std::fabs(plane[j] - centre) > tolerance) continue;
                sum += plane[j];
                ++count;
            }
        }
        out[x] = static_cast<float>(sum / count);  // count >= 1: the centre itself
    }
}

void spatialRowScalar(const float* plane, const uint8_t* mask, int width, int height, int y, int radius,
                      double absTolerance, double relTolerance, float* out) {
    spatialPixelsScalar(plane, mask, width, height, y, radius, absTolerance, relTolerance, 0, width, out);
}

void temporalScalar(const float* in, const uint8_t* mask, float* history, size_t n, double weight,
                    double absTolerance, double relTolerance, float* out) {
    for (size_t i = 0; i < n; ++i) {
        const double value = in[i];
        if (mask && !mask[i]) {
            history[i] = kNoHistory;
            out[i] = in[i];
            continue;
        }
        const double past = history[i];
        const double tolerance = std::max(absTolerance, relTolerance * std::fabs(past));
        // A past of kNoHistory fails the comparison: first sight or a new surface starts over.
        const double next = std::fabs(value - past) <= tolerance ? past + weight * (value - past) : value;
        history[i] = static_cast<float>(next);
        out[i] = history[i];
    }
}

}  // namespace measure
}  // namespace si4c
