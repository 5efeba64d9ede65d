"""The udev rules file: valid syntax (udevadm verify where this udev has it,
else udev_syntax), and on the sysfs trees of each board family and of a PC it
gives the video group the camera's own nodes and nothing else."""

import io
import os
import shutil
import subprocess
import tempfile
import unittest

import udev_match
import udev_syntax

RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "packaging", "udev",
                     "60-velmora-depth-camera.rules")


def read_rules():
    with io.open(RULES, encoding="utf-8") as handle:
        return handle.read()


def udevadm_verify_available():
    udevadm = shutil.which("udevadm") if hasattr(shutil, "which") else None
    if not udevadm:
        return None
    with open(os.devnull, "w") as null:
        ok = subprocess.call([udevadm, "verify", "--help"], stdout=null, stderr=null) == 0
    return udevadm if ok else None


class RulesFileTest(unittest.TestCase):
    def test_syntax(self):
        self.assertEqual(udev_syntax.check_text(read_rules()), [])

    @unittest.skipUnless(udevadm_verify_available(), "this udevadm has no verify command")
    def test_udevadm_verify(self):
        process = subprocess.Popen([udevadm_verify_available(), "verify", RULES], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        out = process.communicate()[0].decode("utf-8", "replace")
        self.assertEqual(process.returncode, 0, out)


def video(kernel, name):
    return ("video4linux", kernel, {"name": name})


def media(kernel, model):
    return ("media", kernel, {"model": model})


def bus(number, name):
    return ("i2c-dev", "i2c-%d" % number, {"name": name})


# Each board as sysfs shows it, and the nodes of the camera on it. The media
# boards' capture nodes, receivers and media devices carry no camera name;
# other nodes may carry it inside theirs (a USB camera names itself).
BOARDS = {
    "jetson-nano": ([
        video("video0", "vi-output, velmora-marquenty 9-000c"),
        video("video1", "vi-output, other-sensor 10-0010"), video("video2", "velmora 1"),
        video("video3", "vi-output, velmora-marquenty 9-000c 1"),
        bus(0, "7000c000.i2c"), bus(1, "7000c400.i2c"), bus(4, "pmic-i2c"),
        bus(6, "7000c500.i2c"), bus(9, "i2c-6-mux (chan_id 1)"),
    ], {("video4linux", "video0")}),
    "jetson-xavier": ([
        video("video0", "vi-output, velmora-marquenty 30-000c"),
        bus(2, "3180000.i2c"), bus(8, "c250000.i2c"), bus(30, "i2c-2-mux (chan_id 0)"),
    ], {("video4linux", "video0")}),
    "raspberry-pi-4": ([
        video("video0", "csi-capture-image"), video("video1", "csi-capture-embedded"),
        video("video10", "codec-decode"), video("video11", "codec-encode"),
        video("v4l-subdev0", "velmora-marquenty 10-000c"),
        media("media0", "codec"), media("media1", "csi-capture"),
        bus(1, "soc-i2c (i2c@7e804000)"), bus(10, "i2c-11-mux (chan_id 1)"), bus(11, "soc-i2c (i2c@7e205000)"),
        bus(20, "fef04500.i2c"), bus(21, "fef09500.i2c"),
    ], {("video4linux", "v4l-subdev0")}),
    "raspberry-pi-5": ([
        video("video0", "rp1-cfe-csi2_ch0"), video("video4", "rp1-cfe-fe_image0"),
        video("v4l-subdev0", "csi2"), video("v4l-subdev1", "velmora-marquenty 4-000c"),
        video("v4l-subdev2", "isp-frontend"), video("v4l-subdev3", "marquenty-clone 5-0010"),
        video("v4l-subdev4", "velmora-marquenty 4-000c-x"), media("media3", "rp1-cfe"),
        bus(1, "rp1 I2C adapter"), bus(4, "rp1 I2C adapter"), bus(6, "rp1 I2C adapter"),
        bus(13, "107d508200.i2c"), bus(14, "107d508280.i2c"),
    ], {("video4linux", "v4l-subdev1")}),
    "radxa-rock": ([
        video("video0", "mipi-capture0"), video("v4l-subdev0", "mipi-csi2-host"),
        video("v4l-subdev1", "rockchip-csi2-dphy1"), video("v4l-subdev2", "m00_b_velmora-marquenty 3-000c"),
        video("v4l-subdev3", "marquenty-clone 5-0010"),
        media("media0", "mipi-capture"), bus(0, "soc-i2c (pmic)"), bus(3, "soc-i2c"), bus(7, "soc-i2c"),
    ], {("video4linux", "v4l-subdev2")}),
    # A PC with the USB camera: its buses reach the memory modules' SPD
    # EEPROMs and the displays' DDC; nothing of it is the camera's.
    "pc": ([
        video("video0", "Integrated webcam: Integrated"), video("video1", "Integrated webcam: Integrated"),
        video("video2", "USB2.0 velmora 0 Camera"),
        media("media0", "Integrated webcam"),
        bus(0, "SMBus adapter at efa0"), bus(1, "touchpad i2c adapter"),
        bus(2, "card0-DP-1 DDC"), bus(3, "card0-HDMI-A-1 DDC"), bus(4, "card0-DP-2 AUX"),
        bus(10, "SMBus adapter at 0b00"),
    ], set()),
}

# The rule the set-up command writes for the control chip's bus of a
# Raspberry Pi 4 (bus 10) and of a Raspberry Pi 5 (bus 4 of three same-named).
ONE_BUS_RULES = {
    "raspberry-pi-4": ('SUBSYSTEM=="i2c-dev", KERNEL=="i2c-10", ATTR{name}=="i2c-11-mux (chan_id 1)", '
                       'GROUP="video", MODE="0660"', ("i2c-dev", "i2c-10")),
    "raspberry-pi-5": ('SUBSYSTEM=="i2c-dev", KERNEL=="i2c-4", ATTR{name}=="rp1 I2C adapter", '
                       'GROUP="video", MODE="0660"', ("i2c-dev", "i2c-4")),
}


class BoardTreeTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="velmora-udev-test-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def tree(self, board):
        path = os.path.join(self.root, board)
        udev_match.write_tree(path, BOARDS[board][0])
        return path

    def test_only_the_cameras_nodes_go_to_the_video_group(self):
        for board, (_, camera_nodes) in sorted(BOARDS.items()):
            touched = udev_match.apply(read_rules(), self.tree(board))
            self.assertEqual(set(touched), camera_nodes, board)
            for node, assigned in touched.items():
                self.assertEqual(assigned, {"GROUP": "video", "MODE": "0660"}, (board, node))

    def test_the_one_bus_rule_opens_that_bus_alone(self):
        for board, (rule, node) in sorted(ONE_BUS_RULES.items()):
            self.assertEqual(udev_match.apply(rule + "\n", self.tree(board)),
                             {node: {"GROUP": "video", "MODE": "0660"}}, board)
        pc = self.tree("pc")
        for rule, _ in ONE_BUS_RULES.values():
            self.assertEqual(udev_match.apply(rule + "\n", pc), {})


class MatcherTest(unittest.TestCase):
    """The matcher must see what a rule grants, or the tests above prove nothing."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="velmora-udev-test-")
        self.addCleanup(shutil.rmtree, self.root, True)
        udev_match.write_tree(self.root, BOARDS["pc"][0])

    def touched(self, text):
        return sorted(kernel for _, kernel in udev_match.apply(text + "\n", self.root))

    def test_matches_as_udev_does(self):
        self.assertEqual(self.touched('SUBSYSTEM=="i2c-dev", KERNEL=="i2c-[0-9]*", GROUP="video"'),
                         ["i2c-0", "i2c-1", "i2c-10", "i2c-2", "i2c-3", "i2c-4"])
        self.assertEqual(self.touched('SUBSYSTEM=="i2c-dev", ATTR{name}=="*DDC|SMBus*", MODE="0600"'),
                         ["i2c-0", "i2c-10", "i2c-2", "i2c-3"])
        self.assertEqual(self.touched('KERNEL=="video*", ATTR{name}!="*webcam*", GROUP="video"'), ["video2"])
        self.assertEqual(self.touched('SUBSYSTEM=="media", ATTR{missing}=="*", GROUP="video"'), [])
        self.assertEqual(self.touched('SUBSYSTEM=="media", ATTR{missing}!="x", GROUP="video"'), ["media0"])
        self.assertEqual(self.touched('ACTION=="remove", SUBSYSTEM=="media", GROUP="video"'), [])

    def test_refuses_what_it_does_not_evaluate(self):
        for line in ['SUBSYSTEM=="i2c-dev", ATTRS{name}=="x", GROUP="video"',
                     'SUBSYSTEM=="i2c-dev", TAG+="uaccess"',
                     'SUBSYSTEM=="i2c-dev", GROUP="video"\nSUBSYSTEM=="media", GROUP="vid eo"']:
            self.assertRaises(ValueError, udev_match.apply, line + "\n", self.root)


class CheckerTest(unittest.TestCase):
    """The fallback check must catch what udev would refuse."""

    def errors(self, line):
        return udev_syntax.check_text(line + "\n")

    def test_accepts_valid_rules(self):
        for line in [
            'SUBSYSTEM=="video4linux", GROUP="video", MODE="0660"',
            'ACTION=="add", ATTRS{idVendor}=="1d6b", ENV{ID_X}="1", TAG+="uaccess"',
            'KERNEL=="i2c-[0-9]*", \\\n  GROUP="i2c"',
            'IMPORT{builtin}="usb_id", RUN+="/bin/true", OPTIONS+="last_rule"',
        ]:
            self.assertEqual(self.errors(line), [], line)

    def test_rejects_broken_rules(self):
        cases = [
            ('SUBSYTEM=="media", GROUP="video"', "unknown key"),
            ('SUBSYSTEM="media", GROUP="video"', "is a match key"),
            ('SUBSYSTEM=="media", GROUP=="video"', "cannot be matched"),
            ('SUBSYSTEM=="media", GROUP=video', "cannot parse"),
            ('SUBSYSTEM=="media", GROUP="video', "cannot parse"),
            ('SUBSYSTEM=="media", MODE="0669"', "not an octal"),
            ('SUBSYSTEM=="media", GROUP="video",', "trailing comma"),
            ('ATTR=="x", GROUP="video"', "needs an {argument}"),
            ('KERNEL{x}=="i2c-1", GROUP="video"', "takes no {argument}"),
            ('SUBSYSTEM=="media", GROUP="vid eo"', "not a user or group name"),
            ('SUBSYSTEM=="media", GROUP="Video!"', "not a user or group name"),
        ]
        for line, expected in cases:
            found = self.errors(line)
            self.assertTrue(found, line)
            self.assertIn(expected, found[0], (line, found))
            self.assertTrue(found[0].startswith("line 1: "), found)

    def test_continuation_at_end_of_file(self):
        self.assertEqual(udev_syntax.check_text('SUBSYSTEM=="media", \\'),
                         ["line 1: continuation at the end of the file"])


if __name__ == "__main__":
    unittest.main()
