// Depth filters on the capture thread. Written as straight loops over rows
// with selects instead of branches, so the compiler vectorises the interior.

#include "DepthFilters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace Velmora {

namespace {

constexpr double kPi = 3.14159265358979323846;

bool finiteIn(float value, float low, float high) { return std::isfinite(value) && value >= low && value <= high; }

// Rows above, at and below `y`, the outer ones repeating the edge rows.
struct Rows {
    const float* up;
    const float* mid;
    const float* down;
};
Rows rowsAround(const float* plane, int width, int height, int y) {
    const size_t w = static_cast<size_t>(width);
    return {plane + w * static_cast<size_t>(std::max(y - 1, 0)), plane + w * static_cast<size_t>(y),
            plane + w * static_cast<size_t>(std::min(y + 1, height - 1))};
}

void invalidate(const DepthPlaneSet& planes, size_t i) {
    planes.depth[i] = 0.0f;
    planes.confidence[i] = 0.0f;
}

}  // namespace

DepthFilterSettings DepthFilterSettings::none() {
    DepthFilterSettings s;
    s.flyingPixel = s.spatial = s.temporal = s.holeFilling = s.wrappedDistance = false;
    return s;
}

const std::vector<DepthFilterField>& depthFilterFields() {
    using S = DepthFilterSettings;
    auto flag = [](const char* name, bool S::*member) { return DepthFilterField{name, member, nullptr, 0, 1}; };
    auto value = [](const char* name, float S::*member, float low, float high) {
        return DepthFilterField{name, nullptr, member, low, high};
    };
    static const std::vector<DepthFilterField> fields = {
        flag("flying_pixel", &S::flyingPixel),
        value("flying_pixel_min_step_mm", &S::flyingPixelMinStepMm, 0, 100000),
        value("flying_pixel_relative_step", &S::flyingPixelRelativeStep, 0, 10),
        value("flying_pixel_max_incidence_deg", &S::flyingPixelMaxIncidenceDeg, 1, 89.9f),
        flag("spatial", &S::spatial),
        value("spatial_edge_mm", &S::spatialEdgeMm, 0, 100000),
        value("spatial_relative_edge", &S::spatialRelativeEdge, 0, 10),
        flag("temporal", &S::temporal),
        value("temporal_alpha", &S::temporalAlpha, 0.01f, 1),
        value("temporal_edge_mm", &S::temporalEdgeMm, 0, 100000),
        value("temporal_relative_edge", &S::temporalRelativeEdge, 0, 10),
        flag("hole_filling", &S::holeFilling),
        flag("wrapped_distance", &S::wrappedDistance),
        value("wrapped_min_reflectivity", &S::wrappedMinReflectivity, 0, 1),
        value("wrapped_white_amplitude", &S::wrappedWhiteAmplitude, 0, 1e9f),
        value("wrapped_falloff_mm", &S::wrappedFalloffMm, 1, 1e9f)};
    return fields;
}

bool DepthFilterSettings::operator==(const DepthFilterSettings& other) const {
    for (const DepthFilterField& f : depthFilterFields())
        if (f.flag ? this->*f.flag != other.*f.flag : this->*f.value != other.*f.value) return false;
    return true;
}

std::string DepthFilterSettings::problem() const {
    for (const DepthFilterField& f : depthFilterFields()) {
        if (!f.value || finiteIn(this->*f.value, f.low, f.high)) continue;
        char text[160];
        std::snprintf(text, sizeof(text), "%s %g is outside %g to %g", f.name, static_cast<double>(this->*f.value),
                      static_cast<double>(f.low), static_cast<double>(f.high));
        return text;
    }
    return "";
}

void filterWrappedDistance(const DepthFilterSettings& s, const DepthPlaneSet& planes) {
    const size_t n = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height);
    const float floor = s.wrappedMinReflectivity * s.wrappedWhiteAmplitude;
    const float inverseFalloff = 1.0f / s.wrappedFalloffMm;
    for (size_t i = 0; i < n; ++i) {
        const float q = planes.depth[i] * inverseFalloff;
        if (planes.depth[i] > 0 && planes.amplitude[i] * (1.0f + q * q) < floor) invalidate(planes, i);
    }
}

void filterFlyingPixels(const DepthFilterSettings& s, double focalPx, const DepthPlaneSet& planes,
                        std::vector<float>& scratch) {
    const int w = planes.width, h = planes.height;
    if (w < 3 || h < 3 || !(focalPx > 0)) return;
    // Over one pixel a surface inclined by the largest incidence changes
    // distance by (distance / focal length) x tan(incidence).
    const float inclined = static_cast<float>(std::tan(s.flyingPixelMaxIncidenceDeg * kPi / 180.0) / focalPx);
    const float relative = std::max(s.flyingPixelRelativeStep, inclined);
    const float minStep = s.flyingPixelMinStepMm;
    scratch.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0.0f);
    for (int y = 1; y + 1 < h; ++y) {
        const Rows r = rowsAround(planes.depth, w, h, y);
        float* flag = scratch.data() + static_cast<size_t>(w) * static_cast<size_t>(y);
        for (int x = 1; x + 1 < w; ++x) {
            const float d = r.mid[x];
            const float step = std::max(minStep, relative * d);
            // Between two opposite neighbours, each more than a step away; an
            // invalid neighbour (0) never counts as the far side.
            auto between = [d, step](float a, float b) {
                return a > 0 && b > 0 && ((a - d > step && d - b > step) || (d - a > step && b - d > step));
            };
            const bool flying = d > 0 && (between(r.mid[x - 1], r.mid[x + 1]) || between(r.up[x], r.down[x]) ||
                                          between(r.up[x - 1], r.down[x + 1]) || between(r.up[x + 1], r.down[x - 1]));
            flag[x] = flying ? 1.0f : 0.0f;
        }
    }
    const size_t n = scratch.size();
    for (size_t i = 0; i < n; ++i)
        if (scratch[i] != 0) invalidate(planes, i);
}

void filterSpatial(const DepthFilterSettings& s, const DepthPlaneSet& planes, std::vector<float>& scratch) {
    const int w = planes.width, h = planes.height;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    scratch.assign(planes.depth, planes.depth + n);
    const float edge = s.spatialEdgeMm, relative = s.spatialRelativeEdge;
    for (int y = 0; y < h; ++y) {
        const Rows r = rowsAround(scratch.data(), w, h, y);
        float* out = planes.depth + static_cast<size_t>(w) * static_cast<size_t>(y);
        for (int x = 0; x < w; ++x) {
            const float d = r.mid[x];
            const int left = x > 0 ? x - 1 : x, right = x + 1 < w ? x + 1 : x;
            const float limit = std::max(edge, relative * d);
            const float around[8] = {r.up[left],   r.up[x],   r.up[right],   r.mid[left],
                                     r.mid[right], r.down[left], r.down[x], r.down[right]};
            float sum = 0.0f, count = 1.0f;
            for (float v : around) {
                const bool near = v > 0 && std::fabs(v - d) <= limit;
                sum += near ? v - d : 0.0f;
                count += near ? 1.0f : 0.0f;
            }
            // Offsets from the pixel, so a flat patch keeps its exact value.
            out[x] = d > 0 ? d + sum / count : d;
        }
    }
}

void filterTemporal(const DepthFilterSettings& s, const DepthPlaneSet& planes, std::vector<float>& history) {
    const size_t n = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height);
    if (history.size() != n) history.assign(n, 0.0f);
    const float alpha = s.temporalAlpha, edge = s.temporalEdgeMm, relative = s.temporalRelativeEdge;
    float* depth = planes.depth;
    float* last = history.data();
    for (size_t i = 0; i < n; ++i) {
        const float d = depth[i], before = last[i];
        const bool continues = d > 0 && before > 0 && std::fabs(d - before) <= std::max(edge, relative * d);
        const float out = continues ? before + alpha * (d - before) : d;
        depth[i] = out;
        last[i] = out;
    }
}

void filterHoles(const DepthPlaneSet& planes, std::vector<float>& scratch) {
    const int w = planes.width, h = planes.height;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    scratch.assign(planes.depth, planes.depth + n);
    for (int y = 0; y < h; ++y) {
        const Rows r = rowsAround(scratch.data(), w, h, y);
        const size_t row = static_cast<size_t>(w) * static_cast<size_t>(y);
        for (int x = 0; x < w; ++x) {
            if (r.mid[x] > 0) continue;
            const int left = x > 0 ? x - 1 : x, right = x + 1 < w ? x + 1 : x;
            const float farthest = std::max(std::max(r.up[x], r.down[x]), std::max(r.mid[left], r.mid[right]));
            if (!(farthest > 0)) continue;
            planes.depth[row + x] = farthest;
            // The confidence of the neighbour the value came from.
            const size_t from = farthest == r.mid[left]    ? row + left
                                : farthest == r.mid[right] ? row + right
                                : farthest == r.up[x]      ? row - (y > 0 ? w : 0) + x
                                                           : row + (y + 1 < h ? w : 0) + x;
            planes.confidence[row + x] = planes.confidence[from];
        }
    }
}

void DepthFilterChain::apply(const DepthFilterSettings& s, double focalPx, const DepthPlaneSet& planes) {
    const size_t n = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height);
    if (n == 0) return;
    if (s.wrappedDistance) filterWrappedDistance(s, planes);
    if (s.flyingPixel) filterFlyingPixels(s, focalPx, planes, scratch);
    if (s.spatial) filterSpatial(s, planes, scratch);
    if (s.temporal) {
        filterTemporal(s, planes, history);
    } else {
        history.clear();
    }
    if (s.holeFilling) filterHoles(planes, scratch);
}

}  // namespace Velmora
