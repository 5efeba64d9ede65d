#include "Lens.h"

#include <cmath>

namespace Velmora {
namespace Ros {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kVirtualHorizontalFovDeg = 70.0;

struct Coefficients {
    double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;
};

Coefficients coefficientsOf(const Lens& lens) {
    Coefficients c;
    const auto& d = lens.distortion;
    if (d.size() > 0) c.k1 = d[0];
    if (d.size() > 1) c.k2 = d[1];
    if (d.size() > 2) c.p1 = d[2];
    if (d.size() > 3) c.p2 = d[3];
    if (d.size() > 4) c.k3 = d[4];
    return c;
}

// Fixed-point inversion of the distortion; converges for the moderate
// distortion of depth-camera lenses.
void undistort(const Coefficients& c, double xd, double yd, double& x, double& y) {
    x = xd;
    y = yd;
    for (int i = 0; i < 20; ++i) {
        const double r2 = x * x + y * y;
        const double radial = 1 + r2 * (c.k1 + r2 * (c.k2 + r2 * c.k3));
        const double dx = 2 * c.p1 * x * y + c.p2 * (r2 + 2 * x * x);
        const double dy = c.p1 * (r2 + 2 * y * y) + 2 * c.p2 * x * y;
        x = (xd - dx) / radial;
        y = (yd - dy) / radial;
    }
}
}  // namespace

bool Lens::operator==(const Lens& other) const {
    return width == other.width && height == other.height && fx == other.fx && fy == other.fy && cx == other.cx &&
           cy == other.cy && distortion == other.distortion;
}

Lens virtualCameraLens(uint32_t width, uint32_t height) {
    Lens lens;
    lens.width = width;
    lens.height = height;
    lens.fx = lens.fy = (width / 2.0) / std::tan(kVirtualHorizontalFovDeg / 2.0 * kPi / 180.0);
    lens.cx = (width - 1) / 2.0;
    lens.cy = (height - 1) / 2.0;
    return lens;
}

RayTable::RayTable(const Lens& lens) : lensUsed(lens) {
    if (!lens.valid()) return;
    const Coefficients c = coefficientsOf(lens);
    bool distorted = false;
    for (double k : lens.distortion) distorted = distorted || k != 0;
    rays.resize(static_cast<size_t>(lens.width) * lens.height);
    Ray* out = rays.data();
    for (uint32_t row = 0; row < lens.height; ++row) {
        for (uint32_t column = 0; column < lens.width; ++column, ++out) {
            double x = (column - lens.cx) / lens.fx;
            double y = (row - lens.cy) / lens.fy;
            if (distorted) undistort(c, x, y, x, y);
            out->x = static_cast<float>(x);
            out->y = static_cast<float>(y);
            out->zPerDistance = static_cast<float>(1.0 / std::sqrt(x * x + y * y + 1.0));
        }
    }
}

}  // namespace Ros
}  // namespace Velmora
