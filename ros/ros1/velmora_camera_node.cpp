// velmora_camera_node: the depth camera as a ROS 1 node.

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <ros/ros.h>
#include <ros/xmlrpc_manager.h>

#include "CameraNode.h"

namespace {
std::atomic<bool> interrupted{false};
void onSignal(int) { interrupted = true; }

// rosnode kill, or a node of the same name starting, asks over XML-RPC.
// roscpp would shut down at once, logging included, before the camera is
// closed; here the request only ends the main loop.
void onShutdownRequest(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) {
    std::string reason = "none given";
    if (params.getType() == XmlRpc::XmlRpcValue::TypeArray && params.size() > 1 &&
        params[1].getType() == XmlRpc::XmlRpcValue::TypeString)
        reason = static_cast<std::string>(params[1]);
    ROS_WARN("shutdown requested: %s", reason.c_str());
    interrupted = true;
    result = ros::xmlrpc::responseInt(1, "", 0);
}
}  // namespace

int main(int argc, char** argv) {
    // Our own handler: the camera is closed while ROS still runs, so the
    // node can say so.
    ros::init(argc, argv, "velmora_camera", ros::init_options::NoSigintHandler);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    ros::NodeHandle nh;  // starts roscpp, which binds its own "shutdown"
    ros::NodeHandle pnh("~");
    ros::XMLRPCManager::instance()->unbind("shutdown");
    ros::XMLRPCManager::instance()->bind("shutdown", onShutdownRequest);
    int status = 0;
    {
        Velmora::Ros::CameraNode node(nh, pnh);
        if (node.ok()) {
            ros::AsyncSpinner spinner(1);
            spinner.start();
            while (!interrupted && ros::ok()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            node.shutdown();
        } else {
            status = 2;
        }
    }
    ros::shutdown();
    return status;
}
