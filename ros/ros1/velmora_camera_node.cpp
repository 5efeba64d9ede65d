// velmora_camera_node: the depth camera as a ROS 1 node.

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <ros/ros.h>

#include "CameraNode.h"

namespace {
std::atomic<bool> interrupted{false};
void onSignal(int) { interrupted = true; }
}  // namespace

int main(int argc, char** argv) {
    // Our own handler: the camera is closed while ROS still runs, so the
    // node can say so.
    ros::init(argc, argv, "velmora_camera", ros::init_options::NoSigintHandler);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    ros::NodeHandle nh;
    ros::NodeHandle pnh("~");
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
