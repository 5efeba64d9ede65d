#pragma once
// Default configuration of the phase-processing library, written into the
// working directory at every VGA start.

#include <string_view>

namespace Velmora {

constexpr const char* kAlgorithmFileName = "ConfigAlgorithm.json";
constexpr const char* kCameraFileName = "ConfigCamera.json";
constexpr const char* kRegisterFileName = "register.json";
constexpr const char* kCalibrationFileName = "cali.bin";
constexpr const char* kCalibrationDumpFileName = "cali.out.bin";

// The three texts, byte for byte (273, 9476 and 946 bytes).
extern const std::string_view defaultAlgorithmConfig;
extern const std::string_view defaultCameraConfig;
extern const std::string_view defaultRegisterConfig;

// Writes the three files in that order; stops at the first that cannot be
// written and returns false.
bool writeDefaultConfigFiles();

}  // namespace Velmora
