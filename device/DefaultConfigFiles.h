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

// Opens the file `name` of the working directory, which other users may
// share, only as this user's own regular file: never through a symbolic link,
// never a FIFO or a device (no open waits), never a file with a second name or
// another owner (root's excepted). Writing creates a missing file with mode
// 0644; reading goes through the system seam. The descriptor, or -1.
int openWorkingDirectoryFile(const char* name, bool forWriting);

// Creates or truncates the file `name` of the working directory (opened as
// above) and writes `size` bytes; false when it cannot be opened so, or the
// bytes do not all reach it.
bool writeWorkingDirectoryFile(const char* name, const void* bytes, size_t size);

// Writes the three files in that order; stops at the first that cannot be
// written and returns false.
bool writeDefaultConfigFiles();

}  // namespace Velmora
