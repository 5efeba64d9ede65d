#pragma once
// One simulated camera module: registers, streaming state, pacing, the
// module clock and the image buffers lent to the caller.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "EvkConfig.h"
#include "EvkFrameSource.h"
#include "velmora_evk_sdk.h"

namespace VelmoraSim {

class Module {
public:
    // Frames start at least this far apart on the module clock (ms), so that
    // the driver's restart rule (gap of 6) separates frames but not sub-frames.
    static constexpr uint64_t kMinFramePeriodMs = 10;
    // Images the caller may hold at once before capture refuses.
    static constexpr size_t kMaxLentImages = 8;

    explicit Module(const ModuleConfig& config);

    int init();
    void getConfig(VelmoraEvkCameraConfig& out);
    int start();
    int stop();
    int capture(VelmoraEvkImage& image, uint32_t timeoutMs);
    int freeImage(const VelmoraEvkImage& image);
    int writeRegister(uint32_t address, uint32_t value);
    // Wakes a capture that is waiting; later calls fail.
    void shutdown();

    // Test access.
    std::vector<std::pair<uint32_t, uint32_t>> registerWrites();
    void scriptTimestamps(const std::vector<uint64_t>& stamps);
    void keepImageCopies(bool keep);
    std::vector<std::vector<uint8_t>> takeImageCopies();
    double modulationHz();
    int lentImages();

private:
    struct Buffer {
        std::vector<uint8_t> bytes;
        uint64_t token = 0;
        bool lent = false;
    };

    double modulationHzLocked() const;
    // VGA sensor: streams the raw size the driver set in the size registers
    // when it is one of the sensor's (geometry and frequency mode).
    void takeConfiguredSize();
    uint64_t framePeriodMs() const;
    // Sleeps until the next frame is due; false when interrupted or timed out (rc set).
    bool waitForFrame(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, int& rc);
    Buffer& freeBuffer();
    void encodeSubFrame(const uint16_t* words, uint64_t sequence, uint8_t* out) const;

    ModuleConfig config;
    size_t pixels;
    const size_t bytesPerSample;

    std::mutex mutex;
    std::condition_variable wake;
    std::unique_ptr<FrameSource> source;
    bool initialised = false;
    bool streaming = false;
    bool closed = false;

    std::map<uint32_t, uint32_t> registers;
    std::vector<std::pair<uint32_t, uint32_t>> writeLog;

    std::vector<uint16_t> frameWords;  // the frame being handed out, all sub-frames
    uint64_t frameIndex = 0;
    int phase = 0;
    uint64_t sequence = 0;   // sub-frames produced or lost since open
    uint64_t clockJumpMs = 0;
    bool paceStarted = false;
    std::chrono::steady_clock::time_point nextFrameDue;

    std::deque<Buffer> buffers;  // deque: lent data must not move
    uint64_t nextToken = 1;

    std::deque<uint64_t> scriptedStamps;
    bool keepCopies = false;
    std::vector<std::vector<uint8_t>> copies;
};

}  // namespace VelmoraSim
