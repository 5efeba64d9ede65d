// The CSI transport against the kernel's own drivers, inside the test machine
// that scripts/check-kernel-v4l2.sh boots: the virtual video driver (three
// instances: single-plane with one HDMI input, single-plane with one webcam
// input, multi-plane with one HDMI input), the SMBus stub at 0x0c and i2c-dev.
//
// Every request goes to the real kernel. The seam overrides only what the
// virtual driver cannot imitate, each test switching on what it needs and
// printing it:
//   - video name: the sysfs name of the video node, which on a board carries
//     the camera's name and the bus of its control chip;
//   - I2C transfers: I2C_FUNC_I2C added to the functionality the stub
//     reports (it is an SMBus-only adapter);
//   - sensor subdevice: one extra media entity after the driver's own, named
//     like the camera's sensor, whose subdevice node answers the format
//     requests with the video node's real format.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CsiDefinitions.h"
#include "I2cAccess.h"
#include "SystemAccess.h"
#include "VelmoraTOFCSISensor.h"

using namespace Velmora;

namespace {

constexpr uint32_t kWidth = 240;
constexpr uint32_t kHeight = 180;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 2;
constexpr int kFramesPerStream = 40;

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A video node of the virtual driver, found by its instance's name.
struct VideoNode {
    std::string path;       // /dev/videoN
    std::string sysfsName;  // /sys/dev/char/M:m/name
    unsigned major = 0, minor = 0;
};

VideoNode findVideoNode(const std::string& name) {
    for (const std::string& entry : listDir("/sys/class/video4linux")) {
        const std::string dir = "/sys/class/video4linux/" + entry;
        if (readText(dir + "/name") != name) continue;
        VideoNode node;
        node.path = "/dev/" + entry;
        std::sscanf(readText(dir + "/dev").c_str(), "%u:%u", &node.major, &node.minor);
        node.sysfsName = "/sys/dev/char/" + std::to_string(node.major) + ":" + std::to_string(node.minor) + "/name";
        return node;
    }
    return {};
}

int stubBus() {
    for (const std::string& entry : listDir("/sys/class/i2c-dev")) {
        int bus = -1;
        if (readText("/sys/class/i2c-dev/" + entry + "/name") == "SMBus stub driver" &&
            std::sscanf(entry.c_str(), "i2c-%d", &bus) == 1)
            return bus;
    }
    return -1;
}

int openDescriptors() { return static_cast<int>(listDir("/proc/self/fd").size()); }

int videoMappings() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int count = 0;
    while (std::getline(maps, line))
        if (line.find("/dev/video") != std::string::npos) ++count;
    return count;
}

// Standard error of the calls made while it lives.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved = dup(2);
        file = std::tmpfile();
        dup2(fileno(file), 2);
    }
    ~StderrCapture() { text(); if (file) std::fclose(file); }
    const std::string& text() {
        if (saved >= 0) {
            std::fflush(stderr);
            dup2(saved, 2);
            ::close(saved);
            saved = -1;
            std::rewind(file);
            char buffer[512];
            size_t got;
            while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) captured.append(buffer, got);
            std::fputs(captured.c_str(), stderr);  // still on the console
        }
        return captured;
    }

private:
    int saved = -1;
    FILE* file = nullptr;
    std::string captured;
};

// The real system with the overrides the header lists.
class KernelSeam : public SystemAccess {
public:
    static constexpr unsigned kFakeMajor = 4095;
    static constexpr uint32_t kFakeEntityId = 0x7000;

    std::string nameOverridePath;
    std::string nameOverride;
    bool grantI2cTransfers = false;
    std::string sensorEntityName;
    std::string subdevVideoPath;  // the node whose real format the fake subdevice reports
    uint32_t subdevBufType = V4L2_BUF_TYPE_VIDEO_CAPTURE;

    std::vector<std::string> overrides() const {
        std::vector<std::string> out;
        if (!nameOverridePath.empty()) out.push_back("video name: " + nameOverridePath + " reads \"" + nameOverride + "\"");
        if (grantI2cTransfers) out.push_back("I2C transfers: I2C_FUNCS also reports I2C_FUNC_I2C");
        if (!sensorEntityName.empty())
            out.push_back("sensor subdevice: entity \"" + sensorEntityName +
                          "\" after the driver's own; its node reports the format of " + subdevVideoPath);
        return out;
    }

    bool readFile(const std::string& path, std::string& contents, size_t maxBytes) override {
        if (!nameOverridePath.empty() && path == nameOverridePath) {
            contents = (nameOverride + "\n").substr(0, maxBytes);
            return true;
        }
        return SystemAccess::readFile(path, contents, maxBytes);
    }

    int ioctl(int fd, unsigned long request, void* arg) override {
        if (fakeSubdevs.count(fd)) return subdevIoctl(request, arg);
        if (request == MEDIA_IOC_ENUM_ENTITIES && !sensorEntityName.empty()) {
            auto* entity = static_cast<media_entity_desc*>(arg);
            const uint32_t asked = entity->id;
            const int rc = SystemAccess::ioctl(fd, request, arg);
            if (rc < 0 && errno == EINVAL && (asked & MEDIA_ENT_ID_FLAG_NEXT) &&
                (asked & ~MEDIA_ENT_ID_FLAG_NEXT) < kFakeEntityId) {
                *entity = media_entity_desc{};
                entity->id = kFakeEntityId;
                entity->type = MEDIA_ENT_F_CAM_SENSOR;
                std::snprintf(entity->name, sizeof(entity->name), "%s", sensorEntityName.c_str());
                entity->dev.major = kFakeMajor;
                entity->dev.minor = 0;
                return 0;
            }
            return rc;
        }
        const int rc = SystemAccess::ioctl(fd, request, arg);
        if (rc >= 0 && request == I2C_FUNCS && grantI2cTransfers) *static_cast<unsigned long*>(arg) |= I2C_FUNC_I2C;
        return rc;
    }

    ssize_t readlink(const char* path, char* buffer, size_t size) override {
        const std::string fake = "/sys/dev/char/" + std::to_string(kFakeMajor) + ":0";
        if (!sensorEntityName.empty() && path == fake) {
            const std::string target = "../../devices/platform/velmora-module/video4linux/v4l-subdev9";
            const size_t n = std::min(size, target.size());
            std::memcpy(buffer, target.data(), n);
            return static_cast<ssize_t>(n);
        }
        return SystemAccess::readlink(path, buffer, size);
    }

    int open(const char* path, int flags) override {
        if (!sensorEntityName.empty() && std::strcmp(path, "/dev/v4l-subdev9") == 0) {
            // A real descriptor, so closing and counting it behave as for a node.
            const int fd = SystemAccess::open("/dev/null", flags);
            if (fd >= 0) fakeSubdevs.insert(fd);
            return fd;
        }
        return SystemAccess::open(path, flags);
    }

    int close(int fd) override {
        fakeSubdevs.erase(fd);
        return SystemAccess::close(fd);
    }

    int subdevFormatsSet = 0;

private:
    int subdevIoctl(unsigned long request, void* arg) {
        if (request == VIDIOC_SUBDEV_S_FMT) {
            ++subdevFormatsSet;
            return 0;
        }
        if (request == VIDIOC_SUBDEV_G_FMT) {
            // The video node's real format, read on a descriptor of its own.
            const int video = ::open(subdevVideoPath.c_str(), O_RDWR);
            if (video < 0) return -1;
            v4l2_format format{};
            format.type = subdevBufType;
            const int rc = ::ioctl(video, VIDIOC_G_FMT, &format);
            const int error = errno;
            ::close(video);
            if (rc < 0) {
                errno = error;
                return -1;
            }
            auto* out = static_cast<v4l2_subdev_format*>(arg);
            const bool multi = subdevBufType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
            out->format.width = multi ? format.fmt.pix_mp.width : format.fmt.pix.width;
            out->format.height = multi ? format.fmt.pix_mp.height : format.fmt.pix.height;
            out->format.code = csi::kMediaBusY12;
            out->format.field = V4L2_FIELD_NONE;
            return 0;
        }
        errno = ENOTTY;
        return -1;
    }

    std::set<int> fakeSubdevs;
};

// Installs the seam and reports its overrides on the console.
class SeamTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus = stubBus();
        ASSERT_GE(bus, 0) << "the SMBus stub is not loaded";
        hdmi = findVideoNode("vivid-000-vid-cap");
        webcam = findVideoNode("vivid-001-vid-cap");
        multiPlane = findVideoNode("vivid-002-vid-cap");
        ASSERT_FALSE(hdmi.path.empty() || webcam.path.empty() || multiPlane.path.empty())
            << "the virtual video driver's three instances are missing";
        descriptorsBefore = openDescriptors();
    }
    void TearDown() override {
        EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor was left open";
        EXPECT_EQ(videoMappings(), 0) << "a buffer mapping was left behind";
    }

    // The name a board's video node carries for a camera whose chip is on the stub's bus.
    void nameTheCamera(const VideoNode& node) {
        seam.nameOverridePath = node.sysfsName;
        seam.nameOverride = "vi-output, velmora-marquenty " + std::to_string(bus) + "-000c";
    }
    void announce() {
        std::printf("    overridden:%s\n", seam.overrides().empty() ? " nothing" : "");
        for (const std::string& o : seam.overrides()) std::printf("      - %s\n", o.c_str());
    }

    KernelSeam seam;
    ScopedSystemOverride installed{seam};
    int bus = -1;
    VideoNode hdmi, webcam, multiPlane;
    int descriptorsBefore = 0;
};

uint64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// Frame interval the driver reports for the node, in milliseconds.
double frameIntervalMs(const std::string& node, uint32_t type) {
    const int fd = ::open(node.c_str(), O_RDWR);
    if (fd < 0) return 0;
    v4l2_streamparm parm{};
    parm.type = type;
    const int rc = ::ioctl(fd, VIDIOC_G_PARM, &parm);
    ::close(fd);
    if (rc < 0 || parm.parm.capture.timeperframe.denominator == 0) return 0;
    return 1000.0 * parm.parm.capture.timeperframe.numerator / parm.parm.capture.timeperframe.denominator;
}

// Streams through the sensor: 8 buffers, frames of 12-bit samples whose
// timestamps follow the driver's frame interval, nothing written past the frame.
void streamAndCheck(VelmoraTOFCSISensor& sensor, const std::string& node, uint32_t type) {
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_WIDTH, kWidth), 0);
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_HEIGHT, kHeight), 0);
    const uint64_t startedMs = monotonicMs();
    ASSERT_EQ(sensor.start(), 0);
    EXPECT_EQ(sensor.mappedBufferCount(), 8);
    EXPECT_EQ(videoMappings(), 8);
    const double interval = frameIntervalMs(node, type);
    ASSERT_GT(interval, 0.0);

    constexpr size_t kGuard = 4096;
    std::vector<uint8_t> frame(kFrameBytes + kGuard, 0xA5);
    std::vector<uint64_t> stamps;
    std::set<uint16_t> values;
    uint16_t largest = 0;
    for (int i = 0; i < kFramesPerStream; ++i) {
        uint64_t stamp = 0;
        ASSERT_EQ(sensor.readFrame(frame.data(), &stamp), 0) << "frame " << i;
        stamps.push_back(stamp);
        for (size_t s = 0; s < kFrameBytes; s += 2) {
            const uint16_t v = static_cast<uint16_t>(frame[s] | frame[s + 1] << 8);
            largest = std::max(largest, v);
            if (values.size() < 64) values.insert(v);
        }
    }
    EXPECT_TRUE(std::all_of(frame.begin() + kFrameBytes, frame.end(), [](uint8_t b) { return b == 0xA5; }))
        << "readFrame wrote past the frame";
    EXPECT_LE(largest, 4095) << "samples are not 12-bit";
    EXPECT_GT(values.size(), 4u) << "the driver's test pattern did not arrive";

    // The driver stamps each buffer with the monotonic time at which its frame
    // ends, which may lie up to one interval after the buffer was handed over:
    // in milliseconds, the stamps lie between the stream's start and one
    // interval after the last read, and step on average by the frame interval
    // (more when the driver drops a frame it could not fill in time, never less).
    EXPECT_GE(stamps.front(), startedMs);
    EXPECT_LE(static_cast<double>(stamps.back()), static_cast<double>(monotonicMs()) + interval + 1.0);
    for (size_t i = 1; i < stamps.size(); ++i)
        EXPECT_GT(stamps[i], stamps[i - 1]) << "frame " << i << " is not later than the one before";
    const double meanStep = static_cast<double>(stamps.back() - stamps.front()) / static_cast<double>(stamps.size() - 1);
    EXPECT_GE(meanStep, 0.9 * interval);
    EXPECT_LE(meanStep, 2.0 * interval);
    std::printf("    %d frames, interval %.3f ms, mean step %.3f ms, timestamps %llu..%llu ms\n", kFramesPerStream,
                interval, meanStep, static_cast<unsigned long long>(stamps.front()),
                static_cast<unsigned long long>(stamps.back()));

    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.mappedBufferCount(), 0);
    EXPECT_EQ(videoMappings(), 0);
}

}  // namespace

using KernelI2c = SeamTest;

TEST_F(KernelI2c, ExportedFunctionsAndBusLookupOnTheRealAdapter) {
    announce();
    char name[20];
    const int fd = i2c_open_i2c_dev(bus, name, sizeof(name), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(name), "/dev/i2c-" + std::to_string(bus));
    unsigned long functions = 0;
    EXPECT_EQ(i2c_get_functionality(fd, &functions), 0);
    EXPECT_EQ(functions & I2C_FUNC_I2C, 0u) << "the stub is SMBus-only";
    EXPECT_NE(functions & I2C_FUNC_SMBUS_BYTE_DATA, 0u);
    EXPECT_EQ(i2c_set_slave_addr(fd, 0x0c, 0), 0);
    EXPECT_EQ(i2c_set_adapter_timeout(fd, 0), 0);
    EXPECT_EQ(i2c_set_adapter_retries(fd, 0), 0);
    ::close(fd);

    {
        StderrCapture err;
        EXPECT_LT(i2c_open_i2c_dev(4000, name, sizeof(name), 0), 0);
        EXPECT_NE(err.text().find("Error: Could not open file `/dev/i2c-4000': No such file or directory"),
                  std::string::npos);
    }
    // No /proc/bus/i2c on this kernel: the lookup walks sysfs from /proc/mounts.
    EXPECT_EQ(lookupI2cBus("SMBus stub driver"), bus);
    EXPECT_EQ(lookupI2cBus(std::to_string(bus).c_str()), bus);
    StderrCapture err;
    EXPECT_EQ(lookupI2cBus("SMBus stub"), -1);
    EXPECT_NE(err.text().find("Error: I2C bus name doesn't match any bus present!"), std::string::npos);
}

TEST_F(KernelI2c, OpenOnTheStubsBusFailsForWantOfI2cTransfers) {
    nameTheCamera(hdmi);
    announce();
    VelmoraTOFCSISensor sensor(1, 2, hdmi.path.c_str());
    CameraInfo info{};
    StderrCapture err;
    EXPECT_EQ(sensor.open(info), -2);
    EXPECT_NE(err.text().find("Error: Adapter does not have I2C transfers capability"), std::string::npos);
    EXPECT_EQ(std::string(sensor.busName()), std::to_string(bus));
    EXPECT_EQ(sensor.close(), 0);
}

TEST_F(KernelI2c, FrameRateWriteThroughRdwrAndPrivateControlsFail) {
    nameTheCamera(hdmi);
    seam.grantI2cTransfers = true;
    announce();
    VelmoraTOFCSISensor sensor(1, 2, hdmi.path.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    errno = 0;
    EXPECT_EQ(sensor.setControl(CameraCtrl::FRAME_RATE, 30), -2);
    EXPECT_EQ(errno, EOPNOTSUPP) << "I2C_RDWR on an SMBus-only adapter";
    int rate = 0;
    EXPECT_EQ(sensor.getControl(CameraCtrl::FRAME_RATE, &rate), 0);
    EXPECT_EQ(rate, 30);
    {
        // The module's private range control does not exist on this driver.
        StderrCapture err;
        EXPECT_EQ(sensor.setControl(CameraCtrl::RANGE, 2), -1);
        EXPECT_NE(err.text().find("VIDIOC_S_CTRL"), std::string::npos);
    }
    EXPECT_EQ(sensor.close(), 0);
}

using KernelCapture = SeamTest;

TEST_F(KernelCapture, StartFailsAtReadBackWhenTheDriverChangesTheFormat) {
    nameTheCamera(webcam);
    seam.grantI2cTransfers = true;
    announce();
    VelmoraTOFCSISensor sensor(1, 2, webcam.path.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    std::printf("    webcam input reports %ux%u at open\n", info.width, info.height);
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_WIDTH, kWidth), 0);
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_HEIGHT, kHeight), 0);
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_EQ(sensor.mappedBufferCount(), 0);

    const int fd = ::open(webcam.path.c_str(), O_RDWR);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(::ioctl(fd, VIDIOC_G_FMT, &format), 0);
    ::close(fd);
    std::printf("    the driver chose %ux%u for %ux%u\n", format.fmt.pix.width, format.fmt.pix.height, kWidth, kHeight);
    EXPECT_FALSE(format.fmt.pix.width == kWidth && format.fmt.pix.height == kHeight);
    EXPECT_EQ(sensor.close(), 0);
}

TEST_F(KernelCapture, SinglePlaneStreaming) {
    nameTheCamera(hdmi);
    seam.grantI2cTransfers = true;
    announce();
    VelmoraTOFCSISensor sensor(1, 2, hdmi.path.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    EXPECT_EQ(sensor.bufferType(), static_cast<uint32_t>(V4L2_BUF_TYPE_VIDEO_CAPTURE));
    EXPECT_EQ(info.bit_width, 12u);
    streamAndCheck(sensor, hdmi.path, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    // A second period on the same descriptor: the first left the driver ready for it.
    streamAndCheck(sensor, hdmi.path, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(sensor.close(), 0);
}

TEST_F(KernelCapture, MultiPlaneStreaming) {
    seam.grantI2cTransfers = true;
    seam.sensorEntityName = "velmora-marquenty " + std::to_string(bus) + "-000c";
    seam.subdevVideoPath = multiPlane.path;
    seam.subdevBufType = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    announce();
    VelmoraTOFCSISensor sensor(1, 7, multiPlane.path.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    EXPECT_EQ(sensor.bufferType(), static_cast<uint32_t>(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE));
    EXPECT_EQ(sensor.subdeviceCount(), 1);
    EXPECT_EQ(std::string(sensor.busName()), std::to_string(bus));
    streamAndCheck(sensor, multiPlane.path, V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE);
    EXPECT_GE(seam.subdevFormatsSet, 1);
    EXPECT_EQ(sensor.close(), 0);
}

using KernelDiscovery = SeamTest;

// Nothing overridden: the real device directory, the real media device, no sensor entity.
TEST_F(KernelDiscovery, MediaDiscoveryOnTheVirtualDriverFindsNoSensor) {
    announce();
    struct Case {
        int model;
        const VideoNode* node;
    };
    for (const Case& c : {Case{5, &hdmi}, Case{6, &webcam}, Case{7, &multiPlane}}) {
        SCOPED_TRACE("platform model " + std::to_string(c.model));
        // The walk takes the last "media" entry of the node's device directory that opens.
        std::string expected;
        for (const std::string& entry :
             listDir("/sys/dev/char/" + std::to_string(c.node->major) + ":" + std::to_string(c.node->minor) + "/device"))
            if (entry.compare(0, 5, "media") == 0) expected = "/dev/" + entry;
        ASSERT_FALSE(expected.empty()) << "the driver has no media device";

        VelmoraTOFCSISensor sensor(1, c.model, c.node->path.c_str());
        CameraInfo info{};
        StderrCapture err;
        EXPECT_EQ(sensor.open(info), -2);
        EXPECT_EQ(std::string(sensor.mediaNodePath()), expected);
        EXPECT_EQ(sensor.subdeviceCount(), 0);
        EXPECT_STREQ(sensor.busName(), "");
        EXPECT_NE(err.text().find("Error: I2C bus name doesn't match any bus present!"), std::string::npos);
        if (c.model == 6) {
            EXPECT_NE(err.text().find("Query entity failed"), std::string::npos);
        }
        EXPECT_EQ(sensor.close(), 0);
        std::printf("    model %d: walked to %s, no sensor entity\n", c.model, expected.c_str());
    }
}
