#pragma once
// A depth model: frame geometry, model controls, raw frame to output planes.

#include <cstdint>

#include "VelmoraTOFCamera.h"
#include "VelmoraTOFSensor.h"

namespace Velmora {

class VelmoraDevice {
public:
    virtual ~VelmoraDevice() = default;
    virtual int deviceType() = 0;
    virtual int getFrameFormats(FrameGeometry& raw, FrameGeometry& depth) = 0;
    virtual int attachSensor(VelmoraTOFSensor* sensor) = 0;
    virtual int close() = 0;
    virtual int configureSensor() = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual int setControl(CameraCtrl ctrl, int value) = 0;
    virtual int setControlExt(CameraCtrl ctrl, const char* value) = 0;
    virtual int getControl(CameraCtrl ctrl, int* value) = 0;
    virtual int getControlExt(CameraCtrl ctrl, const char** value) = 0;
    virtual int getRawImages(const uint8_t* raw, int16_t* out) = 0;
    virtual bool getPhaseImage(const uint8_t* raw, float* depth, float* amplitude, float* confidence) = 0;
};

}  // namespace Velmora
