#include "Si4cReference.h"

#include <cmath>
#include <cstddef>

#include "Si4cValidity.h"

namespace si4c {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Measurement {
    double phase;      // [0, 2 pi), calibration removed
    double amplitude;  // counts
    bool saturated;
};

double sampleAt(const uint16_t* raw, int width, int height, int image, int x, int y) {
    const size_t line = static_cast<size_t>(image) * static_cast<size_t>(height + 1) + 1 + static_cast<size_t>(y);
    return static_cast<double>(raw[line * static_cast<size_t>(width) + static_cast<size_t>(x)] & kSampleMask);
}

Measurement measure(const uint16_t* raw, int width, int height, int firstImage, int x, int y, double offset) {
    double s[4];
    bool saturated = false;
    for (int k = 0; k < 4; ++k) {
        s[k] = sampleAt(raw, width, height, firstImage + k, x, y);
        if (s[k] <= 0.0 || s[k] >= kSampleMax) saturated = true;
    }
    if (sampleAt(raw, width, height, firstImage + kGreyImage, x, y) >= kSampleMax) saturated = true;
    const double i = s[0] - s[2];
    const double q = s[1] - s[3];
    double phase = std::atan2(q, i);
    if (phase < 0) phase += 2 * kPi;
    phase -= offset;
    phase = std::fmod(phase, 2 * kPi);
    if (phase < 0) phase += 2 * kPi;
    return {phase, std::sqrt(i * i + q * q) / 2, saturated};
}

// The amplitude floor of the frequency whose phase images begin at `firstImage`.
double floorOf(const uint16_t* raw, int width, int height, int firstImage, int ratioTenths) {
    const uint16_t* phases[kPhaseSteps];
    for (int k = 0; k < kPhaseSteps; ++k)
        phases[k] = raw + (static_cast<size_t>(firstImage + k) * static_cast<size_t>(height + 1) + 1) *
                              static_cast<size_t>(width);
    return amplitudeFloor(phases, static_cast<size_t>(width) * static_cast<size_t>(height), ratioTenths);
}

}  // namespace

void referencePhaseImage(const uint16_t* raw, int width, int height, const ReferenceSettings& settings, float* depth,
                         float* amplitude, float* confidence) {
    const auto& offsets = settings.calibration.phaseOffset;
    const bool calibrated = settings.calibration.valid;
    // Single, or the higher frequency; the lower one's images follow.
    const double minAmplitude = floorOf(raw, width, height, 0, settings.validNoiseRatio);
    const double minAmplitudeLow =
        settings.single ? minAmplitude : floorOf(raw, width, height, kImagesPerFrequency, settings.validNoiseRatio);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double d = 0;
            double a = 0;
            bool ok = false;
            if (settings.single) {
                const Measurement m = measure(raw, width, height, 0, x, y, calibrated ? offsets[kSingle] : 0.0);
                d = m.phase / (2 * kPi) * kSingleRangeMm;
                a = m.amplitude;
                ok = !m.saturated && strongEnough(m.amplitude, minAmplitude);
            } else {
                const Measurement high = measure(raw, width, height, 0, x, y, calibrated ? offsets[kHigh] : 0.0);
                const Measurement low =
                    measure(raw, width, height, kImagesPerFrequency, x, y, calibrated ? offsets[kLow] : 0.0);
                const double dHigh = high.phase / (2 * kPi) * kHighRangeMm;
                const double dLow = low.phase / (2 * kPi) * kLowRangeMm;
                // Try every wrap count of both frequencies; the pair that agrees best wins.
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
                // Weighted by precision: the phase noise costs distance in proportion to the range.
                const double wHigh = 1.0 / (kHighRangeMm * kHighRangeMm);
                const double wLow = 1.0 / (kLowRangeMm * kLowRangeMm);
                d = bestHigh - bestDiff * wLow / (wHigh + wLow);
                if (d < 0) d += kDoubleRangeMm;
                if (d >= kDoubleRangeMm) d -= kDoubleRangeMm;
                a = (high.amplitude + low.amplitude) / 2;
                ok = !high.saturated && !low.saturated && strongEnough(high.amplitude, minAmplitude) &&
                     strongEnough(low.amplitude, minAmplitudeLow) && std::fabs(bestDiff) <= kMaxUnwrapErrorMm;
            }
            ok = ok && d >= settings.validDistMin && d <= settings.validDistMax;
            const size_t i = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
            depth[i] = ok ? static_cast<float>(d) : 0.0f;
            amplitude[i] = static_cast<float>(a);
            confidence[i] = ok ? static_cast<float>(a) : 0.0f;
        }
    }
}

}  // namespace si4c
