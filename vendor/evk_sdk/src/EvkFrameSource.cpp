#include "EvkFrameSource.h"

#include <algorithm>
#include <fstream>

#include "VgaRender.h"

namespace VelmoraSim {

namespace {

// Four phase sub-frames per frame rendered from the scene.
class FourPhaseSource : public FrameSource {
public:
    explicit FourPhaseSource(const ModuleConfig& config) : scene(config.scene, config.width, config.height) {}

    int subFramesPerFrame() const override { return 4; }

    void render(uint64_t frameIndex, double modulationHz, uint16_t* out) override {
        const size_t words = 4 * static_cast<size_t>(scene.width()) * static_cast<size_t>(scene.height());
        // Without noise every frame at one frequency is the same: render it once.
        if (scene.noisy()) {
            renderHqvgaSubframes(scene, modulationHz, frameIndex, out);
            return;
        }
        if (cached.size() != words || cachedHz != modulationHz) {
            cached.resize(words);
            renderHqvgaSubframes(scene, modulationHz, frameIndex, cached.data());
            cachedHz = modulationHz;
        }
        std::copy(cached.begin(), cached.end(), out);
    }

private:
    Scene scene;
    std::vector<uint16_t> cached;
    double cachedHz = 0;
};

// --- VGA sensor ---
// One raw frame per capture in the layout the VGA phase processor reads.
class VgaSource : public FrameSource {
public:
    explicit VgaSource(const ModuleConfig& config)
        : scene(config.scene, config.width, config.pictureHeight),
          settings{!config.doubleFrequency, config.phaseOffset},
          words(vgaFrameWords(config.width, config.pictureHeight, settings.singleFrequency)) {}

    int subFramesPerFrame() const override { return 1; }

    void render(uint64_t frameIndex, double /*modulationHz: fixed by the frequency mode*/, uint16_t* out) override {
        if (scene.noisy()) {
            renderVgaFrame(scene, settings, frameIndex, out);
            return;
        }
        // Without noise only the frame counter of the metadata lines changes.
        if (cached.size() != words) {
            cached.resize(words);
            renderVgaFrame(scene, settings, frameIndex, cached.data());
        }
        std::copy(cached.begin(), cached.end(), out);
        restampVgaFrame(out, scene.width(), scene.height(), settings.singleFrequency, frameIndex);
    }

private:
    Scene scene;
    VgaRenderSettings settings;
    size_t words;
    std::vector<uint16_t> cached;
};
// --- end VGA sensor ---

// --- replay ---
// Plays a recording back: the recorded RAW frames turned back into the
// sensor's sub-frames, with the recorded timestamps and pace.
class ReplaySource : public FrameSource {
public:
    explicit ReplaySource(const ModuleConfig& config)
        : recording(config.replay), file(config.replay.path, std::ios::binary),
          width(static_cast<size_t>(recording.frameWidth)),
          lines(static_cast<size_t>(recording.frameHeight)),
          samples(width * lines) {
        // Timestamps and host times of all frames, for the clock and the pace.
        stamps.resize(recording.frames);
        hostNs.resize(recording.frames);
        for (uint64_t i = 0; i < recording.frames; ++i) {
            uint8_t head[16] = {};
            file.seekg(static_cast<std::streamoff>(recordOffset(i)));
            file.read(reinterpret_cast<char*>(head), sizeof(head));
            stamps[i] = littleEndian64(head);
            hostNs[i] = littleEndian64(head + 8);
        }
        const uint64_t n = recording.frames;
        const uint64_t stampSpan = n > 1 && stamps[n - 1] > stamps[0] ? stamps[n - 1] - stamps[0] : 0;
        stampStep = n > 1 ? std::max<uint64_t>(stampSpan / (n - 1), 1) : 33;
        loopStamps = stampSpan + stampStep;
        const uint64_t hostSpan = n > 1 && hostNs[n - 1] > hostNs[0] ? hostNs[n - 1] - hostNs[0] : 0;
        loopGapMs = n > 1 ? static_cast<double>(hostSpan) / static_cast<double>(n - 1) / 1e6 : 1000.0 / 30.0;
        raw.resize(samples);
    }

    int subFramesPerFrame() const override { return recording.subFrames; }

    void render(uint64_t frameIndex, double /*modulationHz: in the recorded data*/, uint16_t* out) override {
        const uint64_t i = frameIndex % recording.frames;
        file.clear();
        file.seekg(static_cast<std::streamoff>(recordOffset(i) + 16));
        file.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(samples * 2));
        if (!file) std::fill(raw.begin(), raw.end(), 0);  // a file cut short since it was opened
        for (uint16_t& word : raw) word = static_cast<uint16_t>(littleEndian16(reinterpret_cast<uint8_t*>(&word)));
        if (recording.subFrames == 1) {
            // VGA: the sensor's words unchanged.
            std::copy(raw.begin(), raw.end(), out);
            return;
        }
        // HQVGA: RAW line 4r + k is row r of phase k, each sample 16 x the
        // 11-bit two's complement word the sensor delivered.
        const size_t rows = lines / static_cast<size_t>(recording.subFrames);
        const size_t plane = rows * width;
        for (size_t r = 0; r < rows; ++r) {
            for (size_t k = 0; k < static_cast<size_t>(recording.subFrames); ++k) {
                const uint16_t* from = raw.data() + (r * static_cast<size_t>(recording.subFrames) + k) * width;
                uint16_t* to = out + k * plane + r * width;
                for (size_t c = 0; c < width; ++c) to[c] = static_cast<uint16_t>((from[c] >> 4) & 0x7FF);
            }
        }
    }

    bool ownClock() const override { return true; }

    uint64_t timestamp(uint64_t frameIndex, int phase) const override {
        const uint64_t i = frameIndex % recording.frames;
        const uint64_t loops = frameIndex / recording.frames;
        // The frame's timestamp is its last sub-frame's; earlier ones 1 apart.
        const uint64_t last = stamps[i] + loops * loopStamps;
        const uint64_t back = static_cast<uint64_t>(recording.subFrames - 1 - phase);
        return last >= back ? last - back : last;
    }

    double msAfterPrevious(uint64_t frameIndex) const override {
        const uint64_t i = frameIndex % recording.frames;
        if (i == 0) return loopGapMs;
        const uint64_t gap = hostNs[i] > hostNs[i - 1] ? hostNs[i] - hostNs[i - 1] : 0;
        return static_cast<double>(gap) / 1e6;
    }

private:
    static uint64_t littleEndian64(const uint8_t* p) {
        uint64_t v = 0;
        for (int b = 7; b >= 0; --b) v = (v << 8) | p[b];
        return v;
    }
    static uint16_t littleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

    uint64_t recordOffset(uint64_t i) const { return recording.headerSize + i * (16 + 2 * samples); }

    ReplayRecording recording;
    std::ifstream file;
    size_t width;
    size_t lines;
    size_t samples;
    std::vector<uint16_t> raw;
    std::vector<uint64_t> stamps;
    std::vector<uint64_t> hostNs;
    uint64_t stampStep = 1;
    uint64_t loopStamps = 1;
    double loopGapMs = 0;
};
// --- end replay ---

}  // namespace

std::unique_ptr<FrameSource> makeFrameSource(const ModuleConfig& config) {
    if (!config.replay.path.empty()) return std::make_unique<ReplaySource>(config);  // replay
    if (config.pictureHeight > 0) return std::make_unique<VgaSource>(config);  // VGA sensor
    return std::make_unique<FourPhaseSource>(config);
}

}  // namespace VelmoraSim
