// Opening a CSI camera: the video node, the sensor's subdevices found through
// the media controller, and the bus of the module's control chip.

#include "CsiDiscovery.h"

#include <fcntl.h>
#include <linux/i2c.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CsiDefinitions.h"
#include "I2cAccess.h"
#include "VelmoraTOFCSISensor.h"

namespace Velmora {

namespace {

constexpr size_t kSysfsLineLimit = 256;  // at most 255 characters and the terminator

void copyBounded(const std::string& text, char* out, size_t size) {
    if (size == 0) return;
    size_t count = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), count);
    out[count] = '\0';
}

std::string charDevicePath(unsigned major, unsigned minor, const char* suffix) {
    char path[96];
    std::snprintf(path, sizeof(path), "/sys/dev/char/%u:%u%s", major, minor, suffix);
    return path;
}

bool characterDevice(int fd, struct stat& st) {
    return sys().fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
}

std::string entityName(const media_entity_desc& entity) {
    return std::string(entity.name, strnlen(entity.name, sizeof(entity.name)));
}

// Id of the entity named exactly `name`, or -1 (as the kernel's u32) after printing why.
uint32_t findEntityId(int mediaFd, const char* name) {
    media_entity_desc entity{};
    entity.id = MEDIA_ENT_ID_FLAG_NEXT;
    while (true) {
        if (retryIoctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &entity) < 0) {
            std::perror("Query entity failed");
            return static_cast<uint32_t>(-1);
        }
        if (entityName(entity) == name) return entity.id;
        const uint32_t id = entity.id;
        entity = media_entity_desc{};
        entity.id = id | MEDIA_ENT_ID_FLAG_NEXT;
    }
}

}  // namespace

bool busTextFromVideoName(const std::string& name, char* bus, size_t size) {
    if (size == 0) return false;
    bus[0] = '\0';
    size_t marker = name.find("velmora");
    if (marker == std::string::npos) return false;
    size_t blank = name.find(' ', marker);
    if (blank == std::string::npos) return true;
    size_t count = 0;
    for (size_t i = blank + 1; i < name.size() && count + 1 < size; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) break;
        bus[count++] = name[i];
    }
    bus[count] = '\0';
    return true;
}

bool busTextFromEntityName(const std::string& name, char* bus, size_t size) {
    if (size == 0) return false;
    bus[0] = '\0';
    size_t blank = name.find(' ');
    if (blank == std::string::npos) return false;
    std::string text = name.substr(blank + 1, std::min<size_t>(7, size - 1));
    text = text.substr(0, text.find('-'));
    copyBounded(text, bus, size);
    return true;
}

std::string subdevNodeFromLink(const std::string& linkTarget) {
    size_t slash = linkTarget.rfind('/');
    if (slash == std::string::npos) return std::string();
    std::string component = linkTarget.substr(slash);
    if (component.compare(0, 11, "/v4l-subdev") != 0) return std::string();
    return "/dev" + component;
}

int VelmoraTOFCSISensor::readBusTextFromVideoName() {
    struct stat st {};
    if (!characterDevice(videoFd.get(), st)) return VelmoraSystemError;
    std::string contents;
    if (!sys().readFile(charDevicePath(major(st.st_rdev), minor(st.st_rdev), "/name"), contents, kSysfsLineLimit - 1))
        return VelmoraSystemError;
    std::string line = contents.substr(0, contents.find('\n'));
    if (contents.empty()) return VelmoraSystemError;
    return busTextFromVideoName(line, i2cBusName, sizeof(i2cBusName)) ? VelmoraSuccess : VelmoraSystemError;
}

bool VelmoraTOFCSISensor::openEntitySubdev(const media_entity_desc& entity) {
    if (subdevCount >= kMaxSubdevs) return false;
    char link[kSysfsLineLimit];
    const std::string path = charDevicePath(entity.dev.major, entity.dev.minor, "");
    ssize_t length = sys().readlink(path.c_str(), link, sizeof(link));
    // A target that fills the buffer may have been cut: refuse it.
    if (length < 0 || static_cast<size_t>(length) >= sizeof(link)) return false;
    const std::string node = subdevNodeFromLink(std::string(link, static_cast<size_t>(length)));
    if (node.empty()) return false;
    int fd = sys().open(node.c_str(), O_RDWR);
    if (fd < 0) return false;
    subdevPaths[subdevCount] = node;
    subdevFds[subdevCount++].reset(fd);
    return true;
}

namespace {

bool entityById(int mediaFd, uint32_t id, media_entity_desc& entity) {
    entity = media_entity_desc{};
    entity.id = id;
    return retryIoctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &entity) >= 0;
}

// "/dev/videoN" of an entity's device node, from sysfs; empty when it has none.
std::string entityNode(const media_entity_desc& entity) {
    char link[kSysfsLineLimit];
    const std::string path = charDevicePath(entity.dev.major, entity.dev.minor, "");
    const ssize_t length = sys().readlink(path.c_str(), link, sizeof(link));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(link)) return std::string();
    const std::string target(link, static_cast<size_t>(length));
    return "/dev" + target.substr(target.rfind('/'));
}

}  // namespace

bool VelmoraTOFCSISensor::nodeInUse(const std::string& node) {
    std::vector<std::string> processes;
    if (!sys().listDirectory("/proc", processes)) return false;
    for (const std::string& pid : processes) {
        if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
        std::vector<std::string> fds;
        if (!sys().listDirectory("/proc/" + pid + "/fd", fds)) continue;
        for (const std::string& fd : fds) {
            char target[kSysfsLineLimit];
            const std::string path = "/proc/" + pid + "/fd/" + fd;
            const ssize_t length = sys().readlink(path.c_str(), target, sizeof(target));
            if (length > 0 && std::string(target, static_cast<size_t>(length)) == node) return true;
        }
    }
    return false;
}

// The Pi 5's receiver holds a stream until every node its enabled links feed
// streams: the link into this node is enabled, other outputs' links are
// disabled where nobody has their node open, and otherwise reported.
bool VelmoraTOFCSISensor::enableReceiverLink(int mediaFd) {
    struct stat st {};
    if (!characterDevice(videoFd.get(), st)) return false;
    media_entity_desc receiver{};
    const uint32_t receiverId = findEntityId(mediaFd, "csi2");
    if (receiverId == static_cast<uint32_t>(-1) || !entityById(mediaFd, receiverId, receiver)) return false;
    std::vector<media_pad_desc> pads(receiver.pads);
    std::vector<media_link_desc> links(receiver.links);
    media_links_enum request{};
    request.entity = receiver.id;
    request.pads = pads.data();
    request.links = links.data();
    if (retryIoctl(mediaFd, MEDIA_IOC_ENUM_LINKS, &request) < 0) return false;

    // This node's entity carries its device number; its name differs between kernels.
    media_link_desc* own = nullptr;
    for (media_link_desc& link : links) {
        media_entity_desc sink{};
        if (!entityById(mediaFd, link.sink.entity, sink)) continue;
        if (sink.dev.major == major(st.st_rdev) && sink.dev.minor == minor(st.st_rdev)) {
            own = &link;
            continue;
        }
        if (!(link.flags & MEDIA_LNK_FL_ENABLED) || (link.flags & MEDIA_LNK_FL_IMMUTABLE)) continue;
        const std::string node = entityNode(sink);
        media_link_desc disabled = link;
        disabled.flags = 0;
        if (!nodeInUse(node) && retryIoctl(mediaFd, MEDIA_IOC_SETUP_LINK, &disabled) >= 0) continue;
        std::fprintf(stderr,
                     "Error: link csi2:%u -> %s:%u is enabled and %s is in use: the receiver holds streaming until "
                     "that node streams too\n",
                     link.source.index, entityName(sink).c_str(), link.sink.index, node.c_str());
        return false;
    }
    if (!own) {
        std::fprintf(stderr, "Error: no link from csi2 to %s\n", devicePath);
        return false;
    }
    own->flags = MEDIA_LNK_FL_ENABLED;
    return retryIoctl(mediaFd, MEDIA_IOC_SETUP_LINK, own) >= 0;
}

void VelmoraTOFCSISensor::discoverMediaDevices() {
    struct stat st {};
    if (!characterDevice(videoFd.get(), st)) return;
    std::vector<std::string> entries;
    if (!sys().listDirectory(charDevicePath(major(st.st_rdev), minor(st.st_rdev), "/device"), entries)) return;

    ScopedFd mediaFd;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->compare(0, 5, "media") != 0) continue;
        const std::string node = "/dev/" + *entry;
        if (node.size() >= sizeof(mediaPath)) continue;
        int fd = sys().open(node.c_str(), O_RDWR);
        if (fd < 0) continue;
        mediaFd.reset(fd);
        copyBounded(node, mediaPath, sizeof(mediaPath));
        break;
    }
    if (!mediaFd.valid()) return;
    if (platformModel == 6 && !enableReceiverLink(mediaFd.get())) return;

    const char* receiver = platformModel == 6 ? "csi2" : platformModel == 7 ? "rockchip-csi2-dphy1" : nullptr;
    const char* sensorPattern = platformModel == 7 ? "marquenty" : "velmora-marquenty";
    media_entity_desc entity{};
    entity.id = MEDIA_ENT_ID_FLAG_NEXT;
    while (retryIoctl(mediaFd.get(), MEDIA_IOC_ENUM_ENTITIES, &entity) >= 0) {
        const std::string name = entityName(entity);
        if (receiver && name == receiver) {
            if (!openEntitySubdev(entity)) return;
        } else if (name.find(sensorPattern) != std::string::npos) {
            if (!busTextFromEntityName(name, i2cBusName, sizeof(i2cBusName))) return;
            const uint8_t position = subdevCount;
            if (openEntitySubdev(entity)) {
                subdevIndex = position;
                sensorSubdevFound = true;
            }
            return;
        }
        const uint32_t id = entity.id;
        entity = media_entity_desc{};
        entity.id = id | MEDIA_ENT_ID_FLAG_NEXT;
    }
}

int VelmoraTOFCSISensor::openI2cBus() {
    const int bus = lookupI2cBus(i2cBusName);
    if (bus < 0) return VelmoraSystemError;
    char fileName[20];
    i2cFd.reset(i2c_open_i2c_dev(bus, fileName, sizeof(fileName), 0));
    if (!i2cFd.valid()) return VelmoraSystemError;
    unsigned long functions = 0;
    if (i2c_get_functionality(i2cFd.get(), &functions) < 0) return VelmoraSystemError;
    if (!(functions & I2C_FUNC_I2C)) {
        std::fprintf(stderr, "Error: Adapter does not have %s capability\n", "I2C transfers");
        return VelmoraSystemError;
    }
    chipAddress = kChipAddress;
    calibrationBuffer.assign(kCalibrationBytes, 0);
    return VelmoraSuccess;
}

int VelmoraTOFCSISensor::open(CameraInfo& cameraInfo) {
    // Opening again starts from nothing rather than leaking what the last open held.
    close();
    i2cBusName[0] = '\0';
    mediaPath[0] = '\0';
    sensorSubdevFound = false;
    if (devicePath[0] == '\0') return VelmoraSystemError;

    videoFd.reset(sys().open(devicePath, O_RDWR));
    if (!videoFd.valid()) return VelmoraSystemError;

    v4l2_capability capability{};
    if (retryIoctl(videoFd.get(), VIDIOC_QUERYCAP, &capability) < 0) {
        // Reported to the caller; a library never ends its host process.
        std::fprintf(stderr, "VIDIOC_QUERYCAP: error - %d\n", errno);
        return VelmoraSystemError;
    }
    if (capability.capabilities & V4L2_CAP_VIDEO_CAPTURE) {
        bufType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    } else if (capability.capabilities & V4L2_CAP_VIDEO_CAPTURE_MPLANE) {
        bufType = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    } else {
        return VelmoraSystemError;
    }
    if (!(capability.capabilities & V4L2_CAP_STREAMING)) return VelmoraSystemError;

    switch (platformModel) {
    case 7:
        bufType = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
        discoverMediaDevices();
        break;
    case 5:
    case 6:
        bufType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        discoverMediaDevices();
        break;
    default:
        bufType = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        subdevCount = 0;
        if (platformModel >= 2 && platformModel <= 4 && readBusTextFromVideoName() != VelmoraSuccess)
            return VelmoraSystemError;
        break;
    }

    if (bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        int selected = input;
        if (retryIoctl(videoFd.get(), VIDIOC_S_INPUT, &selected) < 0) return VelmoraSystemError;
    }
    if (openI2cBus() != VelmoraSuccess) return VelmoraSystemError;

    int result = VelmoraSuccess;
    uint32_t width = 0;
    uint32_t height = 0;
    if (isMediaPlatform() && !sensorSubdevFound) {
        // Without the sensor's subdevice the size and the controls would go to the receiver.
        result = VelmoraSystemError;
    } else if (readBackFormat(V4L2_SUBDEV_FORMAT_TRY, width, height) != VelmoraSuccess) {
        result = VelmoraSystemError;
    } else if (width == 0 || height == 0 || width > csi::kMaxDimension || height > csi::kMaxDimension) {
        // A size no frame buffer can be built for is as good as no answer.
        result = VelmoraSystemError;
    } else {
        cameraInfo.width = width;
        cameraInfo.height = height;
    }
    cameraInfo.bit_width = 12;
    cameraInfo.bpp = 2;
    info = cameraInfo;
    return result;
}

}  // namespace Velmora
