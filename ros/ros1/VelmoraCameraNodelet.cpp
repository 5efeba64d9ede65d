// The camera as a nodelet, so image_proc and friends in the same manager get
// its messages without a copy.

#include <memory>

#include <nodelet/exception.h>
#include <nodelet/nodelet.h>
#include <pluginlib/class_list_macros.hpp>

#include "CameraNode.h"

namespace Velmora {
namespace Ros {

class VelmoraCameraNodelet : public nodelet::Nodelet {
public:
    ~VelmoraCameraNodelet() override {
        if (node) node->shutdown();
    }

private:
    void onInit() override {
        node = std::make_unique<CameraNode>(getNodeHandle(), getPrivateNodeHandle());
        if (node->ok()) return;
        node.reset();
        NODELET_FATAL("parameters refused; the camera is not opened");
        // The manager then unloads the nodelet and fails the load request, as the node exits.
        throw nodelet::Exception("parameters refused");
    }
    std::unique_ptr<CameraNode> node;
};

}  // namespace Ros
}  // namespace Velmora

PLUGINLIB_EXPORT_CLASS(Velmora::Ros::VelmoraCameraNodelet, nodelet::Nodelet)
