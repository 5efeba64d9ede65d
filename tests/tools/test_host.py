"""Host discovery behind the preview's --list: board model, camera nodes,
device node access, the virtual camera."""

import io
import os
import stat
import sys
import unittest

from tools_fixture import HAVE_MODULE, TempDirTestCase, run_python
from velmora_tools import host

PREVIEW = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples", "preview.py")


class PlatformTest(TempDirTestCase):
    def test_model_texts(self):
        cases = [
            ("NVIDIA Jetson Xavier NX Developer Kit", 3),
            ("NVIDIA Jetson Nano Developer Kit", 2),
            ("NVIDIA Jetson TX1", 2),
            ("NVIDIA Jetson AGX Thor", 3),
            ("NVIDIA Orin Nano", 3),
            ("NVIDIA Jetson Orin Nano Developer Kit", 2),
            ("Raspberry Pi 5 Model B Rev 1.0", 6),
            ("Raspberry Pi 4 Model B Rev 1.4", 5),
            ("Radxa ROCK 5B", 7),
            ("Radxa ZERO 3", 0),
            ("jetson nano", 0),
            ("", 0),
        ]
        for text, expected in cases:
            self.assertEqual(host.classify_platform(text), expected, text)

    def model_file(self, data):
        path = self.path("model")
        with io.open(path, "wb") as handle:
            handle.write(data)
        return path

    def test_model_file_is_read_like_the_driver(self):
        self.assertEqual(host.platform_model(self.model_file(b"Raspberry Pi 5 Model B Rev 1.0\0")),
                         (6, "Raspberry Pi 5 Model B Rev 1.0"))
        self.assertEqual(host.platform_model(self.model_file(b"Radxa ROCK 5B\nNVIDIA Jetson")), (7, "Radxa ROCK 5B"))
        # Only the first 99 characters count.
        self.assertEqual(host.platform_model(self.model_file(b"x" * 99 + b" Jetson Nano"))[0], 0)
        self.assertEqual(host.platform_model(self.model_file(b"x" * 90 + b" Jetson"))[0], 3)
        self.assertEqual(host.platform_model(self.path("missing")), (0, None))


class NodesTest(TempDirTestCase):
    def make_sysfs(self, nodes):
        sysfs, dev = self.path("sys"), self.path("dev")
        os.makedirs(dev)
        for base, name in nodes:
            directory = os.path.join(sysfs, "class", "video4linux", base)
            os.makedirs(directory)
            with io.open(os.path.join(directory, "name"), "w") as handle:
                handle.write(u"%s\n" % name)
        return sysfs, dev

    def test_nodes_carrying_the_camera(self):
        sysfs, dev = self.make_sysfs([
            ("video0", "vi-output, velmora-marquenty 9-000c"),
            ("video1", "rp1-cfe-csi2_ch0"),
            ("v4l-subdev2", "velmora-marquenty 10-000c"),
            ("v4l-subdev3", "csi2"),
        ])
        open(os.path.join(dev, "video0"), "w").close()
        os.chmod(os.path.join(dev, "video0"), stat.S_IRUSR | stat.S_IWUSR)
        found = host.camera_nodes(sysfs, dev)
        self.assertEqual([(n["node"], n["kind"]) for n in found],
                         [(os.path.join(dev, "v4l-subdev2"), "subdev"), (os.path.join(dev, "video0"), "video")])
        self.assertEqual(found[1]["name"], "vi-output, velmora-marquenty 9-000c")
        self.assertEqual(found[1]["access"], "read-write")
        self.assertEqual(found[0]["access"], "missing")

    def test_report(self):
        sysfs, dev = self.make_sysfs([("video0", "vi-output, velmora-marquenty 9-000c")])
        model = self.path("model")
        with io.open(model, "wb") as handle:
            handle.write(b"NVIDIA Jetson Nano Developer Kit\0")
        lines = []

        class Sink(object):
            def write(self, text):
                lines.append(text)

        found = host.report(Sink(), sysfs=sysfs, dev=dev, model_file=model, probe_virtual=False)
        text = "".join(lines)
        self.assertEqual(found, 1)
        self.assertIn("platform model: 2, NVIDIA Jetson TX1 or Nano\n", text)
        self.assertIn("'NVIDIA Jetson Nano Developer Kit'", text)
        self.assertIn("velmora-marquenty 9-000c", text)
        self.assertIn("'velmora-i2c-access --csi N'", text)
        self.assertNotIn("virtual camera", text)
        empty_sys, empty_dev = self.path("sys2"), self.path("dev2")
        os.makedirs(empty_dev)
        lines[:] = []
        self.assertEqual(host.report(Sink(), sysfs=empty_sys, dev=empty_dev, model_file=self.path("none"),
                                     probe_virtual=False), 0)
        self.assertIn("camera nodes: none", "".join(lines))
        self.assertNotIn("velmora-i2c-access", "".join(lines))
        self.assertIn("platform model: 0", "".join(lines))


@unittest.skipUnless(HAVE_MODULE, "needs VelmoraDepthCamera")
class VirtualCameraTest(unittest.TestCase):
    def test_virtual_camera_is_found(self):
        available, detail = host.virtual_camera_status()
        self.assertTrue(available, detail)
        self.assertIn("240x180", detail)

    @unittest.skipIf(sys.version_info[0] < 3, "the preview is a Python 3 program")
    def test_preview_list(self):
        code, stdout, stderr = run_python([PREVIEW, "--list"])
        self.assertEqual(code, 0, stderr)
        self.assertIn("platform model: ", stdout)
        self.assertIn("camera nodes: ", stdout)
        self.assertIn("virtual camera: available", stdout)


if __name__ == "__main__":
    unittest.main()
