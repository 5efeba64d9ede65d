#include "Ros2CameraNode.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "diagnostic_msgs.h"
#include "rmw_dds_common.h"
#include "sensor_msgs.h"
#include "tf2_msgs.h"

namespace Velmora {
namespace Ros {

namespace {

using Header = std_msgs_msg_dds__Header_;

void check(dds_return_t rc, const std::string& what) {
    if (rc < 0) throw std::runtime_error(what + ": " + dds_strretcode(rc));
}

struct Qos {
    Qos() : qos(dds_create_qos()) {}
    ~Qos() { dds_delete_qos(qos); }
    Qos(const Qos&) = delete;
    Qos& operator=(const Qos&) = delete;
    dds_qos_t* qos;
};

int64_t systemNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// DDS copies what it writes: the messages point into our buffers.
char* text(const std::string& s) { return const_cast<char*>(s.c_str()); }

template <typename Sequence, typename T>
Sequence sequence(const T* items, size_t count) {
    Sequence s{};
    s._maximum = s._length = static_cast<uint32_t>(count);
    s._buffer = const_cast<T*>(items);
    s._release = false;
    return s;
}

Header header(int64_t ns, const std::string& frameId) {
    Header h{};
    h.stamp.sec = static_cast<int32_t>(ns / 1000000000);
    h.stamp.nanosec = static_cast<uint32_t>(ns % 1000000000);
    h.frame_id = text(frameId);
    return h;
}

sensor_msgs_msg_dds__Image_ image(const Header& h, uint32_t width, uint32_t height, const char* encoding,
                                  size_t bytesPerPixel, const void* data) {
    sensor_msgs_msg_dds__Image_ m{};
    m.header = h;
    m.width = width;
    m.height = height;
    m.encoding = const_cast<char*>(encoding);
    m.is_bigendian = 0;
    m.step = static_cast<uint32_t>(width * bytesPerPixel);
    m.data = sequence<dds_sequence_octet>(static_cast<const uint8_t*>(data), static_cast<size_t>(m.step) * height);
    return m;
}

std::vector<uint8_t> gid(dds_entity_t entity) {
    dds_guid_t guid;
    check(dds_get_guid(entity, &guid), "reading an entity's GUID");
    return std::vector<uint8_t>(guid.v, guid.v + sizeof(guid.v));
}

// REP 2003's publisher: reliable, keep last, so best-effort readers match
// too; volatile, or for latched topics transient-local so that later readers
// get the last sample. Plain CDR only: ROS 2's readers take no XCDR2.
dds_entity_t createWriter(dds_entity_t participant, const dds_topic_descriptor_t* type, const std::string& name,
                          bool latched, int depth) {
    Qos qos;
    dds_qset_reliability(qos.qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_durability(qos.qos, latched ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos.qos, DDS_HISTORY_KEEP_LAST, depth);
    const dds_data_representation_id_t plainCdr = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos.qos, 1, &plainCdr);
    const dds_entity_t topic = dds_create_topic(participant, type, name.c_str(), nullptr, nullptr);
    check(topic, "cannot create the topic " + name);
    const dds_entity_t writer = dds_create_writer(participant, topic, qos.qos, nullptr);
    check(writer, "cannot publish " + name);
    return writer;
}

rmw_dds_common_msg_dds__Gid_ gidMessage(const std::vector<uint8_t>& guid) {
    rmw_dds_common_msg_dds__Gid_ g{};  // the rest stays zero
    std::memcpy(g.data, guid.data(), std::min(guid.size(), sizeof(g.data)));
    return g;
}

}  // namespace

DdsParticipant::DdsParticipant(uint32_t domain, const std::string& userData) {
    // A writer being deleted waits for its reliable readers to acknowledge
    // what it wrote, by default up to a second: too long for a camera that
    // should close within one. CYCLONEDDS_URI comes after, and so wins.
    std::string config = "<Internal><WriterLingerDuration>300 ms</WriterLingerDuration></Internal>";
    const char* uri = std::getenv("CYCLONEDDS_URI");
    if (uri && *uri) config += std::string(",") + uri;
    domainEntity = dds_create_domain(domain, config.c_str());
    check(domainEntity, "cannot create DDS domain " + std::to_string(domain));
    Qos qos;
    dds_qset_userdata(qos.qos, userData.data(), userData.size());
    entity = dds_create_participant(domain, qos.qos, nullptr);
    if (entity < 0) dds_delete(domainEntity);
    check(entity, "cannot join DDS domain " + std::to_string(domain));
}

DdsParticipant::~DdsParticipant() { dds_delete(domainEntity); }

bool Ros2CameraNode::Publisher::wanted() const {
    dds_publication_matched_status_t status;
    return dds_get_publication_matched_status(writer, &status) == DDS_RETCODE_OK && status.current_count > 0;
}

void Ros2CameraNode::Publisher::write(const void* sample) {
    if (dds_write(writer, sample) == DDS_RETCODE_OK) ++published;
}

Ros2CameraNode::Ros2CameraNode(Ros2Options o, Log logger)
    : options(std::move(o)),
      log(std::move(logger)),
      nodeName(nodeFullName(options.names.nodeNamespace, options.names.nodeName)),
      // ROS 2's middleware layers name the security enclave of the participant.
      participant(options.domain, "enclave=/;") {
    const NodeParameters& p = options.params;
    // Without camera_info_url, where ROS's camera_info_manager keeps the
    // calibration (the ROS 1 node's set_camera_info stores it there).
    std::string url = p.cameraInfoUrl;
    const char* rosHome = std::getenv("ROS_HOME");
    const char* home = std::getenv("HOME");
    const std::string stored = (rosHome && *rosHome ? std::string(rosHome) : std::string(home ? home : "") + "/.ros") +
                               "/camera_info/velmora_camera.yaml";
    if (url.empty() && std::ifstream(stored)) url = stored;
    if (!url.empty()) {
        auto loaded = std::make_unique<CameraCalibration>();
        const std::string refused = loadCalibration(url, *loaded);
        if (refused.empty())
            calibration = std::move(loaded);
        else
            log(LogLevel::Error, "calibration from " + url + " refused: " + refused);
    }
    if (!calibration)
        log(LogLevel::Warn,
            "no calibration: the intrinsics are nominal (the virtual camera's 70 degree lens), not "
            "this camera's; name a calibration file in camera_info_url");
    const std::pair<Publisher*, const char*> topics[] = {
        {&depth, "depth/image_raw"},           {&info, "depth/camera_info"}, {&amplitude, "amplitude/image_raw"},
        {&confidence, "confidence/image_raw"}, {&points, "depth/points"},    {&raw, "raw/image_raw"},
        {&diagnostics, "/diagnostics"},        {&tfStatic, "/tf_static"}};
    for (const auto& t : topics) t.first->topic = t.second;
    if (p.output == StreamOutput::Raw) {
        createPublisher(raw, &sensor_msgs_msg_dds__Image__desc, false);
    } else {
        createPublisher(depth, &sensor_msgs_msg_dds__Image__desc, false);
        createPublisher(info, &sensor_msgs_msg_dds__CameraInfo__desc, false);
        createPublisher(amplitude, &sensor_msgs_msg_dds__Image__desc, false);
        createPublisher(confidence, &sensor_msgs_msg_dds__Image__desc, false);
        if (p.publishPoints) createPublisher(points, &sensor_msgs_msg_dds__PointCloud2__desc, false);
    }
    createPublisher(diagnostics, &diagnostic_msgs_msg_dds__DiagnosticArray__desc, false);
    createPublisher(tfStatic, &tf2_msgs_msg_dds__TFMessage__desc, true);
    announceNode();
    publishStaticTransform();
    stream = std::make_unique<CameraStream>(
        options.params, [this](const StreamFrame& frame) { publishFrame(frame); }, log, systemNowNs);
}

Ros2CameraNode::~Ros2CameraNode() { stop(); }

void Ros2CameraNode::start() { stream->start(); }

void Ros2CameraNode::stop() {
    if (stream) stream->stop();
}

void Ros2CameraNode::createPublisher(Publisher& publisher, const dds_topic_descriptor_t* type, bool latched) {
    publisher.writer = createWriter(participant.handle(), type, ddsTopicName(resolveTopic(publisher.topic, options.names)),
                                    latched, latched ? 1 : options.historyDepth);
}

void Ros2CameraNode::announceNode() {
    // What ROS 2's middleware layers announce about the participant, so that
    // `ros2 node list` and `ros2 node info` show this node and its publishers.
    discovery.writer = createWriter(participant.handle(), &rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc,
                                    "ros_discovery_info", true, 1);
    std::vector<rmw_dds_common_msg_dds__Gid_> writers;
    for (const Publisher* p : {&depth, &info, &amplitude, &confidence, &points, &raw, &diagnostics, &tfStatic})
        if (p->writer > 0) writers.push_back(gidMessage(gid(p->writer)));
    rmw_dds_common_msg_dds__NodeEntitiesInfo_ node{};
    node.node_namespace = text(options.names.nodeNamespace);
    node.node_name = text(options.names.nodeName);
    node.writer_gid_seq = sequence<dds_sequence_rmw_dds_common_msg_dds__Gid_>(writers.data(), writers.size());
    rmw_dds_common_msg_dds__ParticipantEntitiesInfo_ message{};
    message.gid = gidMessage(gid(participant.handle()));
    message.node_entities_info_seq = sequence<dds_sequence_rmw_dds_common_msg_dds__NodeEntitiesInfo_>(&node, 1);
    check(dds_write(discovery.writer, &message), "announcing the node on ros_discovery_info");
}

void Ros2CameraNode::publishStaticTransform() {
    geometry_msgs_msg_dds__TransformStamped_ t{};
    t.header = header(systemNowNs(), options.params.linkFrameId);
    t.child_frame_id = text(options.params.frameId);
    // Optical frame: z forward, x right, y down; the link: x forward, y left, z up.
    t.transform.rotation.x = -0.5;
    t.transform.rotation.y = 0.5;
    t.transform.rotation.z = -0.5;
    t.transform.rotation.w = 0.5;
    tf2_msgs_msg_dds__TFMessage_ message{};
    message.transforms = sequence<dds_sequence_geometry_msgs_msg_dds__TransformStamped_>(&t, 1);
    tfStatic.write(&message);
}

void Ros2CameraNode::publishFrame(const StreamFrame& frame) {
    if (frame.output == StreamOutput::Depth) {
        publishDepth(frame);
    } else if (raw.wanted()) {
        const Header h = header(frame.stampNs, options.params.frameId);
        const auto message = image(h, frame.rawWidth, frame.rawHeight, "16SC1", sizeof(int16_t), frame.raw);
        raw.write(&message);
    }
}

void Ros2CameraNode::publishDepth(const StreamFrame& frame) {
    const Header h = header(frame.stampNs, options.params.frameId);
    const DepthPlanes& planes = frame.planes;
    const NodeParameters& p = options.params;
    const bool wantDepth = depth.wanted(), wantInfo = info.wanted(), wantPoints = points.writer > 0 && points.wanted();
    if (wantDepth || wantInfo || wantPoints) {
        Intrinsics lens;
        std::string note;
        const CameraCalibration camera = cameraInfoFor(calibration.get(), planes.width, planes.height, lens, note);
        if (note != lensNote && !note.empty()) log(LogLevel::Warn, note);
        lensNote = note;
        if (rays.intrinsics() != lens || rays.size() != static_cast<size_t>(planes.width) * planes.height)
            rays = RayTable(lens);
        const size_t pixels = static_cast<size_t>(planes.width) * planes.height;
        if (wantDepth) depthData.resize(pixels * bytesPerPixel(p.depthEncoding));
        if (wantPoints) pointData.resize(pixels * sizeof(PointXYZI));
        // Depth image and cloud from one walk over the frame.
        if (wantDepth || wantPoints)
            convertFrame(planes, rays, static_cast<float>(p.settings.minConfidence), p.depthEncoding,
                         wantDepth ? depthData.data() : nullptr,
                         wantPoints ? reinterpret_cast<PointXYZI*>(pointData.data()) : nullptr);
        if (wantDepth) {
            const auto message = image(h, planes.width, planes.height, encodingName(p.depthEncoding),
                                       bytesPerPixel(p.depthEncoding), depthData.data());
            depth.write(&message);
        }
        if (wantInfo) {
            sensor_msgs_msg_dds__CameraInfo_ m{};
            m.header = h;
            m.width = camera.width;
            m.height = camera.height;
            m.distortion_model = text(camera.distortionModel);
            m.d = sequence<dds_sequence_double>(camera.d.data(), camera.d.size());
            std::copy(camera.k.begin(), camera.k.end(), m.k);
            std::copy(camera.r.begin(), camera.r.end(), m.r);
            std::copy(camera.p.begin(), camera.p.end(), m.p);
            info.write(&m);
        }
        if (wantPoints) {
            static const char* const names[] = {"x", "y", "z", "intensity"};
            sensor_msgs_msg_dds__PointField_ fields[4];
            for (uint32_t i = 0; i < 4; ++i) {
                fields[i].name = const_cast<char*>(names[i]);
                fields[i].offset = i * sizeof(float);
                fields[i].datatype = 7;  // FLOAT32
                fields[i].count = 1;
            }
            sensor_msgs_msg_dds__PointCloud2_ m{};
            m.header = h;
            m.height = planes.height;
            m.width = planes.width;
            m.fields = sequence<dds_sequence_sensor_msgs_msg_dds__PointField_>(fields, 4);
            m.is_bigendian = false;
            m.point_step = sizeof(PointXYZI);
            m.row_step = m.point_step * planes.width;
            m.data = sequence<dds_sequence_octet>(pointData.data(), pointData.size());
            m.is_dense = false;
            points.write(&m);
        }
    }
    for (auto plane : {std::make_pair(&amplitude, planes.amplitude), std::make_pair(&confidence, planes.confidence)}) {
        if (!plane.first->wanted()) continue;
        const auto message = image(h, planes.width, planes.height, "32FC1", sizeof(float), plane.second);
        plane.first->write(&message);
    }
}

void Ros2CameraNode::publishDiagnostics() {
    const StreamHealth health = stream->health();
    const HealthReport report = describeHealth(health, previousHealth);
    previousHealth = health;
    std::vector<std::pair<std::string, std::string>> values = report.values;
    for (const Publisher* p : {&depth, &info, &amplitude, &confidence, &points, &raw})
        values.emplace_back("published " + p->topic, std::to_string(p->published.load()));
    std::vector<diagnostic_msgs_msg_dds__KeyValue_> pairs;
    for (const auto& v : values) pairs.push_back({text(v.first), text(v.second)});

    diagnostic_msgs_msg_dds__DiagnosticStatus_ status{};
    status.level = static_cast<uint8_t>(report.level);
    status.name = text(nodeName);
    status.message = text(report.message);
    status.hardware_id = text(health.camera);
    status.values = sequence<dds_sequence_diagnostic_msgs_msg_dds__KeyValue_>(pairs.data(), pairs.size());
    diagnostic_msgs_msg_dds__DiagnosticArray_ array{};
    const std::string noFrame;
    array.header = header(systemNowNs(), noFrame);
    array.status = sequence<dds_sequence_diagnostic_msgs_msg_dds__DiagnosticStatus_>(&status, 1);
    diagnostics.write(&array);
}

}  // namespace Ros
}  // namespace Velmora
