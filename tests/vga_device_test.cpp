// The VGA model over a recording sensor: geometry, controls and refusals,
// raw copies and their bounds, the start sequence with its files and
// "cali.bin", and what close, the destructor and failed starts release.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "DefaultConfigFiles.h"
#include "SystemAccess.h"
#include "VelmoraDeviceVGA.h"
#include "vga_test_support.h"
#ifdef VGA_OWN_SI4C
#include "Si4cConfig.h"
#include "Si4cTesting.h"
#endif

namespace {

using namespace Velmora;
using vgatest::PixelTruth;
using vgatest::ScratchDir;

class RecordingSensor : public VelmoraTOFSensor {
public:
    int open(CameraInfo& info) override {
        info = frame;
        return 0;
    }
    int close() override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    CameraInfo getCameraInfo() override { return frame; }
    int readFrame(uint8_t*, uint64_t*) override { return -1; }
    int setControl(CameraCtrl ctrl, int value) override {
        sets.emplace_back(ctrl, value);
        return ctrl == CameraCtrl::FRAME_RATE ? frameRateResult : 0;
    }
    int getControl(CameraCtrl ctrl, int* value) override {
        gets.push_back(ctrl);
        *value = reportedValue;
        return getResult;
    }

    // Delivers frames of this size (what a sensor reports after configuration).
    void deliver(uint32_t width, uint32_t lines) {
        frame.width = width;
        frame.height = lines;
    }

    CameraInfo frame{0, Connection::USB, VGA, FrameType::DEPTH, 640, 2405, 12, 2};
    std::vector<std::pair<CameraCtrl, int>> sets;
    std::vector<CameraCtrl> gets;
    int frameRateResult = 0;
    int getResult = 0;
    int reportedValue = 15;
};

int get(VelmoraDeviceVGA& model, CameraCtrl ctrl, int* rc = nullptr) {
    int value = -12345;
    const int result = model.getControl(ctrl, &value);
    if (rc) *rc = result;
    return value;
}

class VgaModel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(model.attachSensor(&sensor), 0); }
    RecordingSensor sensor;
    VelmoraDeviceVGA model{3};
};

// ---------------------------------------------------------------- controls

TEST_F(VgaModel, FreshModelReportsDefaultsWithoutAskingTheSensor) {
    EXPECT_EQ(model.deviceType(), 0);
    int rc = -1;
    EXPECT_EQ(get(model, CameraCtrl::FMT_WIDTH, &rc), 640);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(get(model, CameraCtrl::FMT_HEIGHT), 480);
    EXPECT_EQ(get(model, CameraCtrl::RANGE, &rc), 1250);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(get(model, CameraCtrl::MODE), 0);
    EXPECT_EQ(get(model, CameraCtrl::FRAME_RATE, &rc), 41);
    EXPECT_EQ(rc, 0);

    ASSERT_EQ(model.setControl(CameraCtrl::MODE, 1), 0);
    EXPECT_EQ(get(model, CameraCtrl::RANGE), 4500);
    EXPECT_EQ(get(model, CameraCtrl::MODE), 1);
    EXPECT_EQ(get(model, CameraCtrl::FRAME_RATE), 23);
    ASSERT_EQ(model.setControl(CameraCtrl::MODE, 0), 0);
    EXPECT_EQ(get(model, CameraCtrl::RANGE), 1250);
    EXPECT_TRUE(sensor.gets.empty());
    EXPECT_TRUE(sensor.sets.empty());
}

TEST_F(VgaModel, SmallGeometryRatesAndRawLines) {
    ASSERT_EQ(model.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    ASSERT_EQ(model.setControl(CameraCtrl::FMT_HEIGHT, 240), 0);
    EXPECT_EQ(get(model, CameraCtrl::FRAME_RATE), 61);
    FrameGeometry raw{}, depth{};
    model.getFrameFormats(raw, depth);
    EXPECT_EQ(raw.width, 320);
    EXPECT_EQ(raw.height, 1205);
    EXPECT_EQ(depth.width, 320);
    EXPECT_EQ(depth.height, 240);

    ASSERT_EQ(model.setControl(CameraCtrl::MODE, 1), 0);
    EXPECT_EQ(get(model, CameraCtrl::FRAME_RATE), 36);
    model.getFrameFormats(raw, depth);
    EXPECT_EQ(raw.height, 2410);

    ASSERT_EQ(model.setControl(CameraCtrl::FMT_WIDTH, 640), 0);
    ASSERT_EQ(model.setControl(CameraCtrl::FMT_HEIGHT, 480), 0);
    model.getFrameFormats(raw, depth);
    EXPECT_EQ(raw.width, 640);
    EXPECT_EQ(raw.height, 4810);
}

TEST_F(VgaModel, MixedGeometryHasNoDefaultRate) {
    ASSERT_EQ(model.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    int rc = 0;
    EXPECT_EQ(get(model, CameraCtrl::FRAME_RATE, &rc), -12345) << "nothing written";
    EXPECT_EQ(rc, 1);
    EXPECT_TRUE(sensor.gets.empty());
}

TEST_F(VgaModel, RefusesValuesOutsideItsSets) {
    EXPECT_EQ(model.setControl(CameraCtrl::FMT_WIDTH, 800), 1);
    EXPECT_EQ(model.setControl(CameraCtrl::FMT_HEIGHT, 600), 1);
    EXPECT_EQ(model.setControl(CameraCtrl::FMT_WIDTH, 480), 1);
    EXPECT_EQ(model.setControl(CameraCtrl::FMT_HEIGHT, 320), 1);
    EXPECT_EQ(get(model, CameraCtrl::FMT_WIDTH), 640);
    EXPECT_EQ(get(model, CameraCtrl::FMT_HEIGHT), 480);
    EXPECT_EQ(model.setControl(CameraCtrl::MODE, 2), 1);
    EXPECT_EQ(model.setControl(CameraCtrl::MODE, -1), 1);
    EXPECT_EQ(get(model, CameraCtrl::MODE), 0);
    EXPECT_EQ(model.setControl(CameraCtrl::RANGE, 2000), 1);
    EXPECT_EQ(model.setControl(CameraCtrl::RANGE, 1250), 1);
    EXPECT_EQ(model.setControl(CameraCtrl::EXPOSURE, 100), 1);
    EXPECT_EQ(model.setControl(CameraCtrl::FRAME_MODE, 1), 4);
    int rc = 0;
    EXPECT_EQ(get(model, CameraCtrl::FRAME_MODE, &rc), -12345);
    EXPECT_EQ(rc, 4);
    EXPECT_EQ(model.getControl(CameraCtrl::RANGE, nullptr), 1);
    EXPECT_TRUE(sensor.sets.empty());
}

TEST_F(VgaModel, FrameRateBelongsToTheSensorOnceAccepted) {
    sensor.frameRateResult = -2;
    EXPECT_EQ(model.setControl(CameraCtrl::FRAME_RATE, 15), -2);
    EXPECT_EQ(get(model, CameraCtrl::FRAME_RATE), 41) << "refused rate leaves the default table";
    EXPECT_TRUE(sensor.gets.empty());

    sensor.frameRateResult = 0;
    sensor.reportedValue = 15;
    ASSERT_EQ(model.setControl(CameraCtrl::FRAME_RATE, 15), 0);
    ASSERT_EQ(sensor.sets.size(), 2u);
    EXPECT_EQ(sensor.sets[1], std::make_pair(CameraCtrl::FRAME_RATE, 15));
    sensor.getResult = 4;
    int rc = 0;
    EXPECT_EQ(get(model, CameraCtrl::FRAME_RATE, &rc), 15);
    EXPECT_EQ(rc, 4) << "the sensor's result is passed through";
    EXPECT_EQ(sensor.gets, std::vector<CameraCtrl>{CameraCtrl::FRAME_RATE});
}

TEST_F(VgaModel, OtherControlsAreRefusedOrForwarded) {
    for (int ctrl : {7, 8, 9, 256, -5, 1000})
        EXPECT_EQ(model.setControl(static_cast<CameraCtrl>(ctrl), 1), 1) << ctrl;
    EXPECT_TRUE(sensor.sets.empty());
    sensor.getResult = 4;
    sensor.reportedValue = 77;
    for (int ctrl : {5, 7, 256, -5}) {
        int rc = 0;
        EXPECT_EQ(get(model, static_cast<CameraCtrl>(ctrl), &rc), 77) << ctrl;
        EXPECT_EQ(rc, 4);
    }
    EXPECT_EQ(sensor.gets.size(), 4u);
}

TEST_F(VgaModel, ConfigurationDirectoryText) {
    const char* text = reinterpret_cast<const char*>(0x1);
    ASSERT_EQ(model.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), 0);
    EXPECT_STREQ(text, "");

    char buffer[] = "/some/dir";
    ASSERT_EQ(model.setControlExt(CameraCtrl::CONFIG_DIR_EXT, buffer), 0);
    buffer[1] = 'X';
    ASSERT_EQ(model.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), 0);
    EXPECT_STREQ(text, "/some/dir") << "the model keeps its own copy";

    EXPECT_EQ(model.setControlExt(CameraCtrl::CONFIG_DIR_EXT, nullptr), 1);
    ASSERT_EQ(model.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), 0);
    EXPECT_STREQ(text, "/some/dir");

    EXPECT_EQ(model.setControlExt(CameraCtrl::RANGE, "x"), 1);
    const char* untouched = "keep";
    EXPECT_EQ(model.getControlExt(CameraCtrl::MODE, &untouched), 1);
    EXPECT_STREQ(untouched, "keep");
}

TEST_F(VgaModel, ConfiguresTheSensorGeometry) {
    ASSERT_EQ(model.configureSensor(), 0);
    EXPECT_EQ(sensor.sets, (std::vector<std::pair<CameraCtrl, int>>{{CameraCtrl::FMT_WIDTH, 640},
                                                                    {CameraCtrl::FMT_HEIGHT, 2405}}));
    sensor.sets.clear();
    model.setControl(CameraCtrl::MODE, 1);
    model.setControl(CameraCtrl::FMT_WIDTH, 320);
    model.setControl(CameraCtrl::FMT_HEIGHT, 240);
    ASSERT_EQ(model.configureSensor(), 0);
    EXPECT_EQ(sensor.sets, (std::vector<std::pair<CameraCtrl, int>>{{CameraCtrl::FMT_WIDTH, 320},
                                                                    {CameraCtrl::FMT_HEIGHT, 2410}}));
}

TEST(VgaModelAttach, NullSensorIsRefused) {
    VelmoraDeviceVGA model(0);
    EXPECT_EQ(model.attachSensor(nullptr), 1);
    EXPECT_EQ(model.configureSensor(), -1) << "nothing attached, nothing to configure";
}

// Without a library instance the mode is remembered, and the next instance runs in it.
TEST(VgaModelAttach, ModeSetBeforeTheLibraryExistsIsKept) {
    VelmoraDeviceVGA model(0);
    EXPECT_EQ(model.setControl(CameraCtrl::MODE, 1), 0);
    EXPECT_EQ(get(model, CameraCtrl::RANGE), 4500);
    EXPECT_EQ(model.setControl(CameraCtrl::MODE, 2), 1);
    RecordingSensor sensor;
    ASSERT_EQ(model.attachSensor(&sensor), 0);
    EXPECT_EQ(get(model, CameraCtrl::MODE), 1) << "asked of the new library instance";
    model.configureSensor();
    EXPECT_EQ(sensor.sets.back(), std::make_pair(CameraCtrl::FMT_HEIGHT, 4810));
}

// ---------------------------------------------------------------- raw copies

std::vector<uint8_t> pattern(size_t bytes) {
    std::vector<uint8_t> v(bytes);
    for (size_t i = 0; i < bytes; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

TEST_F(VgaModel, RawCopyInDoubleModeIsTheWholeFrame) {
    model.setControl(CameraCtrl::MODE, 1);
    sensor.deliver(640, 4810);
    FrameGeometry raw{}, depth{};
    model.getFrameFormats(raw, depth);
    const auto source = pattern(640u * 4810u * 2u);
    std::vector<int16_t> out(static_cast<size_t>(raw.width) * raw.height, 0);
    EXPECT_EQ(model.getRawImages(source.data(), out.data()), 1);
    EXPECT_EQ(out.size() * 2, 640u * 4810u * 2u);
    EXPECT_EQ(std::memcmp(out.data(), source.data(), source.size()), 0);
}

TEST_F(VgaModel, RawCopyNeverExceedsTheGeometryLastReported) {
    // The output sized exactly as the camera sizes it for a single-frequency
    // start, followed by guard words; the source could offer more.
    FrameGeometry raw{}, depth{};
    model.getFrameFormats(raw, depth);
    const size_t reported = static_cast<size_t>(raw.width) * raw.height;
    const auto source = pattern(reported * 4);
    constexpr size_t kGuard = 64;
    std::vector<int16_t> out(reported + kGuard, 0);
    auto guardIntact = [&] {
        return std::all_of(out.begin() + static_cast<std::ptrdiff_t>(reported), out.end(),
                           [](int16_t v) { return v == 0; });
    };

    // Switched to double frequency while streaming: the copy stays within the buffers.
    ASSERT_EQ(model.setControl(CameraCtrl::MODE, 1), 0);
    model.getRawImages(source.data(), out.data());
    EXPECT_EQ(std::memcmp(out.data(), source.data(), reported * 2), 0);
    EXPECT_TRUE(guardIntact());

    // A smaller width copies less, and never more than asked.
    std::fill(out.begin(), out.end(), int16_t{0});
    ASSERT_EQ(model.setControl(CameraCtrl::MODE, 0), 0);
    ASSERT_EQ(model.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    model.getRawImages(source.data(), out.data());
    EXPECT_EQ(std::memcmp(out.data(), source.data(), 320u * 2405u * 2u), 0);
    EXPECT_TRUE(std::all_of(out.begin() + 320 * 2405, out.end(), [](int16_t v) { return v == 0; }));
}

TEST_F(VgaModel, RawCopyNeverExceedsWhatTheSensorDelivers) {
    sensor.deliver(640, 1000);  // a sensor that ignored the geometry it was asked for
    FrameGeometry raw{}, depth{};
    model.getFrameFormats(raw, depth);
    const auto source = pattern(static_cast<size_t>(raw.width) * raw.height * 2);
    std::vector<int16_t> out(static_cast<size_t>(raw.width) * raw.height, 0);
    model.getRawImages(source.data(), out.data());
    EXPECT_EQ(std::memcmp(out.data(), source.data(), 640u * 1000u * 2u), 0);
    EXPECT_TRUE(std::all_of(out.begin() + 640 * 1000, out.end(), [](int16_t v) { return v == 0; }))
        << "nothing beyond the sensor's frame is copied";
}

TEST_F(VgaModel, NothingIsCopiedBeforeAGeometryWasReported) {
    const auto source = pattern(64);
    std::vector<int16_t> out(32, 5);
    model.getRawImages(source.data(), out.data());
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t v) { return v == 5; }));
}

// ---------------------------------------------------------------- start sequence

#ifdef VGA_OWN_SI4C

// Counts what happens to "cali.bin" through the system seam.
class CalibrationWatch : public SystemAccess {
public:
    int open(const char* path, int flags) override {
        const int fd = SystemAccess::open(path, flags);
        std::lock_guard<std::mutex> lock(mutex);
        if (fd >= 0 && std::string(path) == "cali.bin") openFds.insert(fd);
        return fd;
    }
    int close(int fd) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            openFds.erase(fd);
        }
        return SystemAccess::close(fd);
    }
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override {
        if (failMap) return MAP_FAILED;
        void* p = SystemAccess::mmap(addr, length, prot, flags, fd, offset);
        std::lock_guard<std::mutex> lock(mutex);
        if (p != MAP_FAILED) {
            mappings[p] = length;
            ++mapCount;
        }
        return p;
    }
    int munmap(void* addr, size_t length) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            mappings.erase(addr);
            instancesAtUnmap.push_back(si4c::testing::liveInstances());
        }
        return SystemAccess::munmap(addr, length);
    }

    std::mutex mutex;
    std::set<int> openFds;
    std::map<void*, size_t> mappings;
    std::vector<int> instancesAtUnmap;
    int mapCount = 0;
    bool failMap = false;
};

class VgaStart : public ::testing::Test {
protected:
    void SetUp() override {
        si4c::testing::reset();
        baseInstances = si4c::testing::liveInstances();
        vgatest::writeFile("ConfigAlgorithm.json", "stale");
    }
    void TearDown() override { si4c::testing::reset(); }

    std::vector<float> planes() const { return std::vector<float>(320u * 240u, -1.0f); }

    // Starts a 320 x 240 model on `sensor` and reports geometry as the camera does.
    int startSmall(VelmoraDeviceVGA& m, bool single = true) {
        m.setControl(CameraCtrl::FMT_WIDTH, 320);
        m.setControl(CameraCtrl::FMT_HEIGHT, 240);
        m.setControl(CameraCtrl::MODE, single ? 0 : 1);
        sensor.deliver(320, single ? 1205 : 2410);
        if (m.configureSensor() != 0) return -100;
        const int rc = m.start();
        FrameGeometry raw{}, depth{};
        m.getFrameFormats(raw, depth);
        return rc;
    }

    ScratchDir dir;
    CalibrationWatch watch;
    ScopedSystemOverride seam{watch};
    RecordingSensor sensor;
    int baseInstances = 0;
};

TEST_F(VgaStart, WritesTheFilesAndRunsWithoutCalibration) {
    VelmoraDeviceVGA m(0);
    ASSERT_EQ(m.attachSensor(&sensor), 0);
    ASSERT_EQ(startSmall(m), 0);
    vgatest::expectDefaultFiles();
    EXPECT_EQ(watch.mapCount, 0);

    const auto frame = vgatest::synthesiseFrame(320, 240, true, [](int, int) { return PixelTruth{640, 300}; });
    auto depth = planes(), amplitude = planes(), confidence = planes();
    ASSERT_TRUE(m.getPhaseImage(reinterpret_cast<const uint8_t*>(frame.data()), depth.data(), amplitude.data(),
                                confidence.data()));
    EXPECT_NEAR(depth[1000], 640, 1);
    EXPECT_NEAR(confidence[1000], 300, 1);
}

TEST_F(VgaStart, EmptyOrUnmappableCalibrationIsNotAnError) {
    VelmoraDeviceVGA m(0);
    ASSERT_EQ(m.attachSensor(&sensor), 0);
    vgatest::writeFile("cali.bin", "");
    ASSERT_EQ(startSmall(m), 0);
    EXPECT_EQ(watch.mapCount, 0);
    EXPECT_TRUE(watch.openFds.empty()) << "an empty file is closed again";

    vgatest::writeBytes("cali.bin", si4c::encodeCalibration({0.5f, 0.5f, 0.5f}));
    watch.failMap = true;
    ASSERT_EQ(startSmall(m), 0);
    EXPECT_TRUE(watch.openFds.empty()) << "an unmappable file is closed again";

    std::filesystem::remove("cali.bin");
    std::filesystem::create_directory("cali.bin");
    watch.failMap = false;
    ASSERT_EQ(startSmall(m), 0);
    EXPECT_EQ(watch.mapCount, 0);
    EXPECT_TRUE(watch.openFds.empty());
}

// In a shared working directory (/tmp) what another user planted under a name
// the model reads or writes is neither read nor written through, nor waited on.
TEST_F(VgaStart, ReadsAndWritesOnlyItsOwnRegularFiles) {
    const std::vector<uint8_t> calibration = si4c::encodeCalibration({0.1f, 0.2f, 0.3f});
    const std::string kept(calibration.begin(), calibration.end());
    VelmoraDeviceVGA m(0);
    ASSERT_EQ(m.attachSensor(&sensor), 0);
    for (const std::string planted : {"FIFO", "symbolic link", "hard link", "another user's file"}) {
        const bool foreign = planted == "another user's file";
        if (foreign && ::geteuid() != 0) continue;  // only root gives a file away
        for (const std::string name : {"cali.bin", "register.json"}) {
            SCOPED_TRACE(planted + " as " + name);
            vgatest::writeBytes("elsewhere", calibration);
            std::filesystem::remove(name);
            int made = 0;
            if (planted == "FIFO") made = ::mkfifo(name.c_str(), 0600);
            if (planted == "symbolic link") std::filesystem::create_symlink("elsewhere", name);
            if (planted == "hard link") std::filesystem::create_hard_link("elsewhere", name);
            if (foreign) std::filesystem::rename("elsewhere", name), made = ::chown(name.c_str(), 65534, 65534);
            ASSERT_EQ(made, 0);
            const int maps = watch.mapCount;
            auto started = std::async(std::launch::async, [&] { return startSmall(m); });
            if (started.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
                ADD_FAILURE() << "the start waits on it";
                ::close(::open(name.c_str(), O_WRONLY | O_NONBLOCK));  // lets the waiting open return
            }
            EXPECT_EQ(started.get(), name == "cali.bin" ? 0 : -1);
            EXPECT_EQ(watch.mapCount, maps) << "it was read";
            EXPECT_EQ(vgatest::readFile(foreign ? name : "elsewhere"), kept);
            std::filesystem::remove(name);
        }
    }
}

TEST_F(VgaStart, RepeatedStartsHoldOneMappingAndCloseReleasesItAfterTheLibrary) {
    vgatest::writeBytes("cali.bin", si4c::encodeCalibration({0.1f, 0.2f, 0.3f}));
    VelmoraDeviceVGA m(0);
    ASSERT_EQ(m.attachSensor(&sensor), 0);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(startSmall(m), 0);
        EXPECT_EQ(watch.mappings.size(), 1u) << "start " << i;
        EXPECT_EQ(watch.openFds.size(), 1u) << "start " << i;
        ASSERT_EQ(m.stop(), 0);
    }
    EXPECT_EQ(watch.mapCount, 4);
    EXPECT_EQ(si4c::testing::liveInstances(), baseInstances + 1);
    watch.instancesAtUnmap.clear();

    ASSERT_EQ(m.close(), 0);
    EXPECT_TRUE(watch.mappings.empty());
    EXPECT_TRUE(watch.openFds.empty());
    EXPECT_EQ(si4c::testing::liveInstances(), baseInstances);
    ASSERT_EQ(watch.instancesAtUnmap.size(), 1u);
    EXPECT_EQ(watch.instancesAtUnmap[0], baseInstances) << "unmapped only after the library was destroyed";
}

TEST_F(VgaStart, DestructorReleasesLibraryAndMapping) {
    vgatest::writeBytes("cali.bin", si4c::encodeCalibration({0.1f, 0.2f, 0.3f}));
    {
        VelmoraDeviceVGA m(0);
        ASSERT_EQ(m.attachSensor(&sensor), 0);
        ASSERT_EQ(m.attachSensor(&sensor), 0);  // a second attach replaces the instance
        EXPECT_EQ(si4c::testing::liveInstances(), baseInstances + 1);
        ASSERT_EQ(startSmall(m), 0);
        EXPECT_EQ(watch.mappings.size(), 1u);
    }
    EXPECT_TRUE(watch.mappings.empty());
    EXPECT_TRUE(watch.openFds.empty());
    EXPECT_EQ(si4c::testing::liveInstances(), baseInstances);
    ASSERT_EQ(watch.instancesAtUnmap.size(), 1u);
    EXPECT_EQ(watch.instancesAtUnmap[0], baseInstances);
}

TEST_F(VgaStart, StartAfterAFailedStartFailsCleanly) {
    vgatest::writeBytes("cali.bin", si4c::encodeCalibration({0.1f, 0.2f, 0.3f}));
    for (const auto call : {si4c::testing::Call::Init, si4c::testing::Call::Start}) {
        VelmoraDeviceVGA m(0);
        ASSERT_EQ(m.attachSensor(&sensor), 0);
        si4c::testing::failNext(call);
        EXPECT_EQ(startSmall(m), -1);
        EXPECT_EQ(si4c::testing::liveInstances(), baseInstances) << "the failed instance is destroyed";
        EXPECT_TRUE(watch.mappings.empty());
        EXPECT_TRUE(watch.openFds.empty());

        // Every later use of the dead instance is refused instead of attempted.
        EXPECT_EQ(m.configureSensor(), -1);
        EXPECT_EQ(m.start(), -1);
        EXPECT_EQ(get(m, CameraCtrl::RANGE), 1250) << "the last known mode is still reported";
        EXPECT_EQ(m.setControl(CameraCtrl::MODE, 1), 0) << "remembered for the next instance";
        EXPECT_EQ(get(m, CameraCtrl::RANGE), 4500);
        const auto frame = vgatest::synthesiseFrame(320, 240, true, [](int, int) { return PixelTruth{500, 300}; });
        auto depth = planes(), amplitude = planes(), confidence = planes();
        EXPECT_FALSE(m.getPhaseImage(reinterpret_cast<const uint8_t*>(frame.data()), depth.data(),
                                     amplitude.data(), confidence.data()));
        EXPECT_EQ(m.close(), 0);

        // A new attach (the camera's next open) brings the model back.
        ASSERT_EQ(m.attachSensor(&sensor), 0);
        EXPECT_EQ(startSmall(m), 0);
    }
}

TEST_F(VgaStart, RefusedLibraryCreationFailsTheAttach) {
    VelmoraDeviceVGA m(0);
    si4c::testing::failNext(si4c::testing::Call::Create);
    EXPECT_EQ(m.attachSensor(&sensor), -1);
    EXPECT_EQ(m.configureSensor(), -1);
    EXPECT_EQ(m.start(), -1);
    EXPECT_FALSE(std::filesystem::exists("ConfigCamera.json")) << "nothing is written for a dead start";
}

TEST_F(VgaStart, UnwritableDefaultFilesFailTheStartButKeepTheLibrary) {
    VelmoraDeviceVGA m(0);
    ASSERT_EQ(m.attachSensor(&sensor), 0);
    vgatest::writeFile("register.json", "mine");
    std::filesystem::create_directory("ConfigCamera.json");
    EXPECT_EQ(startSmall(m), -1);
    EXPECT_TRUE(vgatest::isDefaultFile("ConfigAlgorithm.json"));
    EXPECT_EQ(vgatest::readFile("register.json"), "mine");
    EXPECT_EQ(si4c::testing::liveInstances(), baseInstances + 1);

    std::filesystem::remove("ConfigCamera.json");
    vgatest::writeFile("ConfigCamera.json", "changed by hand");
    EXPECT_EQ(startSmall(m), 0);
    EXPECT_TRUE(vgatest::isDefaultFile("ConfigCamera.json"));
}

TEST_F(VgaStart, ModeChangeWhileStreamingNeverReadsPastTheFrame) {
    VelmoraDeviceVGA m(0);
    ASSERT_EQ(m.attachSensor(&sensor), 0);
    ASSERT_EQ(startSmall(m, true), 0);
    // The cache holds exactly one single-frequency frame, without metadata so
    // that the library itself could not tell.
    const auto frame = vgatest::synthesiseFrame(320, 240, true, [](int, int) { return PixelTruth{500, 300}; });
    ASSERT_EQ(frame.size(), 320u * 1205u);
    const auto* raw = reinterpret_cast<const uint8_t*>(frame.data());
    auto depth = planes(), amplitude = planes(), confidence = planes();

    ASSERT_EQ(m.setControl(CameraCtrl::MODE, 1), 0);
    EXPECT_FALSE(m.getPhaseImage(raw, depth.data(), amplitude.data(), confidence.data()));
    EXPECT_EQ(depth[0], -1.0f);

    // A larger geometry set while streaming does not reach the library before the next start.
    ASSERT_EQ(m.setControl(CameraCtrl::MODE, 0), 0);
    ASSERT_EQ(m.setControl(CameraCtrl::FMT_WIDTH, 640), 0);
    ASSERT_EQ(m.setControl(CameraCtrl::FMT_HEIGHT, 480), 0);
    EXPECT_TRUE(m.getPhaseImage(raw, depth.data(), amplitude.data(), confidence.data()));
    EXPECT_NEAR(depth[0], 500, 1);
}

#endif  // VGA_OWN_SI4C

}  // namespace
