#include "Calibration.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace Velmora {
namespace Ros {

namespace {
template <size_t N>
bool readMatrix(const YAML::Node& root, const char* key, std::array<double, N>& out) {
    // Missing keys give invalid nodes, which throw when asked their type.
    const YAML::Node matrix = root[key];
    if (!matrix.IsDefined() || !matrix.IsMap()) return false;
    const YAML::Node data = matrix["data"];
    if (!data.IsDefined() || !data.IsSequence() || data.size() != N) return false;
    for (size_t i = 0; i < N; ++i) out[i] = data[i].as<double>();
    return true;
}
}  // namespace

std::string loadCalibration(const std::string& url, CameraCalibration& out) {
    std::string path = url;
    if (path.compare(0, 7, "file://") == 0) {
        path.erase(0, 7);
    } else if (path.find("://") != std::string::npos) {
        return "'" + url + "' is not a file:// URL or a path";
    }
    std::ifstream file(path);
    if (!file) return "cannot read '" + path + "': " + std::strerror(errno);
    try {
        const YAML::Node root = YAML::Load(file);
        CameraCalibration c;
        c.width = root["image_width"].as<uint32_t>();
        c.height = root["image_height"].as<uint32_t>();
        c.distortionModel = root["distortion_model"] ? root["distortion_model"].as<std::string>() : "plumb_bob";
        if (root["distortion_coefficients"]) c.d = root["distortion_coefficients"]["data"].as<std::vector<double>>();
        c.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        if (!readMatrix(root, "camera_matrix", c.k) ||
            (root["rectification_matrix"] && !readMatrix(root, "rectification_matrix", c.r)))
            return "'" + path + "': a matrix lacks its data or has the wrong size";
        if (!readMatrix(root, "projection_matrix", c.p))
            c.p = {c.k[0], c.k[1], c.k[2], 0, c.k[3], c.k[4], c.k[5], 0, 0, 0, 1, 0};
        if (c.width == 0 || c.height == 0) return "'" + path + "': no image size";
        // The checks the ROS 1 node applies to a calibration.
        Intrinsics lens;
        const std::string refused = intrinsicsFromCalibration(c.width, c.height, c.k.data(), c.distortionModel, c.d, lens);
        if (!refused.empty()) return "'" + path + "': " + refused;
        out = c;
    } catch (const YAML::Exception& e) {
        return "'" + path + "': " + e.what();
    }
    return "";
}

CameraCalibration cameraInfoFor(const CameraCalibration* calibration, uint32_t width, uint32_t height, Intrinsics& lens,
                                std::string& note) {
    lens = nominalIntrinsics(width, height);
    note.clear();
    if (calibration && calibration->width == width && calibration->height == height &&
        intrinsicsFromCalibration(width, height, calibration->k.data(), calibration->distortionModel, calibration->d, lens)
            .empty())
        return *calibration;
    if (calibration)
        note = "the calibration is for " + std::to_string(calibration->width) + "x" +
               std::to_string(calibration->height) + ", frames are " + std::to_string(width) + "x" +
               std::to_string(height) + "; using the virtual camera's lens";
    return pinholeCalibration(lens);
}

}  // namespace Ros
}  // namespace Velmora
