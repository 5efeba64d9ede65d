#include "StampMapper.h"

#include <algorithm>
#include <cmath>

namespace Velmora {
namespace Ros {

namespace {
// Sensor clocks differ from the host's by well under 200 ppm.
constexpr int64_t kDriftAllowancePerSecondNs = 200000;
// A jump of the sensor clock against the host's beyond this starts afresh.
constexpr int64_t kResyncNs = 2000000000;
}  // namespace

int64_t StampMapper::map(uint64_t timestampMs, int64_t arrivalNs) {
    const int64_t sensorNs = static_cast<int64_t>(timestampMs) * 1000000;
    const int64_t candidate = arrivalNs - sensorNs;
    if (!started || timestampMs < lastTimestampMs || candidate - offsetNs > kResyncNs ||
        offsetNs - candidate > kResyncNs) {
        started = true;
        offsetNs = candidate;
    } else if (candidate < offsetNs) {
        offsetNs = candidate;
    } else {
        // The allowance follows the sensor's interval, so no interval stretches by more.
        const int64_t allowance = static_cast<int64_t>(timestampMs - lastTimestampMs) * kDriftAllowancePerSecondNs / 1000;
        offsetNs += std::min(candidate - offsetNs, allowance);
    }
    lastTimestampMs = timestampMs;
    return sensorNs + offsetNs;
}

bool StreamStatistics::add(uint64_t timestampMs) {
    // Timestamp 0: the transport captured nothing and handed out its old buffer.
    if (timestampMs == 0 || (havePrevious && timestampMs <= previousMs)) {
        ++staleFrames;
        return false;
    }
    ++delivered;
    ++deliveredSinceSkipChange;
    if (havePrevious) {
        const double interval = static_cast<double>(timestampMs - previousMs);
        intervalMs = intervalMs <= 0 ? interval : intervalMs + 0.1 * (interval - intervalMs);
        if (periodMs <= 0) {
            periodMs = interval;
        } else if (interval > 1.5 * periodMs) {
            const auto missing = static_cast<uint64_t>(std::llround(interval / periodMs)) - 1;
            gapFrames += missing;
            gapFramesSinceSkipChange += missing;
            // A lasting change of the frame rate is the new period, not a run of losses.
            if (++gapsInARow >= 3) periodMs = interval;
        } else {
            gapsInARow = 0;
            periodMs += 0.1 * (interval - periodMs);
        }
    }
    havePrevious = true;
    previousMs = timestampMs;
    return true;
}

void StreamStatistics::restart() {
    havePrevious = false;
    periodMs = 0;
    gapsInARow = 0;
}

void StreamStatistics::setSkip(int skip, int loop) {
    // Losses counted so far stay counted.
    const uint64_t counted = dropped();
    skipPerDelivered = (loop > skip && skip > 0) ? static_cast<double>(skip) / (loop - skip) : 0.0;
    gapFrames = counted;
    gapFramesSinceSkipChange = 0;
    deliveredSinceSkipChange = 0;
}

double StreamStatistics::expectedIntervalMs() const { return periodMs * (1.0 + skipPerDelivered); }

uint64_t StreamStatistics::dropped() const {
    const double skipped = skipPerDelivered * static_cast<double>(deliveredSinceSkipChange);
    const double unexplained = static_cast<double>(gapFramesSinceSkipChange) - skipped;
    const uint64_t before = gapFrames - gapFramesSinceSkipChange;
    return before + (unexplained > 0 ? static_cast<uint64_t>(std::llround(unexplained)) : 0);
}

}  // namespace Ros
}  // namespace Velmora
