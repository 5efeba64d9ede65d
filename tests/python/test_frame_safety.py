"""Frame objects that outlive their buffer: after releaseFrame, after the
camera's next start and after the camera is gone they raise instead of
reading recycled or freed memory."""

import gc
import time
import unittest

import VelmoraDepthCamera as vdc

from camera_fixture import CameraTestCase, write_config

OK = vdc.TOFErrorCode.VelmoraSuccess
UNKNOWN = vdc.TOFErrorCode.VelmoraUnkownError

DEPTH_ACCESSORS = ("getDepthData", "getConfidenceData", "getAmplitudeData", "getFrameFormat")


class StaleFrameTest(CameraTestCase):
    def assertStale(self, frame, accessors, reason):
        for name in accessors:
            self.assertRaisesText(RuntimeError, reason, getattr(frame, name))
        self.assertEqual(self.cam.releaseFrame(frame), UNKNOWN)

    def test_after_release(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        self.assertEqual(self.cam.releaseFrame(frame), OK)
        self.assertStale(frame, DEPTH_ACCESSORS, "releaseFrame")
        # The stream goes on normally after the refused second release.
        for _ in range(5):
            self.assertEqual(self.cam.releaseFrame(self.frame()), OK)

    def test_after_restart(self):
        self.start(vdc.TOFOutput.RAW)
        frame = self.frame()
        self.assertEqual(self.cam.stop(), OK)
        # Still good after stop: stop keeps the pool.
        self.assertEqual(frame.getFrameFormat().type, vdc.TOFOutput.RAW)
        self.start(vdc.TOFOutput.RAW)
        self.assertStale(frame, ("getRawData", "getFrameFormat"), "started again")
        # New frames are new objects and good.
        fresh = self.frame()
        self.assertIsNot(fresh, frame)
        self.assertEqual(fresh.getFrameFormat().type, vdc.TOFOutput.RAW)
        self.assertEqual(self.cam.releaseFrame(fresh), OK)
        self.assertStale(frame, ("getRawData",), "started again")

    def test_after_restart_with_other_output_type(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        self.assertEqual(self.cam.stop(), OK)
        self.start(vdc.TOFOutput.RAW)
        self.assertStale(frame, DEPTH_ACCESSORS, "started again")
        self.assertIsInstance(self.frame(), vdc.RawData)

    def test_after_camera_is_gone(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        del self.cam
        gc.collect()
        for name in DEPTH_ACCESSORS:
            self.assertRaisesText(RuntimeError, "camera no longer exists", getattr(frame, name))
        self.cam = vdc.VelmoraCamera()
        self.assertEqual(self.cam.releaseFrame(frame), UNKNOWN)

    def test_frame_of_another_camera(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        other = vdc.VelmoraCamera()
        self.assertEqual(other.openWithFile(write_config(self.workdir, seed=9)), OK)
        self.assertEqual(other.start(vdc.TOFOutput.DEPTH), OK)
        try:
            self.assertEqual(other.releaseFrame(frame), UNKNOWN)
            # Still held by its own camera.
            self.assertEqual(frame.getFrameFormat().width, 240)
            self.assertEqual(self.cam.releaseFrame(frame), OK)
        finally:
            other.stop()
            other.close()

    def test_refused_open_leaves_stream_and_frames_alone(self):
        self.start(vdc.TOFOutput.DEPTH)
        held = self.frame()
        # An unknown connection is refused before anything is touched: the
        # camera keeps streaming and the frame stays held.
        self.assertEqual(self.cam.open(vdc.TOFConnect(5), 0), UNKNOWN)
        # A start on the streaming camera is refused and replaces nothing.
        self.assertEqual(self.cam.start(vdc.TOFOutput.DEPTH), UNKNOWN)
        self.assertEqual(held.getFrameFormat().type, vdc.TOFOutput.DEPTH)
        self.assertEqual(self.cam.releaseFrame(held), OK)
        # Still streaming: a request waits for its whole timeout.
        self.suppress_frames()
        self.drain()
        began = time.time()
        self.assertIsNone(self.cam.requestFrame(400))
        self.assertGreaterEqual(time.time() - began, 0.35)
        self.resume_frames()
        self.assertIsInstance(self.frame(), vdc.DepthData)

    def test_failed_start_keeps_held_frames(self):
        self.start(vdc.TOFOutput.DEPTH)
        held = self.frame()
        self.assertEqual(self.cam.stop(), OK)
        # Refused after device and transport started: no new frame pool.
        self.assertEqual(self.cam.start(vdc.TOFOutput.CONFIDENCE), UNKNOWN)
        self.assertEqual(held.getFrameFormat().type, vdc.TOFOutput.DEPTH)
        self.assertEqual(self.cam.releaseFrame(held), OK)

    def test_release_of_none(self):
        self.start(vdc.TOFOutput.DEPTH)
        self.assertEqual(self.cam.releaseFrame(None), UNKNOWN)


if __name__ == "__main__":
    unittest.main()
