#pragma once
// Scene physics shared by the simulated camera module and the emulated boards:
// every pixel has a true radial distance and a reflectivity; the renderers turn
// them into the phase samples a real sensor would deliver.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace VelmoraSim {

// Must match the driver's depth arithmetic so that depth == distance.
constexpr double kSpeedOfLightMps = 3.0e8;
constexpr double kNearModulationHz = 75e6;   // unambiguous range 2000 mm
constexpr double kFarModulationHz = 37.5e6;  // unambiguous range 4000 mm
// Largest amplitude a renderer produces, in counts of the 12-bit word.
constexpr double kMaxAmplitudeCounts = 1000.0;

struct SceneSettings {
    std::string kind = "demo";   // "constant", "wall", "demo" or "steps"
    double distanceMm = 1000;    // constant: radial distance of every pixel; wall: distance of the wall
    double reflectivity = 1.0;   // constant: reflectivity; demo, steps: overall scale
    double noise = 0;            // standard deviation of each phase sample, counts (physics: read noise)
    uint32_t seed = 0;           // noise seed; same seed, same frames

    // Physics of a real pixel. Off, every pixel is rendered at its centre ray
    // with `noise` alone, and the fields below are not used.
    bool physics = false;
    int supersampling = 4;       // N: the pixel integrates N x N rays spread over its square
    double ambientCounts = 100;  // ambient light a white surface returns, counts added to every phase sample
    bool shotNoise = true;       // noise grows with the square root of the light collected
};

// Ground truth of one pixel, from the rays of its footprint.
struct PixelTruth {
    double distanceMm = 0;  // along the centre ray (distanceMm(x, y))
    double nearestMm = 0;   // nearest ray of the footprint
    double farthestMm = 0;  // farthest ray of the footprint
    bool flat = false;      // every ray of the pixel and of its 8 neighbours on one surface
};

// How a modulation turns distance into phase, in each sensor's own
// arithmetic (the VGA one with the module's extra phase).
struct Modulation {
    double hz = 0;             // HQVGA: phase = phaseForDistance(d, hz)
    double rangeMm = 0;        // VGA (when above 0): phase = 2 pi d / rangeMm + offsetRadians
    double offsetRadians = 0;
    double phase(double distanceMm) const;
    bool operator==(const Modulation& o) const {
        return hz == o.hz && rangeMm == o.rangeMm && offsetRadians == o.offsetRadians;
    }
};

// What the pixels collect at one modulation: the mean of their rays'
// correlation phasors, in polar form (row-major, width*height).
struct PixelPhasors {
    std::vector<double> amplitude;  // counts
    std::vector<double> phase;      // radians, [0, 2 pi)
};

// What one ray meets: distance, reflectivity and which surface (VelmoraScene.cpp).
struct RayHit;

// True for the scene kinds Scene knows how to build.
bool isKnownSceneKind(const std::string& kind);

class Scene {
public:
    // An unknown kind builds the constant scene.
    Scene(const SceneSettings& settings, int width, int height);

    int width() const { return w; }
    int height() const { return h; }
    const SceneSettings& settings() const { return cfg; }
    // Whether frames carry noise, so that each frame index renders differently.
    bool noisy() const { return cfg.noise > 0 || (cfg.physics && cfg.shotNoise); }

    // Radial distance from the lens to what pixel (x, y) sees, millimetres.
    double distanceMm(int x, int y) const;
    // Fraction of light returned, 0..1.
    double reflectivity(int x, int y) const;
    // Signal amplitude of the pixel in counts of the 12-bit word: falls with
    // distance, scales with reflectivity, never above kMaxAmplitudeCounts.
    double amplitudeCounts(int x, int y) const;
    // Phase delay of the reflected light, radians in [0, 2 pi).
    double phaseRadians(int x, int y, double modulationHz) const;

    // Ground truth of pixel (x, y) (all zero outside the image). The
    // footprint is the N x N rays of the physics, the centre ray alone
    // without it. Built once for the whole image.
    PixelTruth truth(int x, int y) const;
    // Whether measuredMm lies within toleranceMm of a surface that the
    // footprint of pixel (x, y) sees (of the distances of its rays on that
    // surface); false outside the image. A measurement of an edge pixel
    // that is near neither surface is a flying pixel.
    bool nearSurface(int x, int y, double measuredMm, double toleranceMm) const;

    // Renderer side: the phasors of every pixel at `modulation` (the centre
    // ray's amplitude and phase without physics), built at the first call per
    // modulation and kept; safe from several threads.
    const PixelPhasors& phasors(const Modulation& modulation) const;
    // Counts of ambient light on every phase sample of pixel i (row-major); 0 without physics.
    double ambientAt(size_t i) const;
    // Mean amplitude of the rays of pixel i, counts: the active light it collects.
    double intensityAt(size_t i) const;
    // Standard deviation of each phase sample of pixel i, counts; `noise` without physics.
    double noiseAt(size_t i) const;

private:
    struct Caches;

    // What the ray through image point (px, py), in pixels, meets.
    RayHit trace(double px, double py) const;
    int footprintSide() const { return cfg.physics ? cfg.supersampling : 1; }
    // Calls visit(hit) for every ray of pixel (x, y)'s footprint.
    template <class Visit>
    void forEachRay(int x, int y, Visit&& visit) const;
    const Caches& lightAndTruth() const;

    enum class Kind { kConstant, kWall, kDemo, kSteps };

    SceneSettings cfg;
    Kind kind;
    int w;
    int h;
    double focal = 1;
    std::vector<double> distance;  // row-major, w*h
    std::vector<double> reflect;   // row-major, w*h
    std::shared_ptr<Caches> caches;  // derived from the above only: copies may share it
};

// Signal amplitude (counts of the 12-bit word) for a distance and a reflectivity.
double amplitudeForDistance(double distanceMm, double reflectivity);

// Phase delay in [0, 2 pi) of light returning from distanceMm.
double phaseForDistance(double distanceMm, double modulationHz);

// Reproducible Gaussian noise: the same (seed, frame, stream) gives the same numbers.
class NoiseSource {
public:
    NoiseSource(uint32_t seed, uint64_t frameIndex, uint64_t stream = 0);
    double gaussian();   // mean 0, standard deviation 1
    uint64_t next();

private:
    uint64_t state;
    bool haveSpare = false;
    double spare = 0;
};

// Four HQVGA phase sub-frames (width*height 16-bit words each, 12-bit scale,
// back to back) in the encoding and plane order that VelmoraDeviceHQVGA decodes
// on a board with sample shift 0, for modulation frequency 75e6 (range 2000,
// near order) or 37.5e6 (range 4000, far order); any other frequency uses far
// order. frameIndex seeds the noise so every frame differs but runs are
// reproducible. `out` holds 4*width*height words.
void renderHqvgaSubframes(const Scene& scene, double modulationHz, uint64_t frameIndex, uint16_t* out);

// Word of one phase sample: signed counts (clamped to -1024..1023) as the
// 11-bit two's complement the HQVGA model decodes.
uint16_t encodeHqvgaSample(double counts);

}  // namespace VelmoraSim
