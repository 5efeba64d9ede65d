#pragma once
// Depth filters the capture thread applies to every depth frame before it is
// handed out, in this order: wrapped distances, flying pixels, spatial
// smoothing, temporal smoothing, hole filling. A pixel a filter invalidates
// gets depth 0 and confidence 0, as the depth models mark pixels without a
// value; its amplitude stays. With every filter off frames are untouched.

#include <string>
#include <vector>

#include "VelmoraTypes.h"

namespace Velmora {

struct VELMORA_EXPORT DepthFilterSettings {
    // A pixel whose footprint straddles a depth edge mixes the light of both
    // surfaces and reports a distance between them, or, where their light
    // cancels, anywhere. At a depth edge (two opposite neighbours farther
    // apart along their rays than a surface inclined by
    // flyingPixelMaxIncidenceDeg to the rays would be over two pixels, by the
    // lens's focal length) a pixel is invalidated when it lies between two
    // such neighbours, farther from each than max(flyingPixelMinStepMm,
    // flyingPixelRelativeStep x distance), or when its amplitude is below
    // flyingPixelFaintAmplitude x its brightest neighbour's.
    bool flyingPixel = true;
    float flyingPixelMinStepMm = 20.0f;
    float flyingPixelRelativeStep = 0.01f;
    float flyingPixelMaxIncidenceDeg = 85.0f;
    float flyingPixelFaintAmplitude = 0.7f;

    // Edge-preserving smoothing: the mean of the pixel and those of its 3 x 3
    // neighbours that differ from it by at most max(spatialEdgeMm,
    // spatialRelativeEdge x distance). Pixels across an edge are left out.
    bool spatial = true;
    float spatialEdgeMm = 40.0f;
    float spatialRelativeEdge = 0.03f;

    // Recursive mean over frames: each pixel moves temporalAlpha of the way
    // towards its new value. A pixel that changed by more than
    // max(temporalEdgeMm, temporalRelativeEdge x distance), or was invalid in
    // either frame, starts afresh, so moving edges do not smear.
    bool temporal = true;
    float temporalAlpha = 0.2f;
    float temporalEdgeMm = 60.0f;
    float temporalRelativeEdge = 0.04f;

    // Fills an invalid pixel with the farthest of its valid 4-neighbours
    // (the background is the likelier surface behind a hole). Off by default:
    // it makes up values.
    bool holeFilling = false;

    // Surfaces beyond the unambiguous range come back at (distance - range):
    // nearer, but with the weak signal of their true distance. Invalidates a
    // pixel whose amplitude is below what a surface of reflectivity
    // wrappedMinReflectivity would return from the measured distance, under the
    // camera's illumination (wrappedWhiteAmplitude counts from a white surface
    // near the lens, falling as 1 / (1 + (d / wrappedFalloffMm)^2); 0 takes
    // the sensor's nominal figure, kNominalWhiteAmplitude*). It cannot
    // tell a wrapped bright surface from a near dark one below that
    // reflectivity, so it is off by default.
    bool wrappedDistance = false;
    float wrappedMinReflectivity = 0.5f;
    float wrappedWhiteAmplitude = 0.0f;
    float wrappedFalloffMm = 4000.0f;

    // Amplitude of a white surface near the lens, in each sensor's amplitude
    // counts (the virtual camera's illumination; HQVGA amplitudes are on a
    // 16 times finer scale).
    static constexpr float kNominalWhiteAmplitudeHqvga = 16000.0f;
    static constexpr float kNominalWhiteAmplitudeVga = 1000.0f;

    // Every filter off: frames exactly as the depth model computed them.
    static DepthFilterSettings none();
    bool operator==(const DepthFilterSettings& other) const;
    bool operator!=(const DepthFilterSettings& other) const { return !(*this == other); }
    // "" when every value is usable, else which one is not and why.
    std::string problem() const;
};

// One setting by its name ("flying_pixel", "spatial_edge_mm", ...): the names
// the Python module, the ROS nodes and the tools use. A switch has `flag`,
// a number has `value` and the range it must lie in.
struct DepthFilterField {
    const char* name;
    bool DepthFilterSettings::*flag;
    float DepthFilterSettings::*value;
    float low;
    float high;
};
VELMORA_EXPORT const std::vector<DepthFilterField>& depthFilterFields();

}  // namespace Velmora
