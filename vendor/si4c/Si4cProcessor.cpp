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
    try {
        depthPlane.assign(n, 0.0f);
        amplitudePlane.assign(n, 0.0f);
        validPlane.assign(n, 0);
        scratch.assign(n, 0.0f);
        depthHistory.assign(n, 0.0f);
        depthHistoryValid.assign(n, 0);
        amplitudeHistory.assign(n, 0.0f);
        amplitudeHistoryValid.assign(n, 0);
    } catch (...) {
        return false;
    }
    width = w;
    height = h;
    historyMode = -1;
    initialised = true;
    return true;
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
    std::fill(depthHistoryValid.begin(), depthHistoryValid.end(), 0);
    std::fill(amplitudeHistoryValid.begin(), amplitudeHistoryValid.end(), 0);
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

void Processor::measureSingle(const uint16_t* words, const measure::Outputs& out) {
    const size_t imageWords = static_cast<size_t>(width) * static_cast<size_t>(height + 1);
    const uint16_t* planes[5];
    for (int k = 0; k < 5; ++k) planes[k] = words + static_cast<size_t>(k) * imageWords + static_cast<size_t>(width);
    const double offset = cal.valid ? cal.phaseOffset[kSingle] : 0.0;
    measure::Band band{config.validDistMin, config.validDistMax};
    band.minAmplitude = amplitudeFloor(planes, depthPlane.size(), config.validNoiseRatio);
    measure::best().single(planes, depthPlane.size(), offset, band, out);
}

void Processor::measureDouble(const uint16_t* words, const measure::Outputs& out) {
    const size_t imageWords = static_cast<size_t>(width) * static_cast<size_t>(height + 1);
    const uint16_t* high[5];
    const uint16_t* low[5];
    for (int k = 0; k < 5; ++k) {
        high[k] = words + static_cast<size_t>(k) * imageWords + static_cast<size_t>(width);
        low[k] = words + static_cast<size_t>(k + kImagesPerFrequency) * imageWords + static_cast<size_t>(width);
    }
    const double highOffset = cal.valid ? cal.phaseOffset[kHigh] : 0.0;
    const double lowOffset = cal.valid ? cal.phaseOffset[kLow] : 0.0;
    measure::Band band{config.validDistMin, config.validDistMax};
    band.minAmplitude = amplitudeFloor(high, depthPlane.size(), config.validNoiseRatio);
    band.minAmplitudeLow = amplitudeFloor(low, depthPlane.size(), config.validNoiseRatio);
    measure::best().dual(high, low, depthPlane.size(), highOffset, lowOffset, band, out);
}

void Processor::filterSpatial(std::vector<float>& plane, const std::vector<uint8_t>* mask, int level,
                              double absTolerance, double relTolerance) {
    const int r = radiusFor(level);
    const measure::SpatialRowFunction row = measure::best().spatialRow;
    for (int y = 0; y < height; ++y)
        row(plane.data(), mask ? mask->data() : nullptr, width, height, y, r, absTolerance, relTolerance,
            scratch.data() + static_cast<size_t>(y) * static_cast<size_t>(width));
    plane.swap(scratch);
}

void Processor::filterTemporal(std::vector<float>& plane, std::vector<float>& history,
                               std::vector<uint8_t>& historyValid, const std::vector<uint8_t>* mask, int level,
                               double absTolerance, double relTolerance) {
    const double weight = 1.0 / (level + 1);
    const size_t n = plane.size();
    for (size_t i = 0; i < n; ++i) {
        if (mask && !(*mask)[i]) {
            historyValid[i] = 0;
            continue;
        }
        const double value = plane[i];
        const double past = history[i];
        const double tolerance = std::max(absTolerance, relTolerance * std::fabs(past));
        if (historyValid[i] && std::fabs(value - past) <= tolerance) {
            history[i] = static_cast<float>(past + weight * (value - past));
        } else {
            history[i] = static_cast<float>(value);  // first sight or a new surface: start over
            historyValid[i] = 1;
        }
        plane[i] = history[i];
    }
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

    const bool spatialDepth = enabled(config.spatialLevelDepth, config.spatialMethodDepth);
    const bool temporalDepth = enabled(config.temporalLevelDepth, config.temporalMethodDepth);
    const bool spatialGray = enabled(config.spatialLevelGray, config.spatialMethodGray);
    const bool temporalGray = enabled(config.temporalLevelGray, config.temporalMethodGray);
    if (!spatialDepth && !temporalDepth && !spatialGray && !temporalGray) {
        // Nothing to filter: the measurement writes the output planes directly.
        const measure::Outputs out{depth, amplitude, nullptr, confidence};
        if (singleMode)
            measureSingle(words, out);
        else
            measureDouble(words, out);
        return true;
    }

    const measure::Outputs planes{depthPlane.data(), amplitudePlane.data(), validPlane.data(), nullptr};
    if (singleMode)
        measureSingle(words, planes);
    else
        measureDouble(words, planes);

    if (spatialDepth)
        filterSpatial(depthPlane, &validPlane, config.spatialLevelDepth, kDepthToleranceMm, kDepthToleranceRel);
    if (temporalDepth)
        filterTemporal(depthPlane, depthHistory, depthHistoryValid, &validPlane, config.temporalLevelDepth,
                       kDepthToleranceMm, kDepthToleranceRel);
    if (spatialGray)
        filterSpatial(amplitudePlane, nullptr, config.spatialLevelGray, kGrayTolerance, kGrayToleranceRel);
    if (temporalGray)
        filterTemporal(amplitudePlane, amplitudeHistory, amplitudeHistoryValid, nullptr, config.temporalLevelGray,
                       kGrayTolerance, kGrayToleranceRel);

    // Filtering may move a value across the valid band's edge: the output checks again.
    measure::best().publish(depthPlane.data(), amplitudePlane.data(), validPlane.data(), depthPlane.size(),
                            {config.validDistMin, config.validDistMax}, depth, amplitude, confidence);
    return true;
}

}  // namespace si4c
