// Depth filters on the capture thread: their settings, their order, the
// picture borders, and the pick of the row loops' form (DepthFilterRows.inl).

#include "DepthFilters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "DepthFilterKernels.h"
#include "DepthFilterPixels.h"

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
        value("flying_pixel_faint_amplitude", &S::flyingPixelFaintAmplitude, 0, 1),
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

const std::vector<DepthFilterForm>& depthFilterForms() {
    static const std::vector<DepthFilterForm> forms = [] {
        std::vector<DepthFilterForm> list;
#if defined(__x86_64__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) list.push_back({"avx512", &depthFilterKernelsAvx512});
        if (__builtin_cpu_supports("avx2")) list.push_back({"avx2", &depthFilterKernelsAvx2});
        list.push_back({"sse2", &depthFilterKernelsBaseline});
#elif defined(__aarch64__)
        list.push_back({"neon", &depthFilterKernelsBaseline});
#endif
        list.push_back({"scalar", &depthFilterKernelsScalar});
        return list;
    }();
    return forms;
}

namespace {

const DepthFilterKernels& pick(const DepthFilterKernels* kernels) {
    return kernels ? *kernels : *depthFilterForms().front().kernels;
}

// A 3 x 3 filter over the plane: interior columns by the form's row loop,
// the first and last column by the scalar pixel on clamped neighbours.
template <typename Row, typename Pixel>
void neighbourhood(const float* in, float* out, int w, int h, Row row, Pixel pixel) {
    for (int y = 0; y < h; ++y) {
        const Rows r = rowsAround(in, w, h, y);
        float* line = out + static_cast<size_t>(w) * static_cast<size_t>(y);
        row(r, line);
        for (int x : {0, w - 1}) {
            const int left = std::max(x - 1, 0), right = std::min(x + 1, w - 1);
            const float around[8] = {r.up[left],   r.up[x],   r.up[right],   r.mid[left],
                                     r.mid[right], r.down[left], r.down[x], r.down[right]};
            line[x] = pixel(r.mid[x], around);
        }
    }
}

// Confidence follows depth: 0 where a filter took the value away.
void clearConfidence(const DepthPlaneSet& planes, const float* before) {
    const size_t n = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height);
    for (size_t i = 0; i < n; ++i)
        if (planes.depth[i] == 0 && before[i] != 0) planes.confidence[i] = 0.0f;
}

}  // namespace

void filterWrappedDistance(const DepthFilterSettings& s, const DepthPlaneSet& planes,
                           const DepthFilterKernels* kernels) {
    const size_t n = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height);
    pick(kernels).wrappedRun(planes.depth, planes.amplitude, n, s.wrappedMinReflectivity * s.wrappedWhiteAmplitude,
                             1.0f / s.wrappedFalloffMm);
    // Invalid pixels have confidence 0 already: only those just taken change.
    for (size_t i = 0; i < n; ++i)
        if (planes.depth[i] == 0) planes.confidence[i] = 0.0f;
}

void filterFlyingPixels(const DepthFilterSettings& s, double focalPx, const DepthPlaneSet& planes,
                        std::vector<float>& scratch, const DepthFilterKernels* kernels) {
    const int w = planes.width, h = planes.height;
    if (w < 3 || h < 3 || !(focalPx > 0)) return;
    // Over one pixel a surface inclined by the largest incidence changes
    // distance by (distance / focal length) x tan(incidence).
    const float inclined = static_cast<float>(std::tan(s.flyingPixelMaxIncidenceDeg * kPi / 180.0) / focalPx);
    const float relative = s.flyingPixelRelativeStep;
    const float minStep = s.flyingPixelMinStepMm;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    scratch.assign(planes.depth, planes.depth + n);
    const DepthFilterKernels& k = pick(kernels);
    // Rows and columns at the border have no opposite neighbours: they stay.
    for (int y = 1; y + 1 < h; ++y) {
        const Rows r = rowsAround(scratch.data(), w, h, y);
        const Rows a = rowsAround(planes.amplitude, w, h, y);
        k.flyingRow(r.up, r.mid, r.down, a.up, a.mid, a.down,
                    planes.depth + static_cast<size_t>(w) * static_cast<size_t>(y), w, minStep, relative, inclined,
                    s.flyingPixelFaintAmplitude);
    }
    clearConfidence(planes, scratch.data());
}

void filterSpatial(const DepthFilterSettings& s, const DepthPlaneSet& planes, std::vector<float>& scratch,
                   const DepthFilterKernels* kernels) {
    const int w = planes.width, h = planes.height;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    if (n == 0) return;
    scratch.assign(planes.depth, planes.depth + n);
    const float edge = s.spatialEdgeMm, relative = s.spatialRelativeEdge;
    const DepthFilterKernels& k = pick(kernels);
    neighbourhood(
        scratch.data(), planes.depth, w, h,
        [&](const Rows& r, float* out) { k.spatialRow(r.up, r.mid, r.down, out, w, edge, relative); },
        [&](float d, const float(&around)[8]) { return DepthFilterPixels::spatial(d, around, edge, relative); });
}

void filterTemporal(const DepthFilterSettings& s, const DepthPlaneSet& planes, std::vector<float>& history,
                    const DepthFilterKernels* kernels) {
    const size_t n = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height);
    if (history.size() != n) history.assign(n, 0.0f);
    pick(kernels).temporalRun(planes.depth, history.data(), n, s.temporalAlpha, s.temporalEdgeMm,
                              s.temporalRelativeEdge);
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
    const DepthFilterKernels* k = kernels;
    const size_t n = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height);
    if (n == 0) return;
    if (s.wrappedDistance) filterWrappedDistance(s, planes, k);
    if (s.flyingPixel) filterFlyingPixels(s, focalPx, planes, scratch, k);
    if (s.spatial) filterSpatial(s, planes, scratch, k);
    if (s.temporal) {
        filterTemporal(s, planes, history, k);
    } else {
        history.clear();
    }
    if (s.holeFilling) filterHoles(planes, scratch);
}

}  // namespace Velmora
