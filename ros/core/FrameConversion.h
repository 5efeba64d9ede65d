#pragma once
// Frames of the camera turned into the contents of image and point-cloud
// messages. Depth images follow the robot convention: distance along the
// optical axis, in metres (NaN where invalid) or whole millimetres (0 where
// invalid); the camera itself measures along each pixel's ray.

#include <cstddef>
#include <cstdint>
#include <string>

#include "Lens.h"

namespace Velmora {
namespace Ros {

// The three planes of one depth frame, as the camera delivers them
// (depth in millimetres along each pixel's ray).
struct DepthPlanes {
    uint32_t width = 0;
    uint32_t height = 0;
    const float* depth = nullptr;
    const float* amplitude = nullptr;
    const float* confidence = nullptr;
};

enum class DepthEncoding { Metres32F, Millimetres16U };

// "32FC1" or "16UC1", the image encodings the messages carry.
const char* encodingName(DepthEncoding encoding);
size_t bytesPerPixel(DepthEncoding encoding);

// One point of an organised cloud: x, y, z in metres, then the amplitude.
struct PointXYZI {
    float x;
    float y;
    float z;
    float intensity;
};
static_assert(sizeof(PointXYZI) == 16, "points are four packed floats");

// The depth image (`depth`, in `encoding`) and the organised point cloud
// (`points`: one point per pixel in row-major order, x, y, z NaN where
// invalid) of one frame, in one walk over it; either output may be null. A
// pixel is valid when its depth is finite and above 0 and its confidence at
// least `minConfidence`. `rays` must be built for the planes' size.
void convertFrame(const DepthPlanes& planes, const RayTable& rays, float minConfidence, DepthEncoding encoding,
                  uint8_t* depth, PointXYZI* points);

}  // namespace Ros
}  // namespace Velmora
