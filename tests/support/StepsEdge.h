#pragma once
// What a pixel on the right edge of the 1600 mm box of the `steps` scene must
// collect, from the two planes it straddles (the box's front face, 0.62 of
// the focal length right of the axis, reflectivity 0.9; the wall at 3000 mm,
// 0.8), its N x N rays and the nominal lens.

#include <cmath>
#include <complex>

#include "VelmoraScene.h"

namespace VelmoraTest {

struct EdgeMix {
    double boxShare = 0;  // rays on the box
    double phase = 0;     // radians in [0, 2 pi) of the mean phasor at the range
};

inline EdgeMix stepsEdgeMix(int width, int height, int x, int y, int n, double rangeMm) {
    const double pi = std::acos(-1.0);
    const double focal = (width / 2.0) / std::tan(35.0 * pi / 180.0);
    std::complex<double> sum;
    EdgeMix mix;
    for (int j = 0; j < n; ++j) {
        for (int k = 0; k < n; ++k) {
            const double u = (x - 0.5 + (k + 0.5) / n - (width - 1) / 2.0) / focal;
            const double v = (y - 0.5 + (j + 0.5) / n - (height - 1) / 2.0) / focal;
            const double norm = std::sqrt(u * u + v * v + 1);
            const bool box = u <= 0.62;
            const double d = (box ? 1600.0 : 3000.0) * norm;
            mix.boxShare += box ? 1.0 / (n * n) : 0.0;
            sum += std::polar(VelmoraSim::amplitudeForDistance(d, box ? 0.9 : 0.8), 2 * pi * d / rangeMm);
        }
    }
    mix.phase = std::arg(sum) < 0 ? std::arg(sum) + 2 * pi : std::arg(sum);
    return mix;
}

// Circular distance of two phases, radians.
inline double phaseGap(double a, double b) {
    const double twoPi = 2 * std::acos(-1.0);
    const double d = std::fabs(std::fmod(a - b, twoPi));
    return std::fmin(d, twoPi - d);
}

}  // namespace VelmoraTest
