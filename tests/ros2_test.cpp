// The ROS 2 node's command line, parameter typing, params files, topic names
// and calibration files. The node itself is checked end to end by
// tests/ros2/test_ros2.py against a Fast DDS subscriber.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Calibration.h"
#include "RosArguments.h"

using namespace Velmora;
using namespace Velmora::Ros;
using Type = ParameterValue::Type;

namespace {

struct TextFile {
    TextFile(const std::string& name, const std::string& text)
        : path(::testing::TempDir() + "ros2_" + std::to_string(::getpid()) + "_" + name) {
        std::ofstream(path) << text;
    }
    ~TextFile() { std::remove(path.c_str()); }
    const std::string path;
};

std::string parse(std::vector<std::string> args, RosCommandLine& line) { return parseCommandLine(args, line); }

}  // namespace

TEST(Ros2CommandLine, NamesAndRefusals) {
    struct Case {
        std::vector<std::string> args;
        std::string ns, node, refusal;  // refusal: a part of the one-line reason
    } cases[] = {
        {{"--ros-args", "-r", "__ns:=/camera", "-r", "__node:=front"}, "/camera", "front", ""},
        {{"--ros-args", "--remap", "__ns:=robot/camera", "--", "--ros-args", "-r", "__name:=cam"},
         "/robot/camera",
         "cam",
         ""},
        // A rule for another node is not ours; one for this node is.
        {{"--ros-args", "-r", "other:__ns:=/x", "-r", "velmora_camera:__node:=mine"}, "/", "mine", ""},
        {{"--ros-args", "--log-level", "warn", "-e", "/enclave", "--disable-rosout-logs"}, "/", "velmora_camera", ""},
        {{"--ros-args", "-r", "__ns:=/9camera"}, "", "", "namespace '/9camera' is not"},
        {{"--ros-args", "-r", "__ns:=/a//b"}, "", "", "namespace"},
        {{"--ros-args", "-r", "__ns:=/a__b"}, "", "", "namespace"},
        {{"--ros-args", "-r", "__node:=my-cam"}, "", "", "node name 'my-cam' is not"},
        {{"--ros-args", "-r", "__node"}, "", "", "is not from:=to"},
        {{"--ros-args", "-r", "depth/image_raw:=depth image"}, "", "", "'depth image' is not a ROS topic name"},
        {{"--ros-args", "-p", "range"}, "", "", "'-p range' is not name:=value"},
        {{"--ros-args", "-p"}, "", "", "'-p' needs a value"},
        {{"--ros-args", "--log-level", "loud"}, "", "", "log level 'loud'"},
        {{"--ros-args", "--params"}, "", "", "unknown ROS argument '--params'"},
        {{"-p", "range:=2000"}, "", "", "unexpected argument '-p'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        RosCommandLine line;
        const std::string refused = parse(c.args, line);
        if (c.refusal.empty()) {
            EXPECT_EQ(refused, "");
            EXPECT_EQ(line.nodeNamespace, c.ns);
            EXPECT_EQ(line.nodeName, c.node);
        } else {
            EXPECT_NE(refused.find(c.refusal), std::string::npos) << refused;
        }
    }
}

TEST(Ros2CommandLine, ValuesAreTypedAsRos2TypesThemAndReadAsTheNodeAsks) {
    struct Case {
        std::string value;
        Type type;
        bool asInt, asDouble, asBool, asText;  // which getters take it
    } cases[] = {
        {"2000", Type::Integer, true, true, false, true},    {"-7", Type::Integer, true, true, false, true},
        {"2.5", Type::Double, false, true, false, true},     {"1e3", Type::Double, false, true, false, true},
        {".nan", Type::Double, false, true, false, true},    {"3000000000", Type::Integer, false, true, false, true},
        {"-.inf", Type::Double, false, true, false, true},   {"1.5.2", Type::String, false, false, false, true},
        {"true", Type::Bool, false, false, true, true},      {"off", Type::Bool, false, false, true, true},
        {"16UC1", Type::String, false, false, false, true},  {"'123'", Type::String, false, false, false, true},
        {"[1, 2]", Type::Array, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        RosCommandLine line;
        ASSERT_EQ(parse({"--ros-args", "-p", "v:=" + c.value}, line), "");
        EXPECT_EQ(line.parameters.at("v").type, c.type);
        CommandLineParameters source(line.parameters);
        std::string text, error;
        int i = 0;
        double d = 0;
        bool b = false;
        EXPECT_EQ(source.getInt("v", i, error), c.asInt);
        EXPECT_EQ(error.empty(), c.asInt) << error;
        EXPECT_EQ(source.getDouble("v", d, error = ""), c.asDouble);
        EXPECT_EQ(source.getBool("v", b, error = ""), c.asBool);
        EXPECT_EQ(source.getString("v", text, error = ""), c.asText);
    }
    EXPECT_TRUE(std::isnan(scalarValue(".nan", false).real));
    EXPECT_EQ(scalarValue("off", false).boolean, false);
    EXPECT_EQ(scalarValue("1e3", false).real, 1000.0);
    EXPECT_EQ(scalarValue("-.inf", false).real, -HUGE_VAL);
}

TEST(Ros2CommandLine, ParametersReachTheNodeInCommandLineOrderFromMatchingParamsFileSections) {
    const TextFile file("params.yaml",
                        "/**:\n  ros__parameters: {range: 2000, frame_id: any, depth_encoding: 16UC1}\n"
                        "camera:\n  velmora_camera:\n    ros__parameters: {frame_id: nested}\n"
                        "/*/velmora_camera:\n  ros__parameters: {mode: single}\n"
                        "velmora_camera:\n  ros__parameters: {frame_id: root, publish_points: false}\n");
    struct Case {
        std::vector<std::string> args;
        std::string frameId, mode;
        int range;
        bool points;
    } cases[] = {
        {{"-r", "__ns:=/camera", "--params-file", file.path}, "nested", "single", 2000, true},
        {{"--params-file", file.path}, "root", "", 2000, false},
        {{"-r", "__ns:=/a/b", "--params-file", file.path}, "any", "", 2000, true},
        // The later setting wins, whichever way it is given.
        {{"-p", "range:=4000", "--params-file", file.path, "-p", "frame_id:=last"}, "last", "", 2000, false},
        {{"--params-file", file.path, "-p", "range:=4000"}, "root", "", 4000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        std::vector<std::string> args = {"--ros-args"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RosCommandLine line;
        ASSERT_EQ(parse(args, line), "");
        CommandLineParameters source(line.parameters);
        NodeParameters params;
        EXPECT_TRUE(readParameters(source, params).empty());
        EXPECT_EQ(params.frameId, c.frameId);
        EXPECT_EQ(modeName(params.settings.mode), c.mode);
        EXPECT_EQ(params.settings.range, c.range);
        EXPECT_EQ(params.depthEncoding, DepthEncoding::Millimetres16U);
        EXPECT_EQ(params.publishPoints, c.points);
        EXPECT_TRUE(source.unread().empty());
    }

    const TextFile badYaml("bad.yaml", "a: [1,\n");
    const TextFile loose("loose.yaml", "ros__parameters: {range: 2000}\n");
    const TextFile notMap("notmap.yaml", "velmora_camera:\n  ros__parameters: 5\n");
    const std::pair<std::string, std::string> refusals[] = {
        {"/nonexistent/p.yaml", "cannot read params file '/nonexistent/p.yaml': No such file"},
        {badYaml.path, "line 2"},
        {loose.path, "ros__parameters stands outside a node name"},
        {notMap.path, "is not a map"}};
    for (const auto& r : refusals) {
        RosCommandLine line;
        const std::string refused = parse({"--ros-args", "--params-file", r.first}, line);
        EXPECT_NE(refused.find(r.second), std::string::npos) << refused;
    }
}

TEST(Ros2Names, TopicsResolveIntoTheNamespaceThroughRemappingsToDdsNames) {
    RosCommandLine line;
    ASSERT_EQ(parse({"--ros-args", "-r", "__ns:=/camera", "-r", "depth/image_raw:=depth/image", "-r",
                     "/camera/depth/points:=/cloud", "-r", "velmora_camera:amplitude/image_raw:=~/amp"},
                    line),
              "");
    const std::pair<const char*, const char*> cases[] = {{"depth/image_raw", "rt/camera/depth/image"},
                                                         {"depth/points", "rt/cloud"},
                                                         {"depth/camera_info", "rt/camera/depth/camera_info"},
                                                         {"/diagnostics", "rt/diagnostics"},
                                                         {"amplitude/image_raw", "rt/camera/velmora_camera/amp"}};
    for (const auto& c : cases) EXPECT_EQ(ddsTopicName(resolveTopic(c.first, line)), c.second) << c.first;
    RosCommandLine root;
    EXPECT_EQ(ddsTopicName(resolveTopic("depth/image_raw", root)), "rt/depth/image_raw");
}

TEST(Ros2Calibration, AFittingCalibrationIsUsedAndOthersFallBackToTheVirtualLens) {
    const std::string matrix = "camera_matrix: {rows: 3, cols: 3, data: [200, 0, 119, 0, 201, 91, 0, 0, 1]}\n";
    const TextFile yaml("cam.yaml", "image_width: 240\nimage_height: 180\n" + matrix +
                                        "distortion_model: plumb_bob\ndistortion_coefficients: {data: [0.1, -0.05]}\n");
    CameraCalibration calibration;
    ASSERT_EQ(loadCalibration("file://" + yaml.path, calibration), "");
    Intrinsics lens;
    std::string note;
    CameraCalibration info = cameraInfoFor(&calibration, 240, 180, lens, note);
    EXPECT_EQ(note, "");
    EXPECT_EQ((std::vector<double>{lens.fx, lens.fy, lens.cx, lens.cy}), (std::vector<double>{200, 201, 119, 91}));
    EXPECT_EQ(lens.coefficients, (std::vector<double>{0.1, -0.05}));
    EXPECT_EQ(info.p[5], 201);  // P from K where the file has none

    // Frames of another size: the virtual camera's lens, in the info as in the points.
    info = cameraInfoFor(&calibration, 320, 240, lens, note);
    EXPECT_EQ(note, "the calibration is for 240x180, frames are 320x240; using the virtual camera's lens");
    const Intrinsics nominal = nominalIntrinsics(320, 240);
    EXPECT_EQ(lens, nominal);
    EXPECT_EQ((std::vector<double>{info.k[0], info.k[2], info.k[4], info.k[5], info.p[0]}),
              (std::vector<double>{nominal.fx, nominal.cx, nominal.fy, nominal.cy, nominal.fx}));
    EXPECT_EQ(info.d, std::vector<double>(5, 0.0));

    const TextFile shortMatrix("short.yaml", "image_width: 240\nimage_height: 180\ncamera_matrix: {data: [200, 0]}\n");
    const TextFile noFocal(
        "nofocal.yaml", "image_width: 240\nimage_height: 180\ncamera_matrix: {data: [0, 0, 119, 0, 0, 91, 0, 0, 1]}\n");
    const TextFile fisheye("fisheye.yaml", "image_width: 240\nimage_height: 180\ndistortion_model: fisheye\n" + matrix);
    const std::pair<std::string, std::string> refusals[] = {
        {"package://velmora/cam.yaml", "is not a file:// URL or a path"},
        {"/nonexistent/cam.yaml", "cannot read '/nonexistent/cam.yaml'"},
        {shortMatrix.path, "wrong size"},
        {noFocal.path, "focal length fx 0 is not above 0"},
        {fisheye.path, "distortion model 'fisheye' is not one of"}};
    for (const auto& r : refusals) {
        CameraCalibration unchanged;
        const std::string refused = loadCalibration(r.first, unchanged);
        EXPECT_NE(refused.find(r.second), std::string::npos) << refused;
        EXPECT_EQ(unchanged.width, 0u);
    }
}
