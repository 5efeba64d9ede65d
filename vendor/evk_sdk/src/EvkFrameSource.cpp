#include "EvkFrameSource.h"

#include <algorithm>

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
        if (scene.settings().noise > 0) {
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
        if (scene.settings().noise > 0) {
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

}  // namespace

std::unique_ptr<FrameSource> makeFrameSource(const ModuleConfig& config) {
    if (config.pictureHeight > 0) return std::make_unique<VgaSource>(config);  // VGA sensor
    return std::make_unique<FourPhaseSource>(config);
}

}  // namespace VelmoraSim
