#pragma once
// Scene physics shared by the simulated camera module and the emulated boards:
// every pixel has a true radial distance and a reflectivity; the renderers turn
// them into the phase samples a real sensor would deliver.

#include <cstdint>
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
    std::string kind = "demo";   // "constant", "wall" or "demo"
    double distanceMm = 1000;    // constant: radial distance of every pixel; wall: distance of the wall
    double reflectivity = 1.0;   // constant: reflectivity; demo: overall scale
    double noise = 0;            // standard deviation of each phase sample, counts
    uint32_t seed = 0;           // noise seed; same seed, same frames
};

// True for the scene kinds Scene knows how to build.
bool isKnownSceneKind(const std::string& kind);

class Scene {
public:
    // An unknown kind builds the constant scene.
    Scene(const SceneSettings& settings, int width, int height);

    int width() const { return w; }
    int height() const { return h; }
    const SceneSettings& settings() const { return cfg; }

    // Radial distance from the lens to what pixel (x, y) sees, millimetres.
    double distanceMm(int x, int y) const;
    // Fraction of light returned, 0..1.
    double reflectivity(int x, int y) const;
    // Signal amplitude of the pixel in counts of the 12-bit word: falls with
    // distance, scales with reflectivity, never above kMaxAmplitudeCounts.
    double amplitudeCounts(int x, int y) const;
    // Phase delay of the reflected light, radians in [0, 2 pi).
    double phaseRadians(int x, int y, double modulationHz) const;

private:
    SceneSettings cfg;
    int w;
    int h;
    std::vector<double> distance;  // row-major, w*h
    std::vector<double> reflect;   // row-major, w*h
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
