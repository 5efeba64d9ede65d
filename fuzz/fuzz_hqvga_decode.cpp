// The HQVGA model on raw frames of arbitrary words: whatever the sensor
// delivers, the model's raw planes equal the scalar reference's and its
// depth, amplitude and confidence lie within one unit in the last place of
// it, on every platform shift and range.
//
// Input: byte 0 picks the platform and the range, the rest are the words of
// the frame, repeated until the four phase planes are full.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "HqvgaReference.h"
#include "VelmoraDeviceHQVGA.h"

using namespace Velmora;

namespace {

constexpr size_t kPixels = HqvgaReference::kPixels;
constexpr size_t kRawBytes = 4 * kPixels * 2;

bool withinOneUlp(float got, float want) {
    if (std::memcmp(&got, &want, sizeof got) == 0) return true;
    if (std::isnan(got) || std::isnan(want)) return false;
    return std::nextafter(want, INFINITY) == got || std::nextafter(want, -INFINITY) == got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t selector = data[0];
    const uint8_t* words = data + 1;
    const size_t wordBytes = (size - 1) & ~size_t{1};

    // Platform 3 delivers samples four bits up; ranges 2000 and 4000 select the
    // modulation frequency, any other value is refused and changes nothing.
    const int32_t platform = (selector & 1) ? 3 : 0;
    const int ranges[4] = {2000, 4000, 3000, -1};
    const int asked = ranges[(selector >> 1) & 3];

    std::unique_ptr<uint8_t[]> raw(new uint8_t[kRawBytes]);
    for (size_t i = 0; i < kRawBytes; i += wordBytes)
        std::memcpy(raw.get() + i, words, std::min(wordBytes, kRawBytes - i));

    VelmoraDeviceHQVGA model(platform);
    int range = 0;
    FUZZ_CHECK(model.getControl(CameraCtrl::RANGE, &range) == 0);
    const bool known = asked == 2000 || asked == 4000;
    FUZZ_CHECK(model.setControl(CameraCtrl::RANGE, asked) == (known ? 0 : VelmoraInvalidParameter));
    if (known) range = asked;
    const uint8_t shift = model.sampleShift();
    FUZZ_CHECK(shift == (platform == 3 ? 4 : 0));

    // Exact-size heap planes: a write past any of them is a sanitizer report.
    std::vector<int16_t> planes(4 * kPixels), wantPlanes(4 * kPixels);
    FUZZ_CHECK(model.getRawImages(raw.get(), planes.data()) == 1);
    HqvgaReference::rawFrame(raw.get(), shift, wantPlanes.data());
    FUZZ_CHECK(planes == wantPlanes);

    std::vector<float> depth(kPixels), amplitude(kPixels), confidence(kPixels);
    std::vector<float> wantDepth(kPixels), wantAmplitude(kPixels), wantConfidence(kPixels);
    FUZZ_CHECK(model.getPhaseImage(raw.get(), depth.data(), amplitude.data(), confidence.data()));
    HqvgaReference::depthFrame(raw.get(), range, model.modulationFrequency(), shift, wantDepth.data(),
                               wantAmplitude.data(), wantConfidence.data());
    for (size_t i = 0; i < kPixels; ++i) {
        FUZZ_CHECK(withinOneUlp(depth[i], wantDepth[i]));
        FUZZ_CHECK(withinOneUlp(amplitude[i], wantAmplitude[i]));
        FUZZ_CHECK(withinOneUlp(confidence[i], wantConfidence[i]));
        FUZZ_CHECK(std::isfinite(depth[i]) && depth[i] >= 0);
    }
    return 0;
}
