#pragma once
// Sample conversions of the USB transport: every image the evaluation kit
// delivers is brought to 16-bit samples on a 12-bit scale, by the widest
// sample kernels of this CPU (SampleKernels.h). Source and destination need no
// alignment and must not overlap.

#include <cstddef>
#include <cstdint>

namespace Velmora {
namespace UsbSamples {

// 8-bit samples: each byte widened to 16 bits and shifted left by 4.
void widenBytes(const uint8_t* source, uint8_t* destination, size_t samples);

// 16-bit little-endian samples shifted right by `shift` (wider than 12 bits; 16 or more gives 0).
void shiftWordsRight(const uint8_t* source, uint8_t* destination, size_t samples, unsigned shift);

// 16-bit little-endian samples shifted left by `shift` (narrower than 12 bits; 16 or more gives 0).
void shiftWordsLeft(const uint8_t* source, uint8_t* destination, size_t samples, unsigned shift);

}  // namespace UsbSamples
}  // namespace Velmora
