#include "Distortion.h"

#include <cmath>

namespace Velmora {

namespace {
constexpr double kHalfPi = 1.57079632679489661923;
// Squared residual, in normalised units, at which a solution is taken: far
// below a thousandth of a pixel for any focal length.
constexpr double kConverged = 1e-22;
constexpr int kIterations = 50;

double coefficient(const std::vector<double>& d, size_t i) { return i < d.size() ? d[i] : 0.0; }
}  // namespace

bool undistortPlumbBob(const std::vector<double>& d, double xd, double yd, double& x, double& y) {
    // The rational model without a denominator.
    std::vector<double> k(d);
    if (k.size() > 5) k.resize(5);
    return undistortRationalPolynomial(k, xd, yd, x, y);
}

bool undistortRationalPolynomial(const std::vector<double>& d, double xd, double yd, double& x, double& y) {
    double k[8];
    for (size_t i = 0; i < 8; ++i) k[i] = coefficient(d, i);
    // The image of (px, py); false where the model folds over (radial factor not above 0).
    auto distort = [&](double px, double py, double& u, double& v) {
        const double r2 = px * px + py * py;
        const double radial =
            (1 + r2 * (k[0] + r2 * (k[1] + r2 * k[4]))) / (1 + r2 * (k[5] + r2 * (k[6] + r2 * k[7])));
        u = px * radial + 2 * k[2] * px * py + k[3] * (r2 + 2 * px * px);
        v = py * radial + k[2] * (r2 + 2 * py * py) + 2 * k[3] * px * py;
        return radial > 0 && std::isfinite(radial);
    };
    // Newton's method on both coordinates, the Jacobian by differences.
    x = xd;
    y = yd;
    for (int i = 0; i < kIterations; ++i) {
        double u, v;
        if (!distort(x, y, u, v)) return false;
        const double eu = u - xd, ev = v - yd;
        if (eu * eu + ev * ev < kConverged) return true;
        const double h = 1e-7;
        double ux, vx, uy, vy;
        if (!distort(x + h, y, ux, vx) || !distort(x, y + h, uy, vy)) return false;
        const double a = (ux - u) / h, b = (uy - u) / h, c = (vx - v) / h, e = (vy - v) / h;
        const double det = a * e - b * c;
        if (!(std::fabs(det) > 1e-12)) return false;
        x -= (e * eu - b * ev) / det;
        y -= (a * ev - c * eu) / det;
    }
    return false;
}

bool undistortEquidistant(const std::vector<double>& d, double xd, double yd, double& x, double& y) {
    const double k1 = coefficient(d, 0), k2 = coefficient(d, 1), k3 = coefficient(d, 2), k4 = coefficient(d, 3);
    const double distorted = std::sqrt(xd * xd + yd * yd);  // the distorted angle from the axis
    if (distorted == 0) {
        x = y = 0;
        return true;
    }
    // Newton's method for the angle whose distorted value this is.
    double theta = distorted;
    for (int i = 0; i < kIterations; ++i) {
        const double t2 = theta * theta;
        const double error = theta * (1 + t2 * (k1 + t2 * (k2 + t2 * (k3 + t2 * k4)))) - distorted;
        if (error * error < kConverged) {
            // Rays at 90 degrees and beyond have no point in front of the camera.
            if (!(theta >= 0 && theta < kHalfPi)) return false;
            const double scale = std::tan(theta) / distorted;
            x = xd * scale;
            y = yd * scale;
            return true;
        }
        const double slope = 1 + t2 * (3 * k1 + t2 * (5 * k2 + t2 * (7 * k3 + t2 * 9 * k4)));
        if (!(slope > 0)) return false;
        theta -= error / slope;
    }
    return false;
}

}  // namespace Velmora
