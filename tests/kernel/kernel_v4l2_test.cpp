// The CSI transport inside the test machine that scripts/check-kernel-v4l2.sh
// boots, against the kernel's own frameworks:
//   - the project's virtual camera module (tests/kernel/module), one camera
//     per board family, met with nothing overridden: discovery, formats in
//     the sensor's subdevice state, streaming in each family's layout,
//     controls, the control chip's frame rate and calibration store;
//   - the virtual video driver (a webcam input that changes the format it is
//     asked for) and the SMBus stub at 0x0c (an adapter without plain I2C
//     transfers), which the module does not imitate. Their checks override
//     what the driver lacks behind the seam and print it:
//       - video name: the sysfs name of the video node, which on a board
//         carries the camera's name and the bus of its control chip;
//       - I2C transfers: I2C_FUNC_I2C added to what the stub reports.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "I2cAccess.h"
#include "KernelSupport.h"
#include "SystemAccess.h"
#include "VelmoraTOFCSISensor.h"

using namespace Velmora;
using namespace KernelCheck;

namespace {

constexpr uint32_t kWidth = 240;
constexpr uint32_t kHeight = 180;
constexpr size_t kSubFrameBytes = size_t{kWidth} * kHeight * 2;

// A video node of the virtual driver, found by its instance's name.
struct VideoNode {
    std::string path;       // /dev/videoN
    std::string sysfsName;  // /sys/dev/char/M:m/name
};

VideoNode findVideoNode(const std::string& name) {
    for (const std::string& entry : listDir("/sys/class/video4linux")) {
        const std::string dir = "/sys/class/video4linux/" + entry;
        if (readText(dir + "/name") != name) continue;
        return {"/dev/" + entry, "/sys/dev/char/" + readText(dir + "/dev") + "/name"};
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

// The real system with the overrides the header lists.
class KernelSeam : public SystemAccess {
public:
    std::string nameOverridePath;
    std::string nameOverride;
    bool grantI2cTransfers = false;

    void announce() {
        std::vector<std::string> out;
        if (!nameOverridePath.empty()) out.push_back("video name: " + nameOverridePath + " reads \"" + nameOverride + "\"");
        if (grantI2cTransfers) out.push_back("I2C transfers: I2C_FUNCS also reports I2C_FUNC_I2C");
        std::printf("    overridden:%s\n", out.empty() ? " nothing" : "");
        for (const std::string& o : out) std::printf("      - %s\n", o.c_str());
        if (!nameOverridePath.empty()) overrides().insert("video name (virtual video driver)");
        if (grantI2cTransfers) overrides().insert("I2C_FUNC_I2C (SMBus stub)");
    }

    bool readFile(const std::string& path, std::string& contents, size_t maxBytes) override {
        if (!nameOverridePath.empty() && path == nameOverridePath) {
            contents = (nameOverride + "\n").substr(0, maxBytes);
            return true;
        }
        return SystemAccess::readFile(path, contents, maxBytes);
    }

    int ioctl(int fd, unsigned long request, void* arg) override {
        const int rc = SystemAccess::ioctl(fd, request, arg);
        if (rc >= 0 && request == I2C_FUNCS && grantI2cTransfers) *static_cast<unsigned long*>(arg) |= I2C_FUNC_I2C;
        return rc;
    }
};

// Nothing of the process is left open or mapped after each check.
class LeakChecked : public ::testing::Test {
protected:
    void SetUp() override { descriptorsBefore = openDescriptors(); }
    void TearDown() override {
        EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor was left open";
        EXPECT_EQ(videoMappings(), 0) << "a buffer mapping was left behind";
    }
    int descriptorsBefore = 0;
};

// The virtual video driver and the SMBus stub behind the seam.
class SeamTest : public LeakChecked {
protected:
    void SetUp() override {
        LeakChecked::SetUp();
        bus = stubBus();
        ASSERT_GE(bus, 0) << "the SMBus stub is not loaded";
        hdmi = findVideoNode("vivid-000-vid-cap");
        webcam = findVideoNode("vivid-001-vid-cap");
        ASSERT_FALSE(hdmi.path.empty() || webcam.path.empty()) << "the virtual video driver's instances are missing";
    }

    // The name a board's video node carries for a camera whose chip is on the stub's bus.
    void nameTheCamera(const VideoNode& node) {
        seam.nameOverridePath = node.sysfsName;
        seam.nameOverride = "vi-output, velmora-marquenty " + std::to_string(bus) + "-000c";
    }
    void announce() { seam.announce(); }

    KernelSeam seam;
    ScopedSystemOverride installed{seam};
    int bus = -1;
    VideoNode hdmi, webcam;
};

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

// ---- the virtual camera module, nothing overridden ----

namespace {

// A sensor of the module's camera for one family, opened through the real kernel.
class ModuleTransport : public LeakChecked, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        LeakChecked::SetUp();
        camera = moduleCamera(GetParam());
        ASSERT_GE(camera.instance, 0) << "the module presents no camera of family " << GetParam();
        ASSERT_GE(camera.bus, 0);
    }

    ModuleCamera camera;
};

// Frame of `frames` sub-frames with guard bytes behind it.
struct Frame {
    explicit Frame(size_t bytes) : data(bytes + kGuard, 0xA5), size(bytes) {}
    uint16_t word(size_t index) const { return static_cast<uint16_t>(data[2 * index] | data[2 * index + 1] << 8); }
    bool guardIntact() const {
        return std::all_of(data.begin() + static_cast<std::ptrdiff_t>(size), data.end(), [](uint8_t b) { return b == 0xA5; });
    }
    static constexpr size_t kGuard = 4096;
    std::vector<uint8_t> data;
    size_t size;
};

// Every sample of each of the four sub-frames is the module's word for that phase.
::testing::AssertionResult holdsPhases(const Frame& frame, int family, bool near) {
    const size_t samples = size_t{kWidth} * kHeight;
    for (int phase = 0; phase < 4; ++phase) {
        const uint16_t expected = hqvgaWord(family, near, phase);
        for (size_t i = 0; i < samples; ++i) {
            const uint16_t got = frame.word(static_cast<size_t>(phase) * samples + i);
            if (got != expected)
                return ::testing::AssertionFailure() << "phase " << phase << " sample " << i << " is " << got
                                                     << ", expected " << expected << (near ? " (near)" : " (far)");
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST_P(ModuleTransport, OpenFindsTheCameraAsTheBoardShowsIt) {
    const int family = GetParam();
    VelmoraTOFCSISensor sensor(1, family, camera.video.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    EXPECT_EQ(std::string(sensor.busName()), std::to_string(camera.bus));
    EXPECT_EQ(info.width, kWidth) << "the sensor's default size";
    EXPECT_EQ(info.height, kHeight);
    EXPECT_EQ(sensor.bufferType(), family == 7 ? 9u : 1u);
    if (family >= 5) {
        // The receiver (csi2, rockchip-csi2-dphy1) is enumerated before the sensor.
        EXPECT_EQ(sensor.subdeviceCount(), family == 5 ? 1 : 2);
        EXPECT_EQ(sensor.controlSubdeviceIndex(), family == 5 ? 0 : 1);
        EXPECT_EQ(std::string(sensor.mediaNodePath()).compare(0, 10, "/dev/media"), 0);
    } else {
        EXPECT_EQ(sensor.subdeviceCount(), 0);
    }
    std::printf("    family %d: %s, bus %s, media %s, %d subdevice(s)\n", family, camera.video.c_str(), sensor.busName(),
                sensor.mediaNodePath(), sensor.subdeviceCount());
    EXPECT_EQ(sensor.close(), 0);
}

TEST_P(ModuleTransport, HqvgaPhasesInTheFamilysLayoutAndSensorControls) {
    const int family = GetParam();
    VelmoraTOFCSISensor sensor(4, family, camera.video.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    ASSERT_EQ(sensor.start(), 0);  // on the Pi 5 the kernel validates the link open enabled
    EXPECT_EQ(sensor.mappedBufferCount(), 8);

    Frame frame(4 * kSubFrameBytes);
    uint64_t previous = 0;
    for (int i = 0; i < 4; ++i) {
        uint64_t stamp = 0;
        ASSERT_EQ(sensor.readFrame(frame.data.data(), &stamp), 0);
        EXPECT_TRUE(holdsPhases(frame, family, false)) << "frame " << i;
        EXPECT_GT(stamp, previous);
        previous = stamp;
    }
    EXPECT_TRUE(frame.guardIntact()) << "readFrame wrote past the frame";

    // Controls through the control framework: the near range changes the phases; exposure is clamped.
    ASSERT_EQ(sensor.setControl(CameraCtrl::RANGE, 2), 0);
    int value = 0;
    EXPECT_EQ(sensor.getControl(CameraCtrl::RANGE, &value), 0);
    EXPECT_EQ(value, 2);
    bool nearSeen = false;
    for (int i = 0; i < 12 && !nearSeen; ++i) {
        uint64_t stamp = 0;
        ASSERT_EQ(sensor.readFrame(frame.data.data(), &stamp), 0);
        nearSeen = holdsPhases(frame, family, true);
    }
    EXPECT_TRUE(nearSeen) << "the near range never reached the frames";
    EXPECT_EQ(sensor.setControl(CameraCtrl::EXPOSURE, 0), 0);
    EXPECT_EQ(sensor.getControl(CameraCtrl::EXPOSURE, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(sensor.setControl(CameraCtrl::EXPOSURE, 500), 0);
    EXPECT_EQ(sensor.getControl(CameraCtrl::EXPOSURE, &value), 0);
    EXPECT_EQ(value, 500);

    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

// The read-back at start asks for the active format: the try format of the
// sensor's file handle still holds the default size.
TEST_P(ModuleTransport, VgaRawSizesStartAndCarryTheSensorsSamples) {
    const int family = GetParam();
    VelmoraTOFCSISensor sensor(1, family, camera.video.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    ASSERT_EQ(sensor.setControl(CameraCtrl::FRAME_RATE, 10), 0);
    struct Size {
        uint32_t width, height;
    };
    for (const Size size : {Size{640, 2405}, Size{320, 2410}}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_WIDTH, static_cast<int>(size.width)), 0);
        ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_HEIGHT, static_cast<int>(size.height)), 0);
        ASSERT_EQ(sensor.start(), 0);
        Frame frame(size_t{2} * size.width * size.height);
        uint64_t stamp = 0;
        ASSERT_EQ(sensor.readFrame(frame.data.data(), &stamp), 0);
        // The split-line layout of family 3 is the HQVGA sensor's; its VGA frames only start here.
        const size_t samples = size_t{size.width} * size.height;
        size_t wrong = 0;
        for (size_t i = 0; i < samples && family != 3; ++i)
            if (frame.word(i) != vgaWord(static_cast<uint32_t>(i % size.width), static_cast<uint32_t>(i / size.width)))
                ++wrong;
        EXPECT_EQ(wrong, 0u);
        EXPECT_TRUE(frame.guardIntact());
        EXPECT_EQ(sensor.stop(), 0);
    }
    // Media boards read the sensor's try format at open: a new file handle's is the default
    // again. The Jetson boards read the video node's format, the last one set.
    VelmoraTOFCSISensor other(1, family, camera.video.c_str());
    CameraInfo otherInfo{};
    ASSERT_EQ(other.open(otherInfo), 0);
    EXPECT_EQ(otherInfo.width, family >= 5 ? kWidth : 320u);
    EXPECT_EQ(other.close(), 0);
    // The camera's HQVGA size again, for the checks after this one.
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_WIDTH, static_cast<int>(kWidth)), 0);
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_HEIGHT, static_cast<int>(kHeight)), 0);
    EXPECT_EQ(sensor.start(), 0);
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

TEST_P(ModuleTransport, FrameRateThroughTheChipAndCalibrationBlocks) {
    const int family = GetParam();
    VelmoraTOFCSISensor sensor(4, family, camera.video.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    for (uint16_t offset : {uint16_t{0}, uint16_t{0x0250}}) {
        std::vector<uint8_t> block(512, 0);
        ASSERT_EQ(sensor.readBlock(offset, block.data()), 0);
        size_t wrong = 0;
        for (size_t j = 0; j < block.size(); ++j)
            if (block[j] != blockByte(offset, j)) ++wrong;
        EXPECT_EQ(wrong, 0u) << "block at " << offset;
    }

    ASSERT_EQ(sensor.setControl(CameraCtrl::FRAME_RATE, 10), 0);
    ASSERT_EQ(sensor.start(), 0);
    Frame frame(4 * kSubFrameBytes);
    std::vector<uint64_t> stamps;
    for (int i = 0; i < 5; ++i) {
        uint64_t stamp = 0;
        ASSERT_EQ(sensor.readFrame(frame.data.data(), &stamp), 0);
        stamps.push_back(stamp);
    }
    // The first frames may have been filled at the rate before.
    const double step = static_cast<double>(stamps.back() - stamps[2]) / 2.0;
    std::printf("    family %d: 10 fps gives frames %.1f ms apart\n", family, step);
    EXPECT_GE(step, 95.0);
    EXPECT_LE(step, 250.0);
    EXPECT_EQ(sensor.setControl(CameraCtrl::FRAME_RATE, 30), 0);
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

INSTANTIATE_TEST_SUITE_P(Families, ModuleTransport, ::testing::Values(2, 3, 5, 6, 7));

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    std::string listed;
    for (const std::string& o : overrides()) listed += (listed.empty() ? ": " : ", ") + o;
    std::printf("kernel: %d checks passed, %zu overridden%s\n", unit.successful_test_count(), overrides().size(),
                listed.c_str());
    return rc;
}
