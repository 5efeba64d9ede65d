#pragma once
// Raw frames of the VGA sensor (layout in vendor/si4c/README.md): per
// modulation frequency four phase images and a grey image, each a metadata
// line plus the picture, 12-bit samples in 16-bit words.

#include <cstddef>
#include <cstdint>

#include "VelmoraScene.h"

namespace VelmoraSim {

struct VgaRenderSettings {
    bool singleFrequency = true;
    // Extra phase the module adds at every modulation frequency, radians;
    // calibration data removes it again.
    double phaseOffsetRadians = 0;
};

// Words of one raw frame: width x 5 (height + 1), or x 10 in double frequency.
size_t vgaFrameWords(int width, int height, bool singleFrequency);

// Renders one frame of `scene` into `out` (vgaFrameWords words). frameIndex
// seeds the noise and is stamped into the metadata lines.
void renderVgaFrame(const Scene& scene, const VgaRenderSettings& settings, uint64_t frameIndex, uint16_t* out);

// Rewrites the frame counter of every metadata line of a rendered frame, so a
// frame rendered once can be handed out again as frame `frameIndex`.
void restampVgaFrame(uint16_t* frame, int width, int height, bool singleFrequency, uint64_t frameIndex);

}  // namespace VelmoraSim
