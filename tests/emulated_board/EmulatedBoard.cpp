#include "EmulatedBoard.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "CsiDefinitions.h"
#include "VgaRender.h"

namespace VelmoraTest {

namespace csi = Velmora::csi;

const char* callName(Call call) {
    switch (call) {
    case Call::Open: return "open";
    case Call::Close: return "close";
    case Call::Ioctl: return "ioctl";
    case Call::Mmap: return "mmap";
    case Call::Munmap: return "munmap";
    case Call::Fstat: return "fstat";
    case Call::Poll: return "poll";
    case Call::Readlink: return "readlink";
    case Call::ListDirectory: return "listDirectory";
    case Call::ReadFile: return "readFile";
    }
    return "?";
}

namespace {

constexpr unsigned kVideoMajor = 81;
constexpr unsigned kMediaMajor = 237;
constexpr unsigned kI2cMajor = 89;
constexpr uint32_t kBufferOffsetStep = 0x100000;

std::string format(const char* pattern, unsigned a, unsigned b) {
    char text[128];
    std::snprintf(text, sizeof(text), pattern, a, b);
    return text;
}

std::string charPath(unsigned major, unsigned minor) { return format("/sys/dev/char/%u:%u", major, minor); }

}  // namespace

BoardOptions boardPreset(int platformModel) {
    BoardOptions o;
    o.platformModel = platformModel;
    const uint32_t single = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    switch (platformModel) {
    case 2:
        o.modelText = "NVIDIA Jetson Nano Developer Kit";
        o.videoName = "vi-output, velmora-marquenty 9-000c";
        o.capabilities = single | V4L2_CAP_READWRITE;
        o.controlsOnVideoNode = true;
        o.deviceDir = {"uevent", "driver", "subsystem", "power"};
        o.adapters = {{0, "7000c000.i2c"}, {1, "7000c400.i2c"}, {6, "7000c500.i2c"}, {9, "i2c-6-mux (chan_id 1)"}};
        o.cameraBus = 9;
        o.layout = BufferLayout::Padded512;
        o.pixelFormat = csi::kPixelFormatY12;
        break;
    case 3:
        o.modelText = "NVIDIA Jetson Xavier NX Developer Kit";
        o.videoName = "vi-output, velmora-marquenty 30-000c";
        o.capabilities = single;
        o.controlsOnVideoNode = true;
        o.deviceDir = {"uevent", "driver", "subsystem", "power"};
        o.adapters = {{2, "3180000.i2c"}, {8, "c250000.i2c"}, {30, "i2c-2-mux (chan_id 0)"}};
        o.cameraBus = 30;
        o.layout = BufferLayout::Split960;
        o.pixelFormat = csi::kPixelFormatY12;
        o.sampleShift = 4;
        break;
    case 5:
        o.modelText = "Raspberry Pi 4 Model B Rev 1.4";
        o.videoName = "csi-capture-image";
        o.capabilities = single | V4L2_CAP_READWRITE | V4L2_CAP_IO_MC;
        o.deviceDir = {"media1", "driver", "modalias", "video4linux", "subsystem", "uevent", "power"};
        o.entities = {{"velmora-marquenty 10-000c", EntityRole::Sensor, 1, "", false},
                      {"csi-capture-image", EntityRole::Video, 1, "", false},
                      {"csi-capture-embedded", EntityRole::Other, 1, "", false}};
        o.links = {{"velmora-marquenty 10-000c", 0, "csi-capture-image", 0, true}};
        o.adapters = {{1, "soc-i2c (i2c@7e804000)"}, {10, "i2c-11-mux (chan_id 1)"}, {11, "soc-i2c (i2c@7e205000)"}};
        o.cameraBus = 10;
        o.layout = BufferLayout::Plain;
        o.pixelFormat = csi::kPixelFormatY12;
        break;
    case 6:
        o.modelText = "Raspberry Pi 5 Model B Rev 1.0";
        o.videoName = "rp1-cfe-csi2_ch0";
        o.capabilities = single | V4L2_CAP_IO_MC;
        o.deviceDir = {"of_node", "media3", "driver", "video4linux", "subsystem", "uevent", "power"};
        o.entities = {{"rp1-cfe-csi2_ch0", EntityRole::Video, 1, "", false},
                      {"csi2", EntityRole::Receiver, 6, "", false},
                      {"velmora-marquenty 4-000c", EntityRole::Sensor, 1, "", false},
                      {"isp-frontend", EntityRole::Other, 5, "", false}};
        o.links = {{"velmora-marquenty 4-000c", 0, "csi2", 0, true}, {"csi2", 4, "rp1-cfe-csi2_ch0", 0, false}};
        o.streamNeedsLink = true;
        o.requiredLink = {"csi2", 4, "rp1-cfe-csi2_ch0", 0, true};
        o.adapters = {{1, "rp1 I2C adapter"},
                      {4, "rp1 I2C adapter"},
                      {6, "rp1 I2C adapter"}};
        o.cameraBus = 4;
        o.layout = BufferLayout::Packed12;
        o.pixelFormat = csi::kPixelFormatY12P;
        break;
    case 7:
        o.modelText = "Radxa ROCK 5B";
        o.videoName = "mipi-capture0";
        o.capabilities = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
        o.multiPlane = true;
        o.deviceDir = {"media0", "driver", "video4linux", "subsystem", "power", "uevent"};
        o.entities = {{"mipi-capture0", EntityRole::Video, 1, "", false},
                      {"mipi-csi2-host", EntityRole::Other, 2, "", false},
                      {"rockchip-csi2-dphy1", EntityRole::Receiver, 2, "", false},
                      {"m00_b_velmora-marquenty 3-000c", EntityRole::Sensor, 1, "", false}};
        o.links = {{"m00_b_velmora-marquenty 3-000c", 0, "rockchip-csi2-dphy1", 0, true},
                   {"rockchip-csi2-dphy1", 1, "mipi-csi2-host", 0, true},
                   {"mipi-csi2-host", 1, "mipi-capture0", 0, true}};
        o.adapters = {{3, "soc-i2c"}, {7, "soc-i2c"}};
        o.cameraBus = 3;
        o.layout = BufferLayout::Plain;
        o.pixelFormat = csi::kPixelFormatY12;
        break;
    default:
        o.modelText = "Generic board";
        break;
    }
    return o;
}

EmulatedBoard::EmulatedBoard(int platformModel) : EmulatedBoard(boardPreset(platformModel)) {}

EmulatedBoard::EmulatedBoard(const BoardOptions& options)
    : opts(options),
      sceneModel(options.scene, static_cast<int>(options.nativeWidth), static_cast<int>(options.nativeHeight)),
      formatWidth(options.nativeWidth),
      formatHeight(options.nativeHeight) {
    files["/sys/firmware/devicetree/base/model"] = opts.modelText + std::string(1, '\0');

    const unsigned videoMinor = static_cast<unsigned>(opts.videoIndex);
    nodes[format("/dev/video%u", videoMinor, 0)] = Node{Kind::Video, kVideoMajor, videoMinor};
    const std::string videoSys = charPath(kVideoMajor, videoMinor);
    files[videoSys + "/name"] = opts.videoName + "\n";
    links[videoSys] = format("../../devices/platform/camera/video4linux/video%u", videoMinor, 0);
    directories[videoSys + "/device"] = opts.deviceDir;
    for (const std::string& entry : opts.deviceDir) {
        if (entry.compare(0, 5, "media") != 0) continue;
        const std::string path = "/dev/" + entry;
        if (opts.missingNodes.count(path)) continue;
        unsigned minor = static_cast<unsigned>(std::atoi(entry.c_str() + 5));
        nodes[path] = Node{Kind::Media, kMediaMajor, minor};
    }

    unsigned subdevNumber = 0;
    for (size_t i = 0; i < opts.entities.size(); ++i) {
        const EntitySetup& entity = opts.entities[i];
        if (entity.role == EntityRole::Video) continue;
        const unsigned minor = 20 + static_cast<unsigned>(i);
        const unsigned number = subdevNumber++;
        const std::string node = format("/dev/v4l-subdev%u", number, 0);
        links[charPath(kVideoMajor, minor)] =
            entity.linkTarget.empty() ? format("../../devices/platform/camera/video4linux/v4l-subdev%u", number, 0)
                                      : entity.linkTarget;
        if (!entity.nodeMissing) nodes[node] = Node{Kind::Subdev, kVideoMajor, minor, static_cast<int>(i)};
        subdevFormats[static_cast<int>(i)] = {opts.nativeWidth, opts.nativeHeight, csi::kMediaBusY12};
    }
    for (const LinkSetup& link : opts.links) linkState.push_back(link.enabled);

    const std::string classDir = opts.sysfsMount + "/class/i2c-dev";
    std::vector<std::string> classEntries;
    std::string procList;
    for (const AdapterSetup& adapter : opts.adapters) {
        const std::string entry = format("i2c-%u", static_cast<unsigned>(adapter.number), 0);
        nodes["/dev/" + entry] = Node{Kind::I2c, kI2cMajor, static_cast<unsigned>(adapter.number), -1, adapter.number};
        classEntries.push_back(entry);
        const std::string dir = classDir + "/" + entry;
        switch (adapter.at) {
        case AdapterNameAt::Entry: files[dir + "/name"] = adapter.name + "\n"; break;
        case AdapterNameAt::Device: files[dir + "/device/name"] = adapter.name + "\n"; break;
        case AdapterNameAt::DeviceSubdir:
            directories[dir + "/device"] = {"driver", entry, "power"};
            files[dir + "/device/" + entry + "/name"] = adapter.name + "\n";
            break;
        case AdapterNameAt::Nowhere: break;
        case AdapterNameAt::EmptyFile: files[dir + "/name"] = ""; break;
        }
        char line[200];
        std::snprintf(line, sizeof(line), "%s\ti2c       \t%-32s\tI2C adapter\n", entry.c_str(), adapter.name.c_str());
        procList += line;
    }
    directories[classDir] = classEntries;
    files["/proc/mounts"] = "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
                            "sysfs " + opts.sysfsMount + " sysfs rw,nosuid,nodev,noexec,relatime 0 0\n"
                            "tmpfs /run tmpfs rw,nosuid,nodev 0 0\n";
    if (opts.procBusI2c) files["/proc/bus/i2c"] = procList;
}

EmulatedBoard::~EmulatedBoard() = default;

// ---- faults and accounting ----

bool EmulatedBoard::shouldFail(Call call, unsigned long request, const std::string& target, int& error) {
    const uint64_t number = callCounter++;
    if (callLog.size() < 20000) callLog.push_back({call, request, target});
    auto numbered = failingCallErrors.find(number);
    if (numbered != failingCallErrors.end()) {
        error = numbered->second;
        return true;
    }
    for (Fault& fault : faults) {
        if (fault.call != call || fault.count == 0) continue;
        if (call == Call::Ioctl && fault.request != 0 && fault.request != request) continue;
        if (!fault.target.empty() && target.find(fault.target) == std::string::npos) continue;
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (fault.count > 0) --fault.count;
        error = fault.error;
        return true;
    }
    return false;
}

int EmulatedBoard::fail(int error) {
    errno = error;
    return -1;
}

std::string EmulatedBoard::describe(int fd) const {
    auto it = descriptors.find(fd);
    return it == descriptors.end() ? std::string() : it->second;
}

void EmulatedBoard::injectFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(mutex);
    faults.push_back(fault);
}

void EmulatedBoard::failCallNumber(uint64_t number, int error) {
    std::lock_guard<std::mutex> lock(mutex);
    failingCallErrors[number] = error;
}

void EmulatedBoard::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex);
    faults.clear();
    failingCallErrors.clear();
}

uint64_t EmulatedBoard::callCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return callCounter;
}

std::vector<CallRecord> EmulatedBoard::calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return callLog;
}

int EmulatedBoard::openDescriptors() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(descriptors.size());
}

int EmulatedBoard::liveMappings() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(mappings.size());
}

int EmulatedBoard::badCloses() const {
    std::lock_guard<std::mutex> lock(mutex);
    return badCloseCount;
}

std::vector<std::string> EmulatedBoard::openPaths() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> paths;
    for (const auto& entry : descriptors) paths.push_back(entry.second);
    return paths;
}

// ---- observations ----

std::vector<I2cTransfer> EmulatedBoard::i2cTransfers() const {
    std::lock_guard<std::mutex> lock(mutex);
    return transfers;
}

int EmulatedBoard::chipFrameRate() const {
    std::lock_guard<std::mutex> lock(mutex);
    return frameRate;
}

int EmulatedBoard::rangeControl() const {
    std::lock_guard<std::mutex> lock(mutex);
    return range;
}

int EmulatedBoard::exposure() const {
    std::lock_guard<std::mutex> lock(mutex);
    return exposureValue;
}

double EmulatedBoard::modulationHz() const {
    std::lock_guard<std::mutex> lock(mutex);
    return range == 1 ? VelmoraSim::kNearModulationHz : VelmoraSim::kFarModulationHz;
}

int EmulatedBoard::rangeControlWrites() const {
    std::lock_guard<std::mutex> lock(mutex);
    return rangeWrites;
}

int EmulatedBoard::exposureWrites() const {
    std::lock_guard<std::mutex> lock(mutex);
    return exposureWriteCount;
}

long EmulatedBoard::lastI2cLong(unsigned long request) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = i2cLongs.find(request);
    return it == i2cLongs.end() ? -1 : it->second;
}

bool EmulatedBoard::streaming() const {
    std::lock_guard<std::mutex> lock(mutex);
    return streamOn;
}

uint32_t EmulatedBoard::formatPixel() const {
    std::lock_guard<std::mutex> lock(mutex);
    return pixelFormat;
}

uint32_t EmulatedBoard::subdevCode(const std::string& entity) const {
    std::lock_guard<std::mutex> lock(mutex);
    int index = entityIndex(entity);
    auto it = subdevFormats.find(index);
    return it == subdevFormats.end() ? 0 : it->second.code;
}

bool EmulatedBoard::linkEnabled(const std::string& source, uint16_t sourcePad, const std::string& sink,
                                uint16_t sinkPad) const {
    std::lock_guard<std::mutex> lock(mutex);
    return linkActive({source, sourcePad, sink, sinkPad, true});
}

int EmulatedBoard::setupLinkCalls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return setupLinks;
}

uint64_t EmulatedBoard::subFramesDelivered() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sequence;
}

int EmulatedBoard::allocatedBuffers() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(buffers.size());
}

void EmulatedBoard::scriptTimestamps(const std::vector<timeval>& stamps) {
    std::lock_guard<std::mutex> lock(mutex);
    timestampScript.insert(timestampScript.end(), stamps.begin(), stamps.end());
}

void EmulatedBoard::scriptReportedIndexes(const std::vector<uint32_t>& indexes) {
    std::lock_guard<std::mutex> lock(mutex);
    indexScript.insert(indexScript.end(), indexes.begin(), indexes.end());
}

void EmulatedBoard::setFile(const std::string& path, const std::string& contents) {
    std::lock_guard<std::mutex> lock(mutex);
    files[path] = contents;
}

void EmulatedBoard::removeFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    files.erase(path);
}

void EmulatedBoard::setLink(const std::string& path, const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex);
    links[path] = target;
}

uint16_t EmulatedBoard::patternWord(uint64_t sequenceNumber) {
    return static_cast<uint16_t>((sequenceNumber * 37 + 5) & 0x7ff);
}

// --- VGA sensor ---
bool EmulatedBoard::isVgaRawSize(uint32_t width, uint32_t lines) const {
    if (!opts.vgaSensor || opts.layout != BufferLayout::Plain) return false;
    const uint32_t picture = width == 640 ? 481 : width == 320 ? 241 : 0;
    return picture != 0 && (lines == 5 * picture || lines == 10 * picture);
}

void EmulatedBoard::renderVgaBuffer(uint64_t sequenceNumber, std::vector<uint16_t>& words) {
    words.assign(static_cast<size_t>(formatWidth) * formatHeight, 0);
    if (!isVgaRawSize(formatWidth, formatHeight)) return;  // not a size the sensor streams: blank lines
    const uint32_t picture = formatWidth == 640 ? 481 : 241;  // lines per sub-image
    const bool single = formatHeight == 5 * picture;
    const int w = static_cast<int>(formatWidth);
    const int h = static_cast<int>(picture) - 1;
    if (!vgaScene || vgaScene->width() != w || vgaScene->height() != h)
        vgaScene = std::make_unique<VelmoraSim::Scene>(opts.scene, w, h);
    VelmoraSim::renderVgaFrame(*vgaScene, {single, opts.vgaPhaseOffset}, sequenceNumber, words.data());
}
// --- end VGA sensor ---

uint8_t EmulatedBoard::blockByte(uint16_t offset, size_t j) {
    return static_cast<uint8_t>((offset + j) * 7 + 3);
}

uint8_t EmulatedBoard::servedBlockByte(uint16_t offset, size_t j) const {
    constexpr size_t kStoreOffset = 80;
    if (opts.calibrationStore.empty() || offset < kStoreOffset) return blockByte(offset, j);
    const size_t at = offset - kStoreOffset + j;
    return at < opts.calibrationStore.size() ? opts.calibrationStore[at] : 0;
}

int EmulatedBoard::entityIndex(const std::string& name) const {
    for (size_t i = 0; i < opts.entities.size(); ++i) {
        if (opts.entities[i].name == name) return static_cast<int>(i);
    }
    return -1;
}

bool EmulatedBoard::linkActive(const LinkSetup& wanted) const {
    for (size_t i = 0; i < opts.links.size(); ++i) {
        const LinkSetup& link = opts.links[i];
        if (link.source == wanted.source && link.sourcePad == wanted.sourcePad && link.sink == wanted.sink &&
            link.sinkPad == wanted.sinkPad)
            return linkState[i];
    }
    return false;
}

// ---- file system ----

int EmulatedBoard::open(const char* path, int flags) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string name = path ? path : "";
    int error = 0;
    if (shouldFail(Call::Open, 0, name, error)) return fail(error);
    if (!nodes.count(name)) return fail(ENOENT);
    const int fd = nextFd++;
    descriptors[fd] = name;
    descriptorFlags[fd] = flags;
    return fd;
}

int EmulatedBoard::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    int error = 0;
    const bool injected = shouldFail(Call::Close, 0, describe(fd), error);
    auto it = descriptors.find(fd);
    if (it == descriptors.end()) {
        ++badCloseCount;
        return fail(EBADF);
    }
    const Node node = nodes[it->second];
    descriptors.erase(it);
    descriptorFlags.erase(fd);
    for (auto format = tryFormats.begin(); format != tryFormats.end();)
        format = format->first.first == fd ? tryFormats.erase(format) : std::next(format);
    if (node.kind == Kind::Video) {
        bool otherVideo = std::any_of(descriptors.begin(), descriptors.end(),
                                      [&](const auto& entry) { return nodes[entry.second].kind == Kind::Video; });
        if (!otherVideo) {
            // Last close of the capture node ends the stream; mapped memory stays valid.
            endStream();
            if (mappings.empty()) buffers.clear();
        }
    }
    return injected ? fail(error) : 0;
}

int EmulatedBoard::fstat(int fd, struct stat* st) {
    std::lock_guard<std::mutex> lock(mutex);
    int error = 0;
    if (shouldFail(Call::Fstat, 0, describe(fd), error)) return fail(error);
    auto it = descriptors.find(fd);
    if (it == descriptors.end()) return fail(EBADF);
    const Node& node = nodes[it->second];
    std::memset(st, 0, sizeof(*st));
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(node.major, node.minor);
    return 0;
}

int EmulatedBoard::poll(int fd, short /*events*/, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    int error = 0;
    if (shouldFail(Call::Poll, 0, describe(fd), error)) return fail(error);
    auto it = descriptors.find(fd);
    if (it == descriptors.end()) return fail(EBADF);
    // The capture node is ready with a filled buffer, or with an error when not streaming.
    if (nodes[it->second].kind != Kind::Video) return 1;
    auto ready = [&] { return !streamOn || bufferReady() || !descriptors.count(fd); };
    const bool answered =
        timeoutMs < 0 ? (delivery.wait(lock, ready), true)
                      : delivery.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    if (answered && bufferReady()) reportedReady = true;
    return answered ? 1 : 0;
}

ssize_t EmulatedBoard::readlink(const char* path, char* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string name = path ? path : "";
    int error = 0;
    if (shouldFail(Call::Readlink, 0, name, error)) return fail(error);
    auto it = links.find(name);
    if (it == links.end()) return fail(files.count(name) ? EINVAL : ENOENT);
    const size_t count = std::min(size, it->second.size());
    std::memcpy(buffer, it->second.data(), count);
    return static_cast<ssize_t>(count);
}

bool EmulatedBoard::listDirectory(const std::string& path, std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(mutex);
    int error = 0;
    if (shouldFail(Call::ListDirectory, 0, path, error)) {
        errno = error;
        return false;
    }
    auto it = directories.find(path);
    if (it == directories.end()) {
        errno = ENOENT;
        return false;
    }
    names = it->second;
    return true;
}

bool EmulatedBoard::readFile(const std::string& path, std::string& contents, size_t maxBytes) {
    std::lock_guard<std::mutex> lock(mutex);
    int error = 0;
    if (shouldFail(Call::ReadFile, 0, path, error)) {
        errno = error;
        return false;
    }
    auto it = files.find(path);
    if (it == files.end()) {
        errno = ENOENT;
        return false;
    }
    contents = it->second.substr(0, maxBytes);
    return true;
}

// ---- memory mapping ----

void* EmulatedBoard::mmap(void* /*addr*/, size_t length, int prot, int flags, int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex);
    int error = 0;
    if (shouldFail(Call::Mmap, 0, describe(fd), error)) {
        errno = error;
        return MAP_FAILED;
    }
    auto it = descriptors.find(fd);
    if (it == descriptors.end()) {
        errno = EBADF;
        return MAP_FAILED;
    }
    if (nodes[it->second].kind != Kind::Video) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    if (!(flags & MAP_SHARED) || !(prot & PROT_READ)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    for (size_t i = 0; i < buffers.size(); ++i) {
        if (buffers[i].offset != static_cast<uint32_t>(offset)) continue;
        if (length == 0 || length > buffers[i].memory.size()) break;
        void* address = buffers[i].memory.data();
        mappings.insert({address, Mapping{static_cast<int>(i), length}});
        return address;
    }
    errno = EINVAL;
    return MAP_FAILED;
}

int EmulatedBoard::munmap(void* addr, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    int error = 0;
    const bool injected = shouldFail(Call::Munmap, 0, std::string(), error);
    auto matches = mappings.equal_range(addr);
    for (auto it = matches.first; it != matches.second; ++it) {
        if (it->second.length != length) continue;
        mappings.erase(it);
        return injected ? fail(error) : 0;
    }
    return fail(injected ? error : EINVAL);
}

// ---- ioctl ----

int EmulatedBoard::ioctl(int fd, unsigned long request, void* arg) {
    std::unique_lock<std::mutex> lock(mutex);
    int error = 0;
    if (shouldFail(Call::Ioctl, request, describe(fd), error)) return fail(error);
    auto it = descriptors.find(fd);
    if (it == descriptors.end()) return fail(EBADF);
    const Node node = nodes[it->second];
    switch (node.kind) {
    case Kind::Video: return videoIoctl(fd, request, arg, lock);
    case Kind::Subdev: return subdevIoctl(fd, node, request, arg);
    case Kind::Media: return mediaIoctl(request, arg);
    case Kind::I2c: return i2cIoctl(node, request, arg);
    }
    return fail(ENOTTY);
}

size_t EmulatedBoard::packedStride() const {
    return opts.packedStride ? opts.packedStride : (size_t{formatWidth} * 3 / 2 + 15) / 16 * 16;
}

size_t EmulatedBoard::bufferLength() const {
    const size_t w = formatWidth;   // the native size unless a VGA sensor took another
    const size_t h = formatHeight;
    switch (opts.layout) {
    case BufferLayout::Plain: return w * h * 2;
    case BufferLayout::Padded512: return h * 512;
    case BufferLayout::Split960: return w * h * 2;
    case BufferLayout::Packed12: return packedStride() * h;
    }
    return w * h * 2;
}

int EmulatedBoard::videoIoctl(int fd, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    const uint32_t nodeType = opts.multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        std::memset(cap, 0, sizeof(*cap));
        std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof(cap->driver), "%s", "velmora-emul");
        std::snprintf(reinterpret_cast<char*>(cap->card), sizeof(cap->card), "%s", opts.videoName.c_str());
        cap->capabilities = opts.capabilities | V4L2_CAP_DEVICE_CAPS;
        cap->device_caps = opts.capabilities;
        return 0;
    }
    case VIDIOC_S_INPUT:
        return *static_cast<int*>(arg) == 0 ? 0 : fail(EINVAL);
    case VIDIOC_G_INPUT:
        *static_cast<int*>(arg) = 0;
        return 0;
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_G_FMT: {
        auto* fmt = static_cast<v4l2_format*>(arg);
        if (fmt->type != nodeType) return fail(EINVAL);
        if (request == VIDIOC_S_FMT) {
            if (!buffers.empty()) return fail(EBUSY);
            pixelFormat = opts.multiPlane ? fmt->fmt.pix_mp.pixelformat : fmt->fmt.pix.pixelformat;
        }
        // --- VGA sensor: takes any VGA raw size ---
        if (request != VIDIOC_G_FMT) {
            const uint32_t w = opts.multiPlane ? fmt->fmt.pix_mp.width : fmt->fmt.pix.width;
            const uint32_t h = opts.multiPlane ? fmt->fmt.pix_mp.height : fmt->fmt.pix.height;
            if (isVgaRawSize(w, h) && buffers.empty()) {
                formatWidth = w;
                formatHeight = h;
            }
        }
        // --- end VGA sensor ---
        // The sensor has one mode: any request is adjusted to it.
        const uint32_t bytesPerLine = opts.layout == BufferLayout::Padded512 ? 512
                                      : opts.layout == BufferLayout::Packed12
                                          ? static_cast<uint32_t>(bufferLength() / formatHeight)
                                          : formatWidth * 2;
        if (opts.multiPlane) {
            auto& pix = fmt->fmt.pix_mp;
            std::memset(&pix, 0, sizeof(pix));
            pix.width = formatWidth;
            pix.height = formatHeight;
            pix.pixelformat = opts.pixelFormat;
            pix.field = V4L2_FIELD_NONE;
            pix.num_planes = 1;
            pix.plane_fmt[0].bytesperline = bytesPerLine;
            pix.plane_fmt[0].sizeimage = static_cast<uint32_t>(bufferLength());
        } else {
            auto& pix = fmt->fmt.pix;
            std::memset(&pix, 0, sizeof(pix));
            pix.width = formatWidth;
            pix.height = formatHeight;
            pix.pixelformat = opts.pixelFormat;
            pix.field = V4L2_FIELD_NONE;
            pix.bytesperline = bytesPerLine;
            pix.sizeimage = static_cast<uint32_t>(bufferLength());
        }
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* req = static_cast<v4l2_requestbuffers*>(arg);
        if (req->type != nodeType || req->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
        if (streamOn || !mappings.empty()) return fail(EBUSY);
        buffers.clear();
        queue.clear();
        if (req->count == 0) return 0;
        const int count = std::max(0, opts.grantedBuffers);
        for (int i = 0; i < count; ++i) {
            Buffer buffer;
            buffer.memory.assign(bufferLength(), 0);
            buffer.offset = static_cast<uint32_t>(i) * kBufferOffsetStep;
            buffers.push_back(std::move(buffer));
        }
        req->count = static_cast<uint32_t>(count);
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto* buf = static_cast<v4l2_buffer*>(arg);
        if (buf->type != nodeType || buf->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
        if (buf->index >= buffers.size()) return fail(EINVAL);
        if (opts.multiPlane && (buf->m.planes == nullptr || buf->length < 1)) return fail(EINVAL);
        Buffer& buffer = buffers[buf->index];
        if (request == VIDIOC_QBUF) {
            if (buffer.queued) return fail(EINVAL);
            buffer.queued = true;
            queue.push_back(static_cast<int>(buf->index));
            delivery.notify_all();
            return 0;
        }
        if (opts.multiPlane) {
            buf->length = 1;
            buf->m.planes[0].length = static_cast<uint32_t>(buffer.memory.size());
            buf->m.planes[0].m.mem_offset = buffer.offset;
        } else {
            buf->length = static_cast<uint32_t>(buffer.memory.size());
            buf->m.offset = buffer.offset;
        }
        buf->flags = buffer.queued ? V4L2_BUF_FLAG_QUEUED : 0;
        return 0;
    }
    case VIDIOC_DQBUF:
        return dequeue(fd, arg, lock);
    case VIDIOC_STREAMON: {
        if (*static_cast<uint32_t*>(arg) != nodeType) return fail(EINVAL);
        if (buffers.empty()) return fail(EINVAL);
        if (opts.streamNeedsLink && !linkActive(opts.requiredLink)) return fail(EPIPE);
        if (!streamOn) sequence = (sequence + 3) / 4 * 4;
        streamOn = true;
        return 0;
    }
    case VIDIOC_STREAMOFF: {
        if (*static_cast<uint32_t*>(arg) != nodeType) return fail(EINVAL);
        endStream();
        return 0;
    }
    case VIDIOC_S_CTRL:
    case VIDIOC_G_CTRL:
        // A receiver that packs lines on request reports it in a control of the node.
        if (request == VIDIOC_G_CTRL && static_cast<v4l2_control*>(arg)->id == csi::kCompactControl &&
            opts.packedStride != 0) {
            static_cast<v4l2_control*>(arg)->value = opts.layout == BufferLayout::Packed12;
            return 0;
        }
        if (!opts.controlsOnVideoNode) return fail(EINVAL);
        return controlIoctl(request, arg);
    default:
        return fail(ENOTTY);
    }
}

int EmulatedBoard::controlIoctl(unsigned long request, void* arg) {
    auto* control = static_cast<v4l2_control*>(arg);
    const bool set = request == VIDIOC_S_CTRL;
    if (control->id == csi::kRangeControl) {
        if (!set) {
            control->value = range;
            return 0;
        }
        // The control framework clamps an integer control into its range.
        control->value = std::clamp(control->value, 0, 1);
        range = control->value;
        ++rangeWrites;
        return 0;
    }
    if (control->id == V4L2_CID_EXPOSURE) {
        if (!set) {
            control->value = exposureValue;
            return 0;
        }
        control->value = std::clamp(control->value, 1, 65535);
        exposureValue = control->value;
        ++exposureWriteCount;
        return 0;
    }
    return fail(EINVAL);
}

void EmulatedBoard::renderSubFrame(uint64_t sequenceNumber, std::vector<uint16_t>& words) {
    if (opts.vgaSensor && !opts.patternFrames) return renderVgaBuffer(sequenceNumber, words);  // VGA sensor
    const size_t pixels = static_cast<size_t>(formatWidth) * formatHeight;
    words.assign(pixels, 0);
    if (opts.patternFrames) {
        std::fill(words.begin(), words.end(), patternWord(sequenceNumber));
        return;
    }
    const uint64_t frame = sequenceNumber / 4;
    const size_t phase = sequenceNumber % 4;
    const double hz = range == 1 ? VelmoraSim::kNearModulationHz : VelmoraSim::kFarModulationHz;
    if (frame != renderedFrame || hz != renderedHz) {
        renderedWords.assign(pixels * 4, 0);
        VelmoraSim::renderHqvgaSubframes(sceneModel, hz, frame, renderedWords.data());
        renderedFrame = frame;
        renderedHz = hz;
    }
    std::copy_n(renderedWords.begin() + static_cast<std::ptrdiff_t>(phase * pixels), pixels, words.begin());
}

std::vector<uint16_t> EmulatedBoard::subFrameWords(uint64_t sequenceNumber) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<uint16_t> words;
    renderSubFrame(sequenceNumber, words);
    return words;
}

void EmulatedBoard::layOut(const std::vector<uint16_t>& words, std::vector<uint8_t>& memory) const {
    const size_t w = formatWidth;   // the native size unless a VGA sensor took another
    const size_t h = formatHeight;
    auto word = [&](size_t x, size_t y) { return static_cast<uint16_t>(words[y * w + x] << opts.sampleShift); };
    auto put = [](uint8_t* out, uint16_t value) {
        out[0] = static_cast<uint8_t>(value & 0xff);
        out[1] = static_cast<uint8_t>(value >> 8);
    };
    uint8_t* out = memory.data();
    switch (opts.layout) {
    case BufferLayout::Plain:
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x) put(out + 2 * (y * w + x), word(x, y));
        break;
    case BufferLayout::Padded512:
        std::fill(memory.begin(), memory.end(), 0xEE);
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w && 2 * x + 1 < 512; ++x) put(out + y * 512 + 2 * x, word(x, y));
        break;
    case BufferLayout::Split960: {
        // A pair of lines A, B travels as A[0..447] B[0..479] A[448..479].
        std::vector<uint8_t> lineA(2 * w);
        std::vector<uint8_t> lineB(2 * w);
        for (size_t pair = 0; pair + 1 < h && (pair / 2 + 1) * 960 <= memory.size(); pair += 2) {
            for (size_t x = 0; x < w; ++x) {
                put(&lineA[2 * x], word(x, pair));
                put(&lineB[2 * x], word(x, pair + 1));
            }
            uint8_t* block = out + pair / 2 * 960;
            std::memcpy(block, lineA.data(), 448);
            std::memcpy(block + 448, lineB.data(), 480);
            std::memcpy(block + 928, lineA.data() + 448, 32);
        }
        break;
    }
    case BufferLayout::Packed12: {
        const size_t stride = packedStride();
        std::fill(memory.begin(), memory.end(), 0x5A);
        for (size_t y = 0; y < h; ++y) {
            uint8_t* line = out + y * stride;
            for (size_t x = 0; x + 1 < w; x += 2) {
                const uint16_t s0 = word(x, y) & 0xfff;
                const uint16_t s1 = word(x + 1, y) & 0xfff;
                uint8_t* group = line + x / 2 * 3;
                group[0] = static_cast<uint8_t>(s0 >> 4);
                group[1] = static_cast<uint8_t>(s1 >> 4);
                group[2] = static_cast<uint8_t>((s0 & 0x0f) | (s1 & 0x0f) << 4);
            }
        }
        break;
    }
    }
}

void EmulatedBoard::endStream() {
    streamOn = false;
    reportedReady = false;
    queue.clear();
    for (Buffer& buffer : buffers) buffer.queued = false;
    delivery.notify_all();
}

void EmulatedBoard::withholdFrames(bool withhold) {
    std::lock_guard<std::mutex> lock(mutex);
    withheld = withhold;
    delivery.notify_all();
}

int EmulatedBoard::dequeue(int fd, void* arg, std::unique_lock<std::mutex>& lock) {
    // The node takes a while to deliver; controls may run meanwhile.
    if (opts.dequeueDelayUs > 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(opts.dequeueDelayUs));
        lock.lock();
    }
    const uint32_t nodeType = opts.multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    auto* buf = static_cast<v4l2_buffer*>(arg);
    if (buf->type != nodeType || buf->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
    if (opts.multiPlane && (buf->m.planes == nullptr || buf->length < 1)) return fail(EINVAL);
    if (!streamOn) return fail(EINVAL);
    // Nothing filled yet: a blocking descriptor waits for a buffer or the end of the stream.
    if (!bufferReady()) {
        if (descriptorFlags[fd] & O_NONBLOCK) return fail(EAGAIN);
        delivery.wait(lock, [&] { return !streamOn || bufferReady(); });
        if (!streamOn) return fail(EINVAL);
    }

    const int index = queue.front();
    queue.pop_front();
    reportedReady = false;
    Buffer& buffer = buffers[static_cast<size_t>(index)];
    buffer.queued = false;

    const uint64_t number = sequence++;
    std::vector<uint16_t> words;
    renderSubFrame(number, words);
    layOut(words, buffer.memory);

    timeval stamp{};
    if (!timestampScript.empty()) {
        stamp = timestampScript.front();
        timestampScript.pop_front();
    } else {
        const int64_t us = opts.firstTimestampUs + static_cast<int64_t>(number / 4) * opts.frameIntervalUs +
                           static_cast<int64_t>(number % 4) * opts.subFrameIntervalUs;
        stamp.tv_sec = static_cast<time_t>(us / 1000000);
        stamp.tv_usec = static_cast<suseconds_t>(us % 1000000);
    }
    uint32_t reportedIndex = static_cast<uint32_t>(index);
    if (!indexScript.empty()) {
        reportedIndex = indexScript.front();
        indexScript.pop_front();
    }
    const uint32_t length =
        opts.reportedLength >= 0 ? static_cast<uint32_t>(opts.reportedLength) : static_cast<uint32_t>(buffer.memory.size());

    buf->index = reportedIndex;
    buf->flags = V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    const bool lost = opts.errorEvery > 0 && (number + 1) % static_cast<uint64_t>(opts.errorEvery) == 0;
    if (lost) {
        std::fill(buffer.memory.begin(), buffer.memory.end(), 0xFF);  // nothing of the sub-frame arrived
        if (!opts.errorsTruncate) buf->flags |= V4L2_BUF_FLAG_ERROR;
    }
    const uint32_t used = static_cast<uint32_t>(buffer.memory.size() / (lost && opts.errorsTruncate ? 2 : 1));
    buf->field = V4L2_FIELD_NONE;
    buf->timestamp = stamp;
    buf->sequence = static_cast<uint32_t>(number);
    if (opts.multiPlane) {
        buf->length = 1;
        buf->m.planes[0].length = length;
        buf->m.planes[0].bytesused = used;
        buf->m.planes[0].m.mem_offset = buffer.offset;
    } else {
        buf->length = length;
        buf->bytesused = used;
        buf->m.offset = buffer.offset;
    }
    return 0;
}

int EmulatedBoard::subdevIoctl(int fd, const Node& node, unsigned long request, void* arg) {
    const EntitySetup& entity = opts.entities[static_cast<size_t>(node.entity)];
    switch (request) {
    case VIDIOC_SUBDEV_S_FMT:
    case VIDIOC_SUBDEV_G_FMT: {
        auto* fmt = static_cast<v4l2_subdev_format*>(arg);
        if (fmt->pad >= entity.pads) return fail(EINVAL);
        if (fmt->which != V4L2_SUBDEV_FORMAT_TRY && fmt->which != V4L2_SUBDEV_FORMAT_ACTIVE) return fail(EINVAL);
        const bool active = fmt->which == V4L2_SUBDEV_FORMAT_ACTIVE;
        // A file handle's try format starts as the sensor's default.
        if (!active) tryFormats.insert({{fd, fmt->pad}, {opts.nativeWidth, opts.nativeHeight, csi::kMediaBusY12}});
        SubdevFormat& current = active ? subdevFormats[node.entity] : tryFormats[{fd, fmt->pad}];
        if (request == VIDIOC_SUBDEV_S_FMT) {
            if (active && opts.readOnlySubdevs) return fail(EPERM);
            if (active && streamOn) return fail(EBUSY);
            // Only the native size exists; the requested code is kept to show what was asked.
            current.code = fmt->format.code;
            // --- VGA sensor: takes any VGA raw size ---
            if (isVgaRawSize(fmt->format.width, fmt->format.height)) {
                current.width = fmt->format.width;
                current.height = fmt->format.height;
            }
            // --- end VGA sensor ---
        }
        std::memset(&fmt->format, 0, sizeof(fmt->format));
        fmt->format.width = current.width;
        fmt->format.height = current.height;
        fmt->format.code = current.code;
        fmt->format.field = V4L2_FIELD_NONE;
        return 0;
    }
    case VIDIOC_S_CTRL:
    case VIDIOC_G_CTRL:
        if (entity.role != EntityRole::Sensor) return fail(EINVAL);
        return controlIoctl(request, arg);
    default:
        return fail(ENOTTY);
    }
}

int EmulatedBoard::mediaIoctl(unsigned long request, void* arg) {
    switch (request) {
    case MEDIA_IOC_ENUM_ENTITIES: {
        auto* desc = static_cast<media_entity_desc*>(arg);
        const uint32_t id = desc->id & ~MEDIA_ENT_ID_FLAG_NEXT;
        const bool next = (desc->id & MEDIA_ENT_ID_FLAG_NEXT) != 0;
        int found = -1;
        for (size_t i = 0; i < opts.entities.size(); ++i) {
            const uint32_t entityId = static_cast<uint32_t>(entityIdOf(static_cast<int>(i)));
            if (next ? entityId > id : entityId == id) {
                found = static_cast<int>(i);
                break;
            }
        }
        if (found < 0) return fail(EINVAL);
        const EntitySetup& entity = opts.entities[static_cast<size_t>(found)];
        std::memset(desc, 0, sizeof(*desc));
        desc->id = static_cast<uint32_t>(entityIdOf(found));
        std::snprintf(desc->name, sizeof(desc->name), "%s", entity.name.c_str());
        switch (entity.role) {
        case EntityRole::Video: desc->type = MEDIA_ENT_F_IO_V4L; break;
        case EntityRole::Sensor: desc->type = MEDIA_ENT_F_CAM_SENSOR; break;
        case EntityRole::Receiver: desc->type = MEDIA_ENT_F_VID_IF_BRIDGE; break;
        case EntityRole::Other: desc->type = MEDIA_ENT_F_V4L2_SUBDEV_UNKNOWN; break;
        }
        desc->pads = entity.pads;
        uint16_t linkCount = 0;
        for (const LinkSetup& link : opts.links)
            if (link.source == entity.name) ++linkCount;
        desc->links = linkCount;
        desc->dev.major = kVideoMajor;
        desc->dev.minor = entity.role == EntityRole::Video && entity.name == opts.videoName
                              ? static_cast<uint32_t>(opts.videoIndex)
                              : 20 + static_cast<uint32_t>(found);
        return 0;
    }
    case MEDIA_IOC_ENUM_LINKS: {
        // The entity's pads and its outbound links, as the kernel lists them.
        auto* linksRequest = static_cast<media_links_enum*>(arg);
        const int index = static_cast<int>(linksRequest->entity) - 1;
        if (index < 0 || static_cast<size_t>(index) >= opts.entities.size()) return fail(EINVAL);
        const EntitySetup& entity = opts.entities[static_cast<size_t>(index)];
        for (uint16_t pad = 0; linksRequest->pads && pad < entity.pads; ++pad)
            linksRequest->pads[pad] = media_pad_desc{linksRequest->entity, pad, 0, {}};
        size_t out = 0;
        for (size_t i = 0; i < opts.links.size(); ++i) {
            const LinkSetup& link = opts.links[i];
            if (link.source != entity.name || !linksRequest->links) continue;
            media_link_desc& desc = linksRequest->links[out++];
            desc = media_link_desc{};
            desc.source = {linksRequest->entity, link.sourcePad, MEDIA_PAD_FL_SOURCE, {}};
            desc.sink = {static_cast<uint32_t>(entityIdOf(entityIndex(link.sink))), link.sinkPad, MEDIA_PAD_FL_SINK, {}};
            desc.flags = linkState[i] ? MEDIA_LNK_FL_ENABLED : 0;
        }
        return 0;
    }
    case MEDIA_IOC_SETUP_LINK: {
        auto* desc = static_cast<media_link_desc*>(arg);
        ++setupLinks;
        for (size_t i = 0; i < opts.links.size(); ++i) {
            const LinkSetup& link = opts.links[i];
            const int source = entityIndex(link.source);
            const int sink = entityIndex(link.sink);
            if (desc->source.entity == static_cast<uint32_t>(entityIdOf(source)) &&
                desc->source.index == link.sourcePad && desc->sink.entity == static_cast<uint32_t>(entityIdOf(sink)) &&
                desc->sink.index == link.sinkPad) {
                if (streamOn) return fail(EBUSY);
                linkState[i] = (desc->flags & MEDIA_LNK_FL_ENABLED) != 0;
                return 0;
            }
        }
        return fail(EINVAL);
    }
    default:
        return fail(ENOTTY);
    }
}

int EmulatedBoard::i2cIoctl(const Node& node, unsigned long request, void* arg) {
    switch (request) {
    case I2C_FUNCS:
        *static_cast<unsigned long*>(arg) = opts.i2cFunctionality;
        return 0;
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
        const long address = static_cast<long>(reinterpret_cast<intptr_t>(arg));
        if (address < 0 || address > 0x7f) return fail(EINVAL);
        i2cLongs[request] = address;
        return 0;
    }
    case I2C_TIMEOUT:
    case I2C_RETRIES:
        i2cLongs[request] = static_cast<long>(reinterpret_cast<intptr_t>(arg));
        return 0;
    case I2C_RDWR: {
        auto* data = static_cast<i2c_rdwr_ioctl_data*>(arg);
        if (data == nullptr || data->nmsgs == 0 || data->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) return fail(EINVAL);
        // i2c-dev refuses plain transfers on an adapter that only speaks SMBus.
        if (!(opts.i2cFunctionality & I2C_FUNC_I2C)) return fail(EOPNOTSUPP);
        I2cTransfer transfer{node.bus, {}};
        bool fetchPending = false;
        bool nack = false;
        for (uint32_t i = 0; i < data->nmsgs; ++i) {
            i2c_msg& msg = data->msgs[i];
            I2cMessage record{msg.addr, msg.flags, {}};
            if (node.bus != opts.cameraBus || msg.addr != 0x0c) {
                nack = true;
            } else if (msg.flags & I2C_M_RD) {
                for (uint16_t j = 0; j < msg.len; ++j) {
                    msg.buf[j] = fetchPending && preparedOffset >= 0
                                     ? servedBlockByte(static_cast<uint16_t>(preparedOffset), j)
                                     : 0xff;
                }
                record.data.assign(msg.buf, msg.buf + msg.len);
                fetchPending = false;
            } else {
                record.data.assign(msg.buf, msg.buf + msg.len);
                const auto& bytes = record.data;
                if (bytes.size() >= 2 && bytes[0] == 0x06) {
                    if (bytes[1] == 0x31 && bytes.size() == 6) preparedOffset = bytes[2] << 8 | bytes[3];
                    if (bytes[1] == 0x32 && bytes.size() == 2) fetchPending = true;
                    if (bytes[1] == 0x33 && bytes.size() == 6)
                        frameRate = static_cast<int>(static_cast<uint32_t>(bytes[2]) << 24 |
                                                     static_cast<uint32_t>(bytes[3]) << 16 |
                                                     static_cast<uint32_t>(bytes[4]) << 8 | bytes[5]);
                }
            }
            transfer.messages.push_back(std::move(record));
            if (nack) break;
        }
        transfers.push_back(std::move(transfer));
        if (nack) return fail(ENXIO);
        const int sent = static_cast<int>(data->nmsgs);
        return opts.i2cMessagesDone >= 0 ? std::min(sent, opts.i2cMessagesDone) : sent;
    }
    default:
        return fail(ENOTTY);
    }
}

}  // namespace VelmoraTest
