#include "Si4cValidity.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace si4c {

namespace {

// Of every kSampleEvery pixels, a contiguous block of kSampleBlock is used:
// still tens of thousands of residuals on a VGA frame, at a quarter of the cost.
constexpr size_t kSampleBlock = 64;
constexpr size_t kSampleEvery = 4 * kSampleBlock;
// Median of |x| for x normally distributed with standard deviation 1.
constexpr double kHalfNormalMedian = 0.6744897501960817;
constexpr int kMaxResidual = 2 * kSampleMax;

}  // namespace

double sampleNoise(const uint16_t* const phases[kPhaseSteps], size_t n) {
    // |r| is a whole number up to 2 x 4095: a histogram gives the exact median
    // (on the stack: no allocation per frame).
    std::array<uint32_t, kMaxResidual + 1> counts{};
    size_t used = 0;
    for (size_t start = 0; start < n; start += kSampleEvery) {
        const size_t end = std::min(n, start + kSampleBlock);
        for (size_t i = start; i < end; ++i) {
            const int r = (phases[0][i] & kSampleMask) - (phases[1][i] & kSampleMask) +
                          (phases[2][i] & kSampleMask) - (phases[3][i] & kSampleMask);
            ++counts[static_cast<size_t>(std::abs(r))];
        }
        used += end - start;
    }
    if (used == 0) return 0;
    // Whole residuals stand for the interval around them (|r| = 0 for [0, 0.5)):
    // interpolating inside the interval keeps small noise from being rounded away.
    const double half = used / 2.0;
    double below = 0;
    for (int k = 0; k <= kMaxResidual; ++k) {
        const double count = counts[static_cast<size_t>(k)];
        if (below + count >= half && count > 0) {
            const double lower = k == 0 ? 0.0 : k - 0.5;
            const double width = k == 0 ? 0.5 : 1.0;
            const double median = lower + width * (half - below) / count;
            return median / (2 * kHalfNormalMedian);
        }
        below += count;
    }
    return 0;
}

double amplitudeFloor(double noise, double ratio) { return std::max(kMinAmplitude, ratio * noise); }

}  // namespace si4c
