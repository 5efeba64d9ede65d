#pragma once
// A transport: opens the camera module and streams raw sub-frames.

#include <cstdint>

#include "VelmoraTypes.h"

namespace Velmora {

class VelmoraTOFSensor {
public:
    virtual ~VelmoraTOFSensor() = default;
    // Fills width, height, bit_width and bpp of `info`; 0 on success.
    virtual int open(CameraInfo& info) = 0;
    virtual int close() = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual CameraInfo getCameraInfo() = 0;
    // Writes frameCount sub-frames of 16-bit samples (12-bit scale) back to back.
    virtual int readFrame(uint8_t* destination, uint64_t* timestamp) = 0;
    virtual int setControl(CameraCtrl ctrl, int value) = 0;
    virtual int getControl(CameraCtrl ctrl, int* value) = 0;

    int32_t frameCount = 1;
};

}  // namespace Velmora
