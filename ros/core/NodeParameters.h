#pragma once
// The node's parameters, independent of the robot middleware: read through a
// small source interface, checked, and split into what is fixed at start and
// what may change while the camera streams.

#include <string>
#include <vector>

#include "FrameConversion.h"
#include "VelmoraDepthFilters.h"
#include "VelmoraTypes.h"

namespace Velmora {
namespace Ros {

enum class StreamOutput { Depth, Raw };
enum class FrequencyMode { CameraDefault, Single, Double };

// What may change at run time.
struct CameraSettings {
    int range = 0;  // millimetres, 2000 or 4000; 0 leaves the camera's own
    FrequencyMode mode = FrequencyMode::CameraDefault;
    int frameRate = 0;  // frames per second; 0 leaves the camera's own
    bool autoFrameRate = true;
    int exposure = 0;  // 0 leaves the camera's own
    int skipFrame = 0;
    int skipFrameLoop = 1;
    double minConfidence = 0.0;
    // Parameters named as the library names the settings (flying_pixel, spatial_edge_mm, ...).
    DepthFilterSettings filters;

    bool operator==(const CameraSettings& other) const;
    bool operator!=(const CameraSettings& other) const { return !(*this == other); }
};

struct NodeParameters {
    Connection connection = Connection::USB;
    int index = 0;
    std::string config;  // a virtual camera configuration file; USB only
    StreamOutput output = StreamOutput::Depth;
    DepthEncoding depthEncoding = DepthEncoding::Metres32F;
    std::string frameId = "camera_depth_optical_frame";
    std::string linkFrameId = "camera_link";
    std::string cameraInfoUrl;
    bool publishPoints = true;
    double stallTimeout = 2.0;  // seconds without a frame before the camera is reopened
    CameraSettings settings;
};

// Where parameters come from: each getter leaves `value` alone and returns
// false when the parameter is not set, and reports a value of the wrong type
// in `typeError`.
class ParameterSource {
public:
    virtual ~ParameterSource() = default;
    virtual bool getString(const std::string& name, std::string& value, std::string& typeError) = 0;
    virtual bool getInt(const std::string& name, int& value, std::string& typeError) = 0;
    virtual bool getDouble(const std::string& name, double& value, std::string& typeError) = 0;
    virtual bool getBool(const std::string& name, bool& value, std::string& typeError) = 0;
};

// Reads every parameter that is set into `params` (which holds the defaults
// on entry). Returns one message per bad parameter; empty means all good.
std::vector<std::string> readParameters(ParameterSource& source, NodeParameters& params);

// Checks the rules that hold for the settings alone, whatever the camera is.
// Returns the reason a value is refused, or an empty text.
std::string checkSettings(const CameraSettings& settings);
// The same rules one setting at a time.
std::string checkRange(int range);
std::string checkNotNegative(const char* name, int value);
std::string checkSkipRule(int skipFrame, int skipFrameLoop);
std::string checkMinConfidence(double minConfidence);

const char* modeName(FrequencyMode mode);             // "", "single", "double"
bool parseMode(const std::string& text, FrequencyMode& mode);

}  // namespace Ros
}  // namespace Velmora
