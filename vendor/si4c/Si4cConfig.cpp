#include "Si4cConfig.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace si4c {

namespace {

constexpr size_t kMaxConfigBytes = 64 * 1024;

struct IntKey {
    const char* name;
    int AlgorithmConfig::*field;
    int minimum;
    int maximum;
};

constexpr IntKey kKeys[] = {
    {"TDenoiseLevel_Depth", &AlgorithmConfig::temporalLevelDepth, 0, 100},
    {"SDenoiseLevel_Depth", &AlgorithmConfig::spatialLevelDepth, 0, 100},
    {"TDenoiseMethod_Depth", &AlgorithmConfig::temporalMethodDepth, 0, 100},
    {"SDenoiseMethod_Depth", &AlgorithmConfig::spatialMethodDepth, 0, 100},
    {"TDenoiseLevel_Gray", &AlgorithmConfig::temporalLevelGray, 0, 100},
    {"SDenoiseLevel_Gray", &AlgorithmConfig::spatialLevelGray, 0, 100},
    {"TDenoiseMethod_Gray", &AlgorithmConfig::temporalMethodGray, 0, 100},
    {"SDenoiseMethod_Gray", &AlgorithmConfig::spatialMethodGray, 0, 100},
    {"ERDOLvl", &AlgorithmConfig::repairLevel, 0, 100},
    {"ValidDistMin", &AlgorithmConfig::validDistMin, 0, 1000000},
    {"ValidDistMax", &AlgorithmConfig::validDistMax, 0, 1000000},
    {"ValidNoiseRatio", &AlgorithmConfig::validNoiseRatio, 0, 1000},
};

// A decimal number (leading zeros do not make it octal) or "0x" and hex
// digits, within [minimum, maximum]; nothing else, not even a sign.
bool parseInt(const std::string& text, int minimum, int maximum, int& out) {
    const bool hex = text.size() > 2 && text.compare(0, 2, "0x") == 0;
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    // Unsigned, so a sign is refused; an overflow is an error, not a wrap.
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (error != std::errc() || end != last) return false;
    if (value > static_cast<unsigned long long>(maximum) || static_cast<long long>(value) < minimum) return false;
    out = static_cast<int>(value);
    return true;
}

void putLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t getLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t getLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

int parseAlgorithmConfig(const std::string& text, AlgorithmConfig& config, const std::string& source,
                         std::vector<std::string>* problems) {
    int applied = 0;
    size_t pos = 0;
    int lineNumber = 0;
    while (pos < text.size()) {
        ++lineNumber;
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '[' || line.compare(0, 2, "//") == 0 || eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        for (const IntKey& k : kKeys) {
            if (key != k.name) continue;
            int parsed = 0;
            if (parseInt(value, k.minimum, k.maximum, parsed)) {
                config.*(k.field) = parsed;
                ++applied;
            } else if (problems) {
                problems->push_back(source + ":" + std::to_string(lineNumber) + ": bad value '" + value +
                                    "' for key '" + key + "' (expected a whole number from " +
                                    std::to_string(k.minimum) + " to " + std::to_string(k.maximum) + ")");
            }
            break;
        }
    }
    return applied;
}

bool loadAlgorithmConfig(const std::string& path, AlgorithmConfig& config) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return false;
    std::string text;
    char buffer[4096];
    size_t got = 0;
    while (text.size() < kMaxConfigBytes && (got = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0)
        text.append(buffer, got);
    if (std::ferror(file.get())) return false;  // e.g. a directory of that name
    config = AlgorithmConfig{};
    std::vector<std::string> problems;
    parseAlgorithmConfig(text, config, path, &problems);
    // The library has no other channel: a value that was not taken is said where it stands.
    for (const std::string& problem : problems) std::fprintf(stderr, "si4c: %s\n", problem.c_str());
    return true;
}

uint32_t crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

Calibration parseCalibration(const void* data, size_t size) {
    Calibration result;
    if (!data || size < kCalibrationHeaderBytes) return result;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const uint16_t length = getLe16(p);
    if (length < kCalibrationHeaderBytes || length > size) return result;
    if (getLe16(p + 2) != kCalibrationVersion) return result;
    if (std::memcmp(p + 4, kCalibrationMagic, sizeof(kCalibrationMagic)) != 0) return result;
    if (getLe32(p + 28) != crc32(p, 28)) return result;
    for (int i = 0; i < kFrequencyCount; ++i) {
        const uint32_t bits = getLe32(p + 8 + 4 * i);
        float offset = 0;
        std::memcpy(&offset, &bits, sizeof(offset));
        if (!std::isfinite(offset)) return Calibration{};
        result.phaseOffset[static_cast<size_t>(i)] = offset;
    }
    result.valid = true;
    return result;
}

std::vector<uint8_t> encodeCalibration(const std::array<float, kFrequencyCount>& offsets, uint16_t length) {
    if (length < kCalibrationHeaderBytes) length = static_cast<uint16_t>(kCalibrationHeaderBytes);
    std::vector<uint8_t> bytes(length, 0);
    putLe16(bytes.data(), length);
    putLe16(bytes.data() + 2, kCalibrationVersion);
    std::memcpy(bytes.data() + 4, kCalibrationMagic, sizeof(kCalibrationMagic));
    for (size_t i = 0; i < offsets.size(); ++i) {
        uint32_t bits = 0;
        std::memcpy(&bits, &offsets[i], sizeof(bits));
        putLe32(bytes.data() + 8 + 4 * i, bits);
    }
    putLe32(bytes.data() + 28, crc32(bytes.data(), 28));
    return bytes;
}

}  // namespace si4c
