#pragma once
// Depth model of the 240 x 180 sensor: four phase planes to depth in-house.

#include <atomic>
#include <cstdint>

#include "HqvgaKernels.h"
#include "VelmoraDevice.h"

namespace Velmora {

class VelmoraDeviceHQVGA : public VelmoraDevice {
public:
    static constexpr int kWidth = HqvgaKernels::kWidth;
    static constexpr int kHeight = HqvgaKernels::kHeight;
    static constexpr int kPlanes = 4;
    static constexpr float kNearFrequency = 75e6f;
    static constexpr float kFarFrequency = 37.5e6f;

    explicit VelmoraDeviceHQVGA(int32_t platformModel);

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

    float modulationFrequency() const { return setting.load().frequency; }
    uint8_t sampleShift() const { return shift; }

private:
    // Range and the frequency it selected, one value: the capture thread must
    // never see the range of one setControl with the frequency of another.
    // Aligned as a whole so every compiler swaps it without a lock.
    struct alignas(8) RangeSetting {
        int32_t range;
        float frequency;
    };

    int32_t platformModel;
    VelmoraTOFSensor* sensor = nullptr;
    // Set from the caller's thread, read once per frame by the capture thread.
    std::atomic<RangeSetting> setting{RangeSetting{4000, kFarFrequency}};
    static_assert(std::atomic<RangeSetting>::is_always_lock_free, "RangeSetting is swapped without a lock");
    uint8_t shift;
    // The fastest form this CPU runs, chosen once.
    HqvgaKernels::DepthFunction depthKernel;
};

}  // namespace Velmora
