// The virtual camera end to end: the simulated module through the USB
// transport, the HQVGA model and VelmoraTOFCamera; and the scene physics the
// module renders from.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "HqvgaReference.h"
#include "VelmoraEvkTesting.h"
#include "VelmoraScene.h"
#include "VelmoraTOFCamera.h"

using namespace Velmora;
namespace evk = VelmoraSim::EvkTesting;

namespace {

constexpr int kW = 240;
constexpr int kH = 180;
constexpr int kPixels = kW * kH;
constexpr short kWaitMs = 3000;

class ConfigFile {
public:
    ConfigFile(const std::string& name, const std::string& text)
        : path(::testing::TempDir() + "virtual_camera_" + std::to_string(::getpid()) + "_" + name) {
        std::ofstream(path) << text;
    }
    ~ConfigFile() { std::remove(path.c_str()); }
    const std::string path;
};

std::string constantScene(double mm, const std::string& extra = "") {
    return "scene=constant\ndistance_mm=" + std::to_string(mm) + "\nfps=0\n" + extra;
}

double expectedDepth(double mm, int range) { return std::fmod(mm, range == 2000 ? 2000.0 : 4000.0); }

// Copies the depth plane of the next ready frame; empty when none came.
std::vector<float> nextDepth(VelmoraTOFCamera& camera, uint64_t* timestamp = nullptr) {
    VelmoraFrameBuffer* frame = camera.requestFrame(kWaitMs);
    if (!frame) return {};
    std::vector<float> out(kPixels);
    std::memcpy(out.data(), frame->getData(FrameType::DEPTH), sizeof(float) * kPixels);
    if (timestamp) {
        FrameDataFormat format{};
        frame->getFormat(FrameType::DEPTH, &format);
        *timestamp = format.timestamp;
    }
    camera.releaseFrame(frame);
    return out;
}

double median(std::vector<float> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

class VirtualCameraTest : public ::testing::Test {
protected:
    void SetUp() override { evk::reset(); }
    void TearDown() override { EXPECT_EQ(evk::openModules(), 0) << "a camera was left open"; }
};

}  // namespace

TEST_F(VirtualCameraTest, DefaultModuleIsTheHqvgaSensor) {
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::USB, 0), VelmoraSuccess);
    const CameraInfo info = camera.getCameraInfo();
    EXPECT_EQ(info.connect, Connection::USB);
    EXPECT_EQ(info.device_type, HQVGA);
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(info.bit_width, 12u);
    EXPECT_EQ(info.bpp, 2u);
    EXPECT_EQ(camera.close(), VelmoraSuccess);
}

TEST_F(VirtualCameraTest, ConstantSceneWithoutNoiseGivesItsDistance) {
    // 2500 and 3100 lie beyond the 2000 mm turn of the near range and wrap.
    for (int range : {4000, 2000}) {
        for (double mm : {300.0, 1250.0, 1900.0, 2500.0, 3100.0, 3700.0}) {
            ConfigFile file("exact.txt", constantScene(mm));
            VelmoraTOFCamera camera;
            ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), VelmoraSuccess);
            ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, range), VelmoraSuccess);
            ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
            const std::vector<float> depth = nextDepth(camera);
            camera.stop();
            camera.close();
            ASSERT_EQ(depth.size(), static_cast<size_t>(kPixels)) << "no frame";
            const double want = expectedDepth(mm, range);
            float worst = 0;
            for (float d : depth) worst = std::max(worst, static_cast<float>(std::fabs(d - want)));
            EXPECT_LE(worst, 1.0f) << "range " << range << " distance " << mm;
        }
    }
}

TEST_F(VirtualCameraTest, ConstantSceneWithNoiseHasMedianWithinOnePercent) {
    for (int range : {4000, 2000}) {
        for (double mm : {800.0, 1600.0, 2700.0}) {
            ConfigFile file("noisy.txt", constantScene(mm, "noise=6\nseed=99\n"));
            VelmoraTOFCamera camera;
            ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), VelmoraSuccess);
            ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, range), VelmoraSuccess);
            ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
            const std::vector<float> first = nextDepth(camera);
            const std::vector<float> second = nextDepth(camera);
            camera.stop();
            camera.close();
            ASSERT_FALSE(first.empty());
            ASSERT_FALSE(second.empty());
            const double want = expectedDepth(mm, range);
            EXPECT_NEAR(median(first), want, 0.01 * want) << "range " << range << " distance " << mm;
            EXPECT_NE(first, second) << "noise differs from frame to frame";
            const auto spread = std::minmax_element(first.begin(), first.end());
            EXPECT_GT(*spread.second - *spread.first, 1.0f) << "the noise is visible";
        }
    }
}

TEST_F(VirtualCameraTest, RangeChangeWhileStreamingReachesTheModule) {
    ConfigFile file("switch.txt", constantScene(2500));
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    std::vector<float> depth = nextDepth(camera);
    ASSERT_FALSE(depth.empty());
    EXPECT_NEAR(depth[kPixels / 2], 2500.0f, 1.0f);

    // Register writes from this thread race the capture thread by design.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200 && !done; ++i) camera.setControl(CameraCtrl::RANGE, i % 2 ? 2000 : 4000);
    });
    for (int i = 0; i < 5; ++i) nextDepth(camera);
    done = true;
    writer.join();

    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), VelmoraSuccess);
    // Frames already rendered at the old frequency drain within a few frames.
    bool settled = false;
    for (int i = 0; i < 20 && !settled; ++i) {
        depth = nextDepth(camera);
        ASSERT_FALSE(depth.empty());
        settled = std::fabs(depth[kPixels / 2] - 500.0f) <= 1.0f;
    }
    EXPECT_TRUE(settled) << "2500 mm at range 2000 reads 500 mm";
    camera.stop();
    camera.close();
}

TEST_F(VirtualCameraTest, RawFramesAreTheInterleavedDecodedPhases) {
    ConfigFile file("raw.txt", "scene=demo\nfps=0\n");
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), VelmoraSuccess);
    VelmoraFrameBuffer* frame = camera.requestFrame(kWaitMs);
    ASSERT_NE(frame, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(frame->getFormat(FrameType::RAW, &format), 0);
    EXPECT_EQ(format.width, 240u);
    EXPECT_EQ(format.height, 720u);
    std::vector<int16_t> got(kW * 4 * kH);
    std::memcpy(got.data(), frame->getData(FrameType::RAW), got.size() * sizeof(int16_t));
    camera.releaseFrame(frame);
    camera.stop();
    camera.close();

    // The same scene rendered here and decoded by the reference.
    VelmoraSim::SceneSettings settings;
    const VelmoraSim::Scene scene(settings, kW, kH);
    std::vector<uint16_t> words(4 * kPixels);
    VelmoraSim::renderHqvgaSubframes(scene, VelmoraSim::kFarModulationHz, 0, words.data());
    std::vector<uint8_t> bytes(words.size() * 2);
    for (size_t i = 0; i < words.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    std::vector<int16_t> want(kW * 4 * kH);
    HqvgaReference::rawFrame(bytes.data(), 0, want.data());
    EXPECT_EQ(got, want);
}

TEST_F(VirtualCameraTest, TimestampsIncreaseOnTheModuleClock) {
    ConfigFile file("clock.txt", constantScene(1000));
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    uint64_t previous = 0;
    for (int i = 0; i < 8; ++i) {
        uint64_t ts = 0;
        ASSERT_FALSE(nextDepth(camera, &ts).empty());
        EXPECT_GT(ts, previous) << "frame " << i;
        // Unpaced frames are 10 ms apart; a frame is stamped with its fourth sub-frame.
        EXPECT_EQ(ts % 10, 3u) << ts;
        previous = ts;
    }
    camera.stop();
    camera.close();
}

TEST_F(VirtualCameraTest, SkipSettingsThinTheStream) {
    struct Case {
        int skip;
        int loop;
    };
    for (const Case c : {Case{1, 2}, Case{2, 3}}) {
        ConfigFile file("skip.txt", constantScene(1000));
        VelmoraTOFCamera camera;
        ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), VelmoraSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, c.loop), VelmoraSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, c.skip), VelmoraSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
        std::vector<uint64_t> stamps;
        for (int i = 0; i < 6; ++i) {
            uint64_t ts = 0;
            ASSERT_FALSE(nextDepth(camera, &ts).empty());
            stamps.push_back(ts);
        }
        camera.stop();
        camera.close();
        // One sensor frame every 10 ms, stamped 3 ms after it starts: the
        // delivered ones lie a whole number of loops apart. (Order is not
        // checked: a frame reclaimed for a skipped pass goes back to the queue.)
        const uint64_t loopMs = 10u * static_cast<unsigned>(c.loop);
        for (size_t i = 0; i < stamps.size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                const uint64_t gap = stamps[i] > stamps[j] ? stamps[i] - stamps[j] : stamps[j] - stamps[i];
                EXPECT_NE(gap, 0u) << "the same frame twice";
                EXPECT_EQ(gap % loopMs, 0u) << "skip " << c.skip << " of " << c.loop << ": gap " << gap;
            }
        }
    }
}

TEST_F(VirtualCameraTest, ModulesOpenedTogetherAreIndependent) {
    // 2500 mm reads 500 mm in the near range and 2500 mm in the far one, so
    // each camera shows which range it streams with.
    ConfigFile nearFile("near.txt", constantScene(2500));
    ConfigFile farFile("far.txt", constantScene(3000));
    VelmoraTOFCamera a, b;
    ASSERT_EQ(a.openWithFile(nearFile.path.c_str(), 0), VelmoraSuccess);
    ASSERT_EQ(b.openWithFile(farFile.path.c_str(), 1), VelmoraSuccess);
    EXPECT_EQ(evk::openModules(), 2);
    ASSERT_EQ(a.setControl(CameraCtrl::RANGE, 2000), VelmoraSuccess);
    ASSERT_EQ(a.start(FrameType::DEPTH), VelmoraSuccess);
    ASSERT_EQ(b.start(FrameType::DEPTH), VelmoraSuccess);
    for (int i = 0; i < 3; ++i) {
        const std::vector<float> da = nextDepth(a);
        const std::vector<float> db = nextDepth(b);
        ASSERT_FALSE(da.empty());
        ASSERT_FALSE(db.empty());
        EXPECT_NEAR(da[kPixels / 2], 500.0f, 1.0f);
        EXPECT_NEAR(db[kPixels / 2], 3000.0f, 1.0f);
    }
    a.stop();
    a.close();
    EXPECT_EQ(evk::openModules(), 1);
    EXPECT_FALSE(nextDepth(b).empty()) << "closing one leaves the other streaming";
    b.stop();
    b.close();
}

TEST_F(VirtualCameraTest, FaultsCostFramesButNotTheStream) {
    ConfigFile file("faults.txt",
                    constantScene(1200, "fail_capture_every=7\nwrong_size_every=11\ntimestamp_gap_every=13\n"));
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), VelmoraSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    for (int i = 0; i < 30; ++i) {
        const std::vector<float> depth = nextDepth(camera);
        ASSERT_FALSE(depth.empty()) << "the stream stalled at frame " << i;
        // A lost or wrong-sized sub-frame costs its frame; the restart rule
        // resynchronises after gaps; nothing spoilt is delivered.
        ASSERT_NEAR(depth[kPixels / 2], 1200.0f, 1.0f) << "frame " << i;
    }
    camera.stop();
    camera.close();
}

TEST_F(VirtualCameraTest, BadConfigurationFailsOpenWithOneLine) {
    struct Case {
        std::string text;
        std::vector<std::string> mentions;
    };
    const Case cases[] = {
        {"width=240\n# comment\nbogus=1\n", {":3:", "'bogus'"}},
        {"scene=demo\nbit_width=12x\n", {":2:", "'bit_width'", "'12x'"}},
        {"bit_width=7\n", {":1:", "'bit_width'"}},
        {"fps=-1\n", {":1:", "'fps'"}},
        {"scene=forest\n", {":1:", "'scene'"}},
        {"noise=nan\n", {":1:", "'noise'"}},
        {"\n\nwidth 240\n", {":3:", "key=value"}},
    };
    for (const Case& c : cases) {
        ConfigFile file("bad.txt", c.text);
        VelmoraTOFCamera camera;
        ::testing::internal::CaptureStderr();
        const TofErrorCode rc = camera.openWithFile(file.path.c_str(), 0);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, VelmoraUnkownError) << c.text;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find(file.path), std::string::npos) << err;
        for (const std::string& m : c.mentions) EXPECT_NE(err.find(m), std::string::npos) << m << " in " << err;
        camera.close();
    }

    VelmoraTOFCamera camera;
    const std::string missing = ::testing::TempDir() + "virtual_camera_no_such_file.txt";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(camera.openWithFile(missing.c_str(), 0), VelmoraUnkownError);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(missing), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    camera.close();
}

TEST_F(VirtualCameraTest, ConfigurationKeysShapeTheModule) {
    ConfigFile file("keys.txt",
                    "  # geometry\n width = 64 \nheight=48   # small\nbit_width=10\n"
                    "fps=0\nscene=constant\ndistance_mm=900\nreflectivity=0.5\nnoise=0\nseed=3\n");
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(file.path.c_str(), 0), VelmoraSuccess);
    const CameraInfo info = camera.getCameraInfo();
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.height, 48u);
    EXPECT_EQ(info.bit_width, 10u);
    EXPECT_EQ(info.bpp, 2u);
    EXPECT_EQ(info.device_type, VGA) << "only 240 x 180 is the HQVGA sensor";
    camera.close();
}

TEST(ScenePhysics, RenderedPhasesDecodeToTheDistance) {
    for (double hz : {VelmoraSim::kFarModulationHz, VelmoraSim::kNearModulationHz}) {
        const int range = hz == VelmoraSim::kNearModulationHz ? 2000 : 4000;
        for (double mm : {10.0, 999.0, 1999.0, 2001.0, 3333.0, 3990.0, 5200.0}) {
            VelmoraSim::SceneSettings s;
            s.kind = "constant";
            s.distanceMm = mm;
            const VelmoraSim::Scene scene(s, kW, kH);
            std::vector<uint16_t> words(4 * kPixels);
            VelmoraSim::renderHqvgaSubframes(scene, hz, 0, words.data());
            std::vector<uint8_t> bytes(words.size() * 2);
            std::memcpy(bytes.data(), words.data(), bytes.size());  // little-endian host
            std::vector<float> depth(kPixels), amp(kPixels), conf(kPixels);
            HqvgaReference::depthFrame(bytes.data(), range, static_cast<float>(hz), 0, depth.data(), amp.data(),
                                       conf.data());
            const double want = std::fmod(mm, range);
            // Depth is circular: 3999.9 and 0.1 are 0.2 mm apart.
            double err = std::fabs(depth[0] - want);
            err = std::min(err, range - err);
            EXPECT_LE(err, 1.0) << hz << " Hz, " << mm << " mm: " << depth[0];
            EXPECT_NEAR(amp[0], VelmoraSim::amplitudeForDistance(mm, 1.0) * 16, 24.0) << "amplitude in decoded units";
        }
    }
}

TEST(ScenePhysics, AmplitudeFallsWithDistanceAndScalesWithReflectivity) {
    EXPECT_GT(VelmoraSim::amplitudeForDistance(500, 1), VelmoraSim::amplitudeForDistance(1500, 1));
    EXPECT_GT(VelmoraSim::amplitudeForDistance(1500, 1), VelmoraSim::amplitudeForDistance(4000, 1));
    EXPECT_NEAR(VelmoraSim::amplitudeForDistance(2000, 0.5), 0.5 * VelmoraSim::amplitudeForDistance(2000, 1), 1e-9);
    EXPECT_LE(VelmoraSim::amplitudeForDistance(0, 1), VelmoraSim::kMaxAmplitudeCounts);
    EXPECT_EQ(VelmoraSim::amplitudeForDistance(1000, 0), 0.0);
}

TEST(ScenePhysics, NoiseIsReproducibleAndDiffersPerFrame) {
    VelmoraSim::SceneSettings s;
    s.kind = "constant";
    s.noise = 5;
    s.seed = 42;
    const VelmoraSim::Scene scene(s, 32, 8);
    auto render = [&](uint64_t frame) {
        std::vector<uint16_t> w(4 * 32 * 8);
        VelmoraSim::renderHqvgaSubframes(scene, VelmoraSim::kFarModulationHz, frame, w.data());
        return w;
    };
    EXPECT_EQ(render(3), render(3));
    EXPECT_NE(render(3), render(4));
    s.seed = 43;
    const VelmoraSim::Scene other(s, 32, 8);
    std::vector<uint16_t> w(4 * 32 * 8);
    VelmoraSim::renderHqvgaSubframes(other, VelmoraSim::kFarModulationHz, 3, w.data());
    EXPECT_NE(w, render(3));
}

TEST(ScenePhysics, DemoSceneHasFloorWallAndSphere) {
    const VelmoraSim::Scene scene(VelmoraSim::SceneSettings{}, kW, kH);
    // Top corners see the back wall, the bottom row the floor, the centre the sphere.
    EXPECT_GT(scene.distanceMm(0, 0), 3000.0);
    EXPECT_LT(scene.distanceMm(kW / 2, kH - 1), 2000.0);
    EXPECT_LT(scene.distanceMm(kW / 2, kH / 2), 1800.0);
    EXPECT_GT(scene.distanceMm(kW / 2, kH / 2), 1300.0);
    double lo = 1e9, hi = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            lo = std::min(lo, scene.distanceMm(x, y));
            hi = std::max(hi, scene.distanceMm(x, y));
            ASSERT_LT(scene.distanceMm(x, y), 4000.0) << "the demo fits the far range";
        }
    EXPECT_GT(hi - lo, 1500.0);
    EXPECT_EQ(scene.distanceMm(-1, 0), 0.0) << "outside the image";
}
