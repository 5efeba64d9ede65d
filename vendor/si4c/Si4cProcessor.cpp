#include "Si4cProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace si4c {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Edge-preserving tolerances of the filters: neighbours or past values further
// away than this belong to another surface and are not averaged in.
constexpr double kDepthToleranceMm = 30.0;
constexpr double kDepthToleranceRel = 0.03;
constexpr double kGrayTolerance = 4.0;
constexpr double kGrayToleranceRel = 0.15;
constexpr int kMaxFilterRadius = 3;

struct Measurement {
    double phase;
    double amplitude;
    bool saturated;
};

inline Measurement measurePixel(const uint16_t* const planes[5], size_t i, double offset) {
    double s[4];
    bool saturated = false;
    for (int k = 0; k < 4; ++k) {
        s[k] = static_cast<double>(planes[k][i] & kSampleMask);
        if (s[k] <= 0.0 || s[k] >= kSampleMax) saturated = true;
    }
    if (static_cast<double>(planes[kGreyImage][i] & kSampleMask) >= kSampleMax) saturated = true;
    const double in = s[0] - s[2];
    const double quad = s[1] - s[3];
    double phase = std::atan2(quad, in);
    if (phase < 0) phase += 2 * kPi;
    phase -= offset;
    phase = std::fmod(phase, 2 * kPi);
    if (phase < 0) phase += 2 * kPi;
    return {phase, std::sqrt(in * in + quad * quad) / 2, saturated};
}

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

void Processor::measureSingle(const uint16_t* words) {
    const size_t imageWords = static_cast<size_t>(width) * static_cast<size_t>(height + 1);
    const uint16_t* planes[5];
    for (int k = 0; k < 5; ++k) planes[k] = words + static_cast<size_t>(k) * imageWords + static_cast<size_t>(width);
    const double offset = cal.valid ? cal.phaseOffset[kSingle] : 0.0;
    const size_t n = depthPlane.size();
    for (size_t i = 0; i < n; ++i) {
        const Measurement m = measurePixel(planes, i, offset);
        const double d = m.phase / (2 * kPi) * kSingleRangeMm;
        const bool ok = !m.saturated && m.amplitude >= kMinAmplitude && d >= config.validDistMin &&
                        d <= config.validDistMax;
        depthPlane[i] = static_cast<float>(d);
        amplitudePlane[i] = static_cast<float>(m.amplitude);
        validPlane[i] = ok ? 1 : 0;
    }
}

void Processor::measureDouble(const uint16_t* words) {
    const size_t imageWords = static_cast<size_t>(width) * static_cast<size_t>(height + 1);
    const uint16_t* high[5];
    const uint16_t* low[5];
    for (int k = 0; k < 5; ++k) {
        high[k] = words + static_cast<size_t>(k) * imageWords + static_cast<size_t>(width);
        low[k] = words + static_cast<size_t>(k + kImagesPerFrequency) * imageWords + static_cast<size_t>(width);
    }
    const double highOffset = cal.valid ? cal.phaseOffset[kHigh] : 0.0;
    const double lowOffset = cal.valid ? cal.phaseOffset[kLow] : 0.0;
    const double wHigh = 1.0 / (kHighRangeMm * kHighRangeMm);
    const double wLow = 1.0 / (kLowRangeMm * kLowRangeMm);
    const size_t n = depthPlane.size();
    for (size_t i = 0; i < n; ++i) {
        const Measurement mh = measurePixel(high, i, highOffset);
        const Measurement ml = measurePixel(low, i, lowOffset);
        const double dHigh = mh.phase / (2 * kPi) * kHighRangeMm;
        const double dLow = ml.phase / (2 * kPi) * kLowRangeMm;
        double bestDiff = 0;
        double bestHigh = 0;
        bool first = true;
        for (int nHigh = 0; nHigh < 3; ++nHigh) {
            for (int nLow = 0; nLow < 2; ++nLow) {
                const double candidate = dHigh + nHigh * kHighRangeMm;
                double diff = candidate - (dLow + nLow * kLowRangeMm);
                if (diff >= kDoubleRangeMm / 2) diff -= kDoubleRangeMm;
                if (diff < -kDoubleRangeMm / 2) diff += kDoubleRangeMm;
                if (first || std::fabs(diff) < std::fabs(bestDiff)) {
                    bestDiff = diff;
                    bestHigh = candidate;
                    first = false;
                }
            }
        }
        double d = bestHigh - bestDiff * wLow / (wHigh + wLow);
        if (d < 0) d += kDoubleRangeMm;
        if (d >= kDoubleRangeMm) d -= kDoubleRangeMm;
        const double a = (mh.amplitude + ml.amplitude) / 2;
        const bool ok = !mh.saturated && !ml.saturated && mh.amplitude >= kMinAmplitude &&
                        ml.amplitude >= kMinAmplitude && std::fabs(bestDiff) <= kMaxUnwrapErrorMm &&
                        d >= config.validDistMin && d <= config.validDistMax;
        depthPlane[i] = static_cast<float>(d);
        amplitudePlane[i] = static_cast<float>(a);
        validPlane[i] = ok ? 1 : 0;
    }
}

void Processor::filterSpatial(std::vector<float>& plane, const std::vector<uint8_t>* mask, int level,
                              double absTolerance, double relTolerance) {
    const int r = radiusFor(level);
    for (int y = 0; y < height; ++y) {
        const int y0 = std::max(0, y - r), y1 = std::min(height - 1, y + r);
        for (int x = 0; x < width; ++x) {
            const size_t c = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
            const double centre = plane[c];
            if (mask && !(*mask)[c]) {
                scratch[c] = plane[c];
                continue;
            }
            const double tolerance = std::max(absTolerance, relTolerance * std::fabs(centre));
            const int x0 = std::max(0, x - r), x1 = std::min(width - 1, x + r);
            double sum = 0;
            int count = 0;
            for (int yy = y0; yy <= y1; ++yy) {
                const size_t row = static_cast<size_t>(yy) * static_cast<size_t>(width);
                for (int xx = x0; xx <= x1; ++xx) {
                    const size_t j = row + static_cast<size_t>(xx);
                    if (mask && !(*mask)[j]) continue;
                    if (std::fabs(plane[j] - centre) > tolerance) continue;
                    sum += plane[j];
                    ++count;
                }
            }
            scratch[c] = static_cast<float>(sum / count);  // count >= 1: the centre itself
        }
    }
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

    if (singleMode)
        measureSingle(words);
    else
        measureDouble(words);

    if (enabled(config.spatialLevelDepth, config.spatialMethodDepth))
        filterSpatial(depthPlane, &validPlane, config.spatialLevelDepth, kDepthToleranceMm, kDepthToleranceRel);
    if (enabled(config.temporalLevelDepth, config.temporalMethodDepth))
        filterTemporal(depthPlane, depthHistory, depthHistoryValid, &validPlane, config.temporalLevelDepth,
                       kDepthToleranceMm, kDepthToleranceRel);
    if (enabled(config.spatialLevelGray, config.spatialMethodGray))
        filterSpatial(amplitudePlane, nullptr, config.spatialLevelGray, kGrayTolerance, kGrayToleranceRel);
    if (enabled(config.temporalLevelGray, config.temporalMethodGray))
        filterTemporal(amplitudePlane, amplitudeHistory, amplitudeHistoryValid, nullptr, config.temporalLevelGray,
                       kGrayTolerance, kGrayToleranceRel);

    const size_t n = depthPlane.size();
    for (size_t i = 0; i < n; ++i) {
        // Filtering may move a value across the valid band's edge: check again.
        const bool ok = validPlane[i] && depthPlane[i] >= config.validDistMin && depthPlane[i] <= config.validDistMax;
        depth[i] = ok ? depthPlane[i] : 0.0f;
        amplitude[i] = amplitudePlane[i];
        confidence[i] = ok ? amplitudePlane[i] : 0.0f;
    }
    return true;
}

}  // namespace si4c
