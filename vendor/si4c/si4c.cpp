// C interface of the phase processor. Nothing may throw across it.

#include "si4c.h"

#include <atomic>
#include <memory>

#include "Si4cProcessor.h"
#include "Si4cTesting.h"

struct SiSDK {
    SiSDK() { live.fetch_add(1); }
    ~SiSDK() { live.fetch_sub(1); }
    SiSDK(const SiSDK&) = delete;
    SiSDK& operator=(const SiSDK&) = delete;

    static std::atomic<int> live;
    si4c::Processor processor;
};

std::atomic<int> SiSDK::live{0};

namespace {

std::atomic<int> failures[3];

bool injectedFailure(si4c::testing::Call call) {
    std::atomic<int>& pending = failures[static_cast<int>(call)];
    int left = pending.load();
    while (left > 0)
        if (pending.compare_exchange_weak(left, left - 1)) return true;
    return false;
}

}  // namespace

namespace si4c {
namespace testing {

void failNext(Call call, int times) { failures[static_cast<int>(call)].store(times > 0 ? times : 0); }

void reset() {
    for (std::atomic<int>& f : failures) f.store(0);
}

int liveInstances() { return SiSDK::live.load(); }

}  // namespace testing
}  // namespace si4c

extern "C" {

bool SiSDKCreate(SiSDK** handle) {
    if (!handle) return false;
    *handle = nullptr;
    if (injectedFailure(si4c::testing::Call::Create)) return false;
    try {
        *handle = std::make_unique<SiSDK>().release();
    } catch (...) {
        return false;
    }
    return true;
}

bool SiSDKInit(SiSDK* handle, int width, int height) {
    if (!handle || injectedFailure(si4c::testing::Call::Init)) return false;
    try {
        return handle->processor.init(width, height);
    } catch (...) {
        return false;
    }
}

void SiSDKSetCaliData(SiSDK* handle, const void* data, uint32_t size) {
    if (!handle) return;
    try {
        handle->processor.setCalibration(data, size);
    } catch (...) {
    }
}

void SiSDKSetConfig(SiSDK* handle, const char* directory) {
    if (!handle) return;
    try {
        handle->processor.setConfigDirectory(directory);
    } catch (...) {
    }
}

bool SiSDKStart(SiSDK* handle) {
    if (!handle || injectedFailure(si4c::testing::Call::Start)) return false;
    try {
        return handle->processor.start();
    } catch (...) {
        return false;
    }
}

bool SiSDKGetPhaseImage(SiSDK* handle, const uint8_t* raw, float* depth, float* amplitude, float* confidence) {
    if (!handle) return false;
    try {
        return handle->processor.process(raw, depth, amplitude, confidence);
    } catch (...) {
        return false;
    }
}

bool SiSDKIsSingleFreq(SiSDK* handle) { return !handle || handle->processor.singleFrequency(); }

void SiSDKSetSingleFreq(SiSDK* handle, bool single) {
    if (handle) handle->processor.setSingleFrequency(single);
}

void SiSDKDestroy(SiSDK** handle) {
    if (!handle) return;
    std::unique_ptr<SiSDK> owned(*handle);
    *handle = nullptr;
}

}  // extern "C"
