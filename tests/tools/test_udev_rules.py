"""The udev rules file: valid syntax (udevadm verify where this udev has it,
else udev_syntax), and it gives the video group every kind of node the driver
opens."""

import io
import os
import shutil
import subprocess
import unittest

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

    def test_every_node_kind_goes_to_the_video_group(self):
        granted = {}
        for rule in udev_syntax.rules(read_rules()):
            matches = dict((key, value) for key, _, op, value in rule if op == "==")
            assigns = dict((key, value) for key, _, op, value in rule if op in ("=", ":="))
            self.assertIn("SUBSYSTEM", matches, rule)
            self.assertEqual(assigns.get("GROUP"), "video", rule)
            self.assertEqual(assigns.get("MODE"), "0660", rule)
            self.assertNotIn("OWNER", assigns)
            granted[(matches["SUBSYSTEM"], matches.get("KERNEL"))] = True
        self.assertEqual(sorted(granted), sorted([
            ("video4linux", "video[0-9]*"),
            ("video4linux", "v4l-subdev[0-9]*"),
            ("media", "media[0-9]*"),
            ("i2c-dev", "i2c-[0-9]*"),
        ]))


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
