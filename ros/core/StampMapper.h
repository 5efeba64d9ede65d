#pragma once
// Host capture times for the driver's frame timestamps, and the stream's
// frame rate and drops as the timestamps show them.

#include <cstdint>

namespace Velmora {
namespace Ros {

// Maps the driver's millisecond timestamps to host nanoseconds. The offset
// between the clocks is the smallest (host arrival - timestamp) seen, so
// delivery latency never shows in the stamps and the intervals between stamps
// are the sensor's; it is allowed to grow by a small rate so a sensor clock
// slower than the host's cannot leave stamps drifting into the past.
class StampMapper {
public:
    // Stamp of a frame with `timestampMs` that arrived at `arrivalNs`.
    int64_t map(uint64_t timestampMs, int64_t arrivalNs);
    void reset() { started = false; }

private:
    bool started = false;
    uint64_t lastTimestampMs = 0;
    int64_t offsetNs = 0;
};

// Frame rate and losses from consecutive sensor timestamps.
class StreamStatistics {
public:
    // Returns false for a frame that is not newer than the previous one: the
    // driver handed out a stale frame.
    bool add(uint64_t timestampMs);
    // After a reopen the timestamps start afresh.
    void restart();
    // The camera's skip rule: `skip` of every `loop` frames are left out on purpose.
    void setSkip(int skip, int loop);

    // Frames per second delivered, smoothed.
    double frameRate() const { return intervalMs > 0 ? 1000.0 / intervalMs : 0.0; }
    uint64_t frames() const { return delivered; }
    // Frames the sensor took that were neither delivered nor skipped on purpose.
    uint64_t dropped() const;
    uint64_t stale() const { return staleFrames; }
    // The interval at which frames should come under the skip rule; 0 while unknown.
    double expectedIntervalMs() const;

private:
    bool havePrevious = false;
    uint64_t previousMs = 0;
    double periodMs = 0;    // the sensor's frame period: smoothed interval of back-to-back frames
    double intervalMs = 0;  // smoothed interval of all delivered frames
    int gapsInARow = 0;
    double skipPerDelivered = 0;  // frames skipped on purpose per frame delivered
    uint64_t delivered = 0;
    uint64_t deliveredSinceSkipChange = 0;
    uint64_t gapFrames = 0;  // frames missing between delivered ones
    uint64_t gapFramesSinceSkipChange = 0;
    uint64_t staleFrames = 0;
};

}  // namespace Ros
}  // namespace Velmora
