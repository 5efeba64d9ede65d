"""Two machines on one host: network namespaces of this test's own, joined
by a veth pair with private addresses that exist only inside them. The master
and the camera node run in one, a subscriber in the other receives frames."""

import os
import shutil
import subprocess
import sys
import unittest

import ros_fixture as fx

CAMERA_IP, VIEWER_IP = "10.213.71.1", "10.213.71.2"
SUFFIX = str(os.getpid())
CAMERA_NS, VIEWER_NS = "vlmcam" + SUFFIX, "vlmview" + SUFFIX

SUBSCRIBER = r"""
import sys, rospy
from sensor_msgs.msg import Image
rospy.init_node("viewer", anonymous=True)
m = rospy.wait_for_message("/camera/depth/image_raw", Image, timeout=30)
print("received %s %dx%d from %s" % (m.encoding, m.width, m.height, m._connection_header["callerid"]))
"""


def ip(*args):
    return subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def create_namespaces():
    """Returns why they cannot be made here, or None."""
    if shutil.which("ip") is None:
        return "the ip command is missing"
    steps = [("netns", "add", CAMERA_NS), ("netns", "add", VIEWER_NS),
             ("link", "add", "vlmc" + SUFFIX, "type", "veth", "peer", "name", "vlmv" + SUFFIX),
             ("link", "set", "vlmc" + SUFFIX, "netns", CAMERA_NS),
             ("link", "set", "vlmv" + SUFFIX, "netns", VIEWER_NS)]
    for ns, link, address in ((CAMERA_NS, "vlmc" + SUFFIX, CAMERA_IP), (VIEWER_NS, "vlmv" + SUFFIX, VIEWER_IP)):
        steps += [("-n", ns, "link", "set", "lo", "up"), ("-n", ns, "addr", "add", address + "/24", "dev", link),
                  ("-n", ns, "link", "set", link, "up")]
    for step in steps:
        result = ip(*step)
        if result.returncode != 0:
            return "ip %s: %s" % (" ".join(step), result.stdout.decode().strip())
    return None


def delete_namespaces():
    # The veth pair goes with them.
    for ns in (CAMERA_NS, VIEWER_NS):
        ip("netns", "del", ns)


def tearDownModule():
    shutil.rmtree(fx.WORK, ignore_errors=True)


class TwoMachines(unittest.TestCase):
    def setUp(self):
        problem = create_namespaces()
        if problem:
            delete_namespaces()
            self.skipTest("network namespaces cannot be created here (%s)" % problem)
        self.addCleanup(delete_namespaces)

    def test_a_subscriber_on_the_other_machine_receives_frames(self):
        port = 11311
        camera_env = fx.ros_environment(ip=CAMERA_IP, port=port)
        viewer_env = fx.ros_environment(ip=VIEWER_IP, master_ip=CAMERA_IP, port=port)
        on_camera = ["ip", "netns", "exec", CAMERA_NS]
        master = fx.Process(["rosmaster", "--core", "-p", str(port)], "netns-master", camera_env, on_camera)
        self.addCleanup(master.stop)
        config = fx.write_config("netns.cfg", "scene=wall\nfps=20\n")
        node = fx.Process([fx.NODE, "__ns:=camera", "_config:=" + config], "netns-node", camera_env, on_camera)
        self.addCleanup(node.stop)
        viewer = subprocess.run(["ip", "netns", "exec", VIEWER_NS, sys.executable, "-c", SUBSCRIBER],
                                env=viewer_env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        output = viewer.stdout.decode()
        self.assertEqual(viewer.returncode, 0, output + node.output() + master.output())
        self.assertIn("received 32FC1 240x180 from /camera/velmora_camera", output)


if __name__ == "__main__":
    unittest.main()
