#pragma once
// The camera's lens: a pinhole with one of the distortion models calibrations
// carry, and what it gives a depth frame. The camera measures the distance
// along each pixel's ray; the rays turn it into z (along the optical axis)
// and into points. Coordinates are millimetres in the camera frame: x to the
// right of the image, y down, z away from the camera; pixel centres sit at
// whole column and row numbers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VelmoraTypes.h"

namespace Velmora {

enum class DistortionModel { PlumbBob, RationalPolynomial, Equidistant };

// "plumb_bob", "rational_polynomial" or "equidistant", as calibration files name them.
VELMORA_EXPORT const char* distortionModelName(DistortionModel model);

struct VELMORA_EXPORT Intrinsics {
    uint32_t width = 0;
    uint32_t height = 0;
    double fx = 0, fy = 0, cx = 0, cy = 0;
    DistortionModel model = DistortionModel::PlumbBob;
    // The model's coefficients in calibration order (plumb_bob: k1 k2 p1 p2
    // k3; rational_polynomial: those and k4 k5 k6; equidistant: k1 to k4);
    // missing ones are 0.
    std::vector<double> coefficients;
    // True for a lens the camera assumes rather than one measured: the
    // virtual camera's, or a camera's before a calibration is loaded.
    bool nominal = false;

    bool valid() const;
    bool operator==(const Intrinsics& other) const;
    bool operator!=(const Intrinsics& other) const { return !(*this == other); }
};

// Intrinsics from a calibration (`k` the 3 x 3 matrix K row by row, the
// distortion model's name and its coefficients), or the reason they cannot
// be used: a focal length not above 0, values that are not finite, a model
// other than plumb_bob (also for an empty name), rational_polynomial and
// equidistant, or more coefficients than the model has.
VELMORA_EXPORT std::string intrinsicsFromCalibration(uint32_t width, uint32_t height, const double* k,
                                                     const std::string& model, const std::vector<double>& d,
                                                     Intrinsics& intrinsics);

// The virtual camera's lens, marked nominal: an ideal pinhole with a 70 degree
// horizontal field of view, square pixels and the principal point in the
// middle of the image.
VELMORA_EXPORT Intrinsics nominalIntrinsics(uint32_t width, uint32_t height);

// Reads a camera calibration file in the YAML that ROS camera_info files and
// OpenCV's calibration output use (image_width, image_height, camera_matrix,
// distortion_model, distortion_coefficients; an OpenCV file without a model
// name is taken as plumb_bob, or rational_polynomial with 8 coefficients).
// Returns "" and fills `intrinsics`, or the reason the file cannot be used.
VELMORA_EXPORT std::string loadCalibrationFile(const std::string& path, Intrinsics& intrinsics);

// Normalised image coordinates (x / z, y / z) of the ray through a pixel
// centre, with the lens distortion removed. A pixel no ray in front of the
// camera maps to (or any pixel of a lens that is not valid) has x and y NaN
// and zPerDistance 0: its depth is invalid.
struct Ray {
    float x;
    float y;
    float zPerDistance;  // z of the point one unit along the ray: 1 / |(x, y, 1)|
};

// The rays of every pixel of one lens, row by row. Built once per lens: the
// distortion models are solved iteratively.
class VELMORA_EXPORT RayTable {
public:
    RayTable() = default;
    explicit RayTable(const Intrinsics& intrinsics);
    const Intrinsics& intrinsics() const { return lens; }
    const Ray* data() const { return rays.data(); }
    size_t size() const { return rays.size(); }

private:
    Intrinsics lens;
    std::vector<Ray> rays;
};

// Distance along each pixel's ray (millimetres, 0 where invalid) to z along
// the optical axis, 0 where invalid. `distance` and `z` hold rays.size() values.
VELMORA_EXPORT void axialDepth(const float* distance, const RayTable& rays, float* z);
// Distance along each pixel's ray to an organised cloud: x, y, z per pixel,
// row by row (3 * rays.size() values), NaN where invalid.
VELMORA_EXPORT void pointCloud(const float* distance, const RayTable& rays, float* xyz);

}  // namespace Velmora
