#include "VelmoraScene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <utility>

namespace VelmoraSim {

struct RayHit {
    double distance;
    double reflectivity;
    int surface;  // rays on one surface of the scene share it
};

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

RayHit traceDemo(double dx, double dy, double dz) {
    RayHit best{kBackWallZ / dz, 0.8, 0};  // every ray reaches the back wall (dz > 0)
    if (dy > 0) {
        const double t = kFloorBelowCamera / dy;
        if (t < best.distance) {
            // Checkered floor so the amplitude image shows structure too.
            const double fx = std::floor(dx * t / kTileMm);
            const double fz = std::floor(dz * t / kTileMm);
            const bool dark = std::fmod(std::fabs(fx + fz), 2.0) > 0.5;
            best = RayHit{t, dark ? 0.35 : 0.6, 1};
        }
    }
    // Ray/sphere: t^2 - 2 t (d.c) + |c|^2 - r^2 = 0 with |d| = 1.
    const double b = dx * kSphereX + dy * kSphereY + dz * kSphereZ;
    const double c = kSphereX * kSphereX + kSphereY * kSphereY + kSphereZ * kSphereZ - kSphereR * kSphereR;
    const double disc = b * b - c;
    if (disc >= 0) {
        const double t = b - std::sqrt(disc);
        if (t > 0 && t < best.distance) best = RayHit{t, 0.9, 2};
    }
    return best;
}

// Steps: boxes 250 mm deep in front of a wall at 3000 mm, the wall and the
// farthest box beyond the 2000 mm range. Each box is given by the image
// extent of its front face (x / z and y / z) and the depth of that face.
constexpr double kStepsWallZ = 3000.0;
constexpr double kStepsBoxDepth = 250.0;
struct StepBox {
    double z, u0, u1, v0, v1, reflectivity;
};
constexpr StepBox kStepBoxes[] = {
    {600.0, -0.62, -0.22, -0.05, 0.42, 0.5},
    {1100.0, -0.12, 0.16, 0.08, 0.46, 0.7},
    {1600.0, 0.26, 0.62, -0.42, 0.06, 0.9},
    {2400.0, -0.18, 0.18, -0.46, -0.12, 0.9},
};

// Surfaces: 0 the wall, 1 + 3 box + axis the face of a box across that axis.
RayHit traceSteps(double dx, double dy, double dz) {
    RayHit best{kStepsWallZ / dz, 0.8, 0};
    const double dir[3] = {dx, dy, dz};
    int index = 0;
    for (const StepBox& box : kStepBoxes) {
        const double lo[3] = {box.u0 * box.z, box.v0 * box.z, box.z};
        const double hi[3] = {box.u1 * box.z, box.v1 * box.z, box.z + kStepsBoxDepth};
        // Slabs: the ray enters the box where it has entered all three.
        double enter = -std::numeric_limits<double>::infinity(), leave = std::numeric_limits<double>::infinity();
        int axis = -1;
        for (int a = 0; a < 3; ++a) {
            if (dir[a] == 0) {
                if (lo[a] > 0 || hi[a] < 0) enter = leave + 1;  // parallel and outside: no hit
                continue;
            }
            const double t1 = lo[a] / dir[a], t2 = hi[a] / dir[a];
            if (std::min(t1, t2) > enter) {
                enter = std::min(t1, t2);
                axis = a;
            }
            leave = std::min(leave, std::max(t1, t2));
        }
        if (axis >= 0 && enter <= leave && enter > 0 && enter < best.distance)
            best = RayHit{enter, box.reflectivity, 1 + 3 * index + axis};
        ++index;
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

bool isKnownSceneKind(const std::string& kind) {
    return kind == "constant" || kind == "wall" || kind == "demo" || kind == "steps";
}

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

double Modulation::phase(double distanceMm) const {
    if (rangeMm <= 0) return phaseForDistance(distanceMm, hz);
    const double turns = distanceMm / rangeMm + offsetRadians / kTwoPi;
    return kTwoPi * (turns - std::floor(turns));
}

struct Scene::Caches {
    // Ground truth: built with the scene under physics, else at the first truth() call.
    std::once_flag truthBuilt;
    std::vector<float> nearest, farthest;
    std::vector<uint8_t> flat;
    // Physics only: per pixel ambient counts, active light collected, sample noise.
    std::vector<double> ambient, intensity, sigma;
    std::mutex mutex;  // guards phasors
    std::vector<std::pair<Modulation, std::unique_ptr<PixelPhasors>>> phasors;
};

Scene::Scene(const SceneSettings& settings, int width, int height)
    : cfg(settings),
      kind(settings.kind == "wall"    ? Kind::kWall
           : settings.kind == "demo"  ? Kind::kDemo
           : settings.kind == "steps" ? Kind::kSteps
                                      : Kind::kConstant),
      w(std::max(width, 0)),
      h(std::max(height, 0)),
      caches(std::make_shared<Caches>()) {
    cfg.supersampling = std::clamp(cfg.supersampling, 1, 64);
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    distance.assign(n, cfg.distanceMm);
    reflect.assign(n, std::clamp(cfg.reflectivity, 0.0, 1.0));
    focal = (w / 2.0) / std::tan(kHorizontalFovDeg / 2.0 * kPi / 180.0);
    if (n == 0) return;
    if (kind != Kind::kConstant) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const RayHit hit = trace(x, y);
                const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
                distance[i] = hit.distance;
                reflect[i] = std::clamp(hit.reflectivity * cfg.reflectivity, 0.0, 1.0);
            }
        }
    }
    if (cfg.physics) lightAndTruth();
}

RayHit Scene::trace(double px, double py) const {
    if (kind == Kind::kConstant) return RayHit{cfg.distanceMm, 1.0, 0};
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    const double u = (px - cx) / focal, v = (py - cy) / focal;
    const double norm = std::sqrt(u * u + v * v + 1.0);
    // A flat wall facing the camera: the ray travels farther towards the edges.
    if (kind == Kind::kWall) return RayHit{cfg.distanceMm * norm, 1.0, 0};
    return kind == Kind::kDemo ? traceDemo(u / norm, v / norm, 1.0 / norm) : traceSteps(u / norm, v / norm, 1.0 / norm);
}

template <class Visit>
void Scene::forEachRay(int x, int y, Visit&& visit) const {
    const int side = footprintSide();
    if (side == 1) {
        visit(trace(x, y));
        return;
    }
    // Rays at the centres of an N x N grid over the pixel's square.
    for (int j = 0; j < side; ++j)
        for (int k = 0; k < side; ++k)
            visit(trace(x - 0.5 + (k + 0.5) / side, y - 0.5 + (j + 0.5) / side));
}

const Scene::Caches& Scene::lightAndTruth() const {
    Caches& c = *caches;
    std::call_once(c.truthBuilt, [&] {
        const size_t n = distance.size();
        c.nearest.assign(n, 0);
        c.farthest.assign(n, 0);
        c.flat.assign(n, 0);
        if (cfg.physics) {
            c.ambient.assign(n, 0);
            c.intensity.assign(n, 0);
            c.sigma.assign(n, 0);
        }
        std::vector<int> surface(n, -1);  // the pixel's one surface, -1 where it straddles several
        const double rays = static_cast<double>(footprintSide()) * footprintSide();
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
                double lo = std::numeric_limits<double>::infinity(), hi = 0, amplitude = 0, reflectivity = 0;
                int first = -2;
                bool one = true;
                forEachRay(x, y, [&](const RayHit& hit) {
                    lo = std::min(lo, hit.distance);
                    hi = std::max(hi, hit.distance);
                    const double r = std::clamp(hit.reflectivity * cfg.reflectivity, 0.0, 1.0);
                    amplitude += amplitudeForDistance(hit.distance, r);
                    reflectivity += r;
                    if (first == -2) first = hit.surface;
                    one = one && hit.surface == first;
                });
                c.nearest[i] = static_cast<float>(lo);
                c.farthest[i] = static_cast<float>(hi);
                surface[i] = one ? first : -1;
                if (!cfg.physics) continue;
                c.intensity[i] = amplitude / rays;
                c.ambient[i] = cfg.ambientCounts * reflectivity / rays;
                // Shot noise: one count per photo-electron, so its variance is the counts collected.
                c.sigma[i] = cfg.shotNoise ? std::sqrt(cfg.noise * cfg.noise + c.intensity[i] + c.ambient[i]) : cfg.noise;
            }
        }
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
                bool flat = surface[i] >= 0;
                for (int ny = std::max(y - 1, 0); flat && ny <= std::min(y + 1, h - 1); ++ny)
                    for (int nx = std::max(x - 1, 0); flat && nx <= std::min(x + 1, w - 1); ++nx)
                        flat = surface[static_cast<size_t>(ny) * static_cast<size_t>(w) + static_cast<size_t>(nx)] ==
                               surface[i];
                c.flat[i] = flat ? 1 : 0;
            }
        }
    });
    return c;
}

PixelTruth Scene::truth(int x, int y) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return PixelTruth{};
    const Caches& c = lightAndTruth();
    const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
    return PixelTruth{distance[i], c.nearest[i], c.farthest[i], c.flat[i] != 0};
}

bool Scene::nearSurface(int x, int y, double measuredMm, double toleranceMm) const {
    if (x < 0 || y < 0 || x >= w || y >= h) return false;
    // Distance span of the rays on each surface the footprint sees.
    struct Span {
        int surface;
        double lo, hi;
    };
    std::vector<Span> spans;
    forEachRay(x, y, [&](const RayHit& hit) {
        for (Span& s : spans) {
            if (s.surface != hit.surface) continue;
            s.lo = std::min(s.lo, hit.distance);
            s.hi = std::max(s.hi, hit.distance);
            return;
        }
        spans.push_back(Span{hit.surface, hit.distance, hit.distance});
    });
    for (const Span& s : spans)
        if (measuredMm >= s.lo - toleranceMm && measuredMm <= s.hi + toleranceMm) return true;
    return false;
}

const PixelPhasors& Scene::phasors(const Modulation& modulation) const {
    Caches& c = *caches;
    std::lock_guard<std::mutex> lock(c.mutex);
    for (const auto& entry : c.phasors)
        if (entry.first == modulation) return *entry.second;
    auto planes = std::make_unique<PixelPhasors>();
    const size_t n = distance.size();
    planes->amplitude.resize(n);
    planes->phase.resize(n);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
            if (footprintSide() == 1) {  // one ray: nothing to mix
                planes->amplitude[i] = amplitudeForDistance(distance[i], reflect[i]);
                planes->phase[i] = modulation.phase(distance[i]);
                continue;
            }
            // The pixel sums the correlation of every ray: the mean phasor.
            double re = 0, im = 0;
            forEachRay(x, y, [&](const RayHit& hit) {
                const double a = amplitudeForDistance(hit.distance, std::clamp(hit.reflectivity * cfg.reflectivity, 0.0, 1.0));
                const double theta = modulation.phase(hit.distance);
                re += a * std::cos(theta);
                im += a * std::sin(theta);
            });
            const double rays = static_cast<double>(footprintSide()) * footprintSide();
            re /= rays;
            im /= rays;
            double theta = std::atan2(im, re);
            if (theta < 0) theta += kTwoPi;
            if (theta >= kTwoPi) theta = 0;
            planes->amplitude[i] = std::hypot(re, im);
            planes->phase[i] = theta;
        }
    }
    c.phasors.emplace_back(modulation, std::move(planes));
    return *c.phasors.back().second;
}

double Scene::ambientAt(size_t i) const { return cfg.physics ? caches->ambient[i] : 0.0; }

double Scene::intensityAt(size_t i) const {
    return cfg.physics ? caches->intensity[i] : amplitudeForDistance(distance[i], reflect[i]);
}

double Scene::noiseAt(size_t i) const { return cfg.physics ? caches->sigma[i] : cfg.noise; }

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
    const PixelPhasors& phasors = scene.phasors(Modulation{modulationHz, 0, 0});
    NoiseSource noise(scene.settings().seed, frameIndex);
    uint16_t* p0 = out;
    uint16_t* p1 = out + plane;
    uint16_t* p2 = out + 2 * plane;
    uint16_t* p3 = out + 3 * plane;
    for (size_t i = 0; i < plane; ++i) {
        const double a = phasors.amplitude[i];
        const double theta = phasors.phase[i];
        const double s = a * std::sin(theta), c = a * std::cos(theta);
        // Plane order chosen so that far: y = P2-P0, x = P3-P1 and
        // near: y = P1-P3, x = P2-P0 give back theta.
        double q0, q1, q2, q3;
        if (near) {
            q0 = -c; q1 = s; q2 = c; q3 = -s;
        } else {
            q0 = -s; q1 = -c; q2 = s; q3 = c;
        }
        // Ambient light raises all four alike: it cancels in the differences
        // but takes up range, and a sample at full scale clips.
        const double ambient = scene.ambientAt(i);
        if (ambient > 0) {
            q0 += ambient; q1 += ambient; q2 += ambient; q3 += ambient;
        }
        const double sigma = scene.noiseAt(i);
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

}  // namespace VelmoraSim
