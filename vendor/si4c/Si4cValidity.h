#pragma once
// When a pixel's depth counts as measured: its amplitude must stand out of the
// noise of its own samples. Every form of the measurement (scalar, vector,
// reference) takes its amplitude floor from here and compares with
// `strongEnough` (the vector forms mirror it lane by lane).

#include <cstddef>
#include <cstdint>

#include "Si4cLayout.h"

namespace si4c {

// Standard deviation of the noise of one phase sample, counts, estimated from
// the frame itself. The four samples of a pixel fit bias + a cos(phase - k 90°)
// but for one degree of freedom: the residual r = S0 - S1 + S2 - S3 holds
// nothing but noise (variance 4 sigma²). One pixel's residual is far too
// noisy to judge that pixel by, so the median of |r| is pooled over the frame
// (every fourth block of pixels), which saturated pixels and edges do not move.
double sampleNoise(const uint16_t* const phases[kPhaseSteps], size_t n);

// The weakest amplitude a valid pixel may have: `ratio` times the sample
// noise, never below kMinAmplitude.
double amplitudeFloor(double noise, double ratio);

// The floor of one frequency's four phase images, `ratioTenths` / 10 times their noise.
inline double amplitudeFloor(const uint16_t* const phases[kPhaseSteps], size_t n, int ratioTenths) {
    return amplitudeFloor(sampleNoise(phases, n), ratioTenths / 10.0);
}

inline bool strongEnough(double amplitude, double minimum) { return amplitude >= minimum; }

}  // namespace si4c
