#pragma once
// Plain scalar HQVGA depth arithmetic, step by step as the model defines it.
// Kept as the oracle that faster implementations of the model are tested against.

#include <cstdint>

namespace Velmora {
namespace HqvgaReference {

constexpr int kWidth = 240;
constexpr int kHeight = 180;
constexpr int kPixels = kWidth * kHeight;

// Raw word -> signed phase sample (16 x the 11-bit two's complement).
int16_t decodeSample(uint16_t word, uint8_t sampleShift);

// Depth, amplitude and confidence of one raw frame (four planes of little-endian words).
void depthFrame(const uint8_t* raw, int32_t range, float modulationHz, uint8_t sampleShift,
                float* depth, float* amplitude, float* confidence);

// The four decoded planes interleaved line by line (240 x 720 samples).
void rawFrame(const uint8_t* raw, uint8_t sampleShift, int16_t* out);

}  // namespace HqvgaReference
}  // namespace Velmora
