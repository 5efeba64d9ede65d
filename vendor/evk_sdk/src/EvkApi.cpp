// The C interface: a registry of open modules behind opaque handles.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "EvkConfig.h"
#include "EvkModule.h"
#include "VelmoraEvkTesting.h"
#include "velmora_evk_sdk.h"

using VelmoraSim::Module;
using VelmoraSim::ModuleConfig;
namespace T = VelmoraSim::EvkTesting;

namespace {

struct Registry {
    std::mutex mutex;
    // Handles are never reused, so a stale handle cannot reach a newer module.
    std::map<uintptr_t, std::shared_ptr<Module>> modules;
    uintptr_t nextId = 1;
    uintptr_t lastId = 0;

    // Test state.
    T::OpenRecord lastOpen;
    int injected[4] = {0, 0, 0, 0};
};

Registry& registry() {
    static Registry r;
    return r;
}

struct Counters {
    std::atomic<int> defaultParam{0}, openCamera{0}, initCamera{0}, getCameraConfig{0}, startCamera{0},
        stopCamera{0}, captureImage{0}, freeImage{0}, writeSensorReg{0}, closeCamera{0};
};

Counters& counters() {
    static Counters c;
    return c;
}

std::shared_ptr<Module> find(VelmoraEvkHandle handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.modules.find(reinterpret_cast<uintptr_t>(handle));
    return it == r.modules.end() ? nullptr : it->second;
}

bool takeInjectedFailure(T::Call call) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    int& left = r.injected[static_cast<int>(call)];
    if (left <= 0) return false;
    --left;
    return true;
}

void report(const std::string& line) { std::fprintf(stderr, "velmora_evk_sdk: %s\n", line.c_str()); }

}  // namespace

extern "C" {

int VelmoraDefaultParam(VelmoraEvkParam* param) {
    ++counters().defaultParam;
    if (!param) return VELMORA_EVK_ERR_PARAM;
    std::memset(param, 0, sizeof(*param));
    return VELMORA_EVK_OK;
}

int VelmoraOpenCamera(VelmoraEvkHandle* handle, const VelmoraEvkParam* param) {
    ++counters().openCamera;
    if (!handle || !param) return VELMORA_EVK_ERR_PARAM;
    *handle = nullptr;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.lastOpen.called = true;
        r.lastOpen.pathWasNull = param->config_path == nullptr;
        r.lastOpen.path = param->config_path ? param->config_path : "";
        r.lastOpen.binaryFlag = param->config_is_binary;
        r.lastOpen.deviceIndex = param->device_index;
    }
    if (takeInjectedFailure(T::Call::OpenCamera)) return VELMORA_EVK_ERR_RESOURCE;

    ModuleConfig config;
    if (param->config_path) {
        const std::string path = param->config_path;
        if (param->config_is_binary) {
            report(path + ": binary configuration files are not supported; use a key=value text file");
            return VELMORA_EVK_ERR_CONFIG;
        }
        std::string error;
        if (!VelmoraSim::parseConfigFile(path, config, error)) {
            report(error);
            return VELMORA_EVK_ERR_CONFIG;
        }
    }

    auto module = std::make_shared<Module>(config);
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const uintptr_t id = r.nextId++;
    r.modules.emplace(id, std::move(module));
    r.lastId = id;
    *handle = reinterpret_cast<VelmoraEvkHandle>(id);
    return VELMORA_EVK_OK;
}

int VelmoraInitCamera(VelmoraEvkHandle handle) {
    ++counters().initCamera;
    const auto module = find(handle);
    if (!module) return VELMORA_EVK_ERR_PARAM;
    if (takeInjectedFailure(T::Call::InitCamera)) return VELMORA_EVK_ERR_STATE;
    return module->init();
}

int VelmoraGetCameraConfig(VelmoraEvkHandle handle, VelmoraEvkCameraConfig* config) {
    ++counters().getCameraConfig;
    const auto module = find(handle);
    if (!module || !config) return VELMORA_EVK_ERR_PARAM;
    module->getConfig(*config);
    return VELMORA_EVK_OK;
}

int VelmoraStartCamera(VelmoraEvkHandle handle) {
    ++counters().startCamera;
    const auto module = find(handle);
    if (!module) return VELMORA_EVK_ERR_PARAM;
    if (takeInjectedFailure(T::Call::StartCamera)) return VELMORA_EVK_ERR_STATE;
    return module->start();
}

int VelmoraStopCamera(VelmoraEvkHandle handle) {
    ++counters().stopCamera;
    const auto module = find(handle);
    return module ? module->stop() : VELMORA_EVK_ERR_PARAM;
}

int VelmoraCaptureImage(VelmoraEvkHandle handle, VelmoraEvkImage* image, uint32_t timeoutMs) {
    ++counters().captureImage;
    const auto module = find(handle);
    if (!module || !image) return VELMORA_EVK_ERR_PARAM;
    if (takeInjectedFailure(T::Call::CaptureImage)) return VELMORA_EVK_ERR_CAPTURE;
    return module->capture(*image, timeoutMs);
}

int VelmoraFreeImage(VelmoraEvkHandle handle, VelmoraEvkImage image) {
    ++counters().freeImage;
    const auto module = find(handle);
    return module ? module->freeImage(image) : VELMORA_EVK_ERR_PARAM;
}

int VelmoraWriteSensorReg(VelmoraEvkHandle handle, uint32_t address, uint32_t value) {
    ++counters().writeSensorReg;
    const auto module = find(handle);
    return module ? module->writeRegister(address, value) : VELMORA_EVK_ERR_PARAM;
}

int VelmoraCloseCamera(VelmoraEvkHandle handle) {
    ++counters().closeCamera;
    std::shared_ptr<Module> module;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.modules.find(reinterpret_cast<uintptr_t>(handle));
        if (it == r.modules.end()) return VELMORA_EVK_ERR_PARAM;
        module = std::move(it->second);
        r.modules.erase(it);
    }
    // A capture still running on another thread keeps the module alive until it returns.
    module->shutdown();
    return VELMORA_EVK_OK;
}

}  // extern "C"

namespace VelmoraSim {
namespace EvkTesting {

void reset() {
    Counters& c = counters();
    for (std::atomic<int>* n : {&c.defaultParam, &c.openCamera, &c.initCamera, &c.getCameraConfig, &c.startCamera,
                                &c.stopCamera, &c.captureImage, &c.freeImage, &c.writeSensorReg, &c.closeCamera})
        *n = 0;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.lastOpen = OpenRecord{};
    for (int& n : r.injected) n = 0;
}

CallCounts callCounts() {
    const Counters& c = counters();
    CallCounts out;
    out.defaultParam = c.defaultParam;
    out.openCamera = c.openCamera;
    out.initCamera = c.initCamera;
    out.getCameraConfig = c.getCameraConfig;
    out.startCamera = c.startCamera;
    out.stopCamera = c.stopCamera;
    out.captureImage = c.captureImage;
    out.freeImage = c.freeImage;
    out.writeSensorReg = c.writeSensorReg;
    out.closeCamera = c.closeCamera;
    return out;
}

OpenRecord lastOpen() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.lastOpen;
}

void failNext(Call call, int times) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.injected[static_cast<int>(call)] = times;
}

VelmoraEvkHandle lastHandle() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.modules.count(r.lastId) ? reinterpret_cast<VelmoraEvkHandle>(r.lastId) : nullptr;
}

int openModules() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return static_cast<int>(r.modules.size());
}

std::vector<std::pair<uint32_t, uint32_t>> registerWrites(VelmoraEvkHandle handle) {
    const auto module = find(handle);
    return module ? module->registerWrites() : std::vector<std::pair<uint32_t, uint32_t>>{};
}

bool scriptTimestamps(VelmoraEvkHandle handle, const std::vector<uint64_t>& stamps) {
    const auto module = find(handle);
    if (!module) return false;
    module->scriptTimestamps(stamps);
    return true;
}

bool keepImageCopies(VelmoraEvkHandle handle, bool keep) {
    const auto module = find(handle);
    if (!module) return false;
    module->keepImageCopies(keep);
    return true;
}

std::vector<std::vector<uint8_t>> takeImageCopies(VelmoraEvkHandle handle) {
    const auto module = find(handle);
    return module ? module->takeImageCopies() : std::vector<std::vector<uint8_t>>{};
}

double modulationHz(VelmoraEvkHandle handle) {
    const auto module = find(handle);
    return module ? module->modulationHz() : 0.0;
}

int lentImages(VelmoraEvkHandle handle) {
    const auto module = find(handle);
    return module ? module->lentImages() : -1;
}

}  // namespace EvkTesting
}  // namespace VelmoraSim
