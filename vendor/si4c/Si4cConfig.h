#pragma once
// Algorithm settings ("ConfigAlgorithm.json") and calibration data ("cali.bin").

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Si4cLayout.h"

namespace si4c {

// Values of the default "ConfigAlgorithm.json"; a level or method of 0 turns a filter off.
struct AlgorithmConfig {
    int temporalLevelDepth = 3;
    int spatialLevelDepth = 3;
    int temporalMethodDepth = 1;
    int spatialMethodDepth = 1;
    int temporalLevelGray = 1;
    int spatialLevelGray = 1;
    int temporalMethodGray = 1;
    int spatialMethodGray = 1;
    int repairLevel = 3;  // read for completeness; no repair stage uses it
    int validDistMin = 0;
    int validDistMax = 7000;
    // A valid pixel's amplitude is at least this many tenths of its sample
    // noise (Si4cValidity.h); not in the default file.
    int validNoiseRatio = 30;
};

// Applies the keys found in a section text to `config`. Unknown keys, lines
// that are not key=value and values that are not whole numbers in range are
// skipped; returns the number of keys applied.
int parseAlgorithmConfig(const std::string& text, AlgorithmConfig& config);

// Reads `path` into `config` (starting from the defaults); false when unreadable.
bool loadAlgorithmConfig(const std::string& path, AlgorithmConfig& config);

// Phase offsets the module adds at each modulation frequency, radians;
// the processor subtracts them.
struct Calibration {
    bool valid = false;
    std::array<float, kFrequencyCount> phaseOffset{};
};

constexpr size_t kCalibrationHeaderBytes = 32;
constexpr char kCalibrationMagic[4] = {'S', 'I', 'C', 'B'};
constexpr uint16_t kCalibrationVersion = 1;

// Decodes calibration data (layout in README.md); bytes after the header are
// ignored. Invalid data (short, length field beyond `size`, wrong version,
// magic or checksum, non-finite offsets) gives an invalid calibration.
Calibration parseCalibration(const void* data, size_t size);

// Calibration data for `offsets` (single, high, low), padded with zeros to
// `length` bytes (at least the 32-byte header), as stored in "cali.bin" or
// in the camera module.
std::vector<uint8_t> encodeCalibration(const std::array<float, kFrequencyCount>& offsets, uint16_t length = 32);

uint32_t crc32(const uint8_t* data, size_t size);

}  // namespace si4c
