#include "VelmoraScene.h"

#include <algorithm>
#include <cmath>

namespace VelmoraSim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

// The lens of the scenes: an ideal pinhole, 70 degrees across, square pixels,
// principal point in the middle of the image (README, "The virtual camera").
constexpr double kHorizontalFovDeg = 70.0;

// Demo room, millimetres, camera at the origin looking along +z, y pointing down.
constexpr double kFloorBelowCamera = 800.0;
constexpr double kBackWallZ = 3000.0;
constexpr double kSphereX = 250.0, kSphereY = 350.0, kSphereZ = 1800.0, kSphereR = 450.0;
constexpr double kTileMm = 500.0;

struct Hit {
    double distance;
    double reflectivity;
};

Hit traceDemo(double dx, double dy, double dz) {
    Hit best{kBackWallZ / dz, 0.8};  // every ray reaches the back wall (dz > 0)
    if (dy > 0) {
        const double t = kFloorBelowCamera / dy;
        if (t < best.distance) {
            // Checkered floor so the amplitude image shows structure too.
            const double fx = std::floor(dx * t / kTileMm);
            const double fz = std::floor(dz * t / kTileMm);
            const bool dark = std::fmod(std::fabs(fx + fz), 2.0) > 0.5;
            best = Hit{t, dark ? 0.35 : 0.6};
        }
    }
    // Ray/sphere: t^2 - 2 t (d.c) + |c|^2 - r^2 = 0 with |d| = 1.
    const double b = dx * kSphereX + dy * kSphereY + dz * kSphereZ;
    const double c = kSphereX * kSphereX + kSphereY * kSphereY + kSphereZ * kSphereZ - kSphereR * kSphereR;
    const double disc = b * b - c;
    if (disc >= 0) {
        const double t = b - std::sqrt(disc);
        if (t > 0 && t < best.distance) best = Hit{t, 0.9};
    }
    return best;
}

uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

bool isKnownSceneKind(const std::string& kind) { return kind == "constant" || kind == "wall" || kind == "demo"; }

double amplitudeForDistance(double distanceMm, double reflectivity) {
    const double r = std::clamp(reflectivity, 0.0, 1.0);
    const double q = std::max(distanceMm, 0.0) / 4000.0;
    return kMaxAmplitudeCounts * r / (1.0 + q * q);
}

double phaseForDistance(double distanceMm, double modulationHz) {
    const double turns = 2.0 * modulationHz * (distanceMm / 1000.0) / kSpeedOfLightMps;
    double phase = kTwoPi * (turns - std::floor(turns));
    if (phase >= kTwoPi) phase = 0;  // rounding at the top of the turn
    return phase;
}

Scene::Scene(const SceneSettings& settings, int width, int height)
    : cfg(settings), w(std::max(width, 0)), h(std::max(height, 0)) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    distance.assign(n, cfg.distanceMm);
    reflect.assign(n, std::clamp(cfg.reflectivity, 0.0, 1.0));
    if ((cfg.kind != "demo" && cfg.kind != "wall") || n == 0) return;

    const double f = (w / 2.0) / std::tan(kHorizontalFovDeg / 2.0 * kPi / 180.0);
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double u = (x - cx) / f, v = (y - cy) / f;
            const double norm = std::sqrt(u * u + v * v + 1.0);
            const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
            if (cfg.kind == "wall") {
                // A flat wall facing the camera: the ray travels farther towards the edges.
                distance[i] = cfg.distanceMm * norm;
                continue;
            }
            const Hit hit = traceDemo(u / norm, v / norm, 1.0 / norm);
            distance[i] = hit.distance;
            reflect[i] = std::clamp(hit.reflectivity * cfg.reflectivity, 0.0, 1.0);
        }
    }
}

double Scene::distanceMm(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return 0;
    return distance[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)];
}

double Scene::reflectivity(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return 0;
    return reflect[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)];
}

double Scene::amplitudeCounts(int x, int y) const {
    return amplitudeForDistance(distanceMm(x, y), reflectivity(x, y));
}

double Scene::phaseRadians(int x, int y, double modulationHz) const {
    return phaseForDistance(distanceMm(x, y), modulationHz);
}

NoiseSource::NoiseSource(uint32_t seed, uint64_t frameIndex, uint64_t stream) {
    uint64_t mix = (static_cast<uint64_t>(seed) << 32) ^ 0x5EEDull;
    state = splitmix(mix);
    mix = state ^ frameIndex;
    state = splitmix(mix);
    mix = state ^ (stream * 0xD1B54A32D192ED03ull);
    state = splitmix(mix);
}

uint64_t NoiseSource::next() { return splitmix(state); }

double NoiseSource::gaussian() {
    if (haveSpare) {
        haveSpare = false;
        return spare;
    }
    // Box-Muller on two uniforms in (0, 1].
    const double u1 = (static_cast<double>(next() >> 11) + 1.0) * (1.0 / 9007199254740992.0);
    const double u2 = static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
    const double r = std::sqrt(-2.0 * std::log(u1));
    spare = r * std::sin(kTwoPi * u2);
    haveSpare = true;
    return r * std::cos(kTwoPi * u2);
}

uint16_t encodeHqvgaSample(double counts) {
    const double c = std::clamp(std::nearbyint(counts), -1024.0, 1023.0);
    return static_cast<uint16_t>(static_cast<int>(c) & 0x7FF);
}

void renderHqvgaSubframes(const Scene& scene, double modulationHz, uint64_t frameIndex, uint16_t* out) {
    const int w = scene.width(), h = scene.height();
    const size_t plane = static_cast<size_t>(w) * static_cast<size_t>(h);
    const bool near = std::fabs(modulationHz - kNearModulationHz) < 1.0;
    const double sigma = scene.settings().noise;
    NoiseSource noise(scene.settings().seed, frameIndex);
    uint16_t* p0 = out;
    uint16_t* p1 = out + plane;
    uint16_t* p2 = out + 2 * plane;
    uint16_t* p3 = out + 3 * plane;
    size_t i = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x, ++i) {
            const double a = scene.amplitudeCounts(x, y);
            const double theta = scene.phaseRadians(x, y, modulationHz);
            const double s = a * std::sin(theta), c = a * std::cos(theta);
            // Plane order chosen so that far: y = P2-P0, x = P3-P1 and
            // near: y = P1-P3, x = P2-P0 give back theta.
            double q0, q1, q2, q3;
            if (near) {
                q0 = -c; q1 = s; q2 = c; q3 = -s;
            } else {
                q0 = -s; q1 = -c; q2 = s; q3 = c;
            }
            if (sigma > 0) {
                q0 += sigma * noise.gaussian();
                q1 += sigma * noise.gaussian();
                q2 += sigma * noise.gaussian();
                q3 += sigma * noise.gaussian();
            }
            p0[i] = encodeHqvgaSample(q0);
            p1[i] = encodeHqvgaSample(q1);
            p2[i] = encodeHqvgaSample(q2);
            p3[i] = encodeHqvgaSample(q3);
        }
    }
}

}  // namespace VelmoraSim
