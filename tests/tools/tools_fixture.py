"""Helpers shared by the tests of velmora_tools: virtual camera configuration
files, streaming frames keyed by timestamp, and a subprocess runner. They run
under Python 3 and 2.7."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

try:
    import numpy
except ImportError:
    numpy = None

try:
    import VelmoraDepthCamera as vdc
except ImportError:
    vdc = None

HAVE_NUMPY = numpy is not None
HAVE_MODULE = vdc is not None
needs_numpy = unittest.skipUnless(HAVE_NUMPY, "numpy is not installed for this interpreter")
needs_camera = unittest.skipUnless(HAVE_NUMPY and HAVE_MODULE, "needs numpy and VelmoraDepthCamera")


def write_config(directory, name="camera.cfg", **settings):
    """A virtual camera configuration: a noisy, reproducible HQVGA stream."""
    values = {"width": 240, "height": 180, "fps": 60, "scene": "demo", "noise": 3, "seed": 11}
    values.update(settings)
    path = os.path.join(directory, name)
    with open(path, "w") as handle:
        for key in sorted(values):
            handle.write("%s=%s\n" % (key, values[key]))
    return path


class TempDirTestCase(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="velmora-tools-test-")

    def tearDown(self):
        shutil.rmtree(self.workdir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.workdir, name)


def open_camera(test, config_path=None, recording=None, pace="recorded"):
    """An opened camera, closed again when the test ends."""
    cam = vdc.VelmoraCamera()
    if recording is not None:
        from velmora_tools.replay import open_replay

        rc = open_replay(cam, recording, pace)
    else:
        rc = cam.openWithFile(config_path)
    test.assertEqual(rc, vdc.TOFErrorCode.VelmoraSuccess, "camera did not open")

    def close():
        cam.stop()
        cam.close()

    test.addCleanup(close)
    return cam


def stream(test, cam, output, count, timeout=3000):
    """Starts ``cam`` with ``output`` and takes ``count`` frames: a list of
    (timestamp, planes) with planes a tuple of arrays (raw, or depth,
    amplitude, confidence). Stops the camera."""
    test.assertEqual(cam.start(output), vdc.TOFErrorCode.VelmoraSuccess)
    frames = []
    try:
        while len(frames) < count:
            frame = cam.requestFrame(timeout)
            test.assertIsNotNone(frame, "no frame within %d ms" % timeout)
            try:
                stamp = frame.getFrameFormat().timestamp
                if output == vdc.TOFOutput.RAW:
                    planes = (frame.getRawData(),)
                else:
                    planes = (frame.getDepthData(), frame.getAmplitudeData(), frame.getConfidenceData())
            finally:
                cam.releaseFrame(frame)
            frames.append((stamp, planes))
    finally:
        cam.stop()
    return frames


def run_python(args, cwd=None, env_extra=None):
    """Runs this interpreter with ``args``; returns (exit code, stdout, stderr)."""
    env = dict(os.environ)
    env.update(env_extra or {})
    process = subprocess.Popen([sys.executable] + list(args), cwd=cwd, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = process.communicate()
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")
