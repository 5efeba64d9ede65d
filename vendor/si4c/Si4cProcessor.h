#pragma once
// The phase processor behind the C interface: one instance per handle.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Si4cConfig.h"
#include "Si4cMeasure.h"

namespace si4c {

class Processor {
public:
    static constexpr int kMaxSide = 4096;

    // Sizes the working planes; forgets calibration, directory and history.
    bool init(int width, int height);
    void setCalibration(const void* data, size_t size);
    void setConfigDirectory(const char* directory);
    // Reads "ConfigAlgorithm.json" and accepts frames; false before a successful init.
    bool start();
    bool process(const uint8_t* raw, float* depth, float* amplitude, float* confidence);

    bool singleFrequency() const { return single.load(std::memory_order_acquire); }
    void setSingleFrequency(bool value) { single.store(value, std::memory_order_release); }

    AlgorithmConfig algorithmConfig() const;
    Calibration calibration() const;
    // File the configuration came from at the last start; empty: built-in defaults.
    std::string configSource() const;

private:
    bool frameMatchesMode(const uint16_t* words, bool singleMode) const;
    void measureSingle(const uint16_t* words, const measure::Outputs& out);
    void measureDouble(const uint16_t* words, const measure::Outputs& out);
    void filterSpatial(std::vector<float>& plane, const std::vector<uint8_t>* mask, int level, double absTolerance,
                       double relTolerance);
    void filterTemporal(std::vector<float>& plane, std::vector<float>& history, std::vector<uint8_t>& historyValid,
                        const std::vector<uint8_t>* mask, int level, double absTolerance, double relTolerance);
    void resetHistory();

    mutable std::mutex lock;
    std::atomic<bool> single{true};
    int width = 0;
    int height = 0;
    bool initialised = false;
    bool started = false;
    int historyMode = -1;  // frequency mode the temporal history belongs to
    Calibration cal;
    std::string configDirectory;
    std::string configFile;
    AlgorithmConfig config;

    std::vector<float> depthPlane;
    std::vector<float> amplitudePlane;
    std::vector<uint8_t> validPlane;
    std::vector<float> scratch;
    std::vector<float> depthHistory;
    std::vector<uint8_t> depthHistoryValid;
    std::vector<float> amplitudeHistory;
    std::vector<uint8_t> amplitudeHistoryValid;
};

}  // namespace si4c
