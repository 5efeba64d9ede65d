"""velmora_camera_node against a real ROS master on 127.0.0.1, streaming the
virtual camera."""

import math
import os
import subprocess
import time
import unittest

import cv2
import numpy as np

import ros_fixture as fx
from ros_fixture import Collector, rospy, wait_for
from sensor_msgs.msg import CameraInfo, Image, PointCloud2
from sensor_msgs.srv import SetCameraInfo


def setUpModule():
    fx.start_master()


def tearDownModule():
    fx.stop_master()


def image_array(msg):
    dtype = {"32FC1": np.float32, "16UC1": np.uint16, "16SC1": np.int16}[msg.encoding]
    return np.frombuffer(msg.data, dtype=dtype).reshape(msg.height, msg.width)


def cloud_array(msg):
    assert [f.name for f in msg.fields] == ["x", "y", "z", "intensity"]
    return np.frombuffer(msg.data, dtype=np.float32).reshape(msg.height, msg.width, 4)


def reconfigure(changes):
    from dynamic_reconfigure.client import Client
    return Client("/camera/velmora_camera", timeout=10).update_configuration(changes)


class WallScene(unittest.TestCase):
    """A flat wall 2.5 m in front of the camera, 20 frames per second."""

    @classmethod
    def setUpClass(cls):
        cls.config = fx.write_config("wall.cfg", "scene=wall\ndistance_mm=2500\nfps=20\n")
        cls.node = fx.start_node(cls.config, "wall")

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def collect(self, topic, message_type, count):
        c = Collector(topic, message_type)
        self.addCleanup(c.close)
        self.assertTrue(c.wait(count, 15), "%s: %d messages\n%s" % (topic, len(c.messages), self.node.output()))
        return c

    def test_depth_is_the_walls_z_and_the_cloud_projects_back_to_its_pixels(self):
        depth = self.collect("/camera/depth/image_raw", Image, 1).messages[0]
        info = self.collect("/camera/depth/camera_info", CameraInfo, 1).messages[0]
        cloud = self.collect("/camera/depth/points", PointCloud2, 1).messages[0]
        self.assertEqual((depth.encoding, depth.header.frame_id), ("32FC1", "camera_depth_optical_frame"))
        z = image_array(depth)
        self.assertEqual(z.shape, (180, 240))
        self.assertFalse(np.isnan(z).any())
        # Along the axis everywhere, not the ray length (1.37 times more in the corners).
        self.assertLess(np.abs(z - 2.5).max(), 0.004)

        points = cloud_array(cloud)
        xyz = points[:, :, :3].reshape(-1, 3).astype(np.float64)
        centroid = xyz.mean(axis=0)
        normal = np.linalg.svd(xyz - centroid, full_matrices=False)[2][2]
        self.assertGreater(abs(normal[2]), 0.9999)
        self.assertLess(np.abs((xyz - centroid) @ normal).max(), 0.004)
        self.assertAlmostEqual(centroid[2], 2.5, delta=0.002)
        self.assertTrue((points[:, :, 3] > 0).all())  # amplitude as intensity

        k = np.array(info.K).reshape(3, 3)
        self.assertEqual((info.width, info.height), (240, 180))
        pixels = (k @ (xyz / xyz[:, 2:3]).T).T
        rows, columns = np.mgrid[0:180, 0:240]
        self.assertLess(np.abs(pixels[:, 0] - columns.ravel()).max(), 0.01)
        self.assertLess(np.abs(pixels[:, 1] - rows.ravel()).max(), 0.01)

    def test_camera_info_comes_with_every_depth_image(self):
        depth = self.collect("/camera/depth/image_raw", Image, 10)
        info = self.collect("/camera/depth/camera_info", CameraInfo, 10)
        key = lambda m: (m.header.stamp.secs, m.header.stamp.nsecs)
        common = {key(m) for m in depth.messages} & {key(m) for m in info.messages}
        self.assertGreaterEqual(len(common), 8)

    def test_rate_and_stamps_follow_the_configured_frame_rate(self):
        c = self.collect("/camera/amplitude/image_raw", Image, 50)
        arrival_rate = (len(c.arrivals) - 1) / (c.arrivals[-1] - c.arrivals[0])
        self.assertAlmostEqual(arrival_rate, 20, delta=3)
        stamps = np.array([m.header.stamp.to_sec() for m in c.messages])
        intervals = np.diff(stamps)
        # The sensor's clock: 50 ms apart, whatever the delivery.
        self.assertAlmostEqual(np.median(intervals), 0.05, delta=0.0001)
        self.assertLess(np.abs(intervals - 0.05).max(), 0.002)
        self.assertLessEqual(stamps[-1], rospy.Time.now().to_sec())
        self.assertGreater(stamps[-1], rospy.Time.now().to_sec() - 1.0)

    def test_nothing_is_computed_for_topics_nobody_subscribes_to(self):
        before = self.settled_counts()
        amplitude = self.collect("/camera/amplitude/image_raw", Image, 10)
        after = fx.diagnostics()[2]
        amplitude.close()
        published = lambda topic: int(after["published " + topic]) - int(before["published " + topic])
        self.assertGreaterEqual(published("amplitude/image_raw"), 10)
        for topic in ("depth/image_raw", "depth/camera_info", "depth/points", "confidence/image_raw"):
            self.assertEqual(published(topic), 0, topic)

    def settled_counts(self):
        # Subscribers of earlier tests take a moment to go.
        previous = None
        for _ in range(20):
            values = fx.diagnostics()[2]
            counts = {k: v for k, v in values.items() if k.startswith("published")}
            if counts == previous:
                return values
            previous = counts
        self.fail("topics keep being published without subscribers: %s" % previous)

    def test_reconfigured_range_shows_in_the_next_frames_and_a_refused_one_keeps_it(self):
        centre = lambda: image_array(self.collect("/camera/depth/image_raw", Image, 1).messages[0])[90, 120]
        self.assertAlmostEqual(centre(), 2.5, delta=0.01)
        try:
            self.assertEqual(reconfigure({"range": 2000})["range"], 2000)
            # 2.5 m lies beyond the unambiguous 2 m of the near range: it folds to 0.5 m.
            self.assertTrue(wait_for(lambda: abs(centre() - 0.5) < 0.01, 5))
            result = reconfigure({"range": 3000, "skip_frame": 2, "skip_frame_loop": 2})
            self.assertEqual((result["range"], result["skip_frame"], result["skip_frame_loop"]), (2000, 0, 1))
            self.assertAlmostEqual(centre(), 0.5, delta=0.01)
            self.assertTrue(wait_for(lambda: "range 3000" in self.node.output(), 5), self.node.output())
        finally:
            reconfigure({"range": 4000})
        self.assertTrue(wait_for(lambda: abs(centre() - 2.5) < 0.01, 5))

    def test_depth_filters_change_while_streaming(self):
        centre = lambda: image_array(self.collect("/camera/depth/image_raw", Image, 1).messages[0])[90, 120]
        try:
            # No surface is as bright as this illumination promises: every pixel counts as wrapped.
            result = reconfigure({"wrapped_distance": True, "wrapped_white_amplitude": 1e9})
            self.assertEqual((result["wrapped_distance"], result["wrapped_white_amplitude"]), (True, 1e9))
            self.assertTrue(wait_for(lambda: np.isnan(centre()), 5))
        finally:
            reconfigure({"wrapped_distance": False, "wrapped_white_amplitude": 0.0})
        self.assertTrue(wait_for(lambda: abs(centre() - 2.5) < 0.01, 5))

    def test_recorded_bag_plays_back_the_same_images(self):
        bag = os.path.join(fx.WORK, "wall.bag")
        live = Collector("/camera/depth/image_raw", Image)
        self.addCleanup(live.close)
        subprocess.run(["rosbag", "record", "-q", "-O", bag, "--duration=2", "/camera/depth/image_raw"],
                       check=True, timeout=60, stdout=subprocess.DEVNULL)
        live.close()
        played = Collector("/replay/depth/image_raw", Image)
        self.addCleanup(played.close)
        time.sleep(0.5)
        subprocess.run(["rosbag", "play", "-q", "-d", "1", bag, "/camera/depth/image_raw:=/replay/depth/image_raw"],
                       check=True, timeout=60, stdout=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: len(played.messages) >= 10, 5),
                        subprocess.run(["rosbag", "info", bag], stdout=subprocess.PIPE).stdout.decode())
        key = lambda m: (m.header.stamp.secs, m.header.stamp.nsecs)
        by_stamp = {key(m): m for m in live.messages}
        matched = 0
        for m in played.messages:
            original = by_stamp.get(key(m))
            if original is not None:
                self.assertEqual((m.encoding, m.width, m.height, m.data),
                                 (original.encoding, original.width, original.height, original.data))
                matched += 1
        self.assertGreaterEqual(matched, 10)


class Encodings(unittest.TestCase):
    def test_16uc1_gives_millimetres_along_the_axis(self):
        # Every pixel 1200 mm away along its ray: along the axis that is 1200
        # mm times the cosine of the ray's angle, 1200 at the centre.
        config = fx.write_config("constant.cfg", "scene=constant\ndistance_mm=1200\nfps=20\n")
        node = fx.start_node(config, "constant", depth_encoding="16UC1")
        self.addCleanup(node.stop)
        depth = Collector("/camera/depth/image_raw", Image)
        info = Collector("/camera/depth/camera_info", CameraInfo)
        self.addCleanup(depth.close)
        self.addCleanup(info.close)
        self.assertTrue(depth.wait(1, 15) and info.wait(1, 15), node.output())
        mm = image_array(depth.messages[0])
        self.assertEqual(depth.messages[0].encoding, "16UC1")
        k = np.array(info.messages[0].K).reshape(3, 3)
        rows, columns = np.mgrid[0:180, 0:240]
        u, v = (columns - k[0, 2]) / k[0, 0], (rows - k[1, 2]) / k[1, 1]
        expected = 1200 / np.sqrt(u * u + v * v + 1)
        self.assertLessEqual(np.abs(mm - expected).max(), 2)
        self.assertAlmostEqual(int(mm[90, 120]), 1200, delta=1)

    def test_raw_output_publishes_the_raw_frame(self):
        config = fx.write_config("raw.cfg", "scene=wall\nfps=20\n")
        node = fx.start_node(config, "raw", output="raw")
        self.addCleanup(node.stop)
        raw = Collector("/camera/raw/image_raw", Image)
        self.addCleanup(raw.close)
        self.assertTrue(raw.wait(1, 15), node.output())
        frame = image_array(raw.messages[0])
        self.assertEqual(raw.messages[0].encoding, "16SC1")
        self.assertEqual(frame.shape, (4 * 180, 240))  # the four phases down the rows
        self.assertGreater(np.abs(frame).max(), 0)


class Faults(unittest.TestCase):
    def test_a_camera_fault_is_reported_and_streaming_resumes(self):
        # A file the camera cannot be opened with (one that does not open at all is refused at start).
        path = fx.write_config("fault.cfg", "scene=none\n")
        node = fx.start_node(path, "fault", stall_timeout=0.5)
        self.addCleanup(node.stop)
        errors = []

        def seen(part):
            level, message, _ = fx.diagnostics()
            errors.append((level, message))
            return level == 2 and part in message

        self.assertTrue(wait_for(lambda: seen("cannot open"), 15), errors)
        # It opens, but every image comes a line short: nothing is delivered.
        fx.write_config("fault.cfg", "scene=wall\nfps=20\nwrong_size_every=1\n")
        self.assertTrue(wait_for(lambda: seen("no frame from"), 20), errors)
        self.assertTrue(node.running())
        fx.write_config("fault.cfg", "scene=wall\nfps=20\n")
        depth = Collector("/camera/depth/image_raw", Image)
        self.addCleanup(depth.close)
        self.assertTrue(depth.wait(5, 20), node.output())
        level, message, values = fx.diagnostics()
        self.assertEqual((level, message), (0, "streaming"))
        self.assertGreaterEqual(int(values["reconnects"]), 1)
        self.assertIn("camera streaming again", node.output())


class Calibration(unittest.TestCase):
    def test_a_calibration_is_checked_and_applied_and_its_absence_announced(self):
        yaml = fx.write_config("calibration.yaml", CALIBRATION_FILE)  # fx below 0
        node = fx.start_node(fx.write_config("calibrated.cfg", "scene=wall\nfps=20\n"), "calibration",
                             camera_info_url="file://" + yaml)
        self.addCleanup(node.stop)
        info, cloud = Collector("/camera/depth/camera_info", CameraInfo), Collector("/camera/depth/points", PointCloud2)
        self.addCleanup(info.close)
        self.addCleanup(cloud.close)
        # Refused from the file: reported, and the nominal lens used, announced once.
        self.assertTrue(info.wait(1, 15) and cloud.wait(1, 15), node.output())
        self.assertGreater(info.messages[-1].K[0], 0)
        self.assertIn("fx -300", node.output())
        self.assertEqual(node.output().count("intrinsics are nominal"), 1, node.output())

        set_camera_info = rospy.ServiceProxy("/camera/set_camera_info", SetCameraInfo)
        k, d = [200.0, 0, 119.5, 0, 200, 89.5, 0, 0, 1], [0.4, -0.2, 0.001, -0.002, 0.05, 0.5, -0.1, 0.04]
        calibration = lambda k, d: CameraInfo(width=240, height=180, distortion_model="rational_polynomial", D=d, K=k,
                                              R=[1, 0, 0, 0, 1, 0, 0, 0, 1], P=k[:3] + [0] + k[3:6] + [0, 0, 0, 1, 0])
        answer = set_camera_info(calibration([0.0] + k[1:], d))
        self.assertFalse(answer.success)
        self.assertIn("fx", answer.status_message)
        # OpenCV's rational polynomial: the points reproject through the published K and D to their pixels.
        answer = set_camera_info(calibration(k, d))
        self.assertTrue(answer.success, answer.status_message)
        self.assertTrue(wait_for(lambda: info.messages[-1].distortion_model == "rational_polynomial", 5))
        self.assertEqual(list(info.messages[-1].D), d)
        del cloud.messages[:]
        self.assertTrue(cloud.wait(1, 5))
        xyz = cloud_array(cloud.messages[0])[:, :, :3].reshape(-1, 3).astype(np.float64)
        pixels = cv2.projectPoints(xyz, np.zeros(3), np.zeros(3), np.array(k).reshape(3, 3), np.array(d))[0]
        rows, columns = np.mgrid[0:180, 0:240]
        self.assertLess(np.abs(pixels.reshape(-1, 2) - np.stack([columns.ravel(), rows.ravel()], 1)).max(), 0.01)
        self.assertIn("rational_polynomial", open(yaml).read())  # stored where it came from


CALIBRATION_FILE = """image_width: 240
image_height: 180
camera_name: velmora_camera
camera_matrix: {rows: 3, cols: 3, data: [-300, 0, 119.5, 0, 300, 89.5, 0, 0, 1]}
distortion_model: plumb_bob
distortion_coefficients: {rows: 1, cols: 5, data: [0, 0, 0, 0, 0]}
rectification_matrix: {rows: 3, cols: 3, data: [1, 0, 0, 0, 1, 0, 0, 0, 1]}
projection_matrix: {rows: 3, cols: 4, data: [-300, 0, 119.5, 0, 0, 300, 89.5, 0, 0, 0, 1, 0]}
"""


class Lifecycle(unittest.TestCase):
    def test_ctrl_c_or_rosnode_kill_closes_the_camera_within_a_second(self):
        config = fx.write_config("stop.cfg", "scene=wall\nfps=30\n")
        kill = ["rosnode", "kill", "/camera/velmora_camera"]
        for how in ("interrupt", "kill"):
            with self.subTest(how):
                node = fx.start_node(config, "stop-" + how)
                depth = Collector("/camera/depth/image_raw", Image)
                self.addCleanup(depth.close)
                self.assertTrue(depth.wait(3, 15), node.output())
                if how == "kill":
                    subprocess.run(kill, check=True, timeout=30, stdout=subprocess.DEVNULL)
                    start = time.monotonic()
                    status, seconds = node.proc.wait(10), time.monotonic() - start
                else:
                    status, seconds = node.interrupt()
                node.stop()
                self.assertEqual(status, 0, node.output())
                self.assertLess(seconds, 1.0)
                self.assertIn("camera closed", node.output().rstrip().splitlines()[-1], node.output())

    def test_two_cameras_side_by_side_as_node_and_as_nodelet(self):
        config = fx.write_config("launch.cfg", "scene=wall\nfps=20\n")
        manager = fx.Process(["rosrun", "nodelet", "nodelet", "manager", "__name:=manager"], "manager")
        self.addCleanup(manager.stop)
        rospy.set_param("/left/velmora_camera/min_confidence", 1e9)  # left on the master by an earlier run
        launches, depth = {}, {}
        # One after the other: the first roslaunch sets the master's run_id, which the second takes.
        for camera, extra in (("left", []), ("right", ["manager:=/manager"])):
            launches[camera] = fx.Process(["roslaunch", "velmora_camera", "velmora_camera.launch", "camera:=" + camera,
                                           "config:=" + config] + extra, "launch-" + camera)
            self.addCleanup(launches[camera].stop)
            depth[camera] = Collector("/%s/depth/image_raw" % camera, Image)
            self.addCleanup(depth[camera].close)
            self.assertTrue(depth[camera].wait(1, 30), launches[camera].output() + manager.output())
        for camera in launches:
            self.assertTrue(depth[camera].wait(10, 10), launches[camera].output() + manager.output())
            image = depth[camera].messages[-1]
            self.assertEqual(image.header.frame_id, camera + "_depth_optical_frame")
            self.assertFalse(np.isnan(image_array(image)).any())
        launches["right"].stop()
        self.assertTrue(wait_for(lambda: "camera closed" in manager.output(), 10), manager.output())

        # Refused parameters fail the nodelet's load, as they end the node.
        rospy.set_param("/refused/range", 3000)
        load = fx.Process(["rosrun", "nodelet", "nodelet", "load", "velmora_camera/VelmoraCameraNodelet", "/manager",
                           "__name:=refused"], "refused")
        self.addCleanup(load.stop)
        self.assertTrue(wait_for(lambda: not load.running(), 20), load.output() + manager.output())
        self.assertNotEqual(load.proc.returncode, 0, load.output())


if __name__ == "__main__":
    unittest.main()
