// The virtual camera end to end: the simulated module through the USB
// transport, the HQVGA model and VelmoraTOFCamera; and the scene physics the
// module renders from.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
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
#include "VgaRender.h"

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

VelmoraSim::SceneSettings physicsScene(const char* kind, int supersampling, double ambient, bool shot, double noise = 0,
                                       double reflectivity = 1) {
    return VelmoraSim::SceneSettings{kind, 1500, reflectivity, noise, 5, true, supersampling, ambient, shot};
}

struct Decoded {
    std::vector<uint16_t> words = std::vector<uint16_t>(4 * kPixels);
    std::vector<float> depth = std::vector<float>(kPixels), amplitude = depth, confidence = depth;
};

// A 240 x 180 scene rendered and decoded by the HQVGA reference.
Decoded decodeHqvga(const VelmoraSim::Scene& scene, double hz, uint64_t frame = 0) {
    Decoded d;
    VelmoraSim::renderHqvgaSubframes(scene, hz, frame, d.words.data());
    std::vector<uint8_t> bytes(d.words.size() * 2);
    std::memcpy(bytes.data(), d.words.data(), bytes.size());  // little-endian host
    const int range = hz == VelmoraSim::kNearModulationHz ? 2000 : 4000;
    HqvgaReference::depthFrame(bytes.data(), range, static_cast<float>(hz), 0, d.depth.data(), d.amplitude.data(),
                               d.confidence.data());
    return d;
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
        {"physics=yes\n", {":1:", "'physics'", "'on' or 'off'"}},
        {"physics=on\nsupersampling=17\n", {":2:", "'supersampling'"}},
        {"ambient=50\n", {"'ambient'", "need physics=on"}},
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
                    "fps=0\nscene=steps\ndistance_mm=900\nreflectivity=0.5\nnoise=0\nseed=3\n"
                    "physics=on\nsupersampling=2\nambient=50\nshot_noise=off\n");
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
            const Decoded d = decodeHqvga(VelmoraSim::Scene(s, kW, kH), hz);
            const std::vector<float>& depth = d.depth;
            const std::vector<float>& amp = d.amplitude;
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

// Phase of the mean phasor of pixel (x, y)'s n x n rays in the steps scene
// where the 1600 mm box (front face up to 0.62 focal lengths right of the
// axis, reflectivity 0.9) ends in front of the wall at 3000 mm (0.8).
double boxEdgePhase(int w, int h, int x, int y, int n, double rangeMm) {
    const double focal = (w / 2.0) / std::tan(35 * M_PI / 180);
    std::complex<double> sum;
    for (int j = 0; j < n * n; ++j) {
        const double u = (x - 0.5 + (j % n + 0.5) / n - (w - 1) / 2.0) / focal;
        const double v = (y - 0.5 + (j / n + 0.5) / n - (h - 1) / 2.0) / focal;
        const double d = (u <= 0.62 ? 1600.0 : 3000.0) * std::sqrt(u * u + v * v + 1);
        sum += std::polar(VelmoraSim::amplitudeForDistance(d, u <= 0.62 ? 0.9 : 0.8), 2 * M_PI * d / rangeMm);
    }
    return std::arg(sum);
}

// A pixel on a depth edge sums the phasors of its rays on both surfaces, at
// every modulation of both sensors (VGA: I = S0 - S2, Q = S1 - S3 per frequency).
TEST(ScenePhysics, EdgePixelDeliversThePhaseOfItsMix) {
    // width (240: HQVGA), range (HQVGA 2000 or 4000; VGA single 1250, double 1500 then 2250), supersampling
    const int cases[][3] = {{kW, 4000, 3}, {kW, 4000, 4}, {kW, 2000, 8}, {320, 1250, 4}, {320, 1500, 3}};
    for (const auto& c : cases) {
        const int w = c[0], h = w == kW ? kH : 240, n = c[2];
        const double rangeMm = c[1];
        const VelmoraSim::Scene scene(physicsScene("steps", n, 100, false), w, h);
        const bool single = rangeMm != 1500;
        std::vector<uint16_t> vga(VelmoraSim::vgaFrameWords(w, h, single));
        if (w != kW) VelmoraSim::renderVgaFrame(scene, {single, 0}, 0, vga.data());
        const double hz = rangeMm == 2000 ? VelmoraSim::kNearModulationHz : VelmoraSim::kFarModulationHz;
        const Decoded hq = w == kW ? decodeHqvga(scene, hz) : Decoded{};
        const int x = static_cast<int>(std::lround((w - 1) / 2.0 + 0.62 * (w / 2.0) / std::tan(35 * M_PI / 180)));
        for (int y : {h / 4, h / 2 - 10}) {
            const size_t i = static_cast<size_t>(y * w + x);
            for (int f = 0; f < (single ? 1 : 2); ++f) {
                const double want = boxEdgePhase(w, h, x, y, n, f ? 2250 : rangeMm);
                auto sample = [&](int k) { return double(vga[static_cast<size_t>(5 * f + k) * w * (h + 1) + w + i]); };
                const double got = w == kW ? hq.depth[i] / rangeMm * 2 * M_PI
                                           : std::atan2(sample(1) - sample(3), sample(0) - sample(2));
                EXPECT_LT(std::fabs(std::remainder(got - want, 2 * M_PI)), 0.004)
                    << w << " range " << rangeMm << " N " << n << " row " << y << " frequency " << f;
            }
        }
    }
}

// Ambient light raises the four samples alike, so depth does not move, until
// a sample clips at full scale: then the pixel is invalid (HQVGA) or its
// sample sits at 4095, which the phase processor takes as saturation (VGA).
TEST(ScenePhysics, AmbientCancelsInDepthUntilSaturationMakesPixelsInvalid) {
    const double cases[][4] = {// HQVGA (1) or VGA, ambient, reflectivity, saturated
                               {1, 0, 1, 0},   {1, 300, 1, 0},    {1, 450, 1, 1},    {1, 450, 0.5, 0},
                               {1, 2500, 0.5, 1}, {0, 1000, 1, 0}, {0, 1400, 1, 1}, {0, 1400, 0.5, 0}};
    for (const auto& c : cases) {
        const VelmoraSim::SceneSettings s = physicsScene("constant", 1, c[1], false, 0, c[2]);
        const bool saturated = c[3] > 0;
        const std::string what = std::to_string(c[0]) + " ambient " + std::to_string(c[1]);
        if (c[0] > 0) {  // 1500 mm at 37.5 MHz: samples within +-0.71 a of the ambient level
            const Decoded d = decodeHqvga(VelmoraSim::Scene(s, kW, kH), VelmoraSim::kFarModulationHz);
            EXPECT_NEAR(d.depth[kPixels / 2], saturated ? 0.0f : 1500.0f, 1.0f) << what;
            EXPECT_EQ(d.confidence[kPixels / 2] == 0.0f, saturated) << what;
            continue;
        }
        std::vector<uint16_t> frame(VelmoraSim::vgaFrameWords(320, 240, true));
        VelmoraSim::renderVgaFrame(VelmoraSim::Scene(s, 320, 240), {true, 0}, 0, frame.data());
        int top = 0;
        for (int k = 0; k < 4; ++k) top = std::max<int>(top, frame[static_cast<size_t>(k) * 320 * 241 + 320 + 100]);
        EXPECT_EQ(top == 4095, saturated) << what << ": largest sample " << top;
    }
}

TEST(ScenePhysics, ShotNoiseGrowsWithTheSquareRootOfTheLightAboveTheReadNoise) {
    // reflectivity, ambient, read noise, shot noise
    const double cases[][4] = {{1, 0, 0, 1}, {0.25, 0, 0, 1}, {0.25, 400, 0, 1}, {0.25, 0, 20, 1}, {1, 0, 20, 0}};
    for (const auto& c : cases) {
        const VelmoraSim::SceneSettings s = physicsScene("constant", 1, c[1], c[3] > 0, c[2], c[0]);
        const Decoded d = decodeHqvga(VelmoraSim::Scene(s, kW, kH), VelmoraSim::kFarModulationHz, 2);
        // Every pixel sees the same light: the spread of one plane over the frame is the sample noise.
        double sum = 0, squares = 0;
        for (int i = 0; i < kPixels; ++i) {
            const int v = HqvgaReference::decodeSample(d.words[static_cast<size_t>(i)], 0) / 16;
            sum += v;
            squares += double(v) * v;
        }
        const double light = VelmoraSim::amplitudeForDistance(1500, c[0]) + c[1] * c[0];
        const double want = std::sqrt(c[2] * c[2] + (c[3] > 0 ? light : 0) + 1.0 / 12);  // + rounding
        EXPECT_NEAR(std::sqrt(squares / kPixels - sum * sum / kPixels / kPixels), want, 0.03 * want)
            << "reflectivity " << c[0] << " ambient " << c[1] << " read " << c[2];
    }
}

// With one ray per pixel, no ambient light and no shot noise the physics is
// the single-point model: both render the same words on both sensors.
TEST(ScenePhysics, NeutralPhysicsRendersTheSameFramesAsNone) {
    for (const char* kind : {"constant", "wall", "demo", "steps"}) {
        VelmoraSim::SceneSettings off = physicsScene(kind, 1, 0, false, 5), on = off;
        off.physics = false;
        EXPECT_EQ(decodeHqvga(VelmoraSim::Scene(off, kW, kH), VelmoraSim::kNearModulationHz, 3).words,
                  decodeHqvga(VelmoraSim::Scene(on, kW, kH), VelmoraSim::kNearModulationHz, 3).words) << kind;
        std::vector<uint16_t> a(VelmoraSim::vgaFrameWords(320, 240, false)), b(a.size());
        VelmoraSim::renderVgaFrame(VelmoraSim::Scene(off, 320, 240), {false, 0.3}, 3, a.data());
        VelmoraSim::renderVgaFrame(VelmoraSim::Scene(on, 320, 240), {false, 0.3}, 3, b.data());
        EXPECT_EQ(a, b) << kind;
    }
}

TEST(ScenePhysics, StepsGroundTruth) {
    const VelmoraSim::Scene scene(physicsScene("steps", 4, 100, true), kW, kH);
    const double focal = (kW / 2.0) / std::tan(35 * M_PI / 180);
    // Inside each box's front face and on the wall: one flat surface at its depth along the ray.
    const double faces[][3] = {{-0.42, 0.18, 600}, {0.02, 0.27, 1100}, {0.44, -0.18, 1600}, {0, -0.29, 2400}, {-0.5, -0.4, 3000}};
    for (const auto& f : faces) {
        const int x = static_cast<int>(std::lround((kW - 1) / 2.0 + f[0] * focal));
        const int y = static_cast<int>(std::lround((kH - 1) / 2.0 + f[1] * focal));
        const double u = (x - (kW - 1) / 2.0) / focal, v = (y - (kH - 1) / 2.0) / focal;
        const VelmoraSim::PixelTruth t = scene.truth(x, y);
        EXPECT_NEAR(t.distanceMm, f[2] * std::sqrt(u * u + v * v + 1), 0.01) << f[2];
        EXPECT_TRUE(t.flat && t.farthestMm - t.nearestMm < 10 && std::fabs(t.nearestMm - t.distanceMm) < 10) << f[2];
    }
    // The pixel on the box's right edge straddles box and wall; between them it is a flying pixel.
    const VelmoraSim::PixelTruth edge = scene.truth(226, 45);
    EXPECT_FALSE(edge.flat);
    EXPECT_NEAR(edge.farthestMm / edge.nearestMm, 3000.0 / 1600, 0.01);
    const std::pair<double, bool> probes[] = {{edge.nearestMm + 20, true}, {edge.farthestMm - 20, true},
                                              {edge.nearestMm - 60, false}, {(edge.nearestMm + edge.farthestMm) / 2, false}};
    for (const auto& probe : probes) EXPECT_EQ(scene.nearSurface(226, 45, probe.first, 50), probe.second) << probe.first;
}
