#pragma once
// Default configuration of the phase-processing library, written into the
// working directory at every VGA start.

#include <cstddef>
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

// Creates or truncates the regular file `name` of the working directory with
// mode 0644 and writes `size` bytes; false when it is a link, a FIFO or a
// device, cannot be opened, or the bytes do not all reach it.
bool writeWorkingDirectoryFile(const char* name, const void* bytes, size_t size);

// Writes the three files in that order; stops at the first that cannot be
// written and returns false.
bool writeDefaultConfigFiles();

}  // namespace Velmora
