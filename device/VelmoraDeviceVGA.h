#pragma once
// Depth model of the VGA sensor (640 x 480 or 320 x 240): the phase-processing
// library turns each raw frame into depth, amplitude and confidence planes.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "SystemHandles.h"
#include "VelmoraDevice.h"

struct SiSDK;

namespace Velmora {

class VelmoraDeviceVGA : public VelmoraDevice {
public:
    explicit VelmoraDeviceVGA(int32_t platformModel);
    ~VelmoraDeviceVGA() override;
    VelmoraDeviceVGA(const VelmoraDeviceVGA&) = delete;
    VelmoraDeviceVGA& operator=(const VelmoraDeviceVGA&) = delete;

    int deviceType() override;
    int getFrameFormats(FrameGeometry& raw, FrameGeometry& depth) override;
    int attachSensor(VelmoraTOFSensor* sensor) override;
    int close() override;
    int configureSensor() override;
    int start() override;
    int stop() override;
    int setControl(CameraCtrl ctrl, int value) override;
    int setControlExt(CameraCtrl ctrl, const char* value) override;
    int getControl(CameraCtrl ctrl, int* value) override;
    int getControlExt(CameraCtrl ctrl, const char** value) override;
    int getRawImages(const uint8_t* raw, int16_t* out) override;
    bool getPhaseImage(const uint8_t* raw, float* depth, float* amplitude, float* confidence) override;

    // Calibration from the camera module's control chip (CSI only) instead of
    // "cali.bin", and a copy of it to "cali.out.bin". Both off by default.
    void setModuleCalibration(bool readFromModule, bool dumpToFile);

private:
    // Asks the library; the last answer while no library handle exists.
    bool singleFrequency();
    void loadCalibration();
    bool loadModuleCalibration();
    // Destroys the library handle, then releases the calibration it may have read.
    void destroyLibrary();

    int32_t platformModel;
    VelmoraTOFSensor* sensor = nullptr;
    SiSDK* handle = nullptr;
    std::string configDirectory;
    std::atomic<int32_t> width{640};
    std::atomic<int32_t> height{480};
    std::atomic<bool> frameRateSet{false};

    // Answer for the frequency mode while no library handle exists, and the
    // mode a new handle starts in.
    std::atomic<bool> lastSingleFrequency{true};
    // Geometry handed to the library at the last start.
    int32_t libraryWidth = 0;
    int32_t libraryHeight = 0;
    // Sizes last reported to the camera, in samples: the buffers hold exactly these.
    std::atomic<int64_t> reportedRawSamples{0};
    std::atomic<int64_t> reportedDepthSamples{0};
    std::atomic<int64_t> sourceSamples{0};
    // A mode change never lands in the middle of a library frame.
    std::mutex modeLock;

    // "cali.bin" stays mapped and open while the library may read it.
    ScopedFd calibrationFd;
    ScopedMapping calibrationMap;
    bool moduleCalibration = false;
    bool dumpCalibration = false;
};

}  // namespace Velmora
