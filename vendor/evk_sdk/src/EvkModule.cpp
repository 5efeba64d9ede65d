#include "EvkModule.h"

#include <algorithm>
#include <cstring>

namespace VelmoraSim {

namespace {

// Range registers and the value each holds for 75 MHz; anything else is 37.5 MHz.
struct FrequencyRegister {
    uint32_t address;
    uint32_t nearValue;
    uint32_t farValue;
};
constexpr FrequencyRegister kFrequencyRegisters[] = {
    {0x216c, 0x08, 0x10},
    {0x2179, 0x0a, 0x0e},
    {0x217a, 0x0e, 0x16},
    {0x217b, 0x12, 0x1e},
};

// Raw frame size the driver asks for: 16-bit values, high byte first.
constexpr uint32_t kWidthRegisters[] = {0x2200, 0x2201};
constexpr uint32_t kLinesRegisters[] = {0x2202, 0x2203};

}  // namespace

Module::Module(const ModuleConfig& cfg)
    : config(sensorGeometry(cfg)),  // VGA sensor: delivers raw lines, not picture lines
      pixels(static_cast<size_t>(config.width) * static_cast<size_t>(config.height)),
      bytesPerSample(cfg.bitWidth > 8 ? 2 : 1) {
    // Power-on state: the 37.5 MHz table.
    for (const FrequencyRegister& r : kFrequencyRegisters) registers[r.address] = r.farValue;
}

int Module::init() {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) return VELMORA_EVK_ERR_STATE;
    if (!source) {
        source = makeFrameSource(config);
        frameWords.assign(pixels * static_cast<size_t>(source->subFramesPerFrame()), 0);
    }
    initialised = true;
    return VELMORA_EVK_OK;
}

void Module::getConfig(VelmoraEvkCameraConfig& out) {
    std::lock_guard<std::mutex> lock(mutex);
    std::memset(&out, 0, sizeof(out));
    out.width = static_cast<uint32_t>(config.width);
    out.height = static_cast<uint32_t>(config.height);
    out.bit_width = static_cast<uint8_t>(config.bitWidth);
    out.fps = static_cast<uint32_t>(config.fps);
}

int Module::start() {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed || !initialised) return VELMORA_EVK_ERR_STATE;
    if (streaming) return VELMORA_EVK_OK;
    takeConfiguredSize();
    // A stream always begins with the first sub-frame of a fresh frame.
    if (phase != 0) {
        phase = 0;
        ++frameIndex;
    }
    streaming = true;
    paceStarted = false;
    return VELMORA_EVK_OK;
}

int Module::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed) return VELMORA_EVK_ERR_STATE;
        streaming = false;
    }
    wake.notify_all();
    return VELMORA_EVK_OK;
}

void Module::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        streaming = false;
    }
    wake.notify_all();
}

void Module::takeConfiguredSize() {
    // Replays and the four-phase sensor keep their geometry.
    if (config.pictureHeight == 0 || !config.replay.path.empty()) return;
    // A size never written is the one streamed now.
    const auto value = [this](const uint32_t (&pair)[2], int current) {
        const auto high = registers.find(pair[0]);
        const auto low = registers.find(pair[1]);
        return high == registers.end() || low == registers.end() ? current : int(high->second << 8 | low->second);
    };
    const int width = value(kWidthRegisters, config.width);
    const int lines = value(kLinesRegisters, config.height);
    for (const int height : {480, 240}) {
        for (const bool twice : {false, true}) {
            if (!isVgaGeometry(width, height) || lines != (twice ? 10 : 5) * (height + 1)) continue;
            if (width == config.width && lines == config.height) return;
            config.width = width;
            config.height = lines;
            config.pictureHeight = height;
            config.doubleFrequency = twice;
            pixels = static_cast<size_t>(width) * static_cast<size_t>(lines);
            source = makeFrameSource(config);
            frameWords.assign(pixels * static_cast<size_t>(source->subFramesPerFrame()), 0);
            return;
        }
    }
}

double Module::modulationHzLocked() const {
    for (const FrequencyRegister& r : kFrequencyRegisters) {
        const auto it = registers.find(r.address);
        if (it == registers.end() || it->second != r.nearValue) return kFarModulationHz;
    }
    return kNearModulationHz;
}

uint64_t Module::framePeriodMs() const {
    if (config.fps <= 0) return kMinFramePeriodMs;
    const uint64_t period = static_cast<uint64_t>((1000 + config.fps / 2) / config.fps);
    return std::max(period, kMinFramePeriodMs);
}

bool Module::waitForFrame(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, int& rc) {
    using clock = std::chrono::steady_clock;
    auto period = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(1.0 / config.fps));
    // Replay keeps the recorded gap to the next frame. Recorded times may lie
    // 2^64 ns apart: a gap beyond the clock's range is due never, not at once.
    if (source->ownClock()) {
        const double ms = source->msAfterPrevious(frameIndex + 1);
        const auto never = clock::duration::max() / 2;
        period = ms < std::chrono::duration<double, std::milli>(never).count()
                     ? std::chrono::duration_cast<clock::duration>(
                           std::chrono::duration<double, std::milli>(std::max(ms, 0.0)))
                     : never;
    }
    const auto now = clock::now();
    if (!paceStarted) {
        nextFrameDue = now;
        paceStarted = true;
    }
    const auto due = nextFrameDue;
    const auto deadline = now + std::chrono::milliseconds(timeoutMs);
    const bool late = due > deadline;
    const bool interrupted =
        wake.wait_until(lock, late ? deadline : due, [this] { return !streaming || closed; });
    if (interrupted) {
        rc = VELMORA_EVK_ERR_STATE;
        return false;
    }
    if (late) {
        rc = VELMORA_EVK_ERR_TIMEOUT;
        return false;
    }
    // A caller slower than the frame rate gets frames at its own pace, not a burst.
    nextFrameDue = std::max(period > clock::time_point::max() - due ? clock::time_point::max() : due + period,
                            clock::now());
    return true;
}

Module::Buffer& Module::freeBuffer() {
    for (Buffer& b : buffers)
        if (!b.lent) return b;
    buffers.emplace_back();
    return buffers.back();
}

void Module::encodeSubFrame(const uint16_t* words, uint64_t seq, uint8_t* out) const {
    const int bits = config.bitWidth;
    if (bytesPerSample == 1) {
        for (size_t j = 0; j < pixels; ++j) out[j] = static_cast<uint8_t>(words[j] >> (12 - bits));
        return;
    }
    // Wider sensors carry detail below the 12-bit scale; the driver drops it.
    const uint32_t extra = bits > 12 ? static_cast<uint32_t>(bits - 12) : 0;
    const uint32_t detailMask = (1u << extra) - 1u;
    for (size_t j = 0; j < pixels; ++j) {
        uint32_t v;
        if (bits >= 12) {
            v = (static_cast<uint32_t>(words[j]) << extra) | (static_cast<uint32_t>(j * 7 + seq) & detailMask);
        } else {
            v = static_cast<uint32_t>(words[j]) >> (12 - bits);
        }
        out[2 * j] = static_cast<uint8_t>(v & 0xFF);
        out[2 * j + 1] = static_cast<uint8_t>(v >> 8);
    }
}

int Module::capture(VelmoraEvkImage& image, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    if (closed || !initialised || !streaming) return VELMORA_EVK_ERR_STATE;
    const size_t lent = static_cast<size_t>(std::count_if(buffers.begin(), buffers.end(), [](const Buffer& b) { return b.lent; }));
    if (lent >= kMaxLentImages) return VELMORA_EVK_ERR_RESOURCE;

    if (phase == 0) {
        int rc = VELMORA_EVK_OK;
        if (config.fps > 0 && !waitForFrame(lock, timeoutMs, rc)) return rc;
        // The frequency is latched per frame, as the sensor does on a frame start.
        source->render(frameIndex, modulationHzLocked(), frameWords.data());
    }

    const uint64_t seq = ++sequence;
    if (config.timestampGapEvery && seq % config.timestampGapEvery == 0) clockJumpMs += config.timestampGapMs;
    uint64_t stamp = (frameIndex + 1) * framePeriodMs() + static_cast<uint64_t>(phase) + clockJumpMs;
    if (source->ownClock()) stamp = source->timestamp(frameIndex, phase) + clockJumpMs;  // replay
    if (!scriptedStamps.empty()) {
        stamp = scriptedStamps.front();
        scriptedStamps.pop_front();
    }
    const int thisPhase = phase;
    if (++phase == source->subFramesPerFrame()) {
        phase = 0;
        ++frameIndex;
    }
    // A lost sub-frame is gone: the sensor moves on to the next phase.
    if (config.failCaptureEvery && seq % config.failCaptureEvery == 0) return VELMORA_EVK_ERR_CAPTURE;

    Buffer& buffer = freeBuffer();
    const size_t bytes = pixels * bytesPerSample;
    buffer.bytes.resize(bytes);
    encodeSubFrame(frameWords.data() + pixels * static_cast<size_t>(thisPhase), seq, buffer.bytes.data());
    buffer.lent = true;
    buffer.token = nextToken++;

    size_t reported = bytes;
    if (config.wrongSizeEvery && seq % config.wrongSizeEvery == 0)
        reported -= std::min(reported, static_cast<size_t>(config.width) * bytesPerSample);

    std::memset(&image, 0, sizeof(image));
    image.sequence = static_cast<uint32_t>(seq);
    image.phase = static_cast<uint32_t>(thisPhase);
    image.timestamp = stamp;
    image.width = static_cast<uint32_t>(config.width);
    image.height = static_cast<uint32_t>(config.height);
    image.size = static_cast<uint32_t>(reported);
    image.bit_width = static_cast<uint8_t>(config.bitWidth);
    image.data = buffer.bytes.data();
    image.token = buffer.token;
    if (keepCopies) copies.push_back(buffer.bytes);
    return VELMORA_EVK_OK;
}

int Module::freeImage(const VelmoraEvkImage& image) {
    std::lock_guard<std::mutex> lock(mutex);
    for (Buffer& b : buffers) {
        if (b.lent && b.token == image.token && b.bytes.data() == image.data) {
            b.lent = false;
            return VELMORA_EVK_OK;
        }
    }
    return VELMORA_EVK_ERR_PARAM;
}

int Module::writeRegister(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) return VELMORA_EVK_ERR_STATE;
    if (address > 0xFFFF || value > 0xFF) return VELMORA_EVK_ERR_PARAM;  // 16-bit addresses, 8-bit registers
    registers[address] = value;
    writeLog.emplace_back(address, value);
    return VELMORA_EVK_OK;
}

std::vector<std::pair<uint32_t, uint32_t>> Module::registerWrites() {
    std::lock_guard<std::mutex> lock(mutex);
    return writeLog;
}

void Module::scriptTimestamps(const std::vector<uint64_t>& stamps) {
    std::lock_guard<std::mutex> lock(mutex);
    scriptedStamps.assign(stamps.begin(), stamps.end());
}

void Module::keepImageCopies(bool keep) {
    std::lock_guard<std::mutex> lock(mutex);
    keepCopies = keep;
    if (!keep) copies.clear();
}

std::vector<std::vector<uint8_t>> Module::takeImageCopies() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::vector<uint8_t>> out;
    out.swap(copies);
    return out;
}

double Module::modulationHz() {
    std::lock_guard<std::mutex> lock(mutex);
    return modulationHzLocked();
}

int Module::lentImages() {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count_if(buffers.begin(), buffers.end(), [](const Buffer& b) { return b.lent; }));
}

}  // namespace VelmoraSim
