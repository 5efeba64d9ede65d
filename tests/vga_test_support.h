#pragma once
// Helpers shared by the VGA tests: a scratch working directory and raw
// frames built straight from the documented layout.

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Si4cLayout.h"
#include "support/Sha256.h"

namespace vgatest {

// A fresh directory that is the working directory for the object's lifetime.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/vga_test_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (!made) std::abort();
        dir = made;
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::current_path(previous, ec);
        std::filesystem::remove_all(dir, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return dir; }

private:
    std::filesystem::path dir;
    std::filesystem::path previous;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The default files a VGA start leaves, byte for byte: SHA-256 digests
// written here once from the texts, so that a change of one digit shows.
inline const std::map<std::string, std::string> kDefaultFileDigests = {
    {"ConfigAlgorithm.json", "488645262355ac97f8073764642adf71d4da81c484c1852268135a6ec04c5988"},
    {"ConfigCamera.json", "583e5c48394bb29987735b0efdc7cdbdc38a8904b95e78cbd9aaeabd5d6f7f14"},
    {"register.json", "ba10ed7104507584f151f7d5be64c4141124f1fb5ec3e26fd18aa699398fbee1"},
};

inline std::string digestOf(const std::filesystem::path& file) { return VelmoraTest::sha256Hex(readFile(file)); }

// The default file `name` as the writer must leave it.
inline bool isDefaultFile(const std::string& name) { return digestOf(name) == kDefaultFileDigests.at(name); }

// All three are there, as the writer must leave them.
inline void expectDefaultFiles() {
    for (const auto& entry : kDefaultFileDigests) EXPECT_TRUE(isDefaultFile(entry.first)) << entry.first;
}

struct PixelTruth {
    double distanceMm;
    double amplitude;  // counts
};

// A frame by the README's formula, without metadata unless asked:
// S_k = 2048 + a cos(phase - k 90deg), grey = 256 + a.
inline std::vector<uint16_t> synthesiseFrame(int width, int height, bool single,
                                             const std::function<PixelTruth(int, int)>& truth,
                                             double phaseOffset = 0, bool metadata = false) {
    constexpr double kPi = 3.14159265358979323846;
    std::vector<uint16_t> frame(si4c::rawWords(single, width, height), 0);
    const size_t imageWords = static_cast<size_t>(width) * static_cast<size_t>(height + 1);
    const int count = si4c::subImageCount(single);
    for (int image = 0; image < count; ++image) {
        const int frequency = single ? si4c::kSingle : (image < 5 ? si4c::kHigh : si4c::kLow);
        const int kind = image % 5;
        uint16_t* meta = frame.data() + static_cast<size_t>(image) * imageWords;
        if (metadata) {
            meta[0] = si4c::kMetaMarker;
            meta[1] = static_cast<uint16_t>(image);
            meta[2] = static_cast<uint16_t>(count);
            meta[3] = static_cast<uint16_t>(frequency);
            meta[4] = static_cast<uint16_t>(kind);
        }
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const PixelTruth t = truth(x, y);
                double value;
                if (kind == 4) {
                    value = 256 + t.amplitude;
                } else {
                    const double turns = t.distanceMm / si4c::rangeOf(frequency) + phaseOffset / (2 * kPi);
                    const double phase = 2 * kPi * (turns - std::floor(turns));
                    value = 2048 + t.amplitude * std::cos(phase - kind * kPi / 2);
                }
                value = std::fmin(std::fmax(std::nearbyint(value), 0.0), 4095.0);
                meta[static_cast<size_t>(width) * static_cast<size_t>(y + 1) + static_cast<size_t>(x)] =
                    static_cast<uint16_t>(value);
            }
        }
    }
    return frame;
}

// An algorithm configuration with every filter off and the given valid band.
inline std::string unfilteredConfig(int validMin = 0, int validMax = 7000) {
    return "[DenoisingParams]\nTDenoiseLevel_Depth=0\nSDenoiseLevel_Depth=0\nTDenoiseLevel_Gray=0\n"
           "SDenoiseLevel_Gray=0\n\n[ConfidenceParams]\nValidDistMin=" +
           std::to_string(validMin) + "\nValidDistMax=" + std::to_string(validMax) + "\n";
}

}  // namespace vgatest
