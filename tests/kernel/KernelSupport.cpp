#include "KernelSupport.h"

#include <limits.h>
#include <time.h>

#include <cstdlib>

namespace KernelCheck {

std::vector<ModuleCamera> moduleCameras() {
    std::vector<int> families;
    std::stringstream list(readText("/sys/module/velmora_vcam/parameters/families"));
    for (std::string item; std::getline(list, item, ',');) families.push_back(std::atoi(item.c_str()));

    std::vector<ModuleCamera> cameras(families.size());
    for (size_t i = 0; i < families.size(); ++i) {
        cameras[i].instance = static_cast<int>(i);
        cameras[i].family = families[i];
    }
    for (const std::string& entry : listDir("/sys/class/video4linux")) {
        if (entry.compare(0, 5, "video") != 0) continue;
        const std::string dir = "/sys/class/video4linux/" + entry;
        char target[PATH_MAX] = {};
        const ssize_t n = readlink((dir + "/device").c_str(), target, sizeof(target) - 1);
        if (n <= 0) continue;
        const char* at = std::strstr(target, "velmora-vcam.");
        if (!at) continue;
        const size_t instance = static_cast<size_t>(std::atoi(at + std::strlen("velmora-vcam.")));
        if (instance >= cameras.size()) continue;
        ModuleCamera& camera = cameras[instance];
        // A camera with several outputs (the Pi 5's) is met on its first.
        const int index = std::atoi(entry.c_str() + 5);
        if (!camera.video.empty() && camera.videoIndex < index) continue;
        camera.video = "/dev/" + entry;
        camera.videoIndex = std::atoi(entry.c_str() + 5);
        std::sscanf(readText(dir + "/dev").c_str(), "%u:%u", &camera.major, &camera.minor);
        camera.deviceDir = "/sys/dev/char/" + std::to_string(camera.major) + ":" + std::to_string(camera.minor) + "/device";
    }
    for (const std::string& entry : listDir("/sys/class/i2c-dev")) {
        const std::string name = readText("/sys/class/i2c-dev/" + entry + "/name");
        int instance = -1;
        int bus = -1;
        if (std::sscanf(name.c_str(), "velmora-vcam i2c %d", &instance) == 1 &&
            std::sscanf(entry.c_str(), "i2c-%d", &bus) == 1 && instance >= 0 &&
            static_cast<size_t>(instance) < cameras.size())
            cameras[static_cast<size_t>(instance)].bus = bus;
    }
    return cameras;
}

ModuleCamera moduleCamera(int family, int from) {
    for (const ModuleCamera& camera : moduleCameras())
        if (camera.family == family && camera.instance >= from && !camera.video.empty()) return camera;
    return ModuleCamera{};
}

std::set<std::string>& overrides() {
    static std::set<std::string> all;
    return all;
}

namespace {
const char* modelText(int family) {
    switch (family) {
    case 2: return "NVIDIA Jetson Nano Developer Kit";
    case 3: return "NVIDIA Jetson Xavier NX Developer Kit";
    case 5: return "Raspberry Pi 4 Model B Rev 1.4";
    case 6: return "Raspberry Pi 5 Model B Rev 1.0";
    case 7: return "Radxa ROCK 5B";
    default: return "";
    }
}
constexpr const char* kModelPath = "/sys/firmware/devicetree/base/model";
}  // namespace

BoardModelSeam::BoardModelSeam(int family) : model(modelText(family)) {
    overrides().insert("platform model (" + std::string(kModelPath) + ")");
    std::printf("    overridden: %s reads \"%s\"\n", kModelPath, model.c_str());
}

bool BoardModelSeam::readFile(const std::string& path, std::string& contents, size_t maxBytes) {
    if (path != kModelPath) return SystemAccess::readFile(path, contents, maxBytes);
    contents = (model + std::string(1, '\0')).substr(0, maxBytes);
    return true;
}

uint16_t hqvgaWord(int family, bool near, int phase) {
    static const int far[4] = {-283, 283, 283, -283};
    static const int nearQ[4] = {0, -400, 0, 400};
    const int q = near ? nearQ[phase] : far[phase];
    return static_cast<uint16_t>((q & 0x7ff) << (family == 3 ? 4 : 0));
}

uint64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    saved = dup(2);
    file = std::tmpfile();
    dup2(fileno(file), 2);
}

StderrCapture::~StderrCapture() {
    text();
    if (file) std::fclose(file);
}

const std::string& StderrCapture::text() {
    if (saved >= 0) {
        std::fflush(stderr);
        dup2(saved, 2);
        ::close(saved);
        saved = -1;
        std::rewind(file);
        char buffer[512];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) captured.append(buffer, got);
        std::fputs(captured.c_str(), stderr);  // still on the console
    }
    return captured;
}

}  // namespace KernelCheck
