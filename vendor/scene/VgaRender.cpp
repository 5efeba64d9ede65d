#include "VgaRender.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "../si4c/Si4cLayout.h"

namespace VelmoraSim {

namespace {

constexpr double kPi = 3.14159265358979323846;

uint16_t toSample(double value) {
    return static_cast<uint16_t>(std::clamp(std::nearbyint(value), 0.0, static_cast<double>(si4c::kSampleMax)));
}

}  // namespace

size_t vgaFrameWords(int width, int height, bool singleFrequency) {
    if (width <= 0 || height <= 0) return 0;
    return si4c::rawWords(singleFrequency, width, height);
}

void renderVgaFrame(const Scene& scene, const VgaRenderSettings& settings, uint64_t frameIndex, uint16_t* out) {
    const int w = scene.width(), h = scene.height();
    if (w <= 0 || h <= 0) return;
    const bool single = settings.singleFrequency;
    const int count = si4c::subImageCount(single);
    const size_t imageWords = static_cast<size_t>(w) * static_cast<size_t>(h + 1);
    std::memset(out, 0, vgaFrameWords(w, h, single) * sizeof(uint16_t));

    for (int image = 0; image < count; ++image) {
        uint16_t* meta = out + static_cast<size_t>(image) * imageWords;
        const int frequency = single ? si4c::kSingle : (image < si4c::kImagesPerFrequency ? si4c::kHigh : si4c::kLow);
        const int kind = image % si4c::kImagesPerFrequency;
        if (w >= si4c::kMetaWords) {
            meta[si4c::kMetaMarkerWord] = si4c::kMetaMarker;
            meta[si4c::kMetaIndex] = static_cast<uint16_t>(image);
            meta[si4c::kMetaCount] = static_cast<uint16_t>(count);
            meta[si4c::kMetaFrequency] = static_cast<uint16_t>(frequency);
            meta[si4c::kMetaKind] = static_cast<uint16_t>(kind);
            meta[si4c::kMetaFrame] = static_cast<uint16_t>(frameIndex & 0x0FFF);
        }
        uint16_t* picture = meta + w;
        const PixelPhasors& phasors = scene.phasors(Modulation{0, si4c::rangeOf(frequency), settings.phaseOffsetRadians});
        NoiseSource noise(scene.settings().seed, frameIndex, static_cast<uint64_t>(image) + 1);
        const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
        for (size_t i = 0; i < pixels; ++i) {
            // Ambient light raises every sample alike: it cancels in the
            // differences but takes up range, and a sample at full scale clips.
            double value;
            if (kind == si4c::kGreyImage) {
                value = si4c::kGreyDark + scene.intensityAt(i);
            } else {
                // S_k = bias + a cos(phase - k pi/2)
                value = si4c::kSampleBias + phasors.amplitude[i] * std::cos(phasors.phase[i] - kind * (kPi / 2));
            }
            const double ambient = scene.ambientAt(i);
            if (ambient > 0) value += ambient;
            const double sigma = scene.noiseAt(i);
            if (sigma > 0) value += sigma * noise.gaussian();
            picture[i] = toSample(value);
        }
    }
}

void restampVgaFrame(uint16_t* frame, int width, int height, bool singleFrequency, uint64_t frameIndex) {
    if (width < si4c::kMetaWords || height <= 0) return;
    const size_t imageWords = static_cast<size_t>(width) * static_cast<size_t>(height + 1);
    for (int image = 0; image < si4c::subImageCount(singleFrequency); ++image) {
        uint16_t* meta = frame + static_cast<size_t>(image) * imageWords;
        if (meta[si4c::kMetaMarkerWord] == si4c::kMetaMarker)
            meta[si4c::kMetaFrame] = static_cast<uint16_t>(frameIndex & 0x0FFF);
    }
}

}  // namespace VelmoraSim
