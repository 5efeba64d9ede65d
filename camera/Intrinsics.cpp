#include "VelmoraIntrinsics.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "Distortion.h"

namespace Velmora {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kVirtualHorizontalFovDeg = 70.0;

struct Model {
    const char* name;
    DistortionModel model;
    size_t coefficients;
    bool (*undistort)(const std::vector<double>&, double, double, double&, double&);
};
const Model kModels[] = {{"plumb_bob", DistortionModel::PlumbBob, 5, undistortPlumbBob},
                         {"rational_polynomial", DistortionModel::RationalPolynomial, 8, undistortRationalPolynomial},
                         {"equidistant", DistortionModel::Equidistant, 4, undistortEquidistant}};

const Model& modelOf(DistortionModel model) {
    for (const Model& m : kModels)
        if (m.model == model) return m;
    return kModels[0];
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
}
}  // namespace

const char* distortionModelName(DistortionModel model) { return modelOf(model).name; }

bool Intrinsics::valid() const {
    return width > 0 && height > 0 && fx > 0 && fy > 0 && std::isfinite(fx) && std::isfinite(fy) &&
           std::isfinite(cx) && std::isfinite(cy);
}

bool Intrinsics::operator==(const Intrinsics& other) const {
    return width == other.width && height == other.height && fx == other.fx && fy == other.fy && cx == other.cx &&
           cy == other.cy && model == other.model && coefficients == other.coefficients && nominal == other.nominal;
}

std::string intrinsicsFromCalibration(uint32_t width, uint32_t height, const double* k, const std::string& model,
                                      const std::vector<double>& d, Intrinsics& intrinsics) {
    const Model* found = model.empty() ? &kModels[0] : nullptr;
    for (const Model& m : kModels)
        if (model == m.name) found = &m;
    if (!found) return "distortion model '" + model + "' is not one of plumb_bob, rational_polynomial, equidistant";
    for (const auto& focal : {std::make_pair("fx", k[0]), std::make_pair("fy", k[4])})
        if (!(focal.second > 0) || !std::isfinite(focal.second))
            return std::string("focal length ") + focal.first + " " + number(focal.second) + " is not above 0";
    if (!std::isfinite(k[2]) || !std::isfinite(k[5])) return "the principal point (cx, cy) is not finite";
    if (d.size() > found->coefficients)
        return std::string(found->name) + " takes at most " + std::to_string(found->coefficients) +
               " coefficients, D holds " + std::to_string(d.size());
    for (double c : d)
        if (!std::isfinite(c)) return "D holds a coefficient that is not finite";
    Intrinsics next;
    next.width = width;
    next.height = height;
    next.fx = k[0];
    next.cx = k[2];
    next.fy = k[4];
    next.cy = k[5];
    next.model = found->model;
    next.coefficients = d;
    intrinsics = next;
    return "";
}

Intrinsics nominalIntrinsics(uint32_t width, uint32_t height) {
    Intrinsics lens;
    lens.width = width;
    lens.height = height;
    lens.fx = lens.fy = (width / 2.0) / std::tan(kVirtualHorizontalFovDeg / 2.0 * kPi / 180.0);
    lens.cx = (width - 1) / 2.0;
    lens.cy = (height - 1) / 2.0;
    lens.nominal = true;
    return lens;
}

RayTable::RayTable(const Intrinsics& intrinsics) : lens(intrinsics) {
    rays.assign(static_cast<size_t>(lens.width) * lens.height,
                Ray{std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN(), 0.0f});
    if (!lens.valid()) return;
    const Model& model = modelOf(lens.model);
    bool distorted = false;
    for (double k : lens.coefficients) distorted = distorted || k != 0;
    Ray* out = rays.data();
    for (uint32_t row = 0; row < lens.height; ++row) {
        for (uint32_t column = 0; column < lens.width; ++column, ++out) {
            double x = (column - lens.cx) / lens.fx;
            double y = (row - lens.cy) / lens.fy;
            if (distorted && !model.undistort(lens.coefficients, x, y, x, y)) continue;
            out->x = static_cast<float>(x);
            out->y = static_cast<float>(y);
            out->zPerDistance = static_cast<float>(1.0 / std::sqrt(x * x + y * y + 1.0));
        }
    }
}

void axialDepth(const float* distance, const RayTable& rays, float* z) {
    const Ray* ray = rays.data();
    for (size_t i = 0, n = rays.size(); i < n; ++i) z[i] = distance[i] > 0 ? distance[i] * ray[i].zPerDistance : 0.0f;
}

void pointCloud(const float* distance, const RayTable& rays, float* xyz) {
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    const Ray* ray = rays.data();
    for (size_t i = 0, n = rays.size(); i < n; ++i, xyz += 3) {
        const float z = distance[i] > 0 ? distance[i] * ray[i].zPerDistance : 0.0f;
        if (z > 0) {
            xyz[0] = ray[i].x * z;
            xyz[1] = ray[i].y * z;
            xyz[2] = z;
        } else {
            xyz[0] = xyz[1] = xyz[2] = kNaN;
        }
    }
}

}  // namespace Velmora
