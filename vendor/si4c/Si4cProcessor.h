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

    // The measurement and filter forms to run: by default the fastest this CPU
    // has (measure::best()); tests and benchmarks pick others.
    void useVariant(const measure::Variant& variant);

    AlgorithmConfig algorithmConfig() const;
    Calibration calibration() const;
    // File the configuration came from at the last start; empty: built-in defaults.
    std::string configSource() const;

private:
    // One frame's measurement: the planes of the raw frame and what a valid pixel must meet.
    struct Measurement {
        bool single = true;
        const uint16_t* first[5] = {};   // the single or higher frequency
        const uint16_t* second[5] = {};  // the lower frequency
        double firstOffset = 0;
        double secondOffset = 0;
        measure::Band band{0, 0};
    };
    struct FilterSettings;

    bool frameMatchesMode(const uint16_t* words, bool singleMode) const;
    Measurement prepareMeasurement(const uint16_t* words, bool singleMode) const;
    // Measures lines [firstLine, endLine) of the picture into `out` (which points at the first).
    void measureLines(const Measurement& m, int firstLine, int endLine, const measure::Outputs& out) const;
    void filterLine(const FilterSettings& filters, int y, int firstLine, float* depth, float* amplitude,
                    float* confidence);
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
    const measure::Variant* forms = &measure::best();

    // Sized at init: a frame allocates nothing. Working planes of a few lines:
    // the measurement runs a little ahead of the filters, which read them back
    // from cache.
    std::vector<float> depthPlane;
    std::vector<float> amplitudePlane;
    std::vector<uint8_t> validPlane;
    // The temporal filter's past values; measure::kNoHistory where there is none.
    std::vector<float> depthHistory;
    std::vector<float> amplitudeHistory;
};

}  // namespace si4c
