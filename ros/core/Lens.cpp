#include "Lens.h"

namespace Velmora {
namespace Ros {

CameraCalibration pinholeCalibration(const Intrinsics& lens) {
    CameraCalibration info;
    info.width = lens.width;
    info.height = lens.height;
    info.distortionModel = "plumb_bob";
    info.d.assign(5, 0.0);
    info.k = {lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1};
    info.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    info.p = {lens.fx, 0, lens.cx, 0, 0, lens.fy, lens.cy, 0, 0, 0, 1, 0};
    return info;
}

}  // namespace Ros
}  // namespace Velmora
