#include "VelmoraTOFCamera.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "DepthFilters.h"
#include "FramePool.h"
#include "PlatformDetection.h"
#include "VelmoraDevice.h"
#include "VelmoraDeviceHQVGA.h"
#include "VelmoraDeviceVGA.h"
#include "VelmoraTOFCSISensor.h"
#include "VelmoraTOFSensor.h"
#include "VelmoraTOFUSBSensor.h"

namespace Velmora {

VelmoraTOFCamera::VelmoraTOFCamera() : platformModel(detectPlatformModel()) {}

VelmoraTOFCamera::~VelmoraTOFCamera() {
    // A joinable thread would end the process when destroyed.
    stopped.store(true);
    joinCaptureThread();
    framePool.reset();
    device.reset();
    sensor.reset();
}

void VelmoraTOFCamera::joinCaptureThread() {
    if (captureWorker.joinable()) captureWorker.join();
}

TofErrorCode VelmoraTOFCamera::open(Connection mode, int index) {
    info.index = static_cast<uint32_t>(index);
    info.connect = mode;
    std::unique_ptr<VelmoraTOFSensor> created;
    if (mode == Connection::CSI) {
        char path[80];
        std::snprintf(path, sizeof(path), "/dev/video%d", index);
        created = std::make_unique<VelmoraTOFCSISensor>(1, platformModel, path);
    } else if (mode == Connection::USB) {
        created = std::make_unique<VelmoraTOFUSBSensor>(1, std::string(), index);
    } else {
        return VelmoraUnkownError;
    }
    return openSensor(std::move(created));
}

TofErrorCode VelmoraTOFCamera::openWithFile(const char* path, int index) {
    if (!path) return VelmoraUnkownError;
    info.index = static_cast<uint32_t>(index);
    info.connect = Connection::USB;
    return openSensor(std::make_unique<VelmoraTOFUSBSensor>(1, std::string(path), index));
}

TofErrorCode VelmoraTOFCamera::openSensor(std::unique_ptr<VelmoraTOFSensor> created) {
    // Reopening a streaming camera: its thread must not outlive the sensor.
    if (!stopped.load()) stop();
    // The old model points at the old sensor; it goes first.
    device.reset();
    sensor = std::move(created);
    int rc = sensor->open(info);
    if (rc != 0) return static_cast<TofErrorCode>(rc);
    return openPostHandle();
}

TofErrorCode VelmoraTOFCamera::openPostHandle() {
    if (!sensor) return VelmoraUnkownError;
    // The capture thread uses the model this replaces.
    if (!stopped.load()) stop();
    if (info.height == 180 && info.width == 240) {
        sensor->frameCount = 4;
        device = std::make_unique<VelmoraDeviceHQVGA>(platformModel);
        info.device_type = HQVGA;
    } else {
        device = std::make_unique<VelmoraDeviceVGA>(platformModel);
        info.device_type = VGA;
    }
    return static_cast<TofErrorCode>(device->attachSensor(sensor.get()));
}

TofErrorCode VelmoraTOFCamera::start(FrameType type) {
    if (!sensor || !device) return VelmoraUnkownError;
    // A second start would rewrite what the running capture thread reads.
    if (!stopped.load()) return VelmoraUnkownError;
    int range = 0;
    getControl(CameraCtrl::RANGE, &range);
    setControl(CameraCtrl::RANGE, range);

    int rc = device->configureSensor();
    if (rc != 0) return static_cast<TofErrorCode>(rc);
    rc = sensor->start();
    if (rc != 0) return static_cast<TofErrorCode>(rc);
    rc = device->start();
    if (rc != 0) return static_cast<TofErrorCode>(rc);

    const CameraInfo current = sensor->getCameraInfo();
    info.width = current.width;
    info.height = current.height;
    info.bit_width = current.bit_width;
    info.bpp = current.bpp;
    info.type = type;

    rc = setOutputType(type);
    if (rc == VelmoraInvalidParameter) {
        // The module streams frames the model cannot use: undone, so that a
        // start with other settings can follow.
        device->stop();
        sensor->stop();
    }
    if (rc != 0) return static_cast<TofErrorCode>(rc);

    framePool->setStreaming(true);
    stopped.store(false);
    captureWorker = std::thread(&VelmoraTOFCamera::captureThread, this);
    return VelmoraSuccess;
}

int VelmoraTOFCamera::checkDeliveredGeometry(uint64_t lines) const {
    // The model converts raw frames of exactly its geometry. A module that
    // did not take the size or mode asked of it delivers others.
    const FrameGeometry& raw = rawGeometry;
    if (raw.width > 0 && uint32_t(raw.width) == info.width && raw.height > 0 && uint64_t(raw.height) == lines)
        return VelmoraSuccess;
    std::fprintf(stderr,
                 "Error: the camera module delivers %u x %llu frames, the %s model needs %d x %d "
                 "(a size or MODE the module does not take)\n",
                 info.width, static_cast<unsigned long long>(lines), info.device_type == HQVGA ? "HQVGA" : "VGA",
                 raw.width, raw.height);
    return VelmoraInvalidParameter;
}

TofErrorCode VelmoraTOFCamera::setOutputType(FrameType type) {
    if (!sensor || !device) return VelmoraUnkownError;
    if (!stopped.load()) return VelmoraUnkownError;
    info.type = type;
    CameraInfo cacheInfo = info;
    const uint64_t lines = uint64_t(info.height) * uint64_t(sensor->frameCount > 0 ? sensor->frameCount : 0);
    if (lines == 0 || lines > UINT32_MAX) return VelmoraUnkownError;
    cacheInfo.height = static_cast<uint32_t>(lines);
    device->getFrameFormats(rawGeometry, depthGeometry);
    if (type != FrameType::RAW && type != FrameType::DEPTH) return VelmoraUnkownError;
    if (checkDeliveredGeometry(lines) != 0) return VelmoraInvalidParameter;

    auto pool = FramePool::create(type, cacheInfo, rawGeometry, depthGeometry);
    if (!pool) return VelmoraUnkownError;
    framePool = std::move(pool);
    return VelmoraSuccess;
}

TofErrorCode VelmoraTOFCamera::stop() {
    if (!sensor || !device) return VelmoraUnkownError;
    stopped.store(true);
    joinCaptureThread();
    // Consumers blocked in requestFrame would otherwise wait for a frame that never comes.
    if (framePool) framePool->setStreaming(false);
    device->stop();
    return static_cast<TofErrorCode>(sensor->stop());
}

TofErrorCode VelmoraTOFCamera::close() {
    // After a failed open there is a transport but no model: it is released all the same.
    if (!sensor) return VelmoraUnkownError;
    if (!stopped.load()) stop();
    if (device) device->close();
    return static_cast<TofErrorCode>(sensor->close());
}

bool VelmoraTOFCamera::isStreaming() const { return !stopped.load(); }

TofErrorCode VelmoraTOFCamera::setControl(CameraCtrl ctrl, int value) {
    if (!device) return VelmoraUnkownError;
    switch (ctrl) {
    case CameraCtrl::SKIP_FRAME:
    case CameraCtrl::SKIP_FRAME_LOOP: {
        // Checked against the other value and stored in one step: two setters
        // racing could otherwise leave skip above loop.
        SkipRule current = skipRule.load();
        SkipRule next;
        do {
            next = current;
            (ctrl == CameraCtrl::SKIP_FRAME ? next.skip : next.loop) = value;
            if (next.loop < 1 || next.loop > 255 || next.skip < 0 || next.skip > next.loop)
                return VelmoraInvalidParameter;
        } while (!skipRule.compare_exchange_weak(current, next));
        return VelmoraSuccess;
    }
    case CameraCtrl::AUTO_FRAME_RATE:
        autoFrameRate.store(value != 0);
        return VelmoraSuccess;
    case CameraCtrl::RANGE:
    case CameraCtrl::MODE: {
        // The sensor's modulation changes while frames stream: the capture
        // thread sees this bracket and drops the frames it may have torn.
        modulationChangesBegun.fetch_add(1);
        const int rc = device->setControl(ctrl, value);
        modulationChangesDone.fetch_add(1);
        return static_cast<TofErrorCode>(rc);
    }
    case CameraCtrl::FRAME_RATE: {
        int cur = 0;
        int rc = device->getControl(CameraCtrl::FRAME_RATE, &cur);
        if (rc != 0) return static_cast<TofErrorCode>(rc);
        if (value > cur || value <= 0) return VelmoraInvalidParameter;
        return static_cast<TofErrorCode>(device->setControl(CameraCtrl::FRAME_RATE, value));
    }
    default:
        return static_cast<TofErrorCode>(device->setControl(ctrl, value));
    }
}

TofErrorCode VelmoraTOFCamera::getControl(CameraCtrl ctrl, int* value) {
    if (!device) return VelmoraUnkownError;
    if (!value) return VelmoraInvalidParameter;
    if (ctrl == CameraCtrl::AUTO_FRAME_RATE) {
        *value = autoFrameRate.load() ? 1 : 0;
        return VelmoraSuccess;
    }
    return static_cast<TofErrorCode>(device->getControl(ctrl, value));
}

TofErrorCode VelmoraTOFCamera::setControlExt(CameraCtrl ctrl, const char* value) {
    if (!device) return VelmoraUnkownError;
    return static_cast<TofErrorCode>(device->setControlExt(ctrl, value));
}

TofErrorCode VelmoraTOFCamera::getControlExt(CameraCtrl, const char**) { return VelmoraSuccess; }

CameraInfo VelmoraTOFCamera::getCameraInfo() const { return info; }

void VelmoraTOFCamera::adjustFrameRate() {
    const float measured = fps.load();
    int target = 1;
    if (std::isfinite(measured) && std::floor(measured) >= 1.0f)
        target = std::floor(measured) >= float(INT32_MAX) ? INT32_MAX : static_cast<int>(std::floor(measured));
    int cur = 0;
    getControl(CameraCtrl::FRAME_RATE, &cur);
    const int tolerance = cur > 9 ? cur / 10 : 1;
    if (std::llabs(int64_t(target) - int64_t(cur)) > tolerance) setControl(CameraCtrl::FRAME_RATE, target);
}

}  // namespace Velmora
