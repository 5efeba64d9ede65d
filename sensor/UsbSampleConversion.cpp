#include "UsbSampleConversion.h"

#include <cstring>

#include "SampleKernels.h"

namespace Velmora {
namespace UsbSamples {

void widenBytes(const uint8_t* source, uint8_t* destination, size_t samples) {
    SampleKernels::best().widenBytes(source, destination, samples);
}

void shiftWordsRight(const uint8_t* source, uint8_t* destination, size_t samples, unsigned shift) {
    if (shift >= 16) {
        std::memset(destination, 0, 2 * samples);
        return;
    }
    SampleKernels::best().shiftWordsRight(source, destination, samples, shift);
}

void shiftWordsLeft(const uint8_t* source, uint8_t* destination, size_t samples, unsigned shift) {
    if (shift >= 16) {
        std::memset(destination, 0, 2 * samples);
        return;
    }
    SampleKernels::best().shiftWordsLeft(source, destination, samples, shift);
}

}  // namespace UsbSamples
}  // namespace Velmora
