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
    const bool selectsFrequency = value == 2000 || value == 4000;
    if (value == 2000) frequency = kNearFrequency;
    if (value == 4000) frequency = kFarFrequency;
    range = value;
    if (!selectsFrequency || !sensor) return VelmoraSuccess;

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
        *value = range;
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
    // Range, frequency and shift are taken once so a change lands on a frame boundary.
    const bool nearOrder = range.load() == 2000;
    const float f = frequency.load();
    const float a = 12.566371f * f;
    const float b = 3.0e8f / a;
    depthKernel(raw, nearOrder, b, shift, depth, amplitude, confidence);
    return true;
}

}  // namespace Velmora
