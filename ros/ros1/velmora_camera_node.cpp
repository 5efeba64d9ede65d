// velmora_camera_node: the depth camera as a ROS 1 node.

#include <ros/ros.h>

#include "CameraNode.h"

int main(int argc, char** argv) {
    ros::init(argc, argv, "velmora_camera");
    ros::NodeHandle nh;
    ros::NodeHandle pnh("~");
    Velmora::Ros::CameraNode node(nh, pnh);
    if (!node.ok()) return 2;
    // Ctrl-C ends the spin through roscpp's own handler.
    ros::spin();
    node.shutdown();
    return 0;
}
