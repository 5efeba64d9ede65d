// The camera's lens (intrinsics, calibration files, rays, z-depth and point
// clouds) and its depth filters, alone and on the virtual camera's frames.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "DepthFilterKernels.h"
#include "DepthFilters.h"
#include "VelmoraIntrinsics.h"
#include "VelmoraTOFCamera.h"

using namespace Velmora;

namespace {

std::string writeTemp(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + "geometry_" + std::to_string(::getpid()) + "_" + name;
    std::ofstream(path) << text;
    return path;
}

}  // namespace

TEST(Intrinsics, RaysOfEveryModelProjectBackToTheirPixels) {
    // The models as camera_info defines them, from normalised (x, y) to distorted (xd, yd).
    using Model = void (*)(std::vector<double>, double, double, double&, double&);
    const Model rational = [](std::vector<double> k, double x, double y, double& xd, double& yd) {
        k.resize(8, 0.0);
        const double r2 = x * x + y * y;
        const double radial = (1 + r2 * (k[0] + r2 * (k[1] + r2 * k[4]))) / (1 + r2 * (k[5] + r2 * (k[6] + r2 * k[7])));
        xd = x * radial + 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x);
        yd = y * radial + k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y;
    };
    const Model equidistant = [](std::vector<double> k, double x, double y, double& xd, double& yd) {
        const double r = std::hypot(x, y), t = std::atan(r), t2 = t * t;
        const double scale = r > 0 ? t * (1 + t2 * (k[0] + t2 * (k[1] + t2 * (k[2] + t2 * k[3])))) / r : 1;
        xd = x * scale;
        yd = y * scale;
    };
    struct Case {
        const char* model;
        std::vector<double> d;
        Model distort;
    };
    for (const Case& c : {Case{"plumb_bob", {-0.21, 0.05, 0.001, -0.002, -0.01}, rational},
                          Case{"rational_polynomial", {2.1, 0.9, 0.001, -0.002, 0.02, 2.4, 1.6, 0.15}, rational},
                          Case{"equidistant", {-0.05, 0.01, -0.004, 0.001}, equidistant}}) {
        SCOPED_TRACE(c.model);
        const double k[9] = {52, 0, 31.2, 0, 50, 24.7, 0, 0, 1};
        Intrinsics lens;
        ASSERT_EQ(intrinsicsFromCalibration(64, 48, k, c.model, c.d, lens), "");
        const RayTable rays(lens);
        for (uint32_t row = 0; row < 48; row += 7) {
            for (uint32_t column = 0; column < 64; column += 9) {
                const Ray& r = rays.data()[row * 64 + column];
                double xd, yd;
                c.distort(c.d, r.x, r.y, xd, yd);
                EXPECT_NEAR(52 * xd + 31.2, column, 1e-3);
                EXPECT_NEAR(50 * yd + 24.7, row, 1e-3);
                EXPECT_NEAR(r.zPerDistance, 1 / std::sqrt(double(r.x) * r.x + double(r.y) * r.y + 1), 1e-6);
            }
        }
    }
}

TEST(Intrinsics, CalibrationsThatCannotBeAppliedAreRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double fx, fy, cx;
        const char* model;
        std::vector<double> d;
        const char* named;
    };
    for (const Case& c : {Case{0, 500, 120, "plumb_bob", {}, "fx"}, Case{-500, 500, 120, "plumb_bob", {}, "fx"},
                          Case{500, nan, 120, "plumb_bob", {}, "fy"},
                          Case{500, 500, std::numeric_limits<double>::infinity(), "", {}, "principal point"},
                          Case{500, 500, 120, "plumb_bob", {0.1, nan}, "not finite"},
                          Case{500, 500, 120, "plumb_bob", {0, 0, 0, 0, 0, 0.1}, "at most 5"},
                          Case{500, 500, 120, "equidistant", {0, 0, 0, 0, 0.1}, "at most 4"},
                          Case{500, 500, 120, "fisheye_x", {}, "'fisheye_x'"}}) {
        const double k[9] = {c.fx, 0, c.cx, 0, c.fy, 90, 0, 0, 1};
        Intrinsics lens;
        const std::string refused = intrinsicsFromCalibration(240, 180, k, c.model, c.d, lens);
        EXPECT_NE(refused.find(c.named), std::string::npos) << c.named << ": " << refused;
    }
    // A lens that is none still converts a frame: to invalid pixels.
    Intrinsics none;
    none.width = 2;
    none.height = 1;
    none.fx = -1;
    const std::vector<float> depth = {1000, 1000};
    std::vector<float> z(2, 1), points(6);
    axialDepth(depth.data(), RayTable(none), z.data());
    pointCloud(depth.data(), RayTable(none), points.data());
    EXPECT_EQ(z, (std::vector<float>{0, 0}));
    EXPECT_TRUE(std::all_of(points.begin(), points.end(), [](float v) { return std::isnan(v); }));
}

// --- stamps and losses -----------------------------------------------------------

TEST(CalibrationFile, CameraInfoAndOpenCvFilesAndWhatIsRefused) {
    const std::string rosFile =
        "image_width: 240\nimage_height: 180\ncamera_name: velmora  # a comment\ncamera_matrix:\n  rows: 3\n"
        "  cols: 3\n  data: [200.5, 0, 118.25, 0, 201, 90.5, 0, 0, 1]\ndistortion_model: rational_polynomial\n"
        "distortion_coefficients:\n  rows: 1\n  cols: 8\n  data: [0.1, -0.05, 0, 0, 0.01, 0, 0, 0]\n"
        "rectification_matrix:\n  rows: 3\n  cols: 3\n  data: [1, 0, 0, 0, 1, 0, 0, 0, 1]\n";
    // OpenCV's own layout: directive, tags, data over several lines, 14 coefficients.
    const std::string openCvFile =
        "%YAML:1.0\n---\nimage_width: 640\nimage_height: 480\ncamera_matrix: !!opencv-matrix\n   rows: 3\n"
        "   cols: 3\n   dt: d\n   data: [ 5.2e+02, 0., 3.195e+02, 0.,\n       5.2e+02, 2.395e+02, 0., 0., 1. ]\n"
        "distortion_coefficients: !!opencv-matrix\n   rows: 1\n   cols: 14\n   dt: d\n"
        "   data: [ -0.2, 0.04, 0.001, 0., 0., 0., 0., 0., 0., 0., 0., 0., 0., 0. ]\n";
    Intrinsics lens;
    ASSERT_EQ(loadCalibrationFile(writeTemp("ros.yaml", rosFile), lens), "");
    EXPECT_EQ(lens.width, 240u);
    EXPECT_EQ(lens.height, 180u);
    EXPECT_EQ(lens.fx, 200.5);
    EXPECT_EQ(lens.fy, 201);
    EXPECT_EQ(lens.cx, 118.25);
    EXPECT_EQ(lens.cy, 90.5);
    EXPECT_EQ(lens.model, DistortionModel::RationalPolynomial);
    EXPECT_EQ(lens.coefficients, (std::vector<double>{0.1, -0.05, 0, 0, 0.01, 0, 0, 0}));
    EXPECT_FALSE(lens.nominal);
    ASSERT_EQ(loadCalibrationFile(writeTemp("cv.yaml", openCvFile), lens), "");
    EXPECT_EQ(lens.width, 640u);
    EXPECT_EQ(lens.cy, 239.5);
    EXPECT_EQ(lens.model, DistortionModel::PlumbBob);
    EXPECT_EQ(lens.coefficients, (std::vector<double>{-0.2, 0.04, 0.001, 0, 0}));

    const std::string size = "image_width: 240\nimage_height: 180\n";
    const std::string matrix = "camera_matrix:\n  data: [200, 0, 120, 0, 200, 90, 0, 0, 1]\n";
    struct Case {
        std::string text;
        const char* named;
    };
    for (const Case& c : {Case{"image_height: 180\n" + matrix, "image_width"},
                          Case{"image_width: 240.5\nimage_height: 180\n" + matrix, "whole"},
                          Case{size, "camera_matrix"}, Case{size + "camera_matrix:\n  data: [1, 2]\n", "9 numbers"},
                          Case{size + matrix + "distortion_model: fisheye_x\n", "'fisheye_x'"},
                          Case{size + matrix + "distortion_coefficients:\n  data: [0.1, x]\n", "numbers"}}) {
        Intrinsics kept = lens;
        const std::string refused = loadCalibrationFile(writeTemp("bad.yaml", c.text), kept);
        EXPECT_NE(refused.find(c.named), std::string::npos) << c.named << ": " << refused;
        EXPECT_EQ(kept, lens) << "a refused file changed the lens";
    }
    EXPECT_NE(loadCalibrationFile("/nonexistent/calibration.yaml", lens).find("cannot read"), std::string::npos);
}

// Small planes built by hand, one behaviour of one filter per case.
TEST(DepthFilters, EachFilterOnConstructedPlanes) {
    struct Planes {
        int width, height;
        std::vector<float> depth, amplitude, confidence;
        DepthPlaneSet set() { return {width, height, depth.data(), amplitude.data(), confidence.data()}; }
    };
    auto planes = [](int w, int h, float (*depthAt)(int x, int y)) {
        Planes p{w, h, {}, std::vector<float>(size_t(w * h), 500.0f), std::vector<float>(size_t(w * h), 500.0f)};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) p.depth.push_back(depthAt(x, y));
        return p;
    };
    const DepthFilterSettings off = DepthFilterSettings::none();
    std::vector<float> scratch;

    // Flying pixels: a step from 1000 to 2000 mm with a mixed column at 1500
    // goes; the two faces and a steep but plausible slope stay.
    DepthFilterSettings flying = off;
    flying.flyingPixel = true;
    Planes step = planes(9, 5, [](int x, int) { return x < 4 ? 1000.0f : x == 4 ? 1500.0f : 2000.0f; });
    filterFlyingPixels(flying, 200.0, step.set(), scratch);
    for (int y = 1; y < 4; ++y) {
        EXPECT_EQ(step.depth[size_t(y * 9 + 4)], 0.0f) << "mixed pixel kept at row " << y;
        EXPECT_EQ(step.confidence[size_t(y * 9 + 4)], 0.0f);
        EXPECT_EQ(step.depth[size_t(y * 9 + 3)], 1000.0f);
        EXPECT_EQ(step.depth[size_t(y * 9 + 5)], 2000.0f);
    }
    Planes slope = planes(9, 5, [](int x, int) { return 1000.0f + 20.0f * x; });  // about 75 degrees at f = 200
    const std::vector<float> slopeBefore = slope.depth;
    filterFlyingPixels(flying, 200.0, slope.set(), scratch);
    EXPECT_EQ(slope.depth, slopeBefore);

    // Spatial: a flat patch keeps its exact value, noise shrinks, the edge stays sharp.
    DepthFilterSettings spatial = off;
    spatial.spatial = true;
    Planes flat = planes(6, 6, [](int, int) { return 1234.5f; });
    filterSpatial(spatial, flat.set(), scratch);
    EXPECT_TRUE(std::all_of(flat.depth.begin(), flat.depth.end(), [](float d) { return d == 1234.5f; }));
    Planes noisy = planes(8, 8, [](int x, int y) { return 1500.0f + ((x + y) % 2 ? 10.0f : -10.0f); });
    filterSpatial(spatial, noisy.set(), scratch);
    EXPECT_LT(std::fabs(noisy.depth[27] - 1500.0f), 2.0f);
    Planes edge = planes(8, 4, [](int x, int) { return x < 4 ? 1000.0f : 2000.0f; });
    filterSpatial(spatial, edge.set(), scratch);
    EXPECT_EQ(edge.depth[11], 1000.0f);
    EXPECT_EQ(edge.depth[12], 2000.0f);

    // Temporal: converges on a steady pixel, restarts on a jump (no smear) and after a hole.
    DepthFilterSettings temporal = off;
    temporal.temporal = true;
    temporal.temporalAlpha = 0.4f;
    std::vector<float> history;
    Planes frame = planes(1, 1, [](int, int) { return 1000.0f; });
    const float sequence[] = {1000, 1020, 1020, 3000, 0, 1500};
    const float expected[] = {1000, 1000 + 0.4f * 20, 1008 + 0.4f * 12, 3000, 0, 1500};
    for (size_t i = 0; i < 6; ++i) {
        frame.depth[0] = sequence[i];
        filterTemporal(temporal, frame.set(), history);
        EXPECT_FLOAT_EQ(frame.depth[0], expected[i]) << "frame " << i;
    }

    // Holes take the farthest valid 4-neighbour, and its confidence.
    Planes hole = planes(3, 3, [](int x, int y) { return x == 1 && y == 1 ? 0.0f : 1000.0f + 100.0f * x; });
    hole.confidence[5] = 77;
    filterHoles(hole.set(), scratch);
    EXPECT_EQ(hole.depth[4], 1200.0f);
    EXPECT_EQ(hole.confidence[4], 77.0f);

    // Wrapped distances: too dark for where it seems to be; a bright pixel there stays.
    DepthFilterSettings wrapped = off;
    wrapped.wrappedDistance = true;
    wrapped.wrappedWhiteAmplitude = 1000;
    Planes seen = planes(2, 1, [](int, int) { return 1000.0f; });
    seen.amplitude = {300.0f, 800.0f};  // 1000 mm: a white surface gives about 940
    filterWrappedDistance(wrapped, seen.set());
    EXPECT_EQ(seen.depth, (std::vector<float>{0.0f, 1000.0f}));
}

// Every vector form of the filters equals the scalar form bit for bit, on
// random frames (steps, noise, holes, odd widths) under random settings.
TEST(DepthFilters, EveryFormEqualsTheScalarFormBitForBit) {
    const std::vector<DepthFilterForm>& forms = depthFilterForms();
    ASSERT_STREQ(forms.back().name, "scalar");
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto uniform = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<float>(state >> 40) / static_cast<float>(1u << 24);
    };
    for (int trial = 0; trial < 60; ++trial) {
        const int width = 3 + static_cast<int>(uniform() * 70), height = 3 + static_cast<int>(uniform() * 20);
        const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
        std::vector<float> depth(n), amplitude(n);
        for (size_t i = 0; i < n; ++i) {
            const float surface = 300.0f + 700.0f * static_cast<float>(static_cast<int>(uniform() * 4));
            depth[i] = uniform() < 0.1f ? 0.0f : surface + 40.0f * (uniform() - 0.5f);
            amplitude[i] = 2000.0f * uniform();
        }
        DepthFilterSettings s;
        s.flyingPixelMinStepMm = 60 * uniform();
        s.flyingPixelRelativeStep = 0.1f * uniform();
        s.flyingPixelMaxIncidenceDeg = 1 + 88 * uniform();
        s.spatialEdgeMm = 80 * uniform();
        s.spatialRelativeEdge = 0.1f * uniform();
        s.temporalAlpha = 0.01f + 0.99f * uniform();
        s.temporalEdgeMm = 100 * uniform();
        s.temporalRelativeEdge = 0.1f * uniform();
        s.wrappedDistance = s.holeFilling = trial % 2 == 0;
        s.wrappedMinReflectivity = uniform();
        std::vector<std::vector<float>> results;
        for (const DepthFilterForm& form : forms) {
            DepthFilterChain chain(form.kernels);
            std::vector<float> d, c;
            for (int frame = 0; frame < 3; ++frame) {  // the temporal filter's memory too
                d = depth;
                c = amplitude;
                for (float& v : d) v = v > 0 ? v + 3.0f * static_cast<float>(frame) : 0.0f;
                chain.apply(s, 10 + 500 * static_cast<double>(trial) / 60, {width, height, d.data(), amplitude.data(), c.data()});
            }
            d.insert(d.end(), c.begin(), c.end());
            results.push_back(d);
        }
        for (size_t f = 0; f + 1 < forms.size(); ++f)
            ASSERT_EQ(0, std::memcmp(results[f].data(), results.back().data(), results[f].size() * sizeof(float)))
                << forms[f].name << " differs from the scalar form in trial " << trial;
    }
}

TEST(CameraLens, VirtualWallIsFlatInZAndCalibrationsAndFiltersApplyFromTheNextFrame) {
    const std::string config = writeTemp("wall.cfg", "scene=wall\ndistance_mm=1500\nfps=0\n");
    VelmoraTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(config.c_str(), 0), VelmoraSuccess);
    const Intrinsics nominal = camera.getIntrinsics();
    EXPECT_TRUE(nominal.nominal);
    EXPECT_EQ(nominal, nominalIntrinsics(240, 180));

    // Refused settings change nothing.
    DepthFilterSettings bad;
    bad.temporalAlpha = 0;
    EXPECT_EQ(camera.setDepthFilters(bad), VelmoraInvalidParameter);
    EXPECT_EQ(camera.getDepthFilters(), DepthFilterSettings());
    ASSERT_EQ(camera.setDepthFilters(DepthFilterSettings::none()), VelmoraSuccess);

    ASSERT_EQ(camera.start(FrameType::DEPTH), VelmoraSuccess);
    std::vector<float> z(240 * 180), cloud(3 * 240 * 180);
    auto nextFrameGeometry = [&] {
        VelmoraFrameBuffer* frame = camera.requestFrame(3000);
        ASSERT_NE(frame, nullptr);
        ASSERT_EQ(camera.getAxialDepth(frame, z.data()), VelmoraSuccess);
        ASSERT_EQ(camera.getPointCloud(frame, cloud.data()), VelmoraSuccess);
        camera.releaseFrame(frame);
    };
    nextFrameGeometry();
    // Distance along the rays of a flat wall is one z everywhere.
    const auto range = std::minmax_element(z.begin(), z.end());
    EXPECT_GT(*range.first, 1495.0f);
    EXPECT_LT(*range.second, 1505.0f);
    for (size_t i = 0; i < z.size(); i += 997) EXPECT_EQ(cloud[3 * i + 2], z[i]);
    EXPECT_NEAR(cloud[3 * (90 * 240 + 0)], -119.5 * 1500 / nominal.fx, 5.0);  // left edge, middle row

    // A calibration of another size leaves the nominal lens; one of this size replaces it.
    std::string reason;
    const std::string other = writeTemp(
        "vga.yaml", "image_width: 640\nimage_height: 480\ncamera_matrix:\n  data: [500, 0, 320, 0, 500, 240, 0, 0, 1]\n");
    ASSERT_EQ(camera.loadCalibration(other.c_str(), &reason), VelmoraSuccess) << reason;
    EXPECT_EQ(camera.getIntrinsics(), nominal);
    const std::string narrow = writeTemp(
        "hqvga.yaml", "image_width: 240\nimage_height: 180\ncamera_matrix:\n  data: [120, 0, 119.5, 0, 120, 89.5, 0, 0, 1]\n");
    ASSERT_EQ(camera.loadCalibration(narrow.c_str(), &reason), VelmoraSuccess) << reason;
    EXPECT_FALSE(camera.getIntrinsics().nominal);
    EXPECT_EQ(camera.getIntrinsics().fx, 120);
    EXPECT_EQ(camera.loadCalibration("/nonexistent.yaml", &reason), VelmoraInvalidParameter);
    EXPECT_NE(reason.find("cannot read"), std::string::npos);
    for (int i = 0; i < 3; ++i) nextFrameGeometry();
    // The wrong (wider) lens bends the wall: corners come out nearer than the middle.
    EXPECT_LT(z[0] + 100.0f, z[90 * 240 + 120]);

    // Filters on while streaming: the next frames change, a raw frame is refused.
    DepthFilterSettings holes = DepthFilterSettings::none();
    holes.holeFilling = true;
    EXPECT_EQ(camera.setDepthFilters(holes), VelmoraSuccess);
    EXPECT_EQ(camera.getDepthFilters(), holes);
    RawData raw(4, 4);
    EXPECT_EQ(camera.getPointCloud(&raw, cloud.data()), VelmoraInvalidParameter);
    camera.stop();
    camera.close();
}
