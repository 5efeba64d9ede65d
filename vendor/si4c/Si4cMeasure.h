#pragma once
// The per-pixel measurement of the phase processor (phase, distance,
// amplitude, validity, and the unwrapping of two frequencies) and its
// filters' rows, in a scalar form and in vector forms picked at run time:
// AVX-512F, AVX2+FMA or SSE2 on x86-64, NEON on AArch64. Every form gives the
// scalar form's results bit for bit (the measurement takes the scalar form
// for the rare pixel whose angle lies near a float rounding boundary).

#include <cstddef>
#include <cstdint>
#include <limits>

#include "Si4cLayout.h"

namespace si4c {
namespace measure {

// What a valid pixel must meet: depth inside [validMin, validMax] and, at
// each frequency, an amplitude of at least its floor (Si4cValidity.h): the
// single or higher frequency's `minAmplitude`, the lower one's `minAmplitudeLow`.
struct Band {
    int validMin;
    int validMax;
    double minAmplitude = kMinAmplitude;
    double minAmplitudeLow = kMinAmplitude;
};

// Where a measurement goes. With `confidence` null: the distance, amplitude
// and validity of every pixel, for the filters to work on. With it: the
// output planes themselves (depth and confidence 0 where the pixel is not
// valid), when no filter runs; `valid` is then not written.
struct Outputs {
    float* depth;
    float* amplitude;
    uint8_t* valid;
    float* confidence;
    Outputs at(size_t i) const {
        return {depth + i, amplitude + i, valid ? valid + i : nullptr, confidence ? confidence + i : nullptr};
    }
};

// One frequency: planes[0..3] the phase images, planes[4] the grey image, n pixels each.
using SingleFunction = void (*)(const uint16_t* const planes[5], size_t n, double offset, Band band, Outputs out);
// Two frequencies: the high one's five images and the low one's.
using DoubleFunction = void (*)(const uint16_t* const high[5], const uint16_t* const low[5], size_t n,
                                double highOffset, double lowOffset, Band band, Outputs out);

// The output planes: depth and confidence where the pixel is valid and its
// depth inside the band, else 0; amplitude everywhere.
using PublishFunction = void (*)(const float* depthIn, const float* amplitudeIn, const uint8_t* valid, size_t n,
                                 Band band, float* depth, float* amplitude, float* confidence);

// One row y of the edge-preserving spatial filter: each pixel (of those the
// mask marks valid; a null mask marks all) becomes the mean of the valid
// neighbours within `radius` whose value lies within max(absTolerance,
// relTolerance * |centre|) of its own, summed in double in row-major window
// order; masked pixels keep their value.
using SpatialRowFunction = void (*)(const float* plane, const uint8_t* mask, int width, int height, int y,
                                    int radius, double absTolerance, double relTolerance, float* out);

// The temporal filter's history value of a pixel that has none: NaN, which
// no difference is within tolerance of, so it needs no flag of its own.
constexpr float kNoHistory = std::numeric_limits<float>::quiet_NaN();

// The temporal filter over n pixels of a row: each pixel the mask marks valid
// (a null mask marks all) becomes past + weight * (value - past) when its
// history `past` lies within max(absTolerance, relTolerance * |past|) of it,
// else it starts over from its value; the result is the new history. A pixel
// not valid keeps its value and loses its history (kNoHistory). `out` may be `in`.
using TemporalRowFunction = void (*)(const float* in, const uint8_t* mask, float* history, size_t n, double weight,
                                     double absTolerance, double relTolerance, float* out);

struct Variant {
    const char* name;
    SingleFunction single;
    DoubleFunction dual;
    PublishFunction publish;
    SpatialRowFunction spatialRow;
    TemporalRowFunction temporalRow;
};

// Every variant this CPU runs, fastest first; the last is the scalar form.
const Variant* variants(size_t* count);
const Variant& best();

void singleScalar(const uint16_t* const planes[5], size_t n, double offset, Band band, Outputs out);
void doubleScalar(const uint16_t* const high[5], const uint16_t* const low[5], size_t n, double highOffset,
                  double lowOffset, Band band, Outputs out);
void publishScalar(const float* depthIn, const float* amplitudeIn, const uint8_t* valid, size_t n, Band band,
                   float* depth, float* amplitude, float* confidence);
// Pixels x0 <= x < x1 of a row of the spatial filter.
void spatialPixelsScalar(const float* plane, const uint8_t* mask, int width, int height, int y, int radius,
                         double absTolerance, double relTolerance, int x0, int x1, float* out);
void spatialRowScalar(const float* plane, const uint8_t* mask, int width, int height, int y, int radius,
                      double absTolerance, double relTolerance, float* out);

void temporalScalar(const float* in, const uint8_t* mask, float* history, size_t n, double weight,
                    double absTolerance, double relTolerance, float* out);

// The vector builds, each for its architecture (si4c.cmake).
extern const Variant kSse2;
extern const Variant kAvx2;
extern const Variant kAvx512;
extern const Variant kNeon;

}  // namespace measure
}  // namespace si4c
