#pragma once
// The camera's calibration as ROS tools store it (the YAML of ROS's camera
// calibration, named by camera_info_url as file:///path or a plain path), and
// the camera info and lens for frames of a given size.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Lens.h"

namespace Velmora {
namespace Ros {

// Returns the reason the calibration cannot be used (what the ROS 1 node
// refuses included), or an empty text.
std::string loadCalibration(const std::string& url, CameraCalibration& out);

// The camera info of frames of `width` x `height` and, in `lens`, the lens
// their points use: the calibration where it is for that size, else the
// virtual camera's. `note` says why a calibration was set aside, and is
// empty otherwise.
CameraCalibration cameraInfoFor(const CameraCalibration* calibration, uint32_t width, uint32_t height, Intrinsics& lens,
                                std::string& note);

}  // namespace Ros
}  // namespace Velmora
