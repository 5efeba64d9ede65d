#include "FrameConversion.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace Velmora {
namespace Ros {

namespace {
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

inline bool validPixel(const DepthPlanes& planes, size_t i, float minConfidence) {
    const float d = planes.depth[i];
    // NaN compares false, so NaN depth or confidence is invalid too.
    return d > 0 && d < std::numeric_limits<float>::infinity() && planes.confidence[i] >= minConfidence;
}

// z in millimetres of pixel i, or a negative value where the pixel is invalid
// (also where no ray of the lens passes through it).
inline float axialMillimetres(const DepthPlanes& planes, const Ray* rays, size_t i, float minConfidence) {
    return validPixel(planes, i, minConfidence) && rays[i].zPerDistance > 0 ? planes.depth[i] * rays[i].zPerDistance
                                                                             : -1.0f;
}

// Each pixel's z once, into whichever outputs are given.
template <DepthEncoding Encoding>
void walk(const DepthPlanes& planes, const Ray* ray, float minConfidence, uint8_t* depth, PointXYZI* points) {
    const size_t n = static_cast<size_t>(planes.width) * planes.height;
    for (size_t i = 0; i < n; ++i) {
        const float z = axialMillimetres(planes, ray, i, minConfidence);
        if (depth && Encoding == DepthEncoding::Metres32F) {
            const float value = z < 0 ? kNaN : z * 0.001f;
            std::memcpy(depth + i * sizeof(float), &value, sizeof(float));
        } else if (depth) {
            // 0 means "no value"; a distance that does not fit is no value either.
            const float rounded = std::nearbyint(z);
            const uint16_t value = (z < 0 || rounded > 65535.0f) ? 0 : static_cast<uint16_t>(rounded);
            std::memcpy(depth + i * sizeof(uint16_t), &value, sizeof(uint16_t));
        }
        if (!points) continue;
        PointXYZI& p = points[i];
        p.intensity = planes.amplitude[i];
        if (z < 0) {
            p.x = p.y = p.z = kNaN;
            continue;
        }
        p.z = z * 0.001f;
        p.x = ray[i].x * p.z;
        p.y = ray[i].y * p.z;
    }
}
}  // namespace

const char* encodingName(DepthEncoding encoding) {
    return encoding == DepthEncoding::Millimetres16U ? "16UC1" : "32FC1";
}

size_t bytesPerPixel(DepthEncoding encoding) { return encoding == DepthEncoding::Millimetres16U ? 2 : 4; }

void convertFrame(const DepthPlanes& planes, const RayTable& rays, float minConfidence, DepthEncoding encoding,
                  uint8_t* depth, PointXYZI* points) {
    if (encoding == DepthEncoding::Metres32F)
        walk<DepthEncoding::Metres32F>(planes, rays.data(), minConfidence, depth, points);
    else
        walk<DepthEncoding::Millimetres16U>(planes, rays.data(), minConfidence, depth, points);
}

}  // namespace Ros
}  // namespace Velmora
