#include "VelmoraTOFUSBSensor.h"

#include <cstddef>
#include <cstring>

#include "UsbSampleConversion.h"

namespace Velmora {

// The driver depends on these offsets, not on the names of the library's fields.
static_assert(sizeof(void*) == 8, "the evaluation-kit records are laid out for 64-bit hosts");
static_assert(sizeof(VelmoraEvkParam) == 32, "parameter record is 32 bytes");
static_assert(offsetof(VelmoraEvkParam, config_path) == 0, "path pointer at 0");
static_assert(offsetof(VelmoraEvkParam, config_is_binary) == 16, "binary flag at 16");
static_assert(sizeof(VelmoraEvkCameraConfig) <= 16, "configuration record is at most 16 bytes");
static_assert(offsetof(VelmoraEvkCameraConfig, width) == 0, "width at 0");
static_assert(offsetof(VelmoraEvkCameraConfig, height) == 4, "height at 4");
static_assert(offsetof(VelmoraEvkCameraConfig, bit_width) == 8, "bit width at 8");
static_assert(sizeof(VelmoraEvkImage) == 56, "image record is 56 bytes");
static_assert(offsetof(VelmoraEvkImage, timestamp) == 8, "timestamp at 8");
static_assert(offsetof(VelmoraEvkImage, size) == 24, "size at 24");
static_assert(offsetof(VelmoraEvkImage, data) == 32, "data pointer at 32");

namespace {

struct RangeRegister {
    uint32_t address;
    uint32_t nearValue;  // range 2000
    uint32_t farValue;   // any other range
};

constexpr RangeRegister kRangeTable[] = {
    {0x216c, 0x08, 0x10},
    {0x2179, 0x0a, 0x0e},
    {0x217a, 0x0e, 0x16},
    {0x217b, 0x12, 0x1e},
};

// Size of the raw frames the module streams, each a 16-bit value in two 8-bit
// registers (high byte first); the module takes it at its next start.
struct SizeRegisters {
    uint32_t high;
    uint32_t low;
};
constexpr SizeRegisters kWidthRegisters{0x2200, 0x2201};
constexpr SizeRegisters kLinesRegisters{0x2202, 0x2203};

bool endsWithBin(const std::string& path) {
    static const char suffix[] = ".bin";
    const size_t n = sizeof(suffix) - 1;
    return path.size() >= n && path.compare(path.size() - n, n, suffix) == 0;
}

}  // namespace

VelmoraTOFUSBSensor::VelmoraTOFUSBSensor(int frames, const std::string& path, int deviceIndex)
    : configPath(path), index(deviceIndex) {
    frameCount = frames;
}

VelmoraTOFUSBSensor::~VelmoraTOFUSBSensor() {
    // A camera destroyed without close must not leave the module claimed.
    if (handle) {
        if (streaming) VelmoraStopCamera(handle);
        VelmoraCloseCamera(handle);
    }
}

int VelmoraTOFUSBSensor::open(CameraInfo& cameraInfo) {
    if (handle) return -1;  // already open: a second handle would leak the first

    VelmoraEvkParam param;
    std::memset(&param, 0, sizeof(param));
    VelmoraDefaultParam(&param);
    if (!configPath.empty()) {
        param.config_path = configPath.c_str();
        param.config_is_binary = endsWithBin(configPath) ? 1 : 0;
    }

    VelmoraEvkHandle opened = nullptr;
    if (VelmoraOpenCamera(&opened, &param) != 0) return -1;
    // Kept even when initialisation fails, so that close releases it.
    handle = opened;
    if (VelmoraInitCamera(handle) != 0) return -1;

    VelmoraEvkCameraConfig config;
    std::memset(&config, 0, sizeof(config));
    VelmoraGetCameraConfig(handle, &config);

    cameraInfo.width = config.width;
    cameraInfo.height = config.height;
    cameraInfo.bit_width = config.bit_width;
    cameraInfo.bpp = config.bit_width > 8 ? 2 : 1;
    info = cameraInfo;
    return 0;
}

int VelmoraTOFUSBSensor::close() {
    if (handle) {
        VelmoraCloseCamera(handle);
        handle = nullptr;
        streaming = false;
    }
    return 0;
}

int VelmoraTOFUSBSensor::start() {
    if (streaming || !handle) return -1;
    streaming = true;
    if (VelmoraStartCamera(handle) != 0) return -1;
    // Frames now come in the size the module took, which may be the one asked for.
    VelmoraEvkCameraConfig config;
    std::memset(&config, 0, sizeof(config));
    if (VelmoraGetCameraConfig(handle, &config) == 0 && config.width > 0 && config.height > 0) {
        info.width = config.width;
        info.height = config.height;
    }
    return 0;
}

int VelmoraTOFUSBSensor::stop() {
    streaming = false;
    if (handle) VelmoraStopCamera(handle);
    return 0;
}

CameraInfo VelmoraTOFUSBSensor::getCameraInfo() { return info; }

void VelmoraTOFUSBSensor::convertImage(const uint8_t* source, uint8_t* destination) const {
    const size_t samples = static_cast<size_t>(info.width) * info.height;
    const uint32_t bits = info.bit_width;
    if (info.bpp == 1) {
        if (bits < 8) return;  // no 12-bit meaning for fewer bits; the slot stays as it was
        UsbSamples::widenBytes(source, destination, samples);
        return;
    }
    if (bits == 12) {
        std::memcpy(destination, source, samples * 2);
        return;
    }
    if (bits > 12)
        UsbSamples::shiftWordsRight(source, destination, samples, bits - 12);
    else
        UsbSamples::shiftWordsLeft(source, destination, samples, 12 - bits);
}

int VelmoraTOFUSBSensor::readFrame(uint8_t* destination, uint64_t* timestamp) {
    const size_t size = static_cast<size_t>(info.width) * info.height * info.bpp;
    const size_t subFrameBytes = static_cast<size_t>(info.width) * info.height * 2;
    size_t offset = 0;
    uint64_t previous = 0;
    int32_t i = 0;
    while (i < frameCount) {
        if (!streaming) {
            ++i;
            continue;
        }
        if (VelmoraCaptureImage(handle, &image, kCaptureTimeout) != 0) {
            ++i;
            *timestamp = previous;
            continue;
        }
        if (i > 0 && image.timestamp - previous >= kRestartGap) {
            i = 0;
            offset = 0;
        }
        if (image.size != size || (size > 0 && image.data == nullptr)) {
            VelmoraFreeImage(handle, image);
            return -1;
        }
        convertImage(static_cast<const uint8_t*>(image.data), destination + offset);
        previous = image.timestamp;
        VelmoraFreeImage(handle, image);
        offset += subFrameBytes;
        ++i;
        *timestamp = previous;
    }
    // A pass without an image left its slot stale: such a frame is not delivered.
    return offset == static_cast<size_t>(frameCount) * subFrameBytes ? 0 : -1;
}

int VelmoraTOFUSBSensor::setControl(CameraCtrl ctrl, int value) {
    if (ctrl == CameraCtrl::FMT_WIDTH || ctrl == CameraCtrl::FMT_HEIGHT) {
        // The VGA model sets the raw geometry of its mode; the module streams it from its next start.
        if (value <= 0 || value > 0xFFFF) return VelmoraInvalidParameter;
        if (!handle) return VelmoraSuccess;
        const SizeRegisters& reg = ctrl == CameraCtrl::FMT_WIDTH ? kWidthRegisters : kLinesRegisters;
        const bool written = VelmoraWriteSensorReg(handle, reg.high, static_cast<uint32_t>(value) >> 8) == 0 &&
                             VelmoraWriteSensorReg(handle, reg.low, static_cast<uint32_t>(value) & 0xFF) == 0;
        return written ? VelmoraSuccess : VelmoraSystemError;
    }
    if (ctrl != CameraCtrl::RANGE) return VelmoraInvalidParameter;
    if (!handle) return VelmoraSuccess;  // closed: no sensor to write to, and nothing to refuse
    const bool nearRange = value == 2000;
    for (const RangeRegister& reg : kRangeTable)
        VelmoraWriteSensorReg(handle, reg.address, nearRange ? reg.nearValue : reg.farValue);
    return VelmoraSuccess;
}

int VelmoraTOFUSBSensor::getControl(CameraCtrl, int*) { return VelmoraNotImplemented; }

}  // namespace Velmora
