#pragma once
// Lens distortion removed, one function per model that calibrations carry
// (camera_info's distortion_model and D). Each takes normalised distorted image
// coordinates (xd, yd) = ((u - cx) / fx, (v - cy) / fy) and gives the
// normalised ray (x, y) = (X / Z, Y / Z) whose image they are; missing
// coefficients count as 0. False where no ray in front of the camera maps there.

#include <vector>

namespace Velmora {

// k1, k2, p1, p2, k3.
bool undistortPlumbBob(const std::vector<double>& d, double xd, double yd, double& x, double& y);
// OpenCV's rational model: k1, k2, p1, p2, k3, k4, k5, k6.
bool undistortRationalPolynomial(const std::vector<double>& d, double xd, double yd, double& x, double& y);
// The fisheye (equidistant) model: k1, k2, k3, k4 on the angle from the axis.
bool undistortEquidistant(const std::vector<double>& d, double xd, double yd, double& x, double& y);

}  // namespace Velmora
