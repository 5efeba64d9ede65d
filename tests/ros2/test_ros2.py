"""velmora_camera_ros2 seen by ros2_probe, a ROS 2-style subscriber on Fast
DDS (an implementation independent of the node's Cyclone DDS), on the
loopback interface or between two network namespaces of the test's own.
CTest sets VELMORA_ROS2_NODE and VELMORA_ROS2_PROBE."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import numpy as np

NODE, PROBE = os.environ.get("VELMORA_ROS2_NODE", ""), os.environ.get("VELMORA_ROS2_PROBE", "")
WORK = tempfile.mkdtemp(prefix="velmora-ros2-test-")
DOMAIN = str(100 + os.getpid() % 100)  # apart from any other DDS on this machine


def cyclone(interface, peer):
    """Cyclone DDS on one interface, discovering by unicast to one peer."""
    return ('<General><Interfaces><NetworkInterface %s/></Interfaces><AllowMulticast>false</AllowMulticast></General>'
            '<Discovery><Peers><Peer address="%s"/></Peers><ParticipantIndex>auto</ParticipantIndex></Discovery>'
            % (interface, peer))


os.environ.update(ROS_DOMAIN_ID=DOMAIN, CYCLONEDDS_URI=cyclone('name="lo"', "127.0.0.1"))


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


def write(name, text):
    with open(os.path.join(WORK, name), "w") as f:
        f.write(text)
    return name


class Node(object):
    """The node, in WORK as a user starts it, its output in a file."""

    def __init__(self, *ros_args, env=None, prefix=()):
        self.log = open(os.path.join(WORK, "node-%d.log" % id(self)), "w+")
        self.proc = subprocess.Popen(list(prefix) + [NODE, "--ros-args"] + list(ros_args), cwd=WORK, env=env,
                                     stdout=self.log, stderr=subprocess.STDOUT)

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self, sig=signal.SIGINT):
        """Returns the exit status and the seconds it took."""
        start = time.monotonic()
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            status = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        return status, time.monotonic() - start


def probe(*topics, reliable=False, count=1, timeout=20, prefix=(), options=()):
    """The samples, by topic, that the probe took."""
    args = list(prefix) + [PROBE, "--count", str(count), "--timeout", str(timeout)] + list(options)
    # Under the address sanitizer: Fast DDS 2.9 itself deletes its statistics
    # readers through the wrong type and keeps singletons to the end; the
    # probe is a peer, not the code under test.
    env = dict(os.environ, ASAN_OPTIONS="new_delete_type_mismatch=0:detect_leaks=0")
    result = subprocess.run(args + (["--reliable"] if reliable else []) + list(topics), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, universal_newlines=True, timeout=timeout + 30, env=env)
    samples = {}
    for line in result.stdout.splitlines():
        if line.startswith("{"):
            sample = json.loads(line)
            samples.setdefault(sample["topic"], []).append(sample)
    return result.returncode, samples


def array(sample, dtype, shape):
    return np.frombuffer(bytes.fromhex(sample["data"]), dtype=dtype).reshape(shape)


def stamp(sample):
    return tuple(sample["stamp"])


class Loopback(unittest.TestCase):
    """A wall 2.5 m in front of the camera, 20 frames per second."""

    @classmethod
    def setUpClass(cls):
        write("wall.cfg", "scene=wall\ndistance_mm=2500\nfps=20\n")
        cls.node = Node("-r", "__ns:=/camera", "-p", "config:=wall.cfg")

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def receive(self, *topics, **options):
        status, samples = probe(*topics, **options)
        self.assertEqual(status, 0, "%s\n%s" % ({t: len(s) for t, s in samples.items()}, self.node.output()))
        return samples

    def test_best_effort_reader_gets_the_wall_in_depth_info_and_points_with_shared_stamps(self):
        samples = self.receive("rt/camera/depth/image_raw=image", "rt/camera/depth/camera_info=camera_info",
                               "rt/camera/depth/points=points", count=10)
        images, infos, clouds = (samples["rt/camera/depth/" + t] for t in ("image_raw", "camera_info", "points"))
        for sample in images + infos + clouds:
            self.assertEqual(sample["encapsulation"][:4], "0001")  # plain CDR, little-endian
            self.assertEqual(sample["frame_id"], "camera_depth_optical_frame")
        # camera_info with every frame, under the frame's stamp.
        self.assertGreaterEqual(len({stamp(s) for s in images} & {stamp(s) for s in infos}), 8)
        by_stamp = {stamp(s): s for s in infos}
        cloud = next(c for c in clouds if stamp(c) in by_stamp)
        info, image = by_stamp[stamp(cloud)], images[-1]

        self.assertEqual((image["encoding"], image["width"], image["height"], image["step"], image["is_bigendian"]),
                         ("32FC1", 240, 180, 960, 0))
        self.assertLess(np.abs(array(image, np.float32, (180, 240)) - 2.5).max(), 0.004)  # NaN fails too
        names = ("x", "y", "z", "intensity")
        self.assertEqual(cloud["fields"], [dict(n=n, o=4 * i, t=7, c=1) for i, n in enumerate(names)])
        self.assertEqual((cloud["point_step"], cloud["row_step"], cloud["is_dense"]), (16, 3840, 0))
        points = array(cloud, np.float32, (180, 240, 4)).astype(np.float64)
        self.assertLess(np.abs(points[:, :, 2] - 2.5).max(), 0.004)
        self.assertTrue((points[:, :, 3] > 0).all())
        k = np.array(info["k"]).reshape(3, 3)
        pixels = np.einsum("ij,rcj->rci", k, points[:, :, :3] / points[:, :, 2:3])
        rows, columns = np.mgrid[0:180, 0:240]
        self.assertLess(np.abs(pixels[:, :, 0] - columns).max(), 0.01)
        self.assertLess(np.abs(pixels[:, :, 1] - rows).max(), 0.01)
        self.assertEqual((info["distortion_model"], info["d"], info["r"]),
                         ("plumb_bob", [0] * 5, [1, 0, 0, 0, 1, 0, 0, 0, 1]))
        self.assertEqual(info["p"], info["k"][:3] + [0] + info["k"][3:6] + [0, 0, 0, 1, 0])

        # Host capture times, 50 ms apart as the sensor took them.
        seconds = np.array(sorted(s + ns * 1e-9 for s, ns in by_stamp))
        self.assertAlmostEqual(np.median(np.diff(seconds)), 0.05, delta=0.001)
        self.assertLess(abs(time.time() - seconds[-1]), 2.0)

    def test_graph_latched_transform_and_reliable_readers(self):
        # Started after the node: the transient-local topics still come.
        samples = self.receive("ros_discovery_info=discovery", "rt/tf_static=tf", "rt/camera/depth/points=points",
                               "rt/camera/depth/image_raw=image", reliable=True)
        image, cloud = samples["rt/camera/depth/image_raw"][0], samples["rt/camera/depth/points"][0]
        info = next(s for s in samples["ros_discovery_info"] if s["nodes"][0]["name"] == "velmora_camera")
        node = info["nodes"][0]
        self.assertEqual((node["namespace"], node["readers"]), ("/camera", []))
        # GIDs: the 16-byte GUIDs padded to 24; the writers of this participant.
        self.assertEqual(info["gid"][24:], "000001c1" + "0" * 16)
        for sample in (image, cloud, samples["rt/tf_static"][0]):
            self.assertIn(sample["writer"] + "0" * 16, node["writers"])
        self.assertEqual({w[:24] for w in node["writers"]}, {info["gid"][:24]})
        self.assertEqual(len(node["writers"]), 7)  # five camera topics, /diagnostics, /tf_static
        transform = samples["rt/tf_static"][0]["transforms"][0]
        self.assertEqual((transform["frame_id"], transform["child_frame_id"], transform["rotation"]),
                         ("camera_link", "camera_depth_optical_frame", [-0.5, 0.5, -0.5, 0.5]))

    def test_nothing_is_computed_for_topics_without_readers(self):
        samples = self.receive("rt/camera/amplitude/image_raw=image", "rt/diagnostics=diagnostics", count=4,
                               reliable=True)
        first, last = (samples["rt/diagnostics"][i]["status"][0] for i in (1, -1))
        self.assertEqual((last["name"], last["level"], last["message"]), ("/camera/velmora_camera", 0, "streaming"))
        published = lambda topic: int(last["values"]["published " + topic]) - int(first["values"]["published " + topic])
        self.assertGreaterEqual(published("amplitude/image_raw"), 20)
        for topic in ("depth/image_raw", "depth/camera_info", "depth/points", "confidence/image_raw"):
            self.assertEqual(published(topic), 0, topic)


class Lifecycle(unittest.TestCase):
    def test_sigint_and_sigterm_close_the_camera_within_a_second(self):
        write("stop.cfg", "scene=wall\nfps=30\n")
        for sig in (signal.SIGINT, signal.SIGTERM):
            node = Node("-p", "config:=stop.cfg")
            # A reliable reader still takes clouds when the signal comes.
            reader = subprocess.Popen([PROBE, "--reliable", "--count", "1000", "rt/depth/points=points"],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            self.assertTrue(reader.stdout.readline().startswith(b"{"), node.output())
            status, seconds = node.stop(sig)
            reader.kill()
            reader.wait()
            reader.stdout.close()
            self.assertEqual(status, 0, node.output())
            self.assertLess(seconds, 1.0)
            self.assertIn("camera closed", node.output().rstrip().splitlines()[-1])

    def test_a_bad_setting_gives_one_line_and_status_2(self):
        write("ok.cfg", "scene=wall\n")
        cases = [(["-p", "range:=3000"], {}, "range 3000 is not 2000 or 4000 (millimetres)"),
                 (["-p", "index:=two"], {}, "parameter 'index': expected an integer, got a text 'two'"),
                 (["-p", "connection:=csi", "-p", "config:=ok.cfg"], {}, "a configuration file needs connection usb"),
                 (["-p", "min_confidence:=[1]"], {}, "parameter 'min_confidence': expected a number"),
                 (["-p", "qos_depth:=0"], {}, "parameter 'qos_depth': 0 is not within 1 to 100"),
                 (["--params-file", "none.yaml"], {}, "cannot read params file 'none.yaml'"),
                 (["-r", "__node:=9cam"], {}, "node name '9cam' is not a ROS name"),
                 ([], {"ROS_DOMAIN_ID": "233"}, "ROS_DOMAIN_ID '233' is not a domain from 0 to 232")]
        for args, env, message in cases:
            result = subprocess.run([NODE, "--ros-args"] + args, cwd=WORK, env=dict(os.environ, **env), timeout=10,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
            self.assertEqual(result.returncode, 2, result.stdout)
            self.assertEqual(len(result.stdout.splitlines()), 1, result.stdout)
            self.assertTrue(result.stdout.startswith("velmora_camera_ros2: ") and message in result.stdout,
                            result.stdout)

    def test_params_file_names_and_remapping_shape_what_the_graph_sees(self):
        write("constant.cfg", "scene=constant\ndistance_mm=1200\nfps=20\n")
        write("front.yaml", "/**:\n  ros__parameters: {depth_encoding: 16UC1, config: constant.cfg}\n"
                            "/robot/front:\n  ros__parameters: {publish_points: false, frame_id: front_optical}\n")
        # A calibration where ROS keeps it when camera_info_url names none.
        os.makedirs(os.path.join(WORK, "home", "camera_info"))
        k = [180, 0, 120, 0, 181, 90, 0, 0, 1]
        write("home/camera_info/velmora_camera.yaml",
              "image_width: 240\nimage_height: 180\ncamera_matrix: {rows: 3, cols: 3, data: %s}\n" % k)
        node = Node("-r", "__ns:=/robot", "-r", "__node:=front", "--params-file", "front.yaml",
                    "-r", "depth/image_raw:=depth/image", env=dict(os.environ, ROS_HOME=os.path.join(WORK, "home")))
        self.addCleanup(node.stop)
        status, samples = probe("rt/robot/depth/image=image", "rt/robot/depth/camera_info=camera_info",
                                "ros_discovery_info=discovery", reliable=True)
        self.assertEqual(status, 0, node.output())
        self.assertEqual(samples["rt/robot/depth/camera_info"][0]["k"], k)
        image = samples["rt/robot/depth/image"][0]
        self.assertEqual((image["encoding"], image["frame_id"], image["step"]), ("16UC1", "front_optical", 480))
        self.assertAlmostEqual(int(array(image, np.uint16, (180, 240))[90, 120]), 1200, delta=1)
        nodes = [n for s in samples["ros_discovery_info"] for n in s["nodes"]]
        self.assertIn(("/robot", "front", 6), [(n["namespace"], n["name"], len(n["writers"])) for n in nodes])


class TwoHosts(unittest.TestCase):
    """Node and subscriber in two network namespaces of this test's own,
    joined by a veth pair; DDS on those addresses only."""
    CAMERA, VIEWER = "10.213.72.1", "10.213.72.2"
    SUFFIX = str(os.getpid())

    def ip(self, *args):
        return subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def setUp(self):
        self.spaces = ("vr2cam" + self.SUFFIX, "vr2view" + self.SUFFIX)
        links = ("vr2c" + self.SUFFIX, "vr2v" + self.SUFFIX)
        steps = [("netns", "add", ns) for ns in self.spaces]
        steps.append(("link", "add", links[0], "type", "veth", "peer", "name", links[1]))
        for ns, link, address in zip(self.spaces, links, (self.CAMERA, self.VIEWER)):
            steps += [("link", "set", link, "netns", ns), ("-n", ns, "addr", "add", address + "/24", "dev", link),
                      ("-n", ns, "link", "set", link, "up"), ("-n", ns, "link", "set", "lo", "up")]
        self.addCleanup(lambda: [self.ip("netns", "del", ns) for ns in self.spaces])  # the veth pair goes too
        if shutil.which("ip") is None:
            self.skipTest("network namespaces cannot be made here: the ip command is missing")
        for step in steps:
            result = self.ip(*step)
            if result.returncode != 0:
                self.skipTest("network namespaces cannot be made here: ip %s: %s"
                              % (" ".join(step), result.stdout.decode().strip()))

    def test_a_subscriber_on_the_other_host_receives_depth_and_camera_info(self):
        write("netns.cfg", "scene=wall\ndistance_mm=2500\nfps=20\n")
        uri = cyclone('address="%s"' % self.CAMERA, self.VIEWER)
        node = Node("-r", "__ns:=/camera", "-p", "config:=netns.cfg", env=dict(os.environ, CYCLONEDDS_URI=uri),
                    prefix=["ip", "netns", "exec", self.spaces[0]])
        self.addCleanup(node.stop)
        status, samples = probe("rt/camera/depth/image_raw=image", "rt/camera/depth/camera_info=camera_info",
                                count=3, prefix=["ip", "netns", "exec", self.spaces[1]],
                                options=["--interface", self.VIEWER, "--peer", self.CAMERA])
        self.assertEqual(status, 0, node.output())
        image = samples["rt/camera/depth/image_raw"][-1]
        self.assertEqual((image["encoding"], image["width"], image["height"]), ("32FC1", 240, 180))
        self.assertLess(np.abs(array(image, np.float32, (180, 240)) - 2.5).max(), 0.004)


if __name__ == "__main__":
    unittest.main()
