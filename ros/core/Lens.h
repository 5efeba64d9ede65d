#pragma once
// The camera's lens as a pinhole with one of the distortion models
// calibrations carry, and the per-pixel rays that turn the camera's radial
// distances into points.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Velmora {
namespace Ros {

enum class DistortionModel { PlumbBob, RationalPolynomial, Equidistant };

struct Lens {
    uint32_t width = 0;
    uint32_t height = 0;
    double fx = 0, fy = 0, cx = 0, cy = 0;
    DistortionModel model = DistortionModel::PlumbBob;
    // The model's coefficients in camera_info's order; missing ones are 0.
    std::vector<double> distortion;

    bool valid() const;
    bool operator==(const Lens& other) const;
    bool operator!=(const Lens& other) const { return !(*this == other); }
};

// The lens of a calibration as camera_info carries it (`k` the 3 x 3 matrix K
// row by row, the distortion model's name and D), or the reason the node
// cannot apply it: a focal length not above 0, values that are not finite, a
// model other than plumb_bob (also for an empty name), rational_polynomial and
// equidistant, or more coefficients than the model has.
std::string lensFromCalibration(uint32_t width, uint32_t height, const double* k, const std::string& model,
                                const std::vector<double>& d, Lens& lens);

// The virtual camera renders through an ideal pinhole with a 70 degree
// horizontal field of view, square pixels and the principal point in the
// middle of the image.
Lens virtualCameraLens(uint32_t width, uint32_t height);

// A calibration as camera_info carries it (K, R and P row by row).
struct CameraCalibration {
    uint32_t width = 0;
    uint32_t height = 0;
    std::string distortionModel;
    std::vector<double> d;
    std::array<double, 9> k{};
    std::array<double, 9> r{};
    std::array<double, 12> p{};
};

// What camera_info says of an undistorted lens: plumb_bob with zero D, no
// rectification, P the pinhole's K.
CameraCalibration pinholeCalibration(const Lens& lens);

// Normalised image coordinates (x / z, y / z) of the ray through a pixel
// centre, with the lens distortion removed. A pixel no ray in front of the
// camera maps to (or any pixel of a lens that is not valid) has x and y NaN
// and zPerDistance 0: its depth is invalid.
struct Ray {
    float x;
    float y;
    float zPerDistance;  // z of the point one unit along the ray: 1 / |(x, y, 1)|
};

class RayTable {
public:
    RayTable() = default;
    explicit RayTable(const Lens& lens);
    const Lens& lens() const { return lensUsed; }
    const Ray* data() const { return rays.data(); }
    size_t size() const { return rays.size(); }

private:
    Lens lensUsed;
    std::vector<Ray> rays;
};

}  // namespace Ros
}  // namespace Velmora
