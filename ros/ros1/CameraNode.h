#pragma once
// The ROS 1 front end shared by the node and the nodelet: parameters,
// publishers, dynamic_reconfigure, diagnostics and the optical frame's static
// transform around one CameraStream.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <boost/thread/recursive_mutex.hpp>
#include <camera_info_manager/camera_info_manager.h>
#include <dynamic_reconfigure/server.h>
#include <image_transport/image_transport.h>
#include <ros/ros.h>
#include <sensor_msgs/PointCloud2.h>
#include <sensor_msgs/SetCameraInfo.h>
#include <tf2_ros/static_transform_broadcaster.h>
#include <velmora_camera/VelmoraCameraConfig.h>

#include "CameraStream.h"
#include "Recycler.h"

namespace Velmora {
namespace Ros {

using velmora_camera::VelmoraCameraConfig;

class CameraNode {
public:
    // `nh` is the namespace the topics go to, `pnh` the private one.
    CameraNode(ros::NodeHandle nh, ros::NodeHandle pnh);
    ~CameraNode();
    CameraNode(const CameraNode&) = delete;
    CameraNode& operator=(const CameraNode&) = delete;

    // False when the parameters were refused; nothing streams then.
    bool ok() const { return stream != nullptr; }
    // Stops streaming and closes the camera.
    void shutdown();

private:
    struct Counter {
        std::atomic<uint64_t> published{0};
    };

    void publishFrame(const StreamFrame& frame);
    void publishDepth(const StreamFrame& frame, const std_msgs::Header& header);
    void publishRaw(const StreamFrame& frame, const std_msgs::Header& header);
    // The lens for frames of this size: the calibration when it fits, else the virtual camera's.
    const RayTable& raysFor(uint32_t width, uint32_t height, sensor_msgs::CameraInfo& info);
    // The calibration from camera_info_url, refused when the node cannot apply it.
    void checkLoadedCalibration();
    bool setCameraInfo(sensor_msgs::SetCameraInfo::Request& request, sensor_msgs::SetCameraInfo::Response& response);
    bool storeCalibration(const sensor_msgs::CameraInfo& info, std::string& problem);
    void reconfigure(VelmoraCameraConfig& config, uint32_t level);
    void publishDiagnostics();
    void publishStaticTransform();

    ros::NodeHandle nh;
    ros::NodeHandle pnh;
    NodeParameters params;
    image_transport::ImageTransport transport;
    image_transport::Publisher depthPublisher;
    image_transport::Publisher amplitudePublisher;
    image_transport::Publisher confidencePublisher;
    image_transport::Publisher rawPublisher;
    ros::Publisher infoPublisher;
    ros::Publisher pointsPublisher;
    ros::Publisher diagnosticsPublisher;
    Counter depthCount, infoCount, amplitudeCount, confidenceCount, pointsCount, rawCount;
    std::unique_ptr<camera_info_manager::CameraInfoManager> calibration;
    ros::ServiceServer calibrationService;  // after `calibration`: goes first
    tf2_ros::StaticTransformBroadcaster transforms;

    // Used by the stream thread only.
    RayTable rays;
    Recycler<sensor_msgs::ImagePtr> depthImages, amplitudeImages, confidenceImages, rawImages;
    Recycler<sensor_msgs::PointCloud2Ptr> clouds;
    std::atomic<double> minConfidence{0.0};

    boost::recursive_mutex reconfigureLock;
    std::unique_ptr<dynamic_reconfigure::Server<VelmoraCameraConfig>> reconfigureServer;
    CameraSettings shownSettings;  // what the reconfigure server shows
    ros::WallTimer diagnosticsTimer;
    StreamHealth previousHealth;

    std::unique_ptr<CameraStream> stream;
};

}  // namespace Ros
}  // namespace Velmora
