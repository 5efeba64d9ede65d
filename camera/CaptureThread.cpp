// The capture thread and frame delivery.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>

#include "FramePool.h"
#include "SystemAccess.h"
#include "VelmoraDevice.h"
#include "VelmoraTOFCamera.h"
#include "VelmoraTOFSensor.h"

namespace Velmora {

namespace {
// Intervals are measured on the monotonic clock: a step of the wall clock
// would read as one huge or negative interval and throttle the camera.
int64_t clockNanoseconds() { return sys().monotonicNanoseconds(); }

constexpr int64_t kAdjustPeriodNs = 3000000000;

uint64_t frameTimestamp(VelmoraFrameBuffer& frame) {
    FrameDataFormat format{};
    if (frame.getFormat(FrameType::RAW, &format) != 0) frame.getFormat(FrameType::DEPTH, &format);
    return format.timestamp;
}

// nanosleep resumed after a signal, so the full millisecond passes.
void sleepOneMillisecond() {
    timespec request{0, 1000000};
    timespec remaining{};
    while (nanosleep(&request, &remaining) == -1 && errno == EINTR) request = remaining;
}

// After `failures` failed reads in a row, waits 1 ms doubling up to 100 ms, so a
// vanished device costs no CPU; returns early once the camera stops.
void backOffAfterFailedReads(int failures, const std::atomic<bool>& stopped) {
    const int waitMs = failures >= 8 ? 100 : std::min(100, 1 << (failures - 1));
    for (int waited = 0; waited < waitMs && !stopped.load(); ++waited) sleepOneMillisecond();
}
}  // namespace

void VelmoraTOFCamera::captureThread() {
    int failedReads = 0;  // in a row, for the back-off
    FramePool& pool = *framePool;
    FrameQueue& queue = *pool.queue;
    uint8_t* cache = static_cast<uint8_t*>(pool.cacheFrame->getData(FrameType::CACHE));
    int64_t lastAdjust = clockNanoseconds();
    lastFrameTime = lastAdjust;
    captureWindow = openModulationWindow();
    lastFrameFiltered = false;

    while (!stopped.load()) {
        if (autoFrameRate.load() && clockNanoseconds() - lastAdjust > kAdjustPeriodNs) {
            adjustFrameRate();
            lastAdjust = clockNanoseconds();
        }

        LinkNode* node = queue.popFree();
        uint64_t reclaimedTimestamp = 0;
        uint64_t handedOutAtClaim = 0;
        const bool reclaimed = node == nullptr;
        if (reclaimed) {
            // Every frame is ready or held: overwrite the oldest ready one, if any comes.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            if (!pool.claimToOverwrite(deadline)) {
                sleepOneMillisecond();
                continue;
            }
            handedOutAtClaim = queue.handedOutCount();
            node = queue.popReady(NodePlace::Capture);
            if (!node) continue;
            reclaimedTimestamp = frameTimestamp(*node->frame);
        }

        const int analysed = analysisFrame(cache, node);
        if (analysed != 0) {
            if (reclaimed && !outputTouched) {
                // Nothing replaced it: the older frame stays deliverable instead of being lost.
                node->frame->setTimestamp(reclaimedTimestamp);
                if (queue.returnReady(node, handedOutAtClaim)) pool.publish();
            } else {
                queue.putBack(node);
            }
            if (analysed == VelmoraSystemError) {
                backOffAfterFailedReads(++failedReads, stopped);
            } else {
                failedReads = 0;
            }
            continue;
        }
        failedReads = 0;
        updateFps();
        queue.appendReady(node);
        pool.publish();
    }
}

VelmoraTOFCamera::ModulationWindow VelmoraTOFCamera::openModulationWindow() const {
    // Done before begun: equal counts then mean no change was under way.
    const uint64_t done = modulationChangesDone.load();
    const uint64_t begun = modulationChangesBegun.load();
    return {begun, begun == done};
}

bool VelmoraTOFCamera::modulationSteadySince(const ModulationWindow& window) const {
    return window.settled && modulationChangesBegun.load() == window.begun;
}

int VelmoraTOFCamera::analysisFrame(uint8_t* cache, LinkNode* node) {
    outputTouched = false;
    // A free-running sensor may start exposing this frame while the previous
    // one is still being read: its window opens where that read began.
    const ModulationWindow window = captureWindow;
    captureWindow = openModulationWindow();
    uint64_t timestamp = 0;
    // Any read result but success means the cache holds no new frame.
    if (sensor->readFrame(cache, &timestamp) != 0) return VelmoraSystemError;
    node->frame->setTimestamp(timestamp);

    // Loop and skip are kept within 1..255 and 0..loop by setControl.
    const SkipRule rule = skipRule.load();
    const int32_t loop = rule.loop;
    const int32_t skip = rule.skip;
    skipCounter = (skipCounter + 1) % loop;
    const int32_t c = skipCounter & 0xff;
    const int32_t l = loop & 0xff;
    const int32_t k = (loop - skip) & 0xff;
    if ((c * k) / l == (c * k + k) / l) return VelmoraSkipFrame;

    // Sub-frames of two frequencies, or a model set for the other one: such a
    // frame is not delivered. Checked again after processing, which reads the
    // model's setting.
    if (!modulationSteadySince(window)) return -1;
    outputTouched = true;
    int result = -1;
    switch (info.type) {
    case FrameType::RAW:
        getRawImages(cache, static_cast<short*>(node->frame->getData(FrameType::RAW)));
        result = 0;
        break;
    case FrameType::DEPTH:
        result = getPhaseImage(cache, static_cast<float*>(node->frame->getData(FrameType::DEPTH)),
                               static_cast<float*>(node->frame->getData(FrameType::AMPLITUDE)),
                               static_cast<float*>(node->frame->getData(FrameType::CONFIDENCE)))
                     ? 0
                     : -1;
        break;
    default:
        return -1;
    }
    if (result != 0 || !modulationSteadySince(window)) {
        lastFrameFiltered = false;
        return -1;
    }
    if (info.type == FrameType::DEPTH) {
        finishDepthFrame(*node->frame, lastFrameFiltered);
        lastFrameFiltered = true;
    }
    return 0;
}

void VelmoraTOFCamera::updateFps() {
    const int64_t now = clockNanoseconds();
    const float delta = static_cast<float>((now - lastFrameTime) / 1000000);
    lastFrameTime = now;
    if (fpsUpdates == 0) {
        frameInterval = delta;
    } else {
        const float candidate = (1.0f - smoothing) * frameInterval + smoothing * delta;
        if (std::isfinite(candidate)) {
            frameInterval = candidate;
            smoothing = 1.0f / 30.0f;
        }
    }
    fps.store(1000.0f / frameInterval);
    if (fpsUpdates < INT32_MAX) ++fpsUpdates;
}

int VelmoraTOFCamera::getRawImages(uint8_t* raw, short* out) { return device->getRawImages(raw, out); }

bool VelmoraTOFCamera::getPhaseImage(uint8_t* raw, float* depth, float* amplitude, float* confidence) {
    return device->getPhaseImage(raw, depth, amplitude, confidence);
}

VelmoraFrameBuffer* VelmoraTOFCamera::requestFrame(short timeout) {
    if (!framePool) return nullptr;
    FramePool& pool = *framePool;
    if (timeout < 0) {
        if (!pool.claim(nullptr)) return nullptr;
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        if (!pool.claim(&deadline)) return nullptr;
    }
    LinkNode* node = pool.queue->popReady(NodePlace::Caller);
    return node ? node->frame.get() : nullptr;
}

TofErrorCode VelmoraTOFCamera::releaseFrame(VelmoraFrameBuffer* frame) {
    if (!framePool) return VelmoraUnkownError;
    LinkNode* node = framePool->queue->findByFrame(frame);
    if (!node) return VelmoraUnkownError;
    return framePool->queue->releaseHeld(node) == 0 ? VelmoraSuccess : VelmoraUnkownError;
}

}  // namespace Velmora
