// The CSI transport against what the boards' own receiver drivers do, as the
// virtual camera module presents it per family and variant (instances as
// scripts/check-kernel-v4l2.sh loads it), and against its fault switches:
// read-only subdevice nodes, compact lines, a kernel without Y12, a CFE
// output's link left enabled, the mainline names, error-flagged buffers, an
// unbound camera.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/media.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "CsiDefinitions.h"
#include "KernelSupport.h"
#include "VelmoraTOFCSISensor.h"

using namespace Velmora;
using namespace KernelCheck;

namespace {

constexpr uint32_t kSamples = 240 * 180;
constexpr int kWritableSubdevs = 5;
constexpr int kNoY12 = 7;
constexpr int kStaleLink = 8;
constexpr int kMainline = 9;

ModuleCamera cameraAt(int instance) {
    const std::vector<ModuleCamera> all = moduleCameras();
    return static_cast<size_t>(instance) < all.size() ? all[static_cast<size_t>(instance)] : ModuleCamera{};
}

// `frames` frames read through the sensor hold the module's far-range phases;
// failed reads are retried and counted in `failedReads`.
::testing::AssertionResult readsPhases(VelmoraTOFCSISensor& sensor, int family, int frames, int* failedReads = nullptr) {
    std::vector<uint8_t> frame(4 * kSamples * 2);
    for (int i = 0; i < frames; ++i) {
        uint64_t stamp = 0;
        int attempts = 0;
        while (sensor.readFrame(frame.data(), &stamp) != 0)
            if (++attempts == 20) return ::testing::AssertionFailure() << "frame " << i << " never came";
        if (failedReads) *failedReads += attempts;
        for (size_t s = 0; s < 4 * kSamples; ++s) {
            const uint16_t word = static_cast<uint16_t>(frame[2 * s] | frame[2 * s + 1] << 8);
            const uint16_t expected = hqvgaWord(family, false, static_cast<int>(s / kSamples));
            if (word != expected)
                return ::testing::AssertionFailure() << "frame " << i << " sample " << s << " is " << word
                                                     << ", expected " << expected;
        }
    }
    return ::testing::AssertionSuccess();
}

// The media node of a module camera, from its platform device's directory.
std::string mediaNodeOf(const ModuleCamera& camera) {
    for (const std::string& entry : listDir(camera.deviceDir))
        if (entry.compare(0, 5, "media") == 0) return "/dev/" + entry;
    return std::string();
}

uint32_t entityId(int mediaFd, const std::string& name) {
    media_entity_desc entity{};
    entity.id = MEDIA_ENT_ID_FLAG_NEXT;
    while (::ioctl(mediaFd, MEDIA_IOC_ENUM_ENTITIES, &entity) == 0) {
        if (name == entity.name) return entity.id;
        entity.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
    return 0;
}

// Opens a camera's node, starts it, reads `frames` frames of phases, stops and closes.
void streamPhases(const std::string& video, int family, int frames) {
    VelmoraTOFCSISensor sensor(4, family, video.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    ASSERT_EQ(sensor.start(), 0);
    EXPECT_TRUE(readsPhases(sensor, family, frames));
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

}  // namespace

// Each board's receiver behaviour: the driver streams the sensor's phases.
TEST(ModuleBoards, EachReceiverVariantStreamsThePhases) {
    struct Case {
        int instance;
        const char* what;
    } cases[] = {
        {2, "Pi 4: read-only subdevice nodes, the video node sets the sensor"},
        {kWritableSubdevs, "Pi 4 in media-controller mode: writable subdevice nodes"},
        {kStaleLink, "Pi 5: the second output's link left enabled by an earlier program"},
        {kMainline, "Pi 5 on a mainline kernel: rp1-cfe-csi2-ch0 on source pad 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ModuleCamera camera = cameraAt(c.instance);
        ASSERT_FALSE(camera.video.empty());
        streamPhases(camera.video, camera.family, 3);
    }
}

// The ROCK 5B's capture node packs RAW lines (256-byte aligned) unless its control turns that off.
TEST(ModuleBoards, CompactAndPlainLinesOfTheRock5B) {
    const ModuleCamera camera = moduleCamera(7);
    ASSERT_FALSE(camera.video.empty());
    const int fd = ::open(camera.video.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    for (int compact : {1, 0}) {
        SCOPED_TRACE(compact ? "compact lines" : "plain lines");
        v4l2_control control{csi::kCompactControl, compact};
        ASSERT_EQ(::ioctl(fd, VIDIOC_S_CTRL, &control), 0);
        streamPhases(camera.video, 7, 2);
    }
    v4l2_control control{csi::kCompactControl, 1};
    EXPECT_EQ(::ioctl(fd, VIDIOC_S_CTRL, &control), 0);
    ::close(fd);
}

// A vendor kernel without Y12 falls back to Y16: the start is refused, naming the format.
TEST(ModuleBoards, AKernelWithoutY12IsRefusedByName) {
    const ModuleCamera camera = cameraAt(kNoY12);
    ASSERT_FALSE(camera.video.empty());
    VelmoraTOFCSISensor sensor(4, 7, camera.video.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    StderrCapture err;
    EXPECT_NE(sensor.start(), 0);
    EXPECT_NE(err.text().find("pixel format Y16"), std::string::npos);
    EXPECT_EQ(sensor.mappedBufferCount(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

// Another output's enabled link whose node is open: the receiver would hold
// streaming, and the driver says which link.
TEST(ModuleBoards, AnEnabledLinkOfANodeInUseIsReported) {
    const ModuleCamera camera = cameraAt(kStaleLink);
    ASSERT_FALSE(camera.video.empty());
    const std::string media = mediaNodeOf(camera);
    const int mediaFd = ::open(media.c_str(), O_RDWR);
    ASSERT_GE(mediaFd, 0) << media;
    const std::string other = "/dev/video" + std::to_string(camera.videoIndex + 1);
    const int otherFd = ::open(other.c_str(), O_RDWR);
    ASSERT_GE(otherFd, 0);
    media_link_desc link{};
    link.source.entity = entityId(mediaFd, "csi2");
    link.source.index = 5;
    link.sink.entity = entityId(mediaFd, "rp1-cfe-csi2_ch1");
    link.flags = MEDIA_LNK_FL_ENABLED;
    ASSERT_EQ(::ioctl(mediaFd, MEDIA_IOC_SETUP_LINK, &link), 0);
    {
        VelmoraTOFCSISensor sensor(4, 6, camera.video.c_str());
        CameraInfo info{};
        StderrCapture err;
        EXPECT_NE(sensor.open(info), 0);
        EXPECT_NE(err.text().find("link csi2:5 -> rp1-cfe-csi2_ch1:0 is enabled and " + other + " is in use"),
                  std::string::npos);
        EXPECT_EQ(sensor.close(), 0);
    }
    ::close(otherFd);
    // Nobody has it open now: the driver disables the link itself.
    streamPhases(camera.video, 6, 1);
    ::close(mediaFd);
}

// Buffers the receiver flags as errors (unfilled) are failed reads, never frames.
TEST(ModuleFaults, ErrorFlaggedBuffersAreNotDelivered) {
    const ModuleCamera camera = moduleCamera(5);
    VelmoraTOFCSISensor sensor(4, 5, camera.video.c_str());
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    ASSERT_EQ(sensor.start(), 0);
    ASSERT_TRUE(setModuleParameter("error_buffers", "7"));
    int failedReads = 0;
    EXPECT_TRUE(readsPhases(sensor, 5, 8, &failedReads));
    ASSERT_TRUE(setModuleParameter("error_buffers", "0"));
    std::printf("    %d reads failed on error-flagged buffers\n", failedReads);
    EXPECT_GT(failedReads, 0) << "no error-flagged buffer was met: the check shows nothing";
    EXPECT_EQ(sensor.close(), 0);
}

// The camera's platform device unbound while streaming (an unplug): the
// transport reports the camera gone, its nodes are gone (opening one no longer
// reaches the module), and once bound again the camera streams.
TEST(ModuleFaults, AnUnboundCameraIsGoneUntilBoundAgain) {
    const ModuleCamera camera = cameraAt(kWritableSubdevs);
    ASSERT_FALSE(camera.video.empty());
    std::vector<std::string> subdevs;
    for (const std::string& entry : listDir(camera.deviceDir + "/video4linux"))
        if (entry.compare(0, 10, "v4l-subdev") == 0) subdevs.push_back("/dev/" + entry);
    ASSERT_FALSE(subdevs.empty());
    const std::string device = "velmora-vcam." + std::to_string(kWritableSubdevs);
    {
        VelmoraTOFCSISensor sensor(4, 5, camera.video.c_str());
        CameraInfo info{};
        ASSERT_EQ(sensor.open(info), 0);
        ASSERT_EQ(sensor.start(), 0);
        ASSERT_TRUE(readsPhases(sensor, 5, 1));
        // The control chip's bus goes last: its removal waits for the transport to let go.
        auto unbound = std::async(std::launch::async, [&] {
            return writeText("/sys/bus/platform/drivers/velmora-vcam/unbind", device);
        });
        StderrCapture err;
        std::vector<uint8_t> frame(4 * kSamples * 2);
        uint64_t stamp = 0;
        for (int i = 0; i < 50 && !sensor.cameraGone(); ++i) sensor.readFrame(frame.data(), &stamp);
        EXPECT_TRUE(sensor.cameraGone());
        EXPECT_NE(err.text().find("camera gone"), std::string::npos);
        EXPECT_NE(sensor.readFrame(frame.data(), &stamp), 0);
        EXPECT_EQ(sensor.close(), 0);
        ASSERT_EQ(unbound.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(unbound.get());
    }
    for (const std::string& node : subdevs) {
        const int fd = ::open(node.c_str(), O_RDWR);
        EXPECT_LT(fd, 0) << node << " still reaches the unbound camera";
        if (fd >= 0) ::close(fd);
    }
    ASSERT_TRUE(writeText("/sys/bus/platform/drivers/velmora-vcam/bind", device));
    const ModuleCamera again = cameraAt(kWritableSubdevs);
    ASSERT_FALSE(again.video.empty());
    streamPhases(again.video, 5, 2);
}

// The module's own rules: errno values only, and a stream with the fewest
// buffers it takes fills them one at a time, each phase with its own time.
TEST(ModuleRules, FaultSwitchesAndOneBufferAtATime) {
    EXPECT_FALSE(setModuleParameter("fail_dqbuf", "-5"));
    EXPECT_FALSE(setModuleParameter("fail_dqbuf", "100000"));
    EXPECT_EQ(moduleParameter("fail_dqbuf"), 0);

    const ModuleCamera camera = moduleCamera(5);
    const int fd = ::open(camera.video.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    v4l2_requestbuffers request{};
    request.count = 2;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(::ioctl(fd, VIDIOC_REQBUFS, &request), 0);
    ASSERT_EQ(request.count, 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        ASSERT_EQ(::ioctl(fd, VIDIOC_QBUF, &buffer), 0);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(::ioctl(fd, VIDIOC_STREAMON, &type), 0);
    std::vector<uint64_t> stamps;
    for (int i = 0; i < 6; ++i) {
        pollfd ready{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 2000), 1) << "with two buffers queued nothing was filled";
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        ASSERT_EQ(::ioctl(fd, VIDIOC_DQBUF, &buffer), 0);
        stamps.push_back(static_cast<uint64_t>(buffer.timestamp.tv_sec) * 1000000 + buffer.timestamp.tv_usec);
        ASSERT_EQ(::ioctl(fd, VIDIOC_QBUF, &buffer), 0);
    }
    for (size_t i = 1; i < stamps.size(); ++i) EXPECT_GT(stamps[i], stamps[i - 1]) << "buffer " << i;
    ::ioctl(fd, VIDIOC_STREAMOFF, &type);
    ::close(fd);
}
