#include "VelmoraDeviceHQVGA.h"

#include "HqvgaKernels.h"

namespace Velmora {

namespace {

// Platform class whose capture path delivers samples four bits up.
constexpr int32_t kShiftedPlatform = 3;

}  // namespace

VelmoraDeviceHQVGA::VelmoraDeviceHQVGA(int32_t platform)
    : platformModel(platform),
      shift(platform == kShiftedPlatform ? 4 : 0),
      depthKernel(HqvgaKernels::bestDepth()) {}

int VelmoraDeviceHQVGA::deviceType() { return HQVGA; }

int VelmoraDeviceHQVGA::getFrameFormats(FrameGeometry& raw, FrameGeometry& depth) {
    raw.width = kWidth;
    raw.height = kHeight * kPlanes;
    depth.width = kWidth;
    depth.height = kHeight;
    return VelmoraSuccess;
}

int VelmoraDeviceHQVGA::attachSensor(VelmoraTOFSensor* attached) {
    sensor = attached;
    return VelmoraSuccess;
}

int VelmoraDeviceHQVGA::close() { return VelmoraSuccess; }
int VelmoraDeviceHQVGA::configureSensor() { return VelmoraSuccess; }
int VelmoraDeviceHQVGA::start() { return VelmoraSuccess; }
int VelmoraDeviceHQVGA::stop() { return VelmoraSuccess; }

int VelmoraDeviceHQVGA::setControl(CameraCtrl ctrl, int value) {
    if (ctrl != CameraCtrl::RANGE) return VelmoraInvalidParameter;
    // The sensor modulates at two frequencies only: any other range would be
    // reported while depth is computed for one of them.
    if (value != 2000 && value != 4000) return VelmoraInvalidParameter;
    setting.store(RangeSetting{value, value == 2000 ? kNearFrequency : kFarFrequency});
    if (!sensor) return VelmoraSuccess;

    // The sensor must modulate at the frequency the depth is computed for.
    // The CSI transport counts the range in metres, the USB one in millimetres.
    const bool csi = sensor->getCameraInfo().connect == Connection::CSI;
    const int rc = sensor->setControl(CameraCtrl::RANGE, csi ? value / 1000 : value);
    return rc < 0 ? rc : VelmoraSuccess;
}

int VelmoraDeviceHQVGA::setControlExt(CameraCtrl, const char*) { return VelmoraInvalidParameter; }

int VelmoraDeviceHQVGA::getControl(CameraCtrl ctrl, int* value) {
    if (!value) return VelmoraInvalidParameter;
    if (ctrl == CameraCtrl::RANGE) {
        *value = setting.load().range;
        return VelmoraSuccess;
    }
    // The depth image's size, on every transport, as the VGA model answers it.
    if (ctrl == CameraCtrl::FMT_WIDTH || ctrl == CameraCtrl::FMT_HEIGHT) {
        *value = ctrl == CameraCtrl::FMT_WIDTH ? kWidth : kHeight;
        return VelmoraSuccess;
    }
    if (!sensor) return VelmoraUnkownError;
    return sensor->getControl(ctrl, value);
}

int VelmoraDeviceHQVGA::getControlExt(CameraCtrl, const char**) { return VelmoraInvalidParameter; }

int VelmoraDeviceHQVGA::getRawImages(const uint8_t* raw, int16_t* out) {
    HqvgaKernels::rawFrame(raw, shift, out);
    return 1;
}

bool VelmoraDeviceHQVGA::getPhaseImage(const uint8_t* raw, float* depth, float* amplitude, float* confidence) {
    // Range and frequency are taken once, together, so a change lands on a frame boundary.
    const RangeSetting current = setting.load();
    const bool nearOrder = current.range == 2000;
    const float a = 12.566371f * current.frequency;
    const float metresPerRadian = 3.0e8f / a;
    depthKernel(raw, nearOrder, metresPerRadian, shift, depth, amplitude, confidence);
    return true;
}

}  // namespace Velmora
