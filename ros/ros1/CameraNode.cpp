#include "CameraNode.h"

#include <cstring>

#include <boost/make_shared.hpp>
#include <diagnostic_msgs/DiagnosticArray.h>
#include <geometry_msgs/TransformStamped.h>
#include <sensor_msgs/CameraInfo.h>
#include <sensor_msgs/Image.h>
#include <sensor_msgs/PointCloud2.h>

namespace Velmora {
namespace Ros {

namespace {

// Private parameters of a ROS 1 node.
class RosParameters : public ParameterSource {
public:
    explicit RosParameters(const ros::NodeHandle& handle) : nh(handle) {}
    bool getString(const std::string& name, std::string& value, std::string& typeError) override {
        return get(name, value, "a text", typeError);
    }
    bool getInt(const std::string& name, int& value, std::string& typeError) override {
        return get(name, value, "an integer", typeError);
    }
    bool getDouble(const std::string& name, double& value, std::string& typeError) override {
        return get(name, value, "a number", typeError);
    }
    bool getBool(const std::string& name, bool& value, std::string& typeError) override {
        return get(name, value, "true or false", typeError);
    }

private:
    template <typename T>
    bool get(const std::string& name, T& value, const char* expected, std::string& typeError) {
        if (!nh.hasParam(name)) return false;
        if (nh.getParam(name, value)) return true;
        typeError = std::string("expected ") + expected;
        return false;
    }
    ros::NodeHandle nh;
};

void log(LogLevel level, const std::string& message) {
    switch (level) {
    case LogLevel::Info:
        ROS_INFO("%s", message.c_str());
        break;
    case LogLevel::Warn:
        ROS_WARN("%s", message.c_str());
        break;
    case LogLevel::Error:
        ROS_ERROR("%s", message.c_str());
        break;
    }
}

CameraSettings settingsOf(const VelmoraCameraConfig& config, const CameraSettings& current,
                          std::vector<std::string>& refusals) {
    CameraSettings s;
    s.range = config.range;
    if (!parseMode(config.mode, s.mode)) {
        refusals.push_back("mode '" + config.mode + "' is not single or double; keeping " +
                           (*modeName(current.mode) ? modeName(current.mode) : "the camera's"));
        s.mode = current.mode;
    }
    s.frameRate = config.frame_rate;
    s.autoFrameRate = config.auto_frame_rate;
    s.exposure = config.exposure;
    s.skipFrame = config.skip_frame;
    s.skipFrameLoop = config.skip_frame_loop;
    s.minConfidence = config.min_confidence;
    return s;
}

void writeSettings(const CameraSettings& s, VelmoraCameraConfig& config) {
    config.range = s.range;
    config.mode = modeName(s.mode);
    config.frame_rate = s.frameRate;
    config.auto_frame_rate = s.autoFrameRate;
    config.exposure = s.exposure;
    config.skip_frame = s.skipFrame;
    config.skip_frame_loop = s.skipFrameLoop;
    config.min_confidence = s.minConfidence;
}

// An organised cloud of x, y, z and intensity floats, its data sized and not filled.
boost::shared_ptr<sensor_msgs::PointCloud2> pointCloudMessage(const std_msgs::Header& header, uint32_t width,
                                                              uint32_t height) {
    auto cloud = boost::make_shared<sensor_msgs::PointCloud2>();
    cloud->header = header;
    cloud->height = height;
    cloud->width = width;
    const char* names[] = {"x", "y", "z", "intensity"};
    for (uint32_t i = 0; i < 4; ++i) {
        sensor_msgs::PointField field;
        field.name = names[i];
        field.offset = i * sizeof(float);
        field.datatype = sensor_msgs::PointField::FLOAT32;
        field.count = 1;
        cloud->fields.push_back(field);
    }
    cloud->is_bigendian = false;
    cloud->point_step = sizeof(PointXYZI);
    cloud->row_step = cloud->point_step * width;
    cloud->is_dense = false;
    cloud->data.resize(static_cast<size_t>(cloud->row_step) * height);
    return cloud;
}

sensor_msgs::ImagePtr imageMessage(const std_msgs::Header& header, uint32_t width, uint32_t height,
                                   const char* encoding, size_t bytesPerPixel) {
    auto image = boost::make_shared<sensor_msgs::Image>();
    image->header = header;
    image->width = width;
    image->height = height;
    image->encoding = encoding;
    image->is_bigendian = 0;
    image->step = static_cast<uint32_t>(width * bytesPerPixel);
    image->data.resize(static_cast<size_t>(image->step) * height);
    return image;
}

bool wanted(const image_transport::Publisher& publisher) { return publisher && publisher.getNumSubscribers() > 0; }
bool wanted(const ros::Publisher& publisher) { return publisher && publisher.getNumSubscribers() > 0; }

}  // namespace

CameraNode::CameraNode(ros::NodeHandle topics, ros::NodeHandle privateTopics)
    : nh(topics), pnh(privateTopics), transport(nh) {
    RosParameters source(pnh);
    const std::vector<std::string> errors = readParameters(source, params);
    if (!errors.empty()) {
        for (const std::string& e : errors) ROS_FATAL("%s", e.c_str());
        return;
    }

    calibration = std::make_unique<camera_info_manager::CameraInfoManager>(nh, "velmora_camera", params.cameraInfoUrl);
    if (!params.cameraInfoUrl.empty() && !calibration->isCalibrated())
        ROS_WARN("no calibration from %s; using the virtual camera's lens", params.cameraInfoUrl.c_str());

    if (params.output == StreamOutput::Raw) {
        rawPublisher = transport.advertise("raw/image_raw", 2);
    } else {
        depthPublisher = transport.advertise("depth/image_raw", 2);
        infoPublisher = nh.advertise<sensor_msgs::CameraInfo>("depth/camera_info", 2);
        amplitudePublisher = transport.advertise("amplitude/image_raw", 2);
        confidencePublisher = transport.advertise("confidence/image_raw", 2);
        if (params.publishPoints) pointsPublisher = nh.advertise<sensor_msgs::PointCloud2>("depth/points", 2);
    }
    diagnosticsPublisher = nh.advertise<diagnostic_msgs::DiagnosticArray>("/diagnostics", 2);
    publishStaticTransform();

    stream = std::make_unique<CameraStream>(
        params, [this](const StreamFrame& frame) { publishFrame(frame); }, log,
        [] { return static_cast<int64_t>(ros::Time::now().toNSec()); });
    minConfidence = params.settings.minConfidence;

    // The server starts from the private parameters, as the node did.
    reconfigureServer = std::make_unique<dynamic_reconfigure::Server<VelmoraCameraConfig>>(reconfigureLock, pnh);
    reconfigureServer->setCallback(
        [this](VelmoraCameraConfig& config, uint32_t level) { reconfigure(config, level); });

    stream->start();
    diagnosticsTimer = nh.createWallTimer(ros::WallDuration(1.0), [this](const ros::WallTimerEvent&) {
        publishDiagnostics();
    });
}

CameraNode::~CameraNode() { shutdown(); }

void CameraNode::shutdown() {
    diagnosticsTimer.stop();
    if (stream) stream->stop();
}

void CameraNode::publishStaticTransform() {
    geometry_msgs::TransformStamped t;
    t.header.stamp = ros::Time::now();
    t.header.frame_id = params.linkFrameId;
    t.child_frame_id = params.frameId;
    // Optical frame: z forward, x right, y down; the link: x forward, y left, z up.
    t.transform.rotation.x = -0.5;
    t.transform.rotation.y = 0.5;
    t.transform.rotation.z = -0.5;
    t.transform.rotation.w = 0.5;
    transforms.sendTransform(t);
}

void CameraNode::reconfigure(VelmoraCameraConfig& config, uint32_t) {
    std::vector<std::string> refusals;
    const CameraSettings wantedSettings = settingsOf(config, stream->settings(), refusals);
    const CameraSettings effective = stream->changeSettings(wantedSettings, refusals);
    for (const std::string& r : refusals) ROS_WARN("%s", r.c_str());
    // The server answers with what is in effect, so a refused value shows its old one.
    writeSettings(effective, config);
    shownSettings = effective;
    minConfidence = effective.minConfidence;
}

const RayTable& CameraNode::raysFor(uint32_t width, uint32_t height, sensor_msgs::CameraInfo& info) {
    Lens lens = virtualCameraLens(width, height);
    bool calibrated = false;
    if (calibration->isCalibrated()) {
        info = calibration->getCameraInfo();
        if (info.width == width && info.height == height) {
            calibrated = true;
            lens.fx = info.K[0];
            lens.cx = info.K[2];
            lens.fy = info.K[4];
            lens.cy = info.K[5];
            if (info.distortion_model == "plumb_bob" || info.distortion_model.empty()) {
                lens.distortion = info.D;
            } else {
                ROS_WARN_ONCE("distortion model %s is not undistorted; points use the pinhole only",
                              info.distortion_model.c_str());
            }
        } else {
            ROS_WARN_ONCE("the calibration is for %ux%u, frames are %ux%u; using the virtual camera's lens",
                          info.width, info.height, width, height);
        }
    }
    if (!calibrated) {
        info = sensor_msgs::CameraInfo();
        info.width = width;
        info.height = height;
        info.distortion_model = "plumb_bob";
        info.D.assign(5, 0.0);
        info.K = {lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1};
        info.R = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        info.P = {lens.fx, 0, lens.cx, 0, 0, lens.fy, lens.cy, 0, 0, 0, 1, 0};
    }
    if (rays.lens() != lens || rays.size() != static_cast<size_t>(width) * height) rays = RayTable(lens);
    return rays;
}

void CameraNode::publishFrame(const StreamFrame& frame) {
    std_msgs::Header header;
    header.stamp.fromNSec(static_cast<uint64_t>(frame.stampNs));
    header.frame_id = params.frameId;
    if (frame.output == StreamOutput::Raw)
        publishRaw(frame, header);
    else
        publishDepth(frame, header);
}

void CameraNode::publishRaw(const StreamFrame& frame, const std_msgs::Header& header) {
    if (!wanted(rawPublisher)) return;
    auto image = imageMessage(header, frame.rawWidth, frame.rawHeight, "16SC1", sizeof(int16_t));
    std::memcpy(image->data.data(), frame.raw, image->data.size());
    rawPublisher.publish(image);
    ++rawCount.published;
}

void CameraNode::publishDepth(const StreamFrame& frame, const std_msgs::Header& header) {
    const DepthPlanes& planes = frame.planes;
    const bool depth = wanted(depthPublisher), info = wanted(infoPublisher);
    const bool points = wanted(pointsPublisher);
    if (depth || info || points) {
        auto cameraInfo = boost::make_shared<sensor_msgs::CameraInfo>();
        const RayTable& table = raysFor(planes.width, planes.height, *cameraInfo);
        cameraInfo->header = header;
        const float threshold = static_cast<float>(minConfidence.load());
        sensor_msgs::ImagePtr image;
        if (depth)
            image = imageMessage(header, planes.width, planes.height, encodingName(params.depthEncoding),
                                 bytesPerPixel(params.depthEncoding));
        boost::shared_ptr<sensor_msgs::PointCloud2> cloud;
        if (points) cloud = pointCloudMessage(header, planes.width, planes.height);
        // Depth image and cloud from one walk over the frame.
        if (depth || points)
            convertFrame(planes, table, threshold, params.depthEncoding, depth ? image->data.data() : nullptr,
                         points ? reinterpret_cast<PointXYZI*>(cloud->data.data()) : nullptr);
        if (depth) {
            depthPublisher.publish(image);
            ++depthCount.published;
        }
        if (info) {
            infoPublisher.publish(cameraInfo);
            ++infoCount.published;
        }
        if (points) {
            pointsPublisher.publish(cloud);
            ++pointsCount.published;
        }
    }
    auto publishPlane = [&](image_transport::Publisher& publisher, const float* plane, Counter& count) {
        if (!wanted(publisher)) return;
        auto image = imageMessage(header, planes.width, planes.height, "32FC1", sizeof(float));
        std::memcpy(image->data.data(), plane, image->data.size());
        publisher.publish(image);
        ++count.published;
    };
    publishPlane(amplitudePublisher, planes.amplitude, amplitudeCount);
    publishPlane(confidencePublisher, planes.confidence, confidenceCount);
}

void CameraNode::publishDiagnostics() {
    const StreamHealth health = stream->health();
    const HealthReport report = describeHealth(health, previousHealth);
    previousHealth = health;

    diagnostic_msgs::DiagnosticStatus status;
    status.level = static_cast<int8_t>(report.level);
    status.name = pnh.getNamespace();
    status.message = report.message;
    status.hardware_id = health.camera;
    auto add = [&](const std::string& key, const std::string& value) {
        diagnostic_msgs::KeyValue kv;
        kv.key = key;
        kv.value = value;
        status.values.push_back(kv);
    };
    for (const auto& value : report.values) add(value.first, value.second);
    const std::pair<const char*, const Counter*> counts[] = {
        {"depth/image_raw", &depthCount},           {"depth/camera_info", &infoCount},
        {"amplitude/image_raw", &amplitudeCount}, {"confidence/image_raw", &confidenceCount},
        {"depth/points", &pointsCount},           {"raw/image_raw", &rawCount}};
    for (const auto& c : counts) add(std::string("published ") + c.first, std::to_string(c.second->published.load()));

    diagnostic_msgs::DiagnosticArray array;
    array.header.stamp = ros::Time::now();
    array.status.push_back(status);
    diagnosticsPublisher.publish(array);

    // Values the camera reported after opening show in the reconfigure server too.
    const CameraSettings current = stream->settings();
    boost::recursive_mutex::scoped_lock guard(reconfigureLock);
    if (current != shownSettings) {
        VelmoraCameraConfig config = VelmoraCameraConfig::__getDefault__();
        writeSettings(current, config);
        shownSettings = current;
        reconfigureServer->updateConfig(config);
    }
}

}  // namespace Ros
}  // namespace Velmora
