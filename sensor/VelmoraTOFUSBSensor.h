#pragma once
// Transport for the camera module on the USB evaluation kit, through the
// kit's C library.

#include <atomic>
#include <cstdint>
#include <string>

#include "VelmoraTOFSensor.h"
#include "velmora_evk_sdk.h"

namespace Velmora {

class VelmoraTOFUSBSensor : public VelmoraTOFSensor {
public:
    VelmoraTOFUSBSensor(int frameCount, const std::string& configPath, int index);
    ~VelmoraTOFUSBSensor() override;
    VelmoraTOFUSBSensor(const VelmoraTOFUSBSensor&) = delete;
    VelmoraTOFUSBSensor& operator=(const VelmoraTOFUSBSensor&) = delete;

    int open(CameraInfo& info) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getCameraInfo() override;
    int readFrame(uint8_t* destination, uint64_t* timestamp) override;
    int setControl(CameraCtrl ctrl, int value) override;
    int getControl(CameraCtrl ctrl, int* value) override;

    // Sub-frames further apart than this (timestamp units) start a new frame.
    static constexpr uint64_t kRestartGap = 6;
    static constexpr uint32_t kCaptureTimeout = 2000;

private:
    // Writes one image as 16-bit samples on a 12-bit scale.
    void convertImage(const uint8_t* source, uint8_t* destination) const;

    VelmoraEvkHandle handle = nullptr;
    VelmoraEvkImage image{};
    CameraInfo info{};
    // Written by start/stop, read by the capture thread.
    std::atomic<bool> streaming{false};
    std::string configPath;
    int32_t index;
};

}  // namespace Velmora
