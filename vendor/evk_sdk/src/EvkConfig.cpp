#include "EvkConfig.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace VelmoraSim {

namespace {

// One configuration key: applies `value` to the config, or returns false and
// describes what it expected.
struct ConfigKey {
    const char* name;
    bool (*apply)(ModuleConfig& config, const std::string& value, std::string& expected);
};

bool parseInt(const std::string& text, long long low, long long high, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < low || v > high) return false;
    out = v;
    return true;
}

bool parseDouble(const std::string& text, double low, double high, double& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(v) || v < low || v > high) return false;
    out = v;
    return true;
}

template <typename T>
bool intKey(const std::string& value, long long low, long long high, T& field, std::string& expected) {
    long long v = 0;
    if (!parseInt(value, low, high, v)) {
        expected = "an integer from " + std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    field = static_cast<T>(v);
    return true;
}

bool doubleKey(const std::string& value, double low, double high, double& field, std::string& expected) {
    if (!parseDouble(value, low, high, field)) {
        std::ostringstream s;
        s << "a number from " << low << " to " << high;
        expected = s.str();
        return false;
    }
    return true;
}

constexpr long long kMaxSide = 4096;
constexpr long long kMaxEvery = std::numeric_limits<uint32_t>::max();

const ConfigKey kKeys[] = {
    {"width", [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 1, kMaxSide, c.width, e); }},
    {"height", [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 1, kMaxSide, c.height, e); }},
    {"bit_width", [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 8, 16, c.bitWidth, e); }},
    {"fps", [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 0, 1000, c.fps, e); }},
    {"scene",
     [](ModuleConfig& c, const std::string& v, std::string& e) {
         if (!isKnownSceneKind(v)) {
             e = "'constant' or 'demo'";
             return false;
         }
         c.scene.kind = v;
         return true;
     }},
    {"distance_mm",
     [](ModuleConfig& c, const std::string& v, std::string& e) { return doubleKey(v, 0, 100000, c.scene.distanceMm, e); }},
    {"reflectivity",
     [](ModuleConfig& c, const std::string& v, std::string& e) { return doubleKey(v, 0, 1, c.scene.reflectivity, e); }},
    {"noise", [](ModuleConfig& c, const std::string& v, std::string& e) { return doubleKey(v, 0, 1000, c.scene.noise, e); }},
    {"seed", [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 0, kMaxEvery, c.scene.seed, e); }},
    {"fail_capture_every",
     [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 0, kMaxEvery, c.failCaptureEvery, e); }},
    {"wrong_size_every",
     [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 0, kMaxEvery, c.wrongSizeEvery, e); }},
    {"timestamp_gap_every",
     [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 0, kMaxEvery, c.timestampGapEvery, e); }},
    {"timestamp_gap_ms",
     [](ModuleConfig& c, const std::string& v, std::string& e) { return intKey(v, 0, 1000000, c.timestampGapMs, e); }},
    // Keys of further sensor models (geometry presets, frequency mode, phase
    // offset) and of replay go here.
    // --- VGA sensor ---
    {"frequency",
     [](ModuleConfig& c, const std::string& v, std::string& e) {
         if (v != "single" && v != "double") {
             e = "'single' or 'double'";
             return false;
         }
         c.doubleFrequency = v == "double";
         c.vgaKeysGiven = true;
         return true;
     }},
    {"phase_offset",
     [](ModuleConfig& c, const std::string& v, std::string& e) {
         c.vgaKeysGiven = true;
         return doubleKey(v, -100, 100, c.phaseOffset, e);
     }},
    // --- end VGA sensor ---
};

std::string trim(const std::string& s) {
    const char* ws = " \t\r\n\f\v";
    const size_t first = s.find_first_not_of(ws);
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

}  // namespace

bool parseConfigText(const std::string& name, const std::string& text, ModuleConfig& config, std::string& error) {
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trim(line);
        if (line.empty()) continue;
        const std::string where = name + ":" + std::to_string(lineNo) + ": ";
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = where + "expected key=value, got '" + line + "'";
            return false;
        }
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        const ConfigKey* found = nullptr;
        for (const ConfigKey& k : kKeys)
            if (key == k.name) found = &k;
        if (!found) {
            error = where + "unknown key '" + key + "'";
            return false;
        }
        std::string expected;
        if (!found->apply(config, value, expected)) {
            error = where + "bad value '" + value + "' for key '" + key + "' (expected " + expected + ")";
            return false;
        }
    }
    // --- VGA sensor ---
    if (config.vgaKeysGiven && !isVgaGeometry(config.width, config.height)) {
        error = name + ": keys 'frequency' and 'phase_offset' need width/height 640/480 or 320/240";
        return false;
    }
    // --- end VGA sensor ---
    return true;
}

bool parseConfigFile(const std::string& path, ModuleConfig& config, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = path + ": is a directory, not a configuration file";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot open configuration file";
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) {
        error = path + ": cannot read configuration file";
        return false;
    }
    return parseConfigText(path, contents.str(), config, error);
}

// --- VGA sensor ---
bool isVgaGeometry(int width, int height) {
    return (width == 640 && height == 480) || (width == 320 && height == 240);
}

ModuleConfig sensorGeometry(const ModuleConfig& config) {
    ModuleConfig sensor = config;
    if (config.pictureHeight == 0 && isVgaGeometry(config.width, config.height)) {
        sensor.pictureHeight = config.height;
        sensor.height = (config.doubleFrequency ? 10 : 5) * (config.height + 1);
    }
    return sensor;
}
// --- end VGA sensor ---

}  // namespace VelmoraSim
