#include "VelmoraDeviceHQVGA.h"

#include <cmath>

namespace Velmora {

namespace {

constexpr int kPixels = VelmoraDeviceHQVGA::kWidth * VelmoraDeviceHQVGA::kHeight;
// Platform class whose capture path delivers samples four bits up.
constexpr int32_t kShiftedPlatform = 3;

inline int decode(const uint8_t* word, uint8_t shift) {
    const uint32_t u = static_cast<uint32_t>(word[0] | (word[1] << 8)) >> shift;
    const int t = static_cast<int>(u & 0x7FF);
    return 16 * (t >= 1024 ? t - 2048 : t);
}

}  // namespace

VelmoraDeviceHQVGA::VelmoraDeviceHQVGA(int32_t platform)
    : platformModel(platform), shift(platform == kShiftedPlatform ? 4 : 0) {}

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
    const uint8_t s = shift;
    for (int r = 0; r < kHeight; ++r) {
        for (int k = 0; k < kPlanes; ++k) {
            const uint8_t* in = raw + 2 * (static_cast<size_t>(k) * kPixels + static_cast<size_t>(r) * kWidth);
            int16_t* line = out + static_cast<size_t>(4 * r + k) * kWidth;
            for (int c = 0; c < kWidth; ++c) line[c] = static_cast<int16_t>(decode(in + 2 * c, s));
        }
    }
    return 1;
}

bool VelmoraDeviceHQVGA::getPhaseImage(const uint8_t* raw, float* depth, float* amplitude, float* confidence) {
    // Range, frequency and shift are taken once so a change lands on a frame boundary.
    const bool nearOrder = range.load() == 2000;
    const float f = frequency.load();
    const uint8_t s = shift;
    const float a = 12.566371f * f;
    const float b = 3.0e8f / a;

    const uint8_t* plane0 = raw;
    const uint8_t* plane1 = raw + 2 * static_cast<size_t>(kPixels);
    const uint8_t* plane2 = raw + 4 * static_cast<size_t>(kPixels);
    const uint8_t* plane3 = raw + 6 * static_cast<size_t>(kPixels);
    for (int i = 0; i < kPixels; ++i) {
        const int p0 = decode(plane0 + 2 * i, s);
        const int p1 = decode(plane1 + 2 * i, s);
        const int p2 = decode(plane2 + 2 * i, s);
        const int p3 = decode(plane3 + 2 * i, s);
        const int y = nearOrder ? p1 - p3 : p2 - p0;
        const int x = nearOrder ? p2 - p0 : p3 - p1;
        float theta = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        if (theta < 0) theta += 6.2831855f;
        depth[i] = (theta * b) * 1000.0f;
        const double xx = x, yy = y;
        const float amp = static_cast<float>(0.5 * std::sqrt(xx * xx + yy * yy));
        amplitude[i] = amp;
        confidence[i] = amp;
    }
    return true;
}

}  // namespace Velmora
