#pragma once
// The camera's lens as a pinhole with optional plumb-bob distortion, and the
// per-pixel rays that turn the camera's radial distances into points.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Velmora {
namespace Ros {

struct Lens {
    uint32_t width = 0;
    uint32_t height = 0;
    double fx = 0, fy = 0, cx = 0, cy = 0;
    // Empty, or plumb-bob k1, k2, p1, p2[, k3]; other models are not undistorted.
    std::vector<double> distortion;

    bool valid() const { return width > 0 && height > 0 && fx > 0 && fy > 0; }
    bool operator==(const Lens& other) const;
    bool operator!=(const Lens& other) const { return !(*this == other); }
};

// The virtual camera renders through an ideal pinhole with a 70 degree
// horizontal field of view, square pixels and the principal point in the
// middle of the image.
Lens virtualCameraLens(uint32_t width, uint32_t height);

// Normalised image coordinates (x / z, y / z) of the ray through a pixel
// centre, with the lens distortion removed.
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
