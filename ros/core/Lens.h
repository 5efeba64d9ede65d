#pragma once
// What camera_info says of the camera's lens.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "VelmoraIntrinsics.h"

namespace Velmora {
namespace Ros {

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
CameraCalibration pinholeCalibration(const Intrinsics& lens);

}  // namespace Ros
}  // namespace Velmora
