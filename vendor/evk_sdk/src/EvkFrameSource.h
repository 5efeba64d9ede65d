#pragma once
// Where the sub-frames of the simulated module come from.

#include <cstdint>
#include <memory>
#include <vector>

#include "EvkConfig.h"

namespace VelmoraSim {

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual int subFramesPerFrame() const = 0;
    // All sub-frames of frame `frameIndex`, width*height 16-bit words each on a
    // 12-bit scale, back to back, for the modulation frequency in use.
    virtual void render(uint64_t frameIndex, double modulationHz, uint16_t* out) = 0;
};

// The source the configuration asks for; sensor models and replay add theirs here.
std::unique_ptr<FrameSource> makeFrameSource(const ModuleConfig& config);

}  // namespace VelmoraSim
