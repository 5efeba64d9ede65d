#pragma once
// Transport for a camera module on a board's CSI port: V4L2 memory-mapped
// capture, controls on the sensor subdevice (or the video node where the
// board has none) and the frame rate over the module's I2C control chip.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CsiLineConverters.h"
#include "PlatformDetection.h"
#include "SystemHandles.h"
#include "VelmoraTOFSensor.h"

struct media_entity_desc;

namespace Velmora {

// Issues a V4L2 or media request up to five times while it fails with EINTR,
// EAGAIN or ETIMEDOUT; a negative descriptor fails at once with EBADF.
int retryIoctl(int fd, unsigned long request, void* arg);

class VelmoraTOFCSISensor : public VelmoraTOFSensor {
public:
    static constexpr int kMaxBuffers = 8;
    static constexpr int kMinBuffers = 2;
    static constexpr int kMaxSubdevs = 4;
    static constexpr size_t kCalibrationBytes = 16384;
    static constexpr int16_t kChipAddress = 0x0c;

    VelmoraTOFCSISensor(int frameCount, int platformModel, const char* devicePath);
    ~VelmoraTOFCSISensor() override;
    VelmoraTOFCSISensor(const VelmoraTOFCSISensor&) = delete;
    VelmoraTOFCSISensor& operator=(const VelmoraTOFCSISensor&) = delete;

    int open(CameraInfo& info) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getCameraInfo() override;
    int readFrame(uint8_t* destination, uint64_t* timestamp) override;
    int setControl(CameraCtrl ctrl, int value) override;
    int getControl(CameraCtrl ctrl, int* value) override;

    // Fetches the control chip's 512-byte block at `offset`; 0 or -2.
    int readBlock(uint16_t offset, uint8_t* destination);
    // 16 KiB block for the module's calibration data; null before open and after close.
    uint8_t* getCalibrationBuffer() { return calibrationBuffer.empty() ? nullptr : calibrationBuffer.data(); }

    // What discovery found, for diagnostics.
    const char* busName() const { return i2cBusName; }
    const char* mediaNodePath() const { return mediaPath; }
    int subdeviceCount() const { return subdevCount; }
    int controlSubdeviceIndex() const { return subdevIndex; }
    uint32_t bufferType() const { return bufType; }
    int mappedBufferCount() const { return static_cast<int>(mappedBuffers); }
    // The capture node reported the device removed (ENODEV): reads fail for good.
    bool cameraGone() const { return gone; }

private:
    bool isMediaPlatform() const { return hasMediaGraph(platformModel); }
    int controlFd() const;
    int setupFormat();
    // Size on the sensor's subdevice (try or active format) or the capture node.
    int readBackFormat(uint32_t which, uint32_t& width, uint32_t& height);
    int queryBuffer(int index, size_t& length, uint32_t& offset);
    int queueBuffer(int index);
    bool waitForBuffer();
    void releaseBuffers();
    int freeDriverBuffers();
    int abandonStart(int result);
    // The converter for the format the kernel set; -1 (and why on stderr) for one it cannot decode.
    int chooseConverter();
    size_t convertBuffer(const uint8_t* source, size_t length, uint8_t* destination, size_t capacity,
                         size_t position) const;
    // A subdevice that refused the active format as read-only (EPERM) and already has it.
    bool holdsActiveFormat(int index);
    int failedDequeue();
    void restartStreaming();
    int writeFrameRate(int32_t rate);

    // Discovery steps of open.
    int readBusTextFromVideoName();
    void discoverMediaDevices();
    bool enableReceiverLink(int mediaFd);
    // Some process holds the node open (its descriptors in /proc name it).
    bool nodeInUse(const std::string& node);
    bool openEntitySubdev(const media_entity_desc& entity);
    int openI2cBus();

    ScopedFd videoFd;
    std::array<ScopedFd, kMaxSubdevs> subdevFds;
    std::array<std::string, kMaxSubdevs> subdevPaths;
    uint8_t subdevIndex = 0;
    uint8_t subdevCount = 0;
    // Discovery opened the sensor's own subdevice (media-controller boards).
    bool sensorSubdevFound = false;
    char i2cBusName[8] = {};
    ScopedFd i2cFd;
    int16_t chipAddress = kChipAddress;
    std::vector<uint8_t> calibrationBuffer;
    // Set from the caller's thread and the capture thread's rate adjustment.
    std::atomic<int32_t> frameRate{0};
    int32_t input = 0;
    int32_t platformModel;
    char devicePath[80] = {};
    char mediaPath[80] = {};
    uint32_t bufType = 1;
    std::array<ScopedMapping, kMaxBuffers> buffers;
    size_t mappedBuffers = 0;
    CameraInfo info{};
    LineConverter converter = convertPlainLines;
    // Lines the kernel laid out itself (converter null): packed or not, and their stride.
    LineLayout lineLayout;
    bool gone = false;
    int failedDequeues = 0;  // EIO in a row
    bool restartPending = false;

    bool streaming = false;
    // Geometry of the stream as started: readFrame's destination holds
    // frameCount sub-frames of this many bytes.
    size_t subFrameBytes = 0;
    // Bytes of one buffer's lines as the kernel lays them out.
    size_t frameBytes = 0;
    uint32_t streamWidth = 0;
};

}  // namespace Velmora
