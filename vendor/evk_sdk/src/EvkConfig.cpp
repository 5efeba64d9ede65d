#include "EvkConfig.h"

#include <algorithm>
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

bool onOffKey(const std::string& value, bool& field, std::string& expected) {
    if (value != "on" && value != "off") {
        expected = "'on' or 'off'";
        return false;
    }
    field = value == "on";
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
             e = "'constant', 'wall', 'demo' or 'steps'";
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
    {"physics", [](ModuleConfig& c, const std::string& v, std::string& e) { return onOffKey(v, c.scene.physics, e); }},
    {"supersampling",
     [](ModuleConfig& c, const std::string& v, std::string& e) {
         c.physicsKeysGiven = true;
         return intKey(v, 1, 16, c.scene.supersampling, e);
     }},
    {"ambient",
     [](ModuleConfig& c, const std::string& v, std::string& e) {
         c.physicsKeysGiven = true;
         return doubleKey(v, 0, 4095, c.scene.ambientCounts, e);
     }},
    {"shot_noise",
     [](ModuleConfig& c, const std::string& v, std::string& e) {
         c.physicsKeysGiven = true;
         return onOffKey(v, c.scene.shotNoise, e);
     }},
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
    // --- replay ---
    {"replay",
     [](ModuleConfig& c, const std::string& v, std::string& e) {
         if (v.empty()) {
             e = "the path of a recording";
             return false;
         }
         c.replay.path = v;
         return true;
     }},
    {"replay_pace",
     [](ModuleConfig& c, const std::string& v, std::string& e) {
         if (v != "recorded" && v != "unpaced") {
             e = "'recorded' or 'unpaced'";
             return false;
         }
         c.replay.paced = v == "recorded";
         return true;
     }},
    // --- end replay ---
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
    if (config.physicsKeysGiven && !config.scene.physics) {
        error = name + ": keys 'supersampling', 'ambient' and 'shot_noise' need physics=on";
        return false;
    }
    // --- VGA sensor ---
    if (config.vgaKeysGiven && !isVgaGeometry(config.width, config.height)) {
        error = name + ": keys 'frequency' and 'phase_offset' need width/height 640/480 or 320/240";
        return false;
    }
    // --- end VGA sensor ---
    // --- replay ---
    // The recording decides the sensor: its geometry, 12-bit samples, its pace.
    if (!config.replay.path.empty()) {
        std::filesystem::path recording(config.replay.path);
        if (recording.is_relative()) recording = std::filesystem::path(name).parent_path() / recording;
        config.replay.path = recording.string();
        std::string why;
        if (!openReplayRecording(config.replay, why)) {
            error = name + ": replay: " + why;
            return false;
        }
        config.width = config.replay.frameWidth;
        config.height = config.replay.frameHeight / config.replay.subFrames;
        config.bitWidth = 12;
        config.fps = config.replay.paced ? config.replay.nominalFps : 0;
    }
    // --- end replay ---
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

// --- replay ---
namespace {

uint64_t littleEndian(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int b = bytes - 1; b >= 0; --b) v = (v << 8) | p[b];
    return v;
}

}  // namespace

// A replay keeps two 8-byte times of every frame in memory, and one frame of
// samples: bounds far beyond any real recording (a VGA frame has 3.1 M
// samples); velmora_tools reads recordings with the same frame limit.
constexpr uint64_t kMaxReplayFrames = uint64_t{1} << 20;
constexpr uint64_t kMaxReplayFrameSamples = uint64_t{1} << 24;

bool openReplayRecording(ReplayRecording& r, std::string& error) {
    std::ifstream file(r.path, std::ios::binary);
    if (!file) {
        error = r.path + ": cannot open the recording";
        return false;
    }
    unsigned char head[64] = {};
    file.read(reinterpret_cast<char*>(head), sizeof(head));
    if (file.gcount() != static_cast<std::streamsize>(sizeof(head)) || std::string(head, head + 8) != "VELMOREC") {
        error = r.path + ": not a recording";
        return false;
    }
    const uint64_t version = littleEndian(head + 8, 4);
    if (version != 1) {
        error = r.path + ": recording format version " + std::to_string(version) + ", this module reads 1";
        return false;
    }
    r.headerSize = littleEndian(head + 12, 4);
    const uint64_t width = littleEndian(head + 16, 4);
    const uint64_t height = littleEndian(head + 20, 4);
    const uint64_t deviceType = littleEndian(head + 24, 4);
    const uint64_t subFrames = littleEndian(head + 28, 4);
    const uint64_t jsonLength = littleEndian(head + 44, 4);
    const uint64_t count = littleEndian(head + 48, 8);
    // HQVGA frames hold four interleaved phase planes, VGA frames one raw frame.
    const bool shapeOk = (subFrames == 4 && deviceType == 1) || (subFrames == 1 && deviceType == 0);
    if (!shapeOk || width == 0 || width > 4096 || height == 0 || height > 65536 || height % subFrames != 0 ||
        width * height > kMaxReplayFrameSamples || r.headerSize < 64 + jsonLength) {
        error = r.path + ": frame geometry " + std::to_string(width) + "x" + std::to_string(height) + " with " +
                std::to_string(subFrames) + " sub-frames cannot be replayed";
        return false;
    }
    r.subFrames = static_cast<int>(subFrames);
    r.frameWidth = static_cast<int>(width);
    r.frameHeight = static_cast<int>(height);

    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(r.path, ec);
    const uint64_t recordSize = 16 + 2 * width * height;
    const uint64_t complete = !ec && size > r.headerSize ? (size - r.headerSize) / recordSize : 0;
    // A recording that was never closed keeps its complete frames.
    r.frames = count == ~uint64_t{0} ? complete : std::min(count, complete);
    if (r.frames == 0) {
        error = r.path + ": holds no complete frame";
        return false;
    }
    if (r.frames > kMaxReplayFrames) {
        error = r.path + ": holds " + std::to_string(r.frames) + " frames, more than the " +
                std::to_string(kMaxReplayFrames) + " a recording may have";
        return false;
    }

    // The recorded rate, from the host clock of the first and the last frame.
    r.nominalFps = 30;
    if (r.frames > 1) {
        unsigned char first[16] = {}, last[16] = {};
        file.seekg(static_cast<std::streamoff>(r.headerSize));
        file.read(reinterpret_cast<char*>(first), sizeof(first));
        file.seekg(static_cast<std::streamoff>(r.headerSize + (r.frames - 1) * recordSize));
        file.read(reinterpret_cast<char*>(last), sizeof(last));
        const uint64_t t0 = littleEndian(first + 8, 8), t1 = littleEndian(last + 8, 8);
        if (file && t1 > t0) {
            const double fps = static_cast<double>(r.frames - 1) * 1e9 / static_cast<double>(t1 - t0);
            r.nominalFps = static_cast<int>(std::clamp(std::lround(fps), 1L, 1000L));
        }
    }
    return true;
}
// --- end replay ---

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
