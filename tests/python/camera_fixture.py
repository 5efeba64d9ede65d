"""Shared helpers of the binding tests: the simulated camera, a subprocess
runner and small compatibility shims, so that every test file runs unchanged
under Python 2.7 and Python 3."""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import VelmoraDepthCamera as vdc

try:
    import numpy
except ImportError:
    numpy = None

HAVE_NUMPY = numpy is not None

# Distance of the simulated constant scene; any value inside the default
# 4000 mm range works.
SCENE_DISTANCE_MM = 1500


def write_config(directory, **settings):
    """A configuration file for the simulated camera module."""
    values = {
        "width": 240,
        "height": 180,
        "bit_width": 12,
        "fps": 100,
        "scene": "constant",
        "distance_mm": SCENE_DISTANCE_MM,
        "noise": 0,
        "seed": 7,
    }
    values.update(settings)
    path = os.path.join(directory, "camera.cfg")
    with open(path, "w") as handle:
        for key in sorted(values):
            handle.write("%s=%s\n" % (key, values[key]))
    return path


class CameraTestCase(unittest.TestCase):
    """Opens a fresh simulated camera for every test and tears it down."""

    config = {}

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="velmora-py-")
        self.config_path = write_config(self.workdir, **self.config)
        self.cam = vdc.VelmoraCamera()
        rc = self.cam.openWithFile(self.config_path)
        self.assertEqual(rc, vdc.TOFErrorCode.VelmoraSuccess, "simulated camera did not open")

    def tearDown(self):
        cam = getattr(self, "cam", None)
        if cam is not None:
            cam.stop()
            cam.close()
            self.cam = None
        shutil.rmtree(self.workdir, ignore_errors=True)

    def start(self, output):
        self.assertEqual(self.cam.start(output), vdc.TOFErrorCode.VelmoraSuccess)

    def frame(self, timeout=2000):
        frame = self.cam.requestFrame(timeout)
        self.assertIsNotNone(frame, "no frame within %d ms" % timeout)
        return frame

    def suppress_frames(self):
        """Keeps the camera streaming while no frame becomes ready: a skip
        loop of one frame that skips that frame."""
        self.assertEqual(self.cam.setControl(vdc.TOFControl.SKIP_FRAME_LOOP, 1), vdc.TOFErrorCode.VelmoraSuccess)
        self.assertEqual(self.cam.setControl(vdc.TOFControl.SKIP_FRAME, 1), vdc.TOFErrorCode.VelmoraSuccess)

    def resume_frames(self):
        self.assertEqual(self.cam.setControl(vdc.TOFControl.SKIP_FRAME, 0), vdc.TOFErrorCode.VelmoraSuccess)

    def drain(self):
        """Takes and releases whatever is ready, so the next request waits."""
        while True:
            frame = self.cam.requestFrame(0)
            if frame is None:
                return
            self.assertEqual(self.cam.releaseFrame(frame), vdc.TOFErrorCode.VelmoraSuccess)

    def assertRaisesText(self, exception, text, call, *args):
        try:
            call(*args)
        except exception as error:
            self.assertIn(text, str(error))
        else:
            self.fail("%s not raised" % exception.__name__)


def run_python(code, timeout=60, env_update=None):
    """Runs `code` in a fresh interpreter of the same kind as this one, with
    the same module path. Returns (exit status, stdout, stderr); an
    interpreter still running after `timeout` seconds is killed and reported
    with status None."""
    env = dict(os.environ)
    env.update(env_update or {})
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    killer = threading.Timer(timeout, proc.kill)
    killer.start()
    try:
        out, err = proc.communicate()
    finally:
        hung = not killer.is_alive()
        killer.cancel()
    status = None if hung else proc.returncode
    return status, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def thread_count():
    """Native threads of this process (the capture thread included)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no thread count in /proc/self/status")
