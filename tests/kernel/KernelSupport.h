#pragma once
// What the checks inside the test machine share: the virtual camera module's
// cameras as sysfs shows them, the seam overrides a check needs (each one
// reported), and leak accounting of the process.

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "SystemAccess.h"

namespace KernelCheck {

inline std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

inline bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out.flush());
}

// Entries in the order the kernel yields them.
inline std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(dir);
    }
    return names;
}

inline int openDescriptors() { return static_cast<int>(listDir("/proc/self/fd").size()); }

inline int videoMappings() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int count = 0;
    while (std::getline(maps, line))
        if (line.find("/dev/video") != std::string::npos) ++count;
    return count;
}

// One camera of the virtual camera module.
struct ModuleCamera {
    int instance = -1;
    int family = 0;          // the board family it presents: the platform model number
    std::string video;       // /dev/videoN
    int videoIndex = -1;
    unsigned major = 0, minor = 0;
    int bus = -1;            // its control chip's adapter
    std::string deviceDir;   // /sys/dev/char/M:m/device
};

std::vector<ModuleCamera> moduleCameras();
// The first camera of the family (with `instance` >= `from`), or one with instance -1.
ModuleCamera moduleCamera(int family, int from = 0);

inline bool setModuleParameter(const std::string& name, const std::string& value) {
    return writeText("/sys/module/velmora_vcam/parameters/" + name, value);
}
inline int moduleParameter(const std::string& name) {
    return std::atoi(readText("/sys/module/velmora_vcam/parameters/" + name).c_str());
}

// Overrides behind the seam, by description, for the closing summary.
std::set<std::string>& overrides();

// The device-tree model file, absent on the emulated PC, as a board of the family shows it.
class BoardModelSeam : public Velmora::SystemAccess {
public:
    explicit BoardModelSeam(int family);
    bool readFile(const std::string& path, std::string& contents, size_t maxBytes) override;

private:
    std::string model;
};

// The 12-bit words the module's HQVGA sensor sends for each phase of its target (1500 mm).
uint16_t hqvgaWord(int family, bool near, int phase);
// The VGA sensor's raw sample at a position.
inline uint16_t vgaWord(uint32_t x, uint32_t y) { return static_cast<uint16_t>((x + 3 * y) & 0xfff); }
// The control chip's calibration store.
inline uint8_t blockByte(uint16_t offset, size_t j) { return static_cast<uint8_t>((offset + j) * 7 + 3); }

uint64_t monotonicMs();

// Standard error of the calls made while it lives.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    const std::string& text();

private:
    int saved = -1;
    FILE* file = nullptr;
    std::string captured;
};

}  // namespace KernelCheck
