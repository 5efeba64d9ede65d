#include "Si4cProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Si4cMeasure.h"
#include "Si4cValidity.h"

namespace si4c {

namespace {

// Edge-preserving tolerances of the filters: neighbours or past values further
// away than this belong to another surface and are not averaged in.
constexpr double kDepthToleranceMm = 30.0;
constexpr double kDepthToleranceRel = 0.03;
constexpr double kGrayTolerance = 4.0;
constexpr double kGrayToleranceRel = 0.15;
constexpr int kMaxFilterRadius = 3;
// The measurement runs this many lines at a time ahead of the filters, into
// working planes of kWorkingLines lines that stay in cache.
constexpr int kLinesPerMeasurement = 8;
constexpr int kWorkingLines = 2 * (kLinesPerMeasurement + 2 * kMaxFilterRadius + 1);

bool enabled(int level, int method) { return level > 0 && method != 0; }

int radiusFor(int level) { return std::min((level + 1) / 2, kMaxFilterRadius); }

}  // namespace

bool Processor::init(int w, int h) {
    std::lock_guard<std::mutex> guard(lock);
    initialised = false;
    started = false;
    cal = Calibration{};
    configDirectory.clear();
    if (w < kMetaWords || h < 1 || w > kMaxSide || h > kMaxSide) return false;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    const size_t working = static_cast<size_t>(w) * static_cast<size_t>(std::min(h, kWorkingLines));
    try {
        depthPlane.assign(working, 0.0f);
        amplitudePlane.assign(working, 0.0f);
        validPlane.assign(working, 0);
        depthHistory.assign(n, measure::kNoHistory);
        amplitudeHistory.assign(n, measure::kNoHistory);
    } catch (...) {
        return false;
    }
    width = w;
    height = h;
    historyMode = -1;
    initialised = true;
    return true;
}

void Processor::useVariant(const measure::Variant& variant) {
    std::lock_guard<std::mutex> guard(lock);
    forms = &variant;
}

void Processor::setCalibration(const void* data, size_t size) {
    std::lock_guard<std::mutex> guard(lock);
    cal = parseCalibration(data, size);
}

void Processor::setConfigDirectory(const char* directory) {
    std::lock_guard<std::mutex> guard(lock);
    configDirectory = directory ? directory : "";
}

bool Processor::start() {
    std::lock_guard<std::mutex> guard(lock);
    if (!initialised) return false;
    config = AlgorithmConfig{};
    configFile.clear();
    std::vector<std::string> candidates;
    if (!configDirectory.empty()) {
        std::string path = configDirectory;
        if (path.back() != '/') path += '/';
        candidates.push_back(path + "ConfigAlgorithm.json");
    }
    candidates.emplace_back("ConfigAlgorithm.json");
    for (const std::string& path : candidates) {
        AlgorithmConfig loaded;
        if (loadAlgorithmConfig(path, loaded)) {
            config = loaded;
            configFile = path;
            break;
        }
    }
    resetHistory();
    started = true;
    return true;
}

AlgorithmConfig Processor::algorithmConfig() const {
    std::lock_guard<std::mutex> guard(lock);
    return config;
}

Calibration Processor::calibration() const {
    std::lock_guard<std::mutex> guard(lock);
    return cal;
}

std::string Processor::configSource() const {
    std::lock_guard<std::mutex> guard(lock);
    return configFile;
}

void Processor::resetHistory() {
    std::fill(depthHistory.begin(), depthHistory.end(), measure::kNoHistory);
    std::fill(amplitudeHistory.begin(), amplitudeHistory.end(), measure::kNoHistory);
    historyMode = -1;
}

bool Processor::frameMatchesMode(const uint16_t* words, bool singleMode) const {
    // Frames without metadata are taken as they come; frames with it must be
    // of the mode the processor runs in, so a stale frame is never misread.
    const int count = subImageCount(singleMode);
    const size_t imageWords = static_cast<size_t>(width) * static_cast<size_t>(height + 1);
    if (words[kMetaMarkerWord] != kMetaMarker) return true;
    if (words[kMetaCount] != count) return false;
    for (int image = 0; image < count; ++image) {
        const uint16_t* meta = words + static_cast<size_t>(image) * imageWords;
        if (meta[kMetaMarkerWord] != kMetaMarker) continue;
        if (meta[kMetaIndex] != image || meta[kMetaCount] != count) return false;
    }
    return true;
}

Processor::Measurement Processor::prepareMeasurement(const uint16_t* words, bool singleMode) const {
    const size_t imageWords = static_cast<size_t>(width) * static_cast<size_t>(height + 1);
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    Measurement m;
    m.single = singleMode;
    const auto picture = [&](int image) {
        return words + static_cast<size_t>(image) * imageWords + static_cast<size_t>(width);
    };
    for (int k = 0; k < 5; ++k) {
        m.first[k] = picture(k);
        if (!singleMode) m.second[k] = picture(k + kImagesPerFrequency);
    }
    m.band = measure::Band{config.validDistMin, config.validDistMax};
    m.band.minAmplitude = amplitudeFloor(m.first, n, config.validNoiseRatio);
    if (singleMode) {
        m.firstOffset = cal.valid ? cal.phaseOffset[kSingle] : 0.0;
    } else {
        m.firstOffset = cal.valid ? cal.phaseOffset[kHigh] : 0.0;
        m.secondOffset = cal.valid ? cal.phaseOffset[kLow] : 0.0;
        m.band.minAmplitudeLow = amplitudeFloor(m.second, n, config.validNoiseRatio);
    }
    return m;
}

void Processor::measureLines(const Measurement& m, int firstLine, int endLine, const measure::Outputs& out) const {
    const size_t first = static_cast<size_t>(firstLine) * static_cast<size_t>(width);
    const size_t count = static_cast<size_t>(endLine - firstLine) * static_cast<size_t>(width);
    const uint16_t* a[5];
    const uint16_t* b[5];
    for (int k = 0; k < 5; ++k) {
        a[k] = m.first[k] + first;
        b[k] = m.single ? nullptr : m.second[k] + first;
    }
    if (m.single)
        forms->single(a, count, m.firstOffset, m.band, out);
    else
        forms->dual(a, b, count, m.firstOffset, m.secondOffset, m.band, out);
}

// The configuration's filters as the frame call runs them.
struct Processor::FilterSettings {
    struct Spatial {
        bool on;
        int radius;
    };
    struct Temporal {
        bool on;
        double weight;
    };
    Spatial spatialDepth, spatialGray;
    Temporal temporalDepth, temporalGray;

    explicit FilterSettings(const AlgorithmConfig& c)
        : spatialDepth{enabled(c.spatialLevelDepth, c.spatialMethodDepth), radiusFor(c.spatialLevelDepth)},
          spatialGray{enabled(c.spatialLevelGray, c.spatialMethodGray), radiusFor(c.spatialLevelGray)},
          temporalDepth{enabled(c.temporalLevelDepth, c.temporalMethodDepth), 1.0 / (c.temporalLevelDepth + 1)},
          temporalGray{enabled(c.temporalLevelGray, c.temporalMethodGray), 1.0 / (c.temporalLevelGray + 1)} {}
    bool any() const { return spatialDepth.on || spatialGray.on || temporalDepth.on || temporalGray.on; }
    // Lines below a line that its spatial filters read.
    int reach() const {
        return std::max(spatialDepth.on ? spatialDepth.radius : 0, spatialGray.on ? spatialGray.radius : 0);
    }
};

// Every filter of one line, then its output: each stage reads the line the
// one before wrote into the output planes, so the line is written once and
// read back from cache. The working planes hold the image's lines from
// `firstLine` on.
void Processor::filterLine(const FilterSettings& f, int y, int firstLine, float* depth, float* amplitude,
                           float* confidence) {
    const size_t w = static_cast<size_t>(width);
    const size_t line = static_cast<size_t>(y) * w;
    const auto working = [&](int imageLine) { return static_cast<size_t>(imageLine - firstLine) * w; };
    const uint8_t* valid = validPlane.data() + working(y);
    const float* d = depthPlane.data() + working(y);
    const float* a = amplitudePlane.data() + working(y);
    // A spatial filter sees the lines of its window as a picture of their own:
    // the window of line y, clipped at the picture's top and bottom, is the same.
    const auto spatial = [&](const float* plane, const uint8_t* mask, int radius, double absTolerance,
                             double relTolerance, float* out) {
        const int top = std::max(0, y - radius), end = std::min(height, y + radius + 1);
        forms->spatialRow(plane + working(top), mask ? mask + working(top) : nullptr, width, end - top, y - top,
                          radius, absTolerance, relTolerance, out);
    };
    if (f.spatialDepth.on) {
        spatial(depthPlane.data(), validPlane.data(), f.spatialDepth.radius, kDepthToleranceMm, kDepthToleranceRel, depth + line);
        d = depth + line;
    }
    if (f.temporalDepth.on) {
        forms->temporalRow(d, valid, depthHistory.data() + line, w, f.temporalDepth.weight, kDepthToleranceMm,
                           kDepthToleranceRel, depth + line);
        d = depth + line;
    }
    if (f.spatialGray.on) {
        spatial(amplitudePlane.data(), nullptr, f.spatialGray.radius, kGrayTolerance, kGrayToleranceRel,
                amplitude + line);
        a = amplitude + line;
    }
    if (f.temporalGray.on) {
        forms->temporalRow(a, nullptr, amplitudeHistory.data() + line, w, f.temporalGray.weight, kGrayTolerance,
                           kGrayToleranceRel, amplitude + line);
        a = amplitude + line;
    }
    // Filtering may move a value across the valid band's edge: the output checks again.
    forms->publish(d, a, valid, w, {config.validDistMin, config.validDistMax}, depth + line, amplitude + line,
                   confidence + line);
}

bool Processor::process(const uint8_t* raw, float* depth, float* amplitude, float* confidence) {
    if (!raw || !depth || !amplitude || !confidence) return false;
    if (reinterpret_cast<uintptr_t>(raw) % alignof(uint16_t) != 0) return false;
    std::lock_guard<std::mutex> guard(lock);
    if (!started) return false;
    // One reading per frame: a change from another thread applies to the next one.
    const bool singleMode = singleFrequency();
    const uint16_t* words = reinterpret_cast<const uint16_t*>(raw);
    if (!frameMatchesMode(words, singleMode)) return false;
    if (historyMode != (singleMode ? 1 : 0)) {
        resetHistory();
        historyMode = singleMode ? 1 : 0;
    }

    const Measurement m = prepareMeasurement(words, singleMode);
    const FilterSettings filters(config);
    if (!filters.any()) {
        // Nothing to filter: the measurement writes the output planes directly.
        measureLines(m, 0, height, {depth, amplitude, nullptr, confidence});
        return true;
    }
    // The measurement stays a few lines ahead of the filters, which need the
    // lines of their window below the one they work on. The working planes
    // hold lines [firstLine, measured); when full, the lines still needed
    // move to their start.
    const int reach = filters.reach();
    const int capacity = static_cast<int>(depthPlane.size() / static_cast<size_t>(width));
    const size_t w = static_cast<size_t>(width);
    int firstLine = 0;
    int measured = 0;
    for (int y = 0; y < height; ++y) {
        const int needed = std::min(height, y + reach + 1);
        if (measured < needed) {
            const int end = std::min(height, std::max(needed, measured + kLinesPerMeasurement));
            if (end - firstLine > capacity) {
                const int keep = std::max(0, y - reach);
                const size_t from = static_cast<size_t>(keep - firstLine) * w;
                const size_t count = static_cast<size_t>(measured - keep) * w;
                std::memmove(depthPlane.data(), depthPlane.data() + from, count * sizeof(float));
                std::memmove(amplitudePlane.data(), amplitudePlane.data() + from, count * sizeof(float));
                std::memmove(validPlane.data(), validPlane.data() + from, count);
                firstLine = keep;
            }
            const size_t at = static_cast<size_t>(measured - firstLine) * w;
            measureLines(m, measured, end, {depthPlane.data() + at, amplitudePlane.data() + at, validPlane.data() + at,
                                            nullptr});
            measured = end;
        }
        filterLine(filters, y, firstLine, depth, amplitude, confidence);
    }
    return true;
}

}  // namespace si4c
