#include "HqvgaReference.h"

#include <cmath>

#include "HqvgaKernels.h"

namespace Velmora {
namespace HqvgaReference {

namespace {

uint16_t wordAt(const uint8_t* raw, int plane, int index) {
    const int sample = plane * kPixels + index;
    return static_cast<uint16_t>(raw[2 * sample] | (raw[2 * sample + 1] << 8));
}

}  // namespace

int16_t decodeSample(uint16_t word, uint8_t sampleShift) {
    const uint32_t u = static_cast<uint32_t>(word) >> sampleShift;
    int32_t t = static_cast<int32_t>(u & 0x7FF);
    if (t >= 1024) t -= 2048;
    return static_cast<int16_t>(16 * t);
}

void depthFrame(const uint8_t* raw, int32_t range, float modulationHz, uint8_t sampleShift,
                float* depth, float* amplitude, float* confidence) {
    const bool nearOrder = range == 2000;
    for (int i = 0; i < kPixels; ++i) {
        const int p0 = decodeSample(wordAt(raw, 0, i), sampleShift);
        const int p1 = decodeSample(wordAt(raw, 1, i), sampleShift);
        const int p2 = decodeSample(wordAt(raw, 2, i), sampleShift);
        const int p3 = decodeSample(wordAt(raw, 3, i), sampleShift);
        int y, x;
        if (nearOrder) {
            y = p1 - p3;
            x = p2 - p0;
        } else {
            y = p2 - p0;
            x = p3 - p1;
        }
        float theta = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        if (theta < 0) theta += 6.2831855f;
        const float a = 12.566371f * modulationHz;
        const float b = 3.0e8f / a;
        depth[i] = (theta * b) * 1000.0f;
        const float amp = static_cast<float>(0.5 * std::sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y));
        amplitude[i] = amp;
        confidence[i] = amp;
        // A clipped sample (saturation) leaves the pixel without depth.
        if (HqvgaKernels::isClipped(p0) || HqvgaKernels::isClipped(p1) || HqvgaKernels::isClipped(p2) ||
            HqvgaKernels::isClipped(p3)) {
            depth[i] = 0.0f;
            confidence[i] = 0.0f;
        }
    }
}

void rawFrame(const uint8_t* raw, uint8_t sampleShift, int16_t* out) {
    for (int r = 0; r < kHeight; ++r)
        for (int k = 0; k < 4; ++k)
            for (int c = 0; c < kWidth; ++c)
                out[(4 * r + k) * kWidth + c] = decodeSample(wordAt(raw, k, kWidth * r + c), sampleShift);
}

}  // namespace HqvgaReference
}  // namespace Velmora
