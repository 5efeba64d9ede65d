#include "VelmoraTOFCSISensor.h"

#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CsiDefinitions.h"
#include "I2cAccess.h"

namespace Velmora {

int retryIoctl(int fd, unsigned long request, void* arg) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    int result = -1;
    for (int attempt = 0; attempt < 5; ++attempt) {
        result = sys().ioctl(fd, request, arg);
        if (result >= 0) return result;
        if (errno != EINTR && errno != EAGAIN && errno != ETIMEDOUT) break;
    }
    return result;
}

namespace {
// A descriptor of memory-mapped buffer `index`; multi-plane drivers fill in its one plane.
v4l2_buffer mappedBufferDescriptor(uint32_t type, uint32_t index, v4l2_plane* plane) {
    v4l2_buffer buffer{};
    buffer.type = type;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        buffer.m.planes = plane;
        buffer.length = 1;
    }
    return buffer;
}
}  // namespace

VelmoraTOFCSISensor::VelmoraTOFCSISensor(int frames, int model, const char* path) : platformModel(model) {
    frameCount = frames;
    // A path that does not fit is refused (open then fails) rather than cut to another node's name.
    if (path && std::strlen(path) < sizeof(devicePath)) std::snprintf(devicePath, sizeof(devicePath), "%s", path);
}

// Whatever close() did not release, the members release here.
VelmoraTOFCSISensor::~VelmoraTOFCSISensor() {
    if (streaming && videoFd.valid()) {
        uint32_t type = bufType;
        sys().ioctl(videoFd.get(), VIDIOC_STREAMOFF, &type);
    }
    releaseBuffers();
}

int VelmoraTOFCSISensor::controlFd() const {
    // Boards without subdevices take the controls on the video node itself.
    if (!isMediaPlatform()) return videoFd.get();
    return subdevIndex < subdevCount ? subdevFds[subdevIndex].get() : -1;
}

CameraInfo VelmoraTOFCSISensor::getCameraInfo() { return info; }

int VelmoraTOFCSISensor::readBackFormat(uint32_t which, uint32_t& width, uint32_t& height) {
    if (isMediaPlatform()) {
        v4l2_subdev_format format{};
        format.which = which;
        if (sys().ioctl(controlFd(), VIDIOC_SUBDEV_G_FMT, &format) < 0) return VelmoraSystemError;
        width = format.format.width;
        height = format.format.height;
    } else {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (sys().ioctl(videoFd.get(), VIDIOC_G_FMT, &format) < 0) return VelmoraSystemError;
        width = format.fmt.pix.width;
        height = format.fmt.pix.height;
    }
    return VelmoraSuccess;
}

int VelmoraTOFCSISensor::setupFormat() {
    if (!videoFd.valid()) return 0;
    v4l2_format format{};
    format.type = bufType;
    if (bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        format.fmt.pix_mp.width = info.width;
        format.fmt.pix_mp.height = info.height;
        format.fmt.pix_mp.pixelformat = csi::kPixelFormatY12;
        format.fmt.pix_mp.field = V4L2_FIELD_NONE;
        format.fmt.pix_mp.num_planes = 1;
        format.fmt.pix_mp.plane_fmt[0].bytesperline = info.width * 2;
        format.fmt.pix_mp.plane_fmt[0].sizeimage = info.width * info.height * 2;
    } else {
        format.fmt.pix.width = info.width;
        format.fmt.pix.height = info.height;
        format.fmt.pix.pixelformat = platformModel == 6 ? csi::kPixelFormatY12P : csi::kPixelFormatY12;
        format.fmt.pix.field = V4L2_FIELD_NONE;
    }
    v4l2_format tried = format;
    if (retryIoctl(videoFd.get(), VIDIOC_TRY_FMT, &tried) < 0) return -1;
    if (retryIoctl(videoFd.get(), VIDIOC_S_FMT, &format) < 0) return -1;

    if (isMediaPlatform()) {
        for (int i = 0; i < subdevCount; ++i) {
            v4l2_subdev_format subdevFormat{};
            subdevFormat.which = V4L2_SUBDEV_FORMAT_ACTIVE;
            subdevFormat.pad = 0;
            subdevFormat.format.width = info.width;
            subdevFormat.format.height = info.height;
            subdevFormat.format.code = csi::kMediaBusY12;
            subdevFormat.format.field = V4L2_FIELD_NONE;
            if (retryIoctl(subdevFds[i].get(), VIDIOC_SUBDEV_S_FMT, &subdevFormat) < 0 &&
                !(errno == EPERM && holdsActiveFormat(i)))
                return -1;
        }
    }

    // The active format: a driver keeping try formats per open file would answer with its default.
    uint32_t width = 0;
    uint32_t height = 0;
    if (readBackFormat(V4L2_SUBDEV_FORMAT_ACTIVE, width, height) != VelmoraSuccess) return VelmoraSystemError;
    return width == info.width && height == info.height ? 0 : -1;
}

namespace {
std::string fourccText(uint32_t code) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xff);
        text += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}
}  // namespace

// Read-only subdevice nodes (the video node's driver sets the sensor): the
// format it already has is as good as one set.
bool VelmoraTOFCSISensor::holdsActiveFormat(int index) {
    v4l2_subdev_format active{};
    active.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    active.pad = 0;
    if (retryIoctl(subdevFds[index].get(), VIDIOC_SUBDEV_G_FMT, &active) < 0) return false;
    if (active.format.width == info.width && active.format.height == info.height &&
        active.format.code == csi::kMediaBusY12)
        return true;
    std::fprintf(stderr,
                 "Error: %s is read-only and its active format is %ux%u (media bus code 0x%04x), not the %ux%u "
                 "Y12_1X12 the camera needs\n",
                 subdevPaths[index].c_str(), active.format.width, active.format.height, active.format.code, info.width,
                 info.height);
    errno = EPERM;
    return false;
}

int VelmoraTOFCSISensor::chooseConverter() {
    v4l2_format format{};
    format.type = bufType;
    if (retryIoctl(videoFd.get(), VIDIOC_G_FMT, &format) < 0) return -1;
    const bool multiPlane = bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    const uint32_t pixelFormat = multiPlane ? format.fmt.pix_mp.pixelformat : format.fmt.pix.pixelformat;
    const uint32_t bytesPerLine = multiPlane ? format.fmt.pix_mp.plane_fmt[0].bytesperline : format.fmt.pix.bytesperline;
    const uint32_t sizeImage = multiPlane ? format.fmt.pix_mp.plane_fmt[0].sizeimage : format.fmt.pix.sizeimage;
    // Receivers that pack RAW lines on request say so in a control of the node; most have none.
    v4l2_control compact{};
    compact.id = csi::kCompactControl;
    const bool packedOutput = sys().ioctl(videoFd.get(), VIDIOC_G_CTRL, &compact) == 0 && compact.value != 0;
    if (!lineLayoutFor(pixelFormat, info.width, bytesPerLine, packedOutput, lineLayout)) {
        std::fprintf(stderr,
                     "Error: %s set pixel format %s with %u bytes per line for %u pixels: not a layout of 12-bit "
                     "samples the driver can decode\n",
                     devicePath, fourccText(pixelFormat).c_str(), bytesPerLine, info.width);
        return -1;
    }
    if (size_t{sizeImage} < size_t{bytesPerLine} * info.height) {
        std::fprintf(stderr, "Error: %s reports frames of %u bytes, fewer than %u lines of %u bytes\n", devicePath,
                     sizeImage, info.height, bytesPerLine);
        return -1;
    }
    if (platformModel == 3) {
        converter = convertSplitLines;
    } else if (lineLayout.packed) {
        converter = lineLayout.stride == packed12Stride(info.width) ? convertPacked12Lines : nullptr;
    } else if (lineLayout.stride == size_t{2} * info.width) {
        converter = convertPlainLines;
    } else if (lineLayout.stride == kPaddedLineStride && info.width * 2 == kPaddedLinePayload) {
        converter = convertPaddedLines;
    } else {
        converter = nullptr;
    }
    frameBytes = size_t{bytesPerLine} * info.height;
    return 0;
}

size_t VelmoraTOFCSISensor::convertBuffer(const uint8_t* source, size_t length, uint8_t* destination,
                                          size_t capacity, size_t position) const {
    if (converter) return converter(source, length, destination, capacity, position, streamWidth);
    return lineLayout.packed
               ? convertPacked12Strided(source, length, destination, capacity, position, streamWidth, lineLayout.stride)
               : convertStridedLines(source, length, destination, capacity, position, streamWidth, lineLayout.stride);
}

int VelmoraTOFCSISensor::queryBuffer(int index, size_t& length, uint32_t& offset) {
    v4l2_plane planes[1]{};
    v4l2_buffer buffer = mappedBufferDescriptor(bufType, static_cast<uint32_t>(index), planes);
    if (retryIoctl(videoFd.get(), VIDIOC_QUERYBUF, &buffer) < 0) return -1;
    if (bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        length = planes[0].length;
        offset = planes[0].m.mem_offset;
    } else {
        length = buffer.length;
        offset = buffer.m.offset;
    }
    return 0;
}

int VelmoraTOFCSISensor::queueBuffer(int index) {
    v4l2_plane planes[1]{};
    planes[0].length = static_cast<uint32_t>(buffers[index].length());
    v4l2_buffer buffer = mappedBufferDescriptor(bufType, static_cast<uint32_t>(index), planes);
    return retryIoctl(videoFd.get(), VIDIOC_QBUF, &buffer) < 0 ? -1 : 0;
}

void VelmoraTOFCSISensor::releaseBuffers() {
    for (ScopedMapping& mapping : buffers) mapping.reset();
    mappedBuffers = 0;
}

int VelmoraTOFCSISensor::freeDriverBuffers() {
    // While the driver holds buffers it refuses a new format, so a later start would fail.
    v4l2_requestbuffers request{};
    request.count = 0;
    request.type = bufType;
    request.memory = V4L2_MEMORY_MMAP;
    return retryIoctl(videoFd.get(), VIDIOC_REQBUFS, &request) < 0 ? VelmoraSystemError : 0;
}

int VelmoraTOFCSISensor::abandonStart(int result) {
    releaseBuffers();
    freeDriverBuffers();
    return result;
}

int VelmoraTOFCSISensor::start() {
    // A second start while streaming would re-request buffers the stream still uses.
    if (streaming) return -1;
    if (info.width == 0 || info.height == 0) return -1;
    if (setupFormat() != 0) return -1;
    if (chooseConverter() != 0) return -1;

    v4l2_requestbuffers request{};
    request.count = kMaxBuffers;
    request.type = bufType;
    request.memory = V4L2_MEMORY_MMAP;
    if (retryIoctl(videoFd.get(), VIDIOC_REQBUFS, &request) < 0) return -1;
    // Use what the driver grants, up to the slots there are; too few cannot stream.
    const int granted = static_cast<int>(std::min<uint32_t>(request.count, kMaxBuffers));
    if (granted < kMinBuffers) return abandonStart(-1);

    for (int i = 0; i < granted; ++i) {
        size_t length = 0;
        uint32_t offset = 0;
        if (queryBuffer(i, length, offset) != 0 || length == 0) return abandonStart(-1);
        // A buffer smaller than the frame the format describes would be read past its end.
        if (length < frameBytes) {
            std::fprintf(stderr, "Error: %s grants buffers of %zu bytes for frames of %zu\n", devicePath, length,
                         frameBytes);
            return abandonStart(-1);
        }
        void* address =
            sys().mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, videoFd.get(), static_cast<off_t>(offset));
        if (address == MAP_FAILED || address == nullptr) return abandonStart(-1);
        buffers[i] = ScopedMapping(address, length);
        mappedBuffers = static_cast<size_t>(i) + 1;
        if (queueBuffer(i) != 0) return abandonStart(-1);
    }

    uint32_t type = bufType;
    if (retryIoctl(videoFd.get(), VIDIOC_STREAMON, &type) < 0) return abandonStart(VelmoraSystemError);
    subFrameBytes = size_t{2} * info.width * info.height;
    streamWidth = info.width;
    streaming = true;
    return 0;
}

bool VelmoraTOFCSISensor::waitForBuffer() {
    // A sensor that stops delivering must not hold the capture thread, and so stop, for good.
    while (true) {
        const int ready = sys().poll(videoFd.get(), POLLIN, csi::kDequeueWaitMs);
        if (ready > 0) return true;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) return false;
    }
}

int VelmoraTOFCSISensor::readFrame(uint8_t* destination, uint64_t* timestamp) {
    if (!timestamp) return VelmoraUnkownError;
    if (frameCount <= 0) {
        *timestamp = 0;
        return 0;
    }
    if (!destination) return VelmoraUnkownError;

    if (gone) {
        errno = ENODEV;
        return VelmoraSystemError;
    }
    if (restartPending) {
        restartPending = false;
        if (start() != 0) {
            restartPending = true;
            return VelmoraSystemError;
        }
    }
    const bool multiPlane = bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    size_t position = 0;
    int collected = 0;
    int64_t previousUs = 0;
    timeval last{};
    while (collected < frameCount) {
        // The destination holds frameCount sub-frames of the size streaming started with.
        const size_t capacity = streaming ? subFrameBytes * static_cast<size_t>(frameCount) : 0;
        if (!waitForBuffer()) return errno == ENODEV ? failedDequeue() : VelmoraSystemError;
        v4l2_plane planes[1]{};
        v4l2_buffer buffer = mappedBufferDescriptor(bufType, 0, planes);
        if (retryIoctl(videoFd.get(), VIDIOC_DQBUF, &buffer) < 0) return failedDequeue();
        failedDequeues = 0;
        if (buffer.index >= kMaxBuffers || buffer.index >= mappedBuffers) return VelmoraNoCache;
        // A buffer the receiver flags, or one it filled with less than a frame (a drivers' 0 says nothing).
        const uint32_t used = multiPlane ? planes[0].bytesused : buffer.bytesused;
        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) || (used != 0 && used < frameBytes)) {
            // The receiver lost this sub-frame: a failed read, the buffer goes back to it.
            if (multiPlane) buffer.length = 1;
            retryIoctl(videoFd.get(), VIDIOC_QBUF, &buffer);
            errno = EIO;
            return VelmoraSystemError;
        }

        const int64_t timeUs = static_cast<int64_t>(buffer.timestamp.tv_sec) * 1000000 + buffer.timestamp.tv_usec;
        if (collected > 0 && timeUs - previousUs > csi::kMaxSubFrameGapUs) {
            position = 0;
            collected = 0;
        }
        const ScopedMapping& mapping = buffers[buffer.index];
        const size_t reported = multiPlane ? planes[0].length : buffer.length;
        position = convertBuffer(mapping.data(), std::min(reported, mapping.length()), destination, capacity, position);

        previousUs = timeUs;
        last = buffer.timestamp;
        if (multiPlane) buffer.length = 1;
        if (retryIoctl(videoFd.get(), VIDIOC_QBUF, &buffer) < 0) return VelmoraSystemError;
        ++collected;
    }
    *timestamp = static_cast<uint64_t>(last.tv_sec) * 1000 + static_cast<uint64_t>(last.tv_usec) / 1000;
    return 0;
}

// ENODEV: the device went away (unplugged, driver unbound) and stays away.
// A run of EIO: the queue is in its error state until streaming restarts.
int VelmoraTOFCSISensor::failedDequeue() {
    const int error = errno;
    if (error == ENODEV) {
        if (!gone) std::fprintf(stderr, "Error: camera gone: %s no longer exists\n", devicePath);
        gone = true;
    } else if (error == EIO && ++failedDequeues >= csi::kDeadQueueFailures) {
        failedDequeues = 0;
        restartStreaming();
    }
    errno = error;
    return VelmoraSystemError;
}

void VelmoraTOFCSISensor::restartStreaming() {
    stop();
    if (start() != 0) restartPending = true;
}

int VelmoraTOFCSISensor::stop() {
    restartPending = false;
    if (!videoFd.valid()) return VelmoraSystemError;
    uint32_t type = bufType;
    if (retryIoctl(videoFd.get(), VIDIOC_STREAMOFF, &type) < 0) return VelmoraSystemError;
    streaming = false;
    // Only the buffers start mapped, each with the length it was mapped with.
    int result = 0;
    for (ScopedMapping& mapping : buffers) {
        if (mapping.reset() != 0) result = VelmoraSystemError;
    }
    mappedBuffers = 0;
    if (freeDriverBuffers() != 0) result = VelmoraSystemError;
    return result;
}

int VelmoraTOFCSISensor::close() {
    if (streaming && videoFd.valid()) {
        uint32_t type = bufType;
        retryIoctl(videoFd.get(), VIDIOC_STREAMOFF, &type);
    }
    streaming = false;
    releaseBuffers();
    for (ScopedFd& fd : subdevFds) fd.reset();
    subdevCount = 0;
    subdevIndex = 0;
    gone = false;
    failedDequeues = 0;
    restartPending = false;
    videoFd.reset();
    i2cFd.reset();
    calibrationBuffer.clear();
    calibrationBuffer.shrink_to_fit();
    return 0;
}

namespace {

bool validDimension(int value) { return value > 0 && static_cast<uint32_t>(value) <= csi::kMaxDimension; }

}  // namespace

int VelmoraTOFCSISensor::setControl(CameraCtrl ctrl, int value) {
    switch (ctrl) {
    case CameraCtrl::RANGE:
    case CameraCtrl::EXPOSURE: {
        v4l2_control control{};
        if (ctrl == CameraCtrl::RANGE) {
            if (value != 2 && value != 4) return VelmoraInvalidParameter;
            control.id = csi::kRangeControl;
            control.value = value == 2 ? 1 : 0;
        } else {
            control.id = csi::kExposureControl;
            control.value = value;
        }
        if (retryIoctl(controlFd(), VIDIOC_S_CTRL, &control) < 0) {
            std::perror("VIDIOC_S_CTRL");
            return VelmoraUnkownError;
        }
        return VelmoraSuccess;
    }
    case CameraCtrl::FMT_WIDTH:
        if (!validDimension(value)) return VelmoraInvalidParameter;
        info.width = static_cast<uint32_t>(value);
        return VelmoraSuccess;
    case CameraCtrl::FMT_HEIGHT:
        if (!validDimension(value)) return VelmoraInvalidParameter;
        info.height = static_cast<uint32_t>(value);
        return VelmoraSuccess;
    case CameraCtrl::FRAME_RATE:
        frameRate.store(value);
        return writeFrameRate(value);
    default:
        return VelmoraInvalidParameter;
    }
}

int VelmoraTOFCSISensor::getControl(CameraCtrl ctrl, int* value) {
    if (!value) return VelmoraInvalidParameter;
    switch (ctrl) {
    case CameraCtrl::RANGE:
    case CameraCtrl::EXPOSURE: {
        v4l2_control control{};
        control.id = ctrl == CameraCtrl::RANGE ? csi::kRangeControl : csi::kExposureControl;
        if (retryIoctl(controlFd(), VIDIOC_G_CTRL, &control) < 0) {
            std::perror("VIDIOC_G_CTRL");
            return VelmoraUnkownError;
        }
        if (ctrl == CameraCtrl::RANGE) {
            *value = control.value == 0 ? 4 : 2;
        } else {
            *value = control.value;
        }
        return VelmoraSuccess;
    }
    case CameraCtrl::FMT_WIDTH:
        *value = static_cast<int>(info.width);
        return VelmoraSuccess;
    case CameraCtrl::FMT_HEIGHT:
        *value = static_cast<int>(info.height);
        return VelmoraSuccess;
    case CameraCtrl::FRAME_RATE:
        *value = frameRate.load();
        return VelmoraSuccess;
    default:
        return VelmoraInvalidParameter;
    }
}

int VelmoraTOFCSISensor::writeFrameRate(int32_t rate) {
    if (!i2cFd.valid()) return VelmoraSystemError;
    return i2cWriteFrameRate(i2cFd.get(), static_cast<uint16_t>(chipAddress), rate);
}

int VelmoraTOFCSISensor::readBlock(uint16_t offset, uint8_t* destination) {
    if (!i2cFd.valid()) return VelmoraSystemError;
    return i2cReadBlock(i2cFd.get(), static_cast<uint16_t>(chipAddress), offset, destination);
}

}  // namespace Velmora
