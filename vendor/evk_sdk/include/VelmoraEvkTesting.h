#pragma once
// Test-only view into the simulated camera module: call counters, the last
// open parameters, injected failures, register log and delivered images.
// Not part of the C interface; a vendor library does not have it.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "velmora_evk_sdk.h"

namespace VelmoraSim {
namespace EvkTesting {

struct CallCounts {
    int defaultParam = 0;
    int openCamera = 0;
    int initCamera = 0;
    int getCameraConfig = 0;
    int startCamera = 0;
    int stopCamera = 0;
    int captureImage = 0;
    int freeImage = 0;
    int writeSensorReg = 0;
    int closeCamera = 0;
    int total() const {
        return defaultParam + openCamera + initCamera + getCameraConfig + startCamera + stopCamera + captureImage +
               freeImage + writeSensorReg + closeCamera;
    }
};

struct OpenRecord {
    bool called = false;
    bool pathWasNull = true;
    std::string path;
    uint8_t binaryFlag = 0;
    uint32_t deviceIndex = 0;
};

enum class Call { OpenCamera, InitCamera, StartCamera, CaptureImage };

// Clears counters, injected failures and the open record.
VELMORA_EVK_API void reset();
VELMORA_EVK_API CallCounts callCounts();
VELMORA_EVK_API OpenRecord lastOpen();
// The next `times` calls of `call` fail before doing anything.
VELMORA_EVK_API void failNext(Call call, int times = 1);
// Handle of the most recent successful open, and how many modules are open.
VELMORA_EVK_API VelmoraEvkHandle lastHandle();
VELMORA_EVK_API int openModules();

// Per module; an unknown handle gives empty results / false.
VELMORA_EVK_API std::vector<std::pair<uint32_t, uint32_t>> registerWrites(VelmoraEvkHandle handle);
// The next images carry these timestamps instead of the module clock.
VELMORA_EVK_API bool scriptTimestamps(VelmoraEvkHandle handle, const std::vector<uint64_t>& stamps);
// Keep a copy of every image delivered from now on.
VELMORA_EVK_API bool keepImageCopies(VelmoraEvkHandle handle, bool keep);
VELMORA_EVK_API std::vector<std::vector<uint8_t>> takeImageCopies(VelmoraEvkHandle handle);
// Frequency the next frame will be rendered at; 0 for an unknown handle.
VELMORA_EVK_API double modulationHz(VelmoraEvkHandle handle);
// Images captured and not yet freed; -1 for an unknown handle.
VELMORA_EVK_API int lentImages(VelmoraEvkHandle handle);

}  // namespace EvkTesting
}  // namespace VelmoraSim
