#pragma once
// Raw VGA frame layout and modulation frequencies shared by the phase
// processor and whatever produces its frames (see README.md).

#include <cstddef>
#include <cstdint>

namespace si4c {

constexpr double kSpeedOfLight = 299792458.0;  // m/s

// Unambiguous ranges, millimetres. Double frequency uses two frequencies in
// the ratio 3:2, whose common range is three times the higher one's.
constexpr double kSingleRangeMm = 1250.0;
constexpr double kHighRangeMm = 1500.0;
constexpr double kLowRangeMm = 2250.0;
constexpr double kDoubleRangeMm = 4500.0;

constexpr double modulationHz(double rangeMm) { return kSpeedOfLight * 1000.0 / (2.0 * rangeMm); }

// Frequency slots, also the calibration offset order.
enum Frequency : int { kSingle = 0, kHigh = 1, kLow = 2, kFrequencyCount = 3 };

constexpr double rangeOf(int frequency) {
    return frequency == kSingle ? kSingleRangeMm : frequency == kHigh ? kHighRangeMm : kLowRangeMm;
}

// Each frequency contributes four phase images (0, 90, 180, 270 degrees) and
// one grey image; each sub-image is one metadata line plus `height` lines.
constexpr int kPhaseSteps = 4;
constexpr int kGreyImage = 4;
constexpr int kImagesPerFrequency = 5;

constexpr int subImageCount(bool single) { return single ? kImagesPerFrequency : 2 * kImagesPerFrequency; }
constexpr int rawLines(bool single, int height) { return subImageCount(single) * (height + 1); }
constexpr size_t rawWords(bool single, int width, int height) {
    return static_cast<size_t>(width) * static_cast<size_t>(rawLines(single, height));
}

// Samples: 12-bit values in 16-bit little-endian words. Phase samples sit
// around kSampleBias: S_k = bias + a cos(phase - k pi/2).
constexpr uint16_t kSampleMask = 0x0FFF;
constexpr uint16_t kSampleMax = 0x0FFF;
constexpr double kSampleBias = 2048.0;
// Grey image: dark level plus the modulation amplitude.
constexpr double kGreyDark = 256.0;

// Metadata line: the first words of each sub-image's line 0; the rest is 0.
constexpr uint16_t kMetaMarker = 0x0A5C;
enum MetaWord : int {
    kMetaMarkerWord = 0,
    kMetaIndex = 1,      // sub-image index in the frame
    kMetaCount = 2,      // sub-images in the frame: 5 or 10
    kMetaFrequency = 3,  // Frequency slot
    kMetaKind = 4,       // phase step 0..3, or kGreyImage
    kMetaFrame = 5,      // frame counter, low 12 bits
    kMetaWords = 6,
};

}  // namespace si4c

namespace si4c {

// Processing thresholds: a pixel whose modulation amplitude (counts) is below
// kMinAmplitude (whatever the noise; Si4cValidity.h raises the floor with it),
// or whose two frequencies disagree by more than kMaxUnwrapErrorMm after
// unwrapping, has no valid depth.
constexpr double kMinAmplitude = 4.0;
constexpr double kMaxUnwrapErrorMm = 250.0;

}  // namespace si4c
