#include "NodeParameters.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace Velmora {
namespace Ros {

namespace {
std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Reads one parameter with `get`, collecting type errors.
template <typename T, typename Getter>
bool read(Getter get, const std::string& name, T& value, std::vector<std::string>& errors) {
    std::string typeError;
    const bool found = get(name, value, typeError);
    if (!typeError.empty()) errors.push_back("parameter '" + name + "': " + typeError);
    return found;
}

// A file parameter must name a readable file now: the camera would only retry
// opening it. A launched node runs in ROS_HOME, so a relative path says where.
void checkReadable(const std::string& name, const std::string& path, std::vector<std::string>& errors) {
    std::ifstream file(path);
    if (file) return;
    const int error = errno;
    std::string where;
    if (path.front() != '/') {
        std::error_code ignored;
        where = " (relative to " + std::filesystem::current_path(ignored).string() + ")";
    }
    errors.push_back("parameter '" + name + "': cannot open '" + path + "'" + where + ": " + std::strerror(error));
}

// A text parameter that takes one of a few words.
template <typename E>
void readChoice(ParameterSource& source, const std::string& name,
                const std::vector<std::pair<std::string, E>>& choices, E& value, std::vector<std::string>& errors) {
    std::string text;
    if (!read(
            [&](const std::string& n, std::string& v, std::string& e) { return source.getString(n, v, e); }, name,
            text, errors))
        return;
    for (const auto& choice : choices) {
        if (lower(text) == lower(choice.first)) {
            value = choice.second;
            return;
        }
    }
    std::string expected;
    for (const auto& choice : choices) expected += (expected.empty() ? "" : ", ") + choice.first;
    errors.push_back("parameter '" + name + "': '" + text + "' is not one of " + expected);
}
}  // namespace

bool CameraSettings::operator==(const CameraSettings& o) const {
    return range == o.range && mode == o.mode && frameRate == o.frameRate && autoFrameRate == o.autoFrameRate &&
           exposure == o.exposure && skipFrame == o.skipFrame && skipFrameLoop == o.skipFrameLoop &&
           minConfidence == o.minConfidence && filters == o.filters;
}

const char* modeName(FrequencyMode mode) {
    switch (mode) {
    case FrequencyMode::Single:
        return "single";
    case FrequencyMode::Double:
        return "double";
    default:
        return "";
    }
}

bool parseMode(const std::string& text, FrequencyMode& mode) {
    const std::string t = lower(text);
    if (t.empty()) {
        mode = FrequencyMode::CameraDefault;
    } else if (t == "single") {
        mode = FrequencyMode::Single;
    } else if (t == "double") {
        mode = FrequencyMode::Double;
    } else {
        return false;
    }
    return true;
}

std::string checkRange(int range) {
    if (range != 0 && range != 2000 && range != 4000)
        return "range " + std::to_string(range) + " is not 2000 or 4000 (millimetres)";
    return "";
}

std::string checkNotNegative(const char* name, int value) {
    return value < 0 ? std::string(name) + " " + std::to_string(value) + " is negative" : "";
}

std::string checkSkipRule(int skipFrame, int skipFrameLoop) {
    if (skipFrameLoop < 1 || skipFrameLoop > 255)
        return "skip_frame_loop " + std::to_string(skipFrameLoop) + " is not within 1 to 255";
    // Skipping all frames of the loop would deliver nothing: a camera that looks dead.
    if (skipFrame < 0 || skipFrame >= skipFrameLoop)
        return "skip_frame " + std::to_string(skipFrame) + " is not within 0 to skip_frame_loop - 1 (" +
               std::to_string(skipFrameLoop - 1) + ")";
    return "";
}

std::string checkMinConfidence(double minConfidence) {
    return std::isfinite(minConfidence) ? "" : "min_confidence is not a number";
}

std::string checkSettings(const CameraSettings& s) {
    for (const std::string& refused :
         {checkRange(s.range), checkNotNegative("frame_rate", s.frameRate), checkNotNegative("exposure", s.exposure),
          checkSkipRule(s.skipFrame, s.skipFrameLoop), checkMinConfidence(s.minConfidence), s.filters.problem()})
        if (!refused.empty()) return refused;
    return "";
}

std::vector<std::string> readParameters(ParameterSource& source, NodeParameters& p) {
    std::vector<std::string> errors;
    auto text = [&](const std::string& name, std::string& value) {
        return read([&](const std::string& n, std::string& v, std::string& e) { return source.getString(n, v, e); },
                    name, value, errors);
    };
    auto integer = [&](const std::string& name, int& value) {
        return read([&](const std::string& n, int& v, std::string& e) { return source.getInt(n, v, e); }, name,
                    value, errors);
    };
    auto real = [&](const std::string& name, double& value) {
        return read([&](const std::string& n, double& v, std::string& e) { return source.getDouble(n, v, e); },
                    name, value, errors);
    };
    auto flag = [&](const std::string& name, bool& value) {
        return read([&](const std::string& n, bool& v, std::string& e) { return source.getBool(n, v, e); }, name,
                    value, errors);
    };

    readChoice<Connection>(source, "connection", {{"usb", Connection::USB}, {"csi", Connection::CSI}}, p.connection,
                           errors);
    if (integer("index", p.index) && p.index < 0)
        errors.push_back("parameter 'index': " + std::to_string(p.index) + " is negative");
    text("config", p.config);
    if (!p.config.empty() && p.connection != Connection::USB)
        errors.push_back("parameter 'config': a configuration file needs connection usb");
    else if (!p.config.empty())
        checkReadable("config", p.config, errors);
    readChoice<StreamOutput>(source, "output", {{"depth", StreamOutput::Depth}, {"raw", StreamOutput::Raw}}, p.output,
                             errors);
    readChoice<DepthEncoding>(source, "depth_encoding",
                              {{"32FC1", DepthEncoding::Metres32F}, {"16UC1", DepthEncoding::Millimetres16U}},
                              p.depthEncoding, errors);
    // Frames name the transform tree's nodes: an empty one, or a frame its own parent, breaks it.
    for (const auto& frame : {std::make_pair("frame_id", &p.frameId), std::make_pair("link_frame_id", &p.linkFrameId)})
        if (text(frame.first, *frame.second) && frame.second->empty())
            errors.push_back(std::string("parameter '") + frame.first + "': a frame needs a name");
    if (p.frameId == p.linkFrameId && !p.frameId.empty())
        errors.push_back("parameters 'frame_id' and 'link_frame_id': both name '" + p.frameId + "'");
    text("camera_info_url", p.cameraInfoUrl);
    flag("publish_points", p.publishPoints);
    if (real("stall_timeout", p.stallTimeout) && !(p.stallTimeout > 0 && p.stallTimeout <= 3600))
        errors.push_back("parameter 'stall_timeout': must lie above 0 and at most 3600 seconds");

    CameraSettings& s = p.settings;
    integer("range", s.range);
    std::string mode;
    if (text("mode", mode) && !parseMode(mode, s.mode))
        errors.push_back("parameter 'mode': '" + mode + "' is not one of single, double");
    integer("frame_rate", s.frameRate);
    flag("auto_frame_rate", s.autoFrameRate);
    integer("exposure", s.exposure);
    integer("skip_frame", s.skipFrame);
    integer("skip_frame_loop", s.skipFrameLoop);
    real("min_confidence", s.minConfidence);
    for (const DepthFilterField& f : depthFilterFields()) {
        double value = f.value ? s.filters.*f.value : 0.0;
        if (f.flag) {
            flag(f.name, s.filters.*f.flag);
        } else if (real(f.name, value)) {
            s.filters.*f.value = static_cast<float>(value);
        }
    }
    const std::string refused = checkSettings(s);
    if (!refused.empty()) errors.push_back(refused);
    return errors;
}

}  // namespace Ros
}  // namespace Velmora
