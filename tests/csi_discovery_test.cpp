// Opening a CSI camera: capability checks, bus text, media discovery, subdevices, bus opening.

#include <gtest/gtest.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BoardSession.h"
#include "CsiDiscovery.h"
#include "VelmoraTOFCSISensor.h"

using namespace VelmoraTest;
using Velmora::CameraInfo;
using Velmora::Connection;
using Velmora::VelmoraTOFCSISensor;

namespace {

struct Opened {
    explicit Opened(const BoardOptions& options, const char* path = "/dev/video0")
        : session(options), sensor(1, options.platformModel, path) {
        info.connect = Connection::CSI;
        info.index = 3;
        info.width = 11;
        info.height = 22;
        result = sensor.open(info);
    }
    explicit Opened(int model) : Opened(patternPreset(model)) {}

    // close() leaves nothing of the board held.
    void closeAndCheck() {
        EXPECT_EQ(sensor.close(), 0);
        expectNothingHeld(session.board);
    }

    BoardSession session;
    VelmoraTOFCSISensor sensor;
    CameraInfo info{};
    int result = -99;
};

std::string busText(const std::string& name, bool (*parse)(const std::string&, char*, size_t), bool* ok = nullptr) {
    char bus[8];
    std::memset(bus, 'x', sizeof(bus));
    bool parsed = parse(name, bus, sizeof(bus));
    if (ok) *ok = parsed;
    return std::string(bus);
}

}  // namespace

TEST(CsiBusText, FromVideoNodeName) {
    bool ok = false;
    EXPECT_EQ(busText("vi-output, velmora-marquenty 9-000c", Velmora::busTextFromVideoName, &ok), "9");
    EXPECT_TRUE(ok);
    EXPECT_EQ(busText("vi-output, velmora-marquenty 30-000c", Velmora::busTextFromVideoName), "30");
    // Only the digits right after the blank, at most seven.
    EXPECT_EQ(busText("vi-output, velmora-marquenty 123456789012-000c", Velmora::busTextFromVideoName), "1234567");
    EXPECT_EQ(busText("vi-output, velmora-marquenty x9", Velmora::busTextFromVideoName, &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(busText("velmora-marquenty", Velmora::busTextFromVideoName, &ok), "");
    EXPECT_TRUE(ok);
    busText("vi-output, other-sensor 9-000c", Velmora::busTextFromVideoName, &ok);
    EXPECT_FALSE(ok);
}

TEST(CsiBusText, FromEntityName) {
    bool ok = false;
    EXPECT_EQ(busText("velmora-marquenty 4-000c", Velmora::busTextFromEntityName, &ok), "4");
    EXPECT_TRUE(ok);
    EXPECT_EQ(busText("velmora-marquenty 10-000c", Velmora::busTextFromEntityName), "10");
    EXPECT_EQ(busText("m00_b_velmora-marquenty 3-000c", Velmora::busTextFromEntityName), "3");
    // Seven characters at most, then the cut at '-'.
    EXPECT_EQ(busText("velmora-marquenty 123456789-000c", Velmora::busTextFromEntityName), "1234567");
    EXPECT_EQ(busText("velmora-marquenty i2c-bus", Velmora::busTextFromEntityName), "i2c");
    busText("velmora-marquenty", Velmora::busTextFromEntityName, &ok);
    EXPECT_FALSE(ok);
}

TEST(CsiBusText, SubdevNodeFromLink) {
    EXPECT_EQ(Velmora::subdevNodeFromLink("../../devices/platform/x/video4linux/v4l-subdev3"), "/dev/v4l-subdev3");
    EXPECT_EQ(Velmora::subdevNodeFromLink("../../devices/platform/x/video4linux/video0"), "");
    EXPECT_EQ(Velmora::subdevNodeFromLink("v4l-subdev3"), "");
}

TEST(CsiOpen, JetsonTakesTheBusFromTheVideoNodeName) {
    Opened nano(2);
    ASSERT_EQ(nano.result, 0);
    EXPECT_STREQ(nano.sensor.busName(), "9");
    EXPECT_EQ(nano.sensor.subdeviceCount(), 0);
    EXPECT_EQ(nano.sensor.bufferType(), V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(nano.info.width, 240u);
    EXPECT_EQ(nano.info.height, 180u);
    EXPECT_EQ(nano.info.bit_width, 12u);
    EXPECT_EQ(nano.info.bpp, 2u);
    // The camera's own members stay as it set them.
    EXPECT_EQ(nano.info.index, 3u);
    EXPECT_EQ(nano.info.connect, Connection::CSI);
    EXPECT_EQ(nano.sensor.getCameraInfo().width, 240u);
    EXPECT_EQ(nano.sensor.getCameraInfo().index, 3u);
    std::vector<std::string> held = nano.session.board.openPaths();
    EXPECT_EQ(held, (std::vector<std::string>{"/dev/video0", "/dev/i2c-9"}));
    nano.closeAndCheck();

    Opened xavier(3);
    ASSERT_EQ(xavier.result, 0);
    EXPECT_STREQ(xavier.sensor.busName(), "30");
    xavier.closeAndCheck();
}

TEST(CsiOpen, MediaControllerBoards) {
    Opened pi4(5);
    ASSERT_EQ(pi4.result, 0);
    EXPECT_STREQ(pi4.sensor.busName(), "10");
    EXPECT_STREQ(pi4.sensor.mediaNodePath(), "/dev/media1");
    EXPECT_EQ(pi4.sensor.subdeviceCount(), 1);
    EXPECT_EQ(pi4.sensor.controlSubdeviceIndex(), 0);
    EXPECT_EQ(pi4.sensor.bufferType(), V4L2_BUF_TYPE_VIDEO_CAPTURE);
    // The media node lives only during discovery.
    EXPECT_EQ(pi4.session.board.openPaths(),
              (std::vector<std::string>{"/dev/video0", "/dev/v4l-subdev0", "/dev/i2c-10"}));
    pi4.closeAndCheck();

    Opened pi5(6);
    ASSERT_EQ(pi5.result, 0);
    EXPECT_STREQ(pi5.sensor.busName(), "4");
    EXPECT_EQ(pi5.sensor.subdeviceCount(), 2);
    EXPECT_EQ(pi5.sensor.controlSubdeviceIndex(), 1);
    EXPECT_TRUE(pi5.session.board.linkEnabled("csi2", 4, "rp1-cfe-csi2_ch0", 0));
    pi5.closeAndCheck();

    Opened rock(7);
    ASSERT_EQ(rock.result, 0);
    EXPECT_STREQ(rock.sensor.busName(), "3");
    EXPECT_EQ(rock.sensor.subdeviceCount(), 2);
    EXPECT_EQ(rock.sensor.controlSubdeviceIndex(), 1);
    EXPECT_EQ(rock.sensor.bufferType(), V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE);
    rock.closeAndCheck();
}

TEST(CsiOpen, SensorBeforeReceiverOnModel6StopsWithTheSensorOnly) {
    BoardOptions options = patternPreset(6);
    std::swap(options.entities[1], options.entities[2]);
    Opened pi5(options);
    ASSERT_EQ(pi5.result, 0);
    EXPECT_EQ(pi5.sensor.subdeviceCount(), 1);
    EXPECT_EQ(pi5.sensor.controlSubdeviceIndex(), 0);
    EXPECT_EQ(pi5.sensor.setControl(Velmora::CameraCtrl::RANGE, 2), 0);
    EXPECT_EQ(pi5.session.board.rangeControl(), 1);
    pi5.closeAndCheck();
}

TEST(CsiOpen, MultiPlaneOnlyNodeIsDrivenSinglePlaneExceptOnModel7) {
    BoardOptions options = patternPreset(5);
    options.capabilities = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
    Opened pi4(options);
    EXPECT_EQ(pi4.result, 0);
    EXPECT_EQ(pi4.sensor.bufferType(), V4L2_BUF_TYPE_VIDEO_CAPTURE);
    pi4.closeAndCheck();

    options = patternPreset(7);
    options.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    options.multiPlane = true;
    Opened rock(options);
    EXPECT_EQ(rock.result, 0);
    EXPECT_EQ(rock.sensor.bufferType(), V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE);
    rock.closeAndCheck();
}

TEST(CsiOpen, CapabilitiesAreChecked) {
    for (uint32_t caps : {uint32_t{V4L2_CAP_STREAMING}, uint32_t{V4L2_CAP_VIDEO_CAPTURE},
                          uint32_t{V4L2_CAP_VIDEO_CAPTURE_MPLANE}}) {
        BoardOptions options = patternPreset(2);
        options.capabilities = caps;
        Opened nano(options);
        EXPECT_EQ(nano.result, -2) << caps;
        nano.closeAndCheck();
    }
}

TEST(CsiOpen, FailingQueryCapReturnsSystemErrorAndTheProcessGoesOn) {
    BoardOptions options = patternPreset(5);
    BoardSession session(options);
    session.board.injectFault({Call::Ioctl, VIDIOC_QUERYCAP, "", EIO});
    VelmoraTOFCSISensor sensor(1, 5, "/dev/video0");
    CameraInfo info{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(sensor.open(info), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "VIDIOC_QUERYCAP: error - 5\n");
    EXPECT_EQ(sensor.close(), 0);
    expectNothingHeld(session.board);
}

TEST(CsiOpen, UnknownBoardFailsAtTheBusLookup) {
    BoardOptions options = patternPreset(2);
    options.platformModel = 0;
    testing::internal::CaptureStderr();
    Opened unknown(options);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(unknown.result, -2);
    EXPECT_STREQ(unknown.sensor.busName(), "");
    unknown.closeAndCheck();
}

TEST(CsiOpen, JetsonNameProblems) {
    {
        BoardOptions options = patternPreset(2);
        options.videoName = "vi-output, other 9-000c";
        Opened nano(options);
        EXPECT_EQ(nano.result, -2);
        nano.closeAndCheck();
    }
    {
        Opened nano(2);
        nano.session.board.removeFile("/sys/dev/char/81:0/name");
        EXPECT_EQ(nano.sensor.open(nano.info), -2);
        nano.closeAndCheck();
    }
    {
        Opened nano(2);
        nano.session.board.setFile("/sys/dev/char/81:0/name", "");
        EXPECT_EQ(nano.sensor.open(nano.info), -2);
        // The name is read as one line of at most 255 characters: "velmora" beyond it is not seen.
        nano.session.board.setFile("/sys/dev/char/81:0/name", std::string(260, 'a') + " velmora-marquenty 9-000c\n");
        EXPECT_EQ(nano.sensor.open(nano.info), -2);
        nano.session.board.setFile("/sys/dev/char/81:0/name", "vi-output, velmora-marquenty 9-000c\nvelmora 7\n");
        EXPECT_EQ(nano.sensor.open(nano.info), 0);
        EXPECT_STREQ(nano.sensor.busName(), "9");
        nano.closeAndCheck();
    }
    {
        // More digits than the field holds are cut to seven; that bus does not exist.
        BoardOptions options = patternPreset(2);
        options.videoName = "vi-output, velmora-marquenty 1234567890-000c";
        testing::internal::CaptureStderr();
        Opened nano(options);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus out of range!\n");
        EXPECT_EQ(nano.result, -2);
        EXPECT_STREQ(nano.sensor.busName(), "1234567");
        nano.closeAndCheck();
    }
}

TEST(CsiOpen, MediaNodeIsTakenFromTheLastEntryThatOpens) {
    BoardOptions options = patternPreset(5);
    options.deviceDir = {"driver", "media1", "media7", "video4linux"};
    options.missingNodes = {"/dev/media7"};
    Opened pi4(options);
    ASSERT_EQ(pi4.result, 0);
    EXPECT_STREQ(pi4.sensor.mediaNodePath(), "/dev/media1");
    pi4.closeAndCheck();

    // The kernel's order, not a sorted one, from its last entry: media10 (sorted, media9 would come first).
    options.deviceDir = {"media1", "media9", "driver", "video4linux", "media2", "media10"};
    options.missingNodes.clear();
    Opened kernelOrder(options);
    ASSERT_EQ(kernelOrder.result, 0);
    EXPECT_STREQ(kernelOrder.sensor.mediaNodePath(), "/dev/media10");
    kernelOrder.closeAndCheck();

    // Names whose node path would not fit are passed over.
    options.deviceDir = {"media1", "media" + std::string(80, '9')};
    options.missingNodes.clear();
    Opened longName(options);
    ASSERT_EQ(longName.result, 0);
    EXPECT_STREQ(longName.sensor.mediaNodePath(), "/dev/media1");
    longName.closeAndCheck();

    options.deviceDir = {"driver", "video4linux"};
    testing::internal::CaptureStderr();
    Opened none(options);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(none.result, -2);
    EXPECT_EQ(none.sensor.subdeviceCount(), 0);
    none.closeAndCheck();
}

// The seam hands directory entries on in the order the file system yields them.
TEST(SystemSeam, DirectoryListingKeepsTheKernelsOrder) {
    char dir[] = "/tmp/velmora-listing-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::vector<std::string> names = {"media1", "media9", "driver", "video4linux", "media2", "media10"};
    for (const std::string& name : names) {
        const int fd = ::open((std::string(dir) + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    std::vector<std::string> yielded;
    DIR* listing = opendir(dir);
    ASSERT_NE(listing, nullptr);
    while (dirent* entry = readdir(listing))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) yielded.push_back(entry->d_name);
    closedir(listing);

    std::vector<std::string> listed;
    Velmora::SystemAccess seam;
    EXPECT_TRUE(seam.listDirectory(dir, listed));
    EXPECT_EQ(listed, yielded);
    std::vector<std::string> sorted = yielded;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NE(yielded, sorted) << "this file system lists sorted; the order is not shown here";
    for (const std::string& name : names) ::unlink((std::string(dir) + "/" + name).c_str());
    ::rmdir(dir);
}

TEST(CsiOpen, SubdeviceLinkProblemsEndDiscovery) {
    {
        BoardOptions options = patternPreset(5);
        options.entities[0].linkTarget = "../../devices/platform/x/video4linux/video9";
        testing::internal::CaptureStderr();
        Opened pi4(options);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(pi4.result, -2);
        EXPECT_EQ(pi4.sensor.subdeviceCount(), 0);
        pi4.closeAndCheck();
    }
    {
        BoardOptions options = patternPreset(5);
        options.entities[0].linkTarget = "../../" + std::string(240, 'd') + "/v4l-subdev0";  // 258 characters
        Opened pi4(options);
        EXPECT_EQ(pi4.result, -2);
        EXPECT_EQ(pi4.sensor.subdeviceCount(), 0);
        pi4.closeAndCheck();
    }
    {
        BoardOptions options = patternPreset(5);
        options.entities[0].linkTarget = "../../" + std::string(236, 'd') + "/v4l-subdev0";  // 254 characters
        Opened pi4(options);
        EXPECT_EQ(pi4.result, 0);
        pi4.closeAndCheck();
    }
    {
        BoardOptions options = patternPreset(7);
        options.entities[2].nodeMissing = true;  // the receiver
        testing::internal::CaptureStderr();
        Opened rock(options);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
        EXPECT_EQ(rock.result, -2);
        EXPECT_EQ(rock.sensor.subdeviceCount(), 0);
        rock.closeAndCheck();
    }
}

TEST(CsiOpen, AtMostFourSubdevices) {
    BoardOptions options = patternPreset(6);
    options.entities = {{"rp1-cfe-csi2_ch0", EntityRole::Video, 1, "", false}};
    for (int i = 0; i < 4; ++i) options.entities.push_back({"csi2", EntityRole::Receiver, 6, "", false});
    options.entities.push_back({"velmora-marquenty 4-000c", EntityRole::Sensor, 1, "", false});
    options.links = {{"csi2", 4, "rp1-cfe-csi2_ch0", 0, false}};
    Opened pi5(options);
    EXPECT_EQ(pi5.result, -2);
    EXPECT_EQ(pi5.sensor.subdeviceCount(), 4);
    pi5.closeAndCheck();
}

TEST(CsiOpen, Model6LinkSetupProblems) {
    {
        Opened pi5(6);
        ASSERT_EQ(pi5.result, 0);
        pi5.sensor.close();
        pi5.session.board.injectFault({Call::Ioctl, MEDIA_IOC_SETUP_LINK, "", EBUSY});
        testing::internal::CaptureStderr();
        EXPECT_EQ(pi5.sensor.open(pi5.info), -2);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(pi5.sensor.subdeviceCount(), 0);
        pi5.closeAndCheck();
    }
    {
        BoardOptions options = patternPreset(6);
        options.entities.erase(options.entities.begin());  // no "rp1-cfe-csi2_ch0"
        testing::internal::CaptureStderr();
        Opened pi5(options);
        std::string messages = testing::internal::GetCapturedStderr();
        EXPECT_NE(messages.find("Error: no link from csi2 to /dev/video0\n"), std::string::npos) << messages;
        EXPECT_EQ(pi5.result, -2);
        pi5.closeAndCheck();
    }
}

TEST(CsiOpen, AdapterWithoutI2cTransfers) {
    BoardOptions options = patternPreset(5);
    options.i2cFunctionality = 0x0eff0000;
    testing::internal::CaptureStderr();
    Opened pi4(options);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Adapter does not have I2C transfers capability\n");
    EXPECT_EQ(pi4.result, -2);
    EXPECT_EQ(pi4.sensor.getCalibrationBuffer(), nullptr);
    pi4.closeAndCheck();
}

TEST(CsiOpen, SizeReadBackFailureKeepsTheCallersSize) {
    BoardSession session(patternPreset(5));
    session.board.injectFault({Call::Ioctl, VIDIOC_SUBDEV_G_FMT, "", EIO});
    VelmoraTOFCSISensor sensor(1, 5, "/dev/video0");
    CameraInfo info{};
    info.width = 11;
    info.height = 22;
    EXPECT_EQ(sensor.open(info), -2);
    EXPECT_EQ(info.width, 11u);
    EXPECT_EQ(info.height, 22u);
    EXPECT_EQ(info.bit_width, 12u);
    EXPECT_EQ(sensor.getCameraInfo().height, 22u);
    sensor.close();
    expectNothingHeld(session.board);
}

TEST(CsiOpen, OverlongOrMissingDevicePath) {
    const std::string longPath = "/dev/" + std::string(80, 'v');
    Opened tooLong(patternPreset(2), longPath.c_str());
    EXPECT_EQ(tooLong.result, -2);
    EXPECT_EQ(tooLong.session.board.callCount(), 0u);

    Opened missing(patternPreset(2), "/dev/video5");
    EXPECT_EQ(missing.result, -2);
    missing.closeAndCheck();

    Opened null(patternPreset(2), nullptr);
    EXPECT_EQ(null.result, -2);
}
