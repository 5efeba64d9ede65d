#pragma once
// Plain per-pixel reference of the phase arithmetic, without filters: the
// oracle that faster versions of the processor are checked against.

#include <cstdint>

#include "Si4cConfig.h"

namespace si4c {

struct ReferenceSettings {
    bool single = true;
    Calibration calibration;
    int validDistMin = 0;
    int validDistMax = 7000;
    int validNoiseRatio = AlgorithmConfig{}.validNoiseRatio;
};

// `raw` holds rawWords(single, width, height) words in the layout of README.md;
// each output plane width x height floats.
void referencePhaseImage(const uint16_t* raw, int width, int height, const ReferenceSettings& settings, float* depth,
                         float* amplitude, float* confidence);

}  // namespace si4c
