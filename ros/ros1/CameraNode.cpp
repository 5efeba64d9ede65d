#include "CameraNode.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include <boost/make_shared.hpp>
#include <camera_calibration_parsers/parse.h>
#include <diagnostic_msgs/DiagnosticArray.h>
#include <dynamic_reconfigure/Config.h>
#include <geometry_msgs/TransformStamped.h>
#include <ros/service_manager.h>
#include <sensor_msgs/CameraInfo.h>
#include <sensor_msgs/Image.h>

namespace Velmora {
namespace Ros {

namespace {

// The calibration's name: camera_info_manager's ${NAME} and the name in the files it stores.
const char* const kCameraName = "velmora_camera";

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
    // The filter settings by name, through the configuration's message form.
    dynamic_reconfigure::Config message;
    config.__toMessage__(message);
    for (const DepthFilterField& f : depthFilterFields()) {
        for (const auto& b : message.bools)
            if (f.flag && b.name == f.name) s.filters.*f.flag = b.value;
        for (const auto& d : message.doubles)
            if (f.value && d.name == f.name) s.filters.*f.value = static_cast<float>(d.value);
    }
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
    dynamic_reconfigure::Config message;
    config.__toMessage__(message);
    for (const DepthFilterField& f : depthFilterFields()) {
        for (auto& b : message.bools)
            if (f.flag && b.name == f.name) b.value = s.filters.*f.flag;
        for (auto& d : message.doubles)
            if (f.value && d.name == f.name) d.value = s.filters.*f.value;
    }
    config.__fromMessage__(message);
}

sensor_msgs::ImagePtr newImage() { return boost::make_shared<sensor_msgs::Image>(); }
sensor_msgs::PointCloud2Ptr newCloud() { return boost::make_shared<sensor_msgs::PointCloud2>(); }

// The lens a calibration describes, or why the node cannot apply it.
std::string lensOf(const sensor_msgs::CameraInfo& info, Intrinsics& lens) {
    return intrinsicsFromCalibration(info.width, info.height, info.K.data(), info.distortion_model, info.D, lens);
}

// An organised cloud of x, y, z and intensity floats, its data sized; a
// recycled one keeps the data it had, which is overwritten.
sensor_msgs::PointCloud2Ptr pointCloudMessage(Recycler<sensor_msgs::PointCloud2Ptr>& recycler,
                                              const std_msgs::Header& header, uint32_t width, uint32_t height) {
    auto cloud = recycler.take();
    cloud->header = header;
    cloud->height = height;
    cloud->width = width;
    cloud->fields.clear();
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

// An image, its data sized as `pointCloudMessage` does.
sensor_msgs::ImagePtr imageMessage(Recycler<sensor_msgs::ImagePtr>& recycler, const std_msgs::Header& header,
                                   uint32_t width, uint32_t height, const char* encoding, size_t bytesPerPixel) {
    auto image = recycler.take();
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
    : nh(topics),
      pnh(privateTopics),
      transport(nh),
      depthImages(newImage),
      amplitudeImages(newImage),
      confidenceImages(newImage),
      rawImages(newImage),
      clouds(newCloud) {
    RosParameters source(pnh);
    const std::vector<std::string> errors = readParameters(source, params);
    if (!errors.empty()) {
        for (const std::string& e : errors) ROS_FATAL("%s", e.c_str());
        return;
    }

    calibration = std::make_unique<camera_info_manager::CameraInfoManager>(nh, kCameraName, params.cameraInfoUrl);
    // Our set_camera_info in place of the manager's, which would take any
    // calibration from anyone on the graph: this one is checked first.
    ros::ServiceManager::instance()->unadvertiseService(nh.resolveName("set_camera_info"));
    calibrationService = nh.advertiseService("set_camera_info", &CameraNode::setCameraInfo, this);
    if (params.output == StreamOutput::Depth) checkLoadedCalibration();

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

void CameraNode::checkLoadedCalibration() {
    calibration->isCalibrated();  // reads the file
    const sensor_msgs::CameraInfo loaded = calibration->getCameraInfo();
    const std::string from =
        params.cameraInfoUrl.empty() ? "" : " from " + calibration->resolveURL(params.cameraInfoUrl, kCameraName);
    if (std::any_of(loaded.K.begin(), loaded.K.end(), [](double k) { return k != 0; })) {
        Intrinsics lens;
        const std::string refused = lensOf(loaded, lens);
        if (refused.empty()) return;
        ROS_ERROR("calibration%s refused: %s", from.c_str(), refused.c_str());
        calibration->setCameraInfo(sensor_msgs::CameraInfo());
    }
    const std::string ns = nh.getNamespace();
    ROS_WARN("no calibration%s: the intrinsics are nominal (the virtual camera's 70 degree lens), not this camera's. "
             "Calibrate it with a checkerboard on the amplitude image (rosrun camera_calibration cameracalibrator.py "
             "--size 8x6 --square 0.025 image:=%s camera:=%s stores the result through set_camera_info) or name a "
             "calibration file in camera_info_url",
             from.c_str(), nh.resolveName("amplitude/image_raw").c_str(), ns.c_str());
}

bool CameraNode::setCameraInfo(sensor_msgs::SetCameraInfo::Request& request,
                               sensor_msgs::SetCameraInfo::Response& response) {
    Intrinsics lens;
    const std::string refused = lensOf(request.camera_info, lens);
    if (!refused.empty()) {
        response.success = false;
        response.status_message = "calibration refused: " + refused;
        ROS_WARN("set_camera_info: %s", response.status_message.c_str());
        return true;
    }
    calibration->setCameraInfo(request.camera_info);
    response.success = storeCalibration(request.camera_info, response.status_message);
    if (!response.success) ROS_ERROR("set_camera_info: %s", response.status_message.c_str());
    return true;
}

bool CameraNode::storeCalibration(const sensor_msgs::CameraInfo& info, std::string& problem) {
    // Where camera_info_manager reads it from: camera_info_url, or its default.
    const std::string url = calibration->resolveURL(
        params.cameraInfoUrl.empty() ? "file://${ROS_HOME}/camera_info/${NAME}.yaml" : params.cameraInfoUrl,
        kCameraName);
    std::string scheme = url.substr(0, 7);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "file://") {
        problem = "calibration in use, but not stored: " + url + " is no file:// URL";
        return false;
    }
    const std::string path = url.substr(7);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    if (!camera_calibration_parsers::writeCalibration(path, kCameraName, info)) {
        problem = "calibration in use, but not stored: cannot write " + path;
        return false;
    }
    return true;
}

const RayTable& CameraNode::raysFor(uint32_t width, uint32_t height, sensor_msgs::CameraInfo& info) {
    Intrinsics lens = nominalIntrinsics(width, height);
    bool calibrated = false;
    if (calibration->isCalibrated()) {
        info = calibration->getCameraInfo();
        if (info.width == width && info.height == height)
            calibrated = lensOf(info, lens).empty();  // checked when it was taken
        else
            ROS_WARN_ONCE("the calibration is for %ux%u, frames are %ux%u; using the virtual camera's lens",
                          info.width, info.height, width, height);
    }
    if (!calibrated) {
        const CameraCalibration pinhole = pinholeCalibration(lens);
        info = sensor_msgs::CameraInfo();
        info.width = width;
        info.height = height;
        info.distortion_model = pinhole.distortionModel;
        info.D = pinhole.d;
        std::copy(pinhole.k.begin(), pinhole.k.end(), info.K.begin());
        std::copy(pinhole.r.begin(), pinhole.r.end(), info.R.begin());
        std::copy(pinhole.p.begin(), pinhole.p.end(), info.P.begin());
    }
    if (rays.intrinsics() != lens || rays.size() != static_cast<size_t>(width) * height) rays = RayTable(lens);
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
    auto image = imageMessage(rawImages, header, frame.rawWidth, frame.rawHeight, "16SC1", sizeof(int16_t));
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
            image = imageMessage(depthImages, header, planes.width, planes.height, encodingName(params.depthEncoding),
                                 bytesPerPixel(params.depthEncoding));
        sensor_msgs::PointCloud2Ptr cloud;
        if (points) cloud = pointCloudMessage(clouds, header, planes.width, planes.height);
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
    auto publishPlane = [&](image_transport::Publisher& publisher, Recycler<sensor_msgs::ImagePtr>& recycler,
                            const float* plane, Counter& count) {
        if (!wanted(publisher)) return;
        auto image = imageMessage(recycler, header, planes.width, planes.height, "32FC1", sizeof(float));
        std::memcpy(image->data.data(), plane, image->data.size());
        publisher.publish(image);
        ++count.published;
    };
    publishPlane(amplitudePublisher, amplitudeImages, planes.amplitude, amplitudeCount);
    publishPlane(confidencePublisher, confidenceImages, planes.confidence, confidenceCount);
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
