#pragma once
// Per-frame arithmetic of the HQVGA model, in one plain scalar form and in
// vector forms for the instruction sets the host may have. The vector forms
// are picked at run time, so one build runs on any CPU of its architecture.

#include <cstddef>
#include <cstdint>

namespace Velmora {
namespace HqvgaKernels {

constexpr int kWidth = 240;
constexpr int kHeight = 180;
constexpr int kPixels = kWidth * kHeight;

// A decoded sample at either end of the 11-bit scale: the sensor clipped it
// (saturation), so its pixel gets depth 0 and confidence 0, the invalid mark.
constexpr bool isClipped(int sample) { return sample == 16 * 1023 || sample == -16 * 1024; }

// Depth, amplitude and confidence of one raw frame of four planes; pixels
// with a clipped sample are invalid.
// nearOrder: planes read as y = P1 - P3, x = P2 - P0 (else y = P2 - P0, x = P3 - P1).
// metresPerRadian: depth = (theta * metresPerRadian) * 1000 in float.
using DepthFunction = void (*)(const uint8_t* raw, bool nearOrder, float metresPerRadian, uint8_t sampleShift,
                               float* depth, float* amplitude, float* confidence);

// The four decoded planes interleaved line by line (240 x 720 samples).
using RawFunction = void (*)(const uint8_t* raw, uint8_t sampleShift, int16_t* out);

struct DepthVariant {
    const char* name;
    DepthFunction run;
};

// Every depth variant this CPU can run, fastest first; the last one is the scalar form.
// The list is fixed at the first call.
const DepthVariant* depthVariants(size_t* count);

// The fastest depth variant of this CPU.
DepthFunction bestDepth();

// Interleave of the decoded planes, by the widest sample kernels of this CPU.
void rawFrame(const uint8_t* raw, uint8_t sampleShift, int16_t* out);

// The sample of one little-endian raw word: 16 x the 11-bit two's complement
// in bits 10..0 of (word >> sampleShift).
int decodeSample(const uint8_t* word, uint8_t sampleShift);

// Scalar forms, also the fallback where no vector form is built.
void depthScalar(const uint8_t* raw, bool nearOrder, float metresPerRadian, uint8_t sampleShift, float* depth,
                 float* amplitude, float* confidence);
void rawFrameScalar(const uint8_t* raw, uint8_t sampleShift, int16_t* out);

// Vector forms, each built only for its architecture (see hqvga.cmake).
void depthSse2(const uint8_t* raw, bool nearOrder, float metresPerRadian, uint8_t sampleShift, float* depth,
               float* amplitude, float* confidence);
void depthAvx2(const uint8_t* raw, bool nearOrder, float metresPerRadian, uint8_t sampleShift, float* depth,
               float* amplitude, float* confidence);
void depthAvx512(const uint8_t* raw, bool nearOrder, float metresPerRadian, uint8_t sampleShift, float* depth,
                 float* amplitude, float* confidence);
void depthNeon(const uint8_t* raw, bool nearOrder, float metresPerRadian, uint8_t sampleShift, float* depth,
               float* amplitude, float* confidence);

}  // namespace HqvgaKernels
}  // namespace Velmora
