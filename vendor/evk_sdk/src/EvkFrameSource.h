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

    // --- replay ---
    // A source with a clock of its own (a replay) gives the timestamp of each
    // sub-frame and how long after frame `frameIndex - 1` frame `frameIndex`
    // is due, in milliseconds; the module clock and rate are not used then.
    virtual bool ownClock() const { return false; }
    virtual uint64_t timestamp(uint64_t /*frameIndex*/, int /*phase*/) const { return 0; }
    virtual double msAfterPrevious(uint64_t /*frameIndex*/) const { return 0; }
    // --- end replay ---
};

// The source the configuration asks for; sensor models and replay add theirs here.
std::unique_ptr<FrameSource> makeFrameSource(const ModuleConfig& config);

}  // namespace VelmoraSim
