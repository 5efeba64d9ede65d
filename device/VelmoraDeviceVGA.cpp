#include "VelmoraDeviceVGA.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>

#include "DefaultConfigFiles.h"
#include "VelmoraTOFCSISensor.h"
#include "si4c.h"

namespace Velmora {

namespace {

constexpr int32_t kSingleRangeMm = 1250;
constexpr int32_t kDoubleRangeMm = 4500;

// Module calibration: a length word, then up to 32 blocks of 512 bytes.
constexpr uint16_t kModuleCalibrationOffset = 80;
constexpr size_t kModuleBlockBytes = 512;
constexpr size_t kModuleCalibrationMin = 512;
constexpr size_t kModuleCalibrationMax = 16384;

// Sub-images per frame: four phases and a grey image per modulation frequency,
// each one metadata line plus the picture.
int32_t rawLinesFor(bool single, int32_t height) { return (single ? 5 : 10) * (height + 1); }

int64_t samples(int64_t width, int64_t lines) { return width * lines; }

bool defaultFrameRate(int32_t width, int32_t height, bool single, int* rate) {
    if (width == 640 && height == 480) {
        *rate = single ? 41 : 23;
        return true;
    }
    if (width == 320 && height == 240) {
        *rate = single ? 61 : 36;
        return true;
    }
    return false;
}

}  // namespace

VelmoraDeviceVGA::VelmoraDeviceVGA(int32_t platformModel_) : platformModel(platformModel_) {}

VelmoraDeviceVGA::~VelmoraDeviceVGA() {
    // A camera destroyed without close must not leak the library or the mapping.
    destroyLibrary();
}

int VelmoraDeviceVGA::deviceType() { return VGA; }

bool VelmoraDeviceVGA::singleFrequency() {
    if (!handle) return lastSingleFrequency.load();
    const bool single = SiSDKIsSingleFreq(handle);
    lastSingleFrequency.store(single);
    return single;
}

int VelmoraDeviceVGA::getFrameFormats(FrameGeometry& raw, FrameGeometry& depth) {
    const bool single = singleFrequency();
    const int32_t w = width.load();
    const int32_t h = height.load();
    raw = {w, rawLinesFor(single, h)};
    depth = {w, h};
    reportedRawSamples.store(samples(raw.width, raw.height));
    reportedDepthSamples.store(samples(depth.width, depth.height));
    // The camera's cache holds what the sensor delivers, which may differ
    // from what was asked of it.
    int64_t source = 0;
    if (sensor) {
        const CameraInfo info = sensor->getCameraInfo();
        source = static_cast<int64_t>(info.width) * static_cast<int64_t>(info.height) *
                 std::max<int64_t>(sensor->frameCount, 0);
    }
    sourceSamples.store(source);
    return 0;
}

int VelmoraDeviceVGA::attachSensor(VelmoraTOFSensor* newSensor) {
    if (!newSensor) return VelmoraInvalidParameter;
    sensor = newSensor;
    destroyLibrary();  // a second attach replaces the instance instead of leaking it
    if (!SiSDKCreate(&handle)) {
        handle = nullptr;
        return VelmoraUnkownError;
    }
    SiSDKSetSingleFreq(handle, lastSingleFrequency.load());
    return VelmoraSuccess;
}

void VelmoraDeviceVGA::destroyLibrary() {
    if (handle) SiSDKDestroy(&handle);
    handle = nullptr;
    libraryWidth = 0;
    libraryHeight = 0;
    calibrationMap.reset();
    calibrationFd.reset();
}

int VelmoraDeviceVGA::close() {
    // Give the library time to finish what it has in hand before it goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    destroyLibrary();
    return VelmoraSuccess;
}

int VelmoraDeviceVGA::configureSensor() {
    // Without a library instance the start cannot succeed: fail before the
    // transport begins streaming.
    if (!handle || !sensor) return VelmoraUnkownError;
    const int32_t lines = rawLinesFor(singleFrequency(), height.load());
    sensor->setControl(CameraCtrl::FMT_WIDTH, width.load());
    sensor->setControl(CameraCtrl::FMT_HEIGHT, lines);
    return VelmoraSuccess;
}

bool VelmoraDeviceVGA::loadModuleCalibration() {
    auto* csi = dynamic_cast<VelmoraTOFCSISensor*>(sensor);
    if (!csi) return false;
    uint8_t* buffer = csi->getCalibrationBuffer();
    if (!buffer) return false;
    if (csi->readBlock(kModuleCalibrationOffset, buffer) != 0) return false;
    const size_t length = static_cast<size_t>(buffer[0]) | (static_cast<size_t>(buffer[1]) << 8);
    if (length < kModuleCalibrationMin || length > kModuleCalibrationMax) return false;
    const size_t blocks = (length + kModuleBlockBytes - 1) / kModuleBlockBytes;
    for (size_t j = 1; j < blocks; ++j) {
        const auto offset = static_cast<uint16_t>(kModuleCalibrationOffset + kModuleBlockBytes * j);
        if (csi->readBlock(offset, buffer + kModuleBlockBytes * j) != 0) return false;
    }
    SiSDKSetCaliData(handle, buffer, static_cast<uint32_t>(length));
    // The sensor's buffer now holds the calibration: an earlier file is no longer read.
    calibrationMap.reset();
    calibrationFd.reset();
    if (dumpCalibration) writeWorkingDirectoryFile(kCalibrationDumpFileName, buffer, length);
    return true;
}

void VelmoraDeviceVGA::loadCalibration() {
    if (moduleCalibration && loadModuleCalibration()) return;

    ScopedFd fd(openWorkingDirectoryFile(kCalibrationFileName, false));
    if (!fd.valid()) return;
    struct stat st {};
    if (sys().fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return;
    if (static_cast<uint64_t>(st.st_size) > std::numeric_limits<uint32_t>::max()) return;
    const auto size = static_cast<size_t>(st.st_size);
    void* address = sys().mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return;
    ScopedMapping mapping(address, size);
    SiSDKSetCaliData(handle, mapping.data(), static_cast<uint32_t>(size));
    // The library now reads the new bytes; only then let the previous file go.
    calibrationMap = std::move(mapping);
    calibrationFd = std::move(fd);
}

int VelmoraDeviceVGA::start() {
    // A failed start destroyed the instance; only a new attach brings one back.
    if (!handle) return VelmoraUnkownError;
    if (!writeDefaultConfigFiles()) return VelmoraUnkownError;
    const int32_t w = width.load();
    const int32_t h = height.load();
    if (!SiSDKInit(handle, w, h)) {
        destroyLibrary();
        return VelmoraUnkownError;
    }
    libraryWidth = w;
    libraryHeight = h;
    loadCalibration();
    if (!configDirectory.empty()) SiSDKSetConfig(handle, configDirectory.c_str());
    if (!SiSDKStart(handle)) {
        destroyLibrary();
        return VelmoraUnkownError;
    }
    return VelmoraSuccess;
}

int VelmoraDeviceVGA::stop() { return VelmoraSuccess; }

int VelmoraDeviceVGA::setControl(CameraCtrl ctrl, int value) {
    switch (static_cast<uint32_t>(ctrl)) {
    case static_cast<uint32_t>(CameraCtrl::FMT_WIDTH):
        if (value != 640 && value != 320) return VelmoraInvalidParameter;
        width.store(value);
        return VelmoraSuccess;
    case static_cast<uint32_t>(CameraCtrl::FMT_HEIGHT):
        if (value != 480 && value != 240) return VelmoraInvalidParameter;
        height.store(value);
        return VelmoraSuccess;
    case static_cast<uint32_t>(CameraCtrl::MODE): {
        if (value != static_cast<int>(TofWorkMode::SINGLE_FREQ) && value != static_cast<int>(TofWorkMode::DOUBLE_FREQ))
            return VelmoraInvalidParameter;
        const bool single = value == static_cast<int>(TofWorkMode::SINGLE_FREQ);
        std::lock_guard<std::mutex> guard(modeLock);
        // Without a library instance the mode waits for the next one (attachSensor).
        if (handle) SiSDKSetSingleFreq(handle, single);
        lastSingleFrequency.store(single);
        return VelmoraSuccess;
    }
    case static_cast<uint32_t>(CameraCtrl::FRAME_MODE):
        return VelmoraNotImplemented;
    case static_cast<uint32_t>(CameraCtrl::FRAME_RATE): {
        if (!sensor) return VelmoraUnkownError;
        const int rc = sensor->setControl(CameraCtrl::FRAME_RATE, value);
        if (rc != 0) return rc;
        frameRateSet.store(true);
        return VelmoraSuccess;
    }
    default:  // RANGE, EXPOSURE and everything else
        return VelmoraInvalidParameter;
    }
}

int VelmoraDeviceVGA::setControlExt(CameraCtrl ctrl, const char* value) {
    if (ctrl != CameraCtrl::CONFIG_DIR_EXT || !value) return VelmoraInvalidParameter;
    configDirectory = value;
    return VelmoraSuccess;
}

int VelmoraDeviceVGA::getControl(CameraCtrl ctrl, int* value) {
    if (!value) return VelmoraInvalidParameter;
    switch (static_cast<uint32_t>(ctrl)) {
    case static_cast<uint32_t>(CameraCtrl::RANGE):
        *value = singleFrequency() ? kSingleRangeMm : kDoubleRangeMm;
        return VelmoraSuccess;
    case static_cast<uint32_t>(CameraCtrl::FMT_WIDTH):
        *value = width.load();
        return VelmoraSuccess;
    case static_cast<uint32_t>(CameraCtrl::FMT_HEIGHT):
        *value = height.load();
        return VelmoraSuccess;
    case static_cast<uint32_t>(CameraCtrl::MODE):
        *value = static_cast<int>(singleFrequency() ? TofWorkMode::SINGLE_FREQ : TofWorkMode::DOUBLE_FREQ);
        return VelmoraSuccess;
    case static_cast<uint32_t>(CameraCtrl::FRAME_MODE):
        return VelmoraNotImplemented;
    case static_cast<uint32_t>(CameraCtrl::FRAME_RATE):
        if (frameRateSet.load()) return sensor ? sensor->getControl(ctrl, value) : VelmoraUnkownError;
        return defaultFrameRate(width.load(), height.load(), singleFrequency(), value) ? VelmoraSuccess
                                                                                      : VelmoraInvalidParameter;
    default:  // EXPOSURE and everything else belong to the sensor
        return sensor ? sensor->getControl(ctrl, value) : VelmoraUnkownError;
    }
}

int VelmoraDeviceVGA::getControlExt(CameraCtrl ctrl, const char** value) {
    if (ctrl != CameraCtrl::CONFIG_DIR_EXT || !value) return VelmoraInvalidParameter;
    *value = configDirectory.c_str();
    return VelmoraSuccess;
}

int VelmoraDeviceVGA::getRawImages(const uint8_t* raw, int16_t* out) {
    if (!raw || !out) return 1;
    const int64_t current = samples(width.load(), rawLinesFor(singleFrequency(), height.load()));
    // The buffers were sized by the geometry last reported; a control changed
    // since then must not make this copy run past either of them.
    const int64_t count = std::min({current, reportedRawSamples.load(), sourceSamples.load()});
    if (count > 0) std::memcpy(out, raw, static_cast<size_t>(count) * sizeof(int16_t));
    return 1;
}

bool VelmoraDeviceVGA::getPhaseImage(const uint8_t* raw, float* depth, float* amplitude, float* confidence) {
    if (!handle) return false;
    std::lock_guard<std::mutex> guard(modeLock);
    // The library reads one frame of its own geometry and mode; refuse a
    // frame the camera's buffers cannot hold.
    const int64_t needed = samples(libraryWidth, rawLinesFor(singleFrequency(), libraryHeight));
    if (needed > sourceSamples.load()) return false;
    if (samples(libraryWidth, libraryHeight) > reportedDepthSamples.load()) return false;
    return SiSDKGetPhaseImage(handle, raw, depth, amplitude, confidence);
}

void VelmoraDeviceVGA::setModuleCalibration(bool readFromModule, bool dumpToFile) {
    moduleCalibration = readFromModule;
    dumpCalibration = dumpToFile;
}

}  // namespace Velmora
