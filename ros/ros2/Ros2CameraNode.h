#pragma once
// The ROS 2 front end: the camera's topics on Cyclone DDS with ROS 2's names,
// types, plain CDR and QoS, the node announced on ros_discovery_info, around
// one CameraStream. Parameters are fixed at start.

#include <dds/dds.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Calibration.h"
#include "CameraStream.h"
#include "RosArguments.h"

namespace Velmora {
namespace Ros {

struct Ros2Options {
    RosCommandLine names;  // node name, namespace, remappings
    NodeParameters params;
    int historyDepth = 5;  // keep last N of every publisher
    uint32_t domain = 0;
};

// Owns the DDS domain and the participant in it; everything created under
// them goes with them.
class DdsParticipant {
public:
    DdsParticipant(uint32_t domain, const std::string& userData);
    ~DdsParticipant();
    DdsParticipant(const DdsParticipant&) = delete;
    DdsParticipant& operator=(const DdsParticipant&) = delete;
    dds_entity_t handle() const { return entity; }

private:
    dds_entity_t domainEntity;
    dds_entity_t entity;
};

class Ros2CameraNode {
public:
    using Log = std::function<void(LogLevel, const std::string&)>;
    // Joins the DDS domain and creates every publisher; throws
    // std::runtime_error with DDS's reason when it cannot.
    Ros2CameraNode(Ros2Options options, Log log);
    ~Ros2CameraNode();
    Ros2CameraNode(const Ros2CameraNode&) = delete;
    Ros2CameraNode& operator=(const Ros2CameraNode&) = delete;

    void start();
    // Stops streaming and closes the camera.
    void stop();
    void publishDiagnostics();

private:
    struct Publisher {
        dds_entity_t writer = 0;
        std::string topic;  // before remapping, as the diagnostics name it
        std::atomic<uint64_t> published{0};
        // A reader matches: only then is anything computed for the topic.
        bool wanted() const;
        void write(const void* sample);
    };

    // Creates the writer of `publisher.topic`, resolved in the node's namespace.
    void createPublisher(Publisher& publisher, const dds_topic_descriptor_t* type, bool latched);
    void publishFrame(const StreamFrame& frame);
    void publishDepth(const StreamFrame& frame);
    void publishStaticTransform();
    void announceNode();

    Ros2Options options;
    Log log;
    std::string nodeName;  // fully qualified
    DdsParticipant participant;
    std::unique_ptr<CameraCalibration> calibration;

    Publisher depth, info, amplitude, confidence, points, raw, diagnostics, tfStatic, discovery;

    // Used by the stream thread only.
    RayTable rays;
    std::string lensNote;
    std::vector<uint8_t> depthData;
    std::vector<uint8_t> pointData;

    StreamHealth previousHealth;
    std::unique_ptr<CameraStream> stream;
};

}  // namespace Ros
}  // namespace Velmora
