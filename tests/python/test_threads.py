"""requestFrame and the interpreter: waiting without the interpreter lock,
waking up when another thread stops the camera, Ctrl-C, and cameras dropped
while they stream."""

import gc
import os
import signal
import threading
import time
import unittest

import VelmoraDepthCamera as vdc

from camera_fixture import CameraTestCase, run_python, thread_count

OK = vdc.TOFErrorCode.VelmoraSuccess


class WaitTest(CameraTestCase):
    def setUp(self):
        CameraTestCase.setUp(self)
        # Streaming, but nothing ever becomes ready: requests wait.
        self.suppress_frames()
        self.start(vdc.TOFOutput.DEPTH)

    def test_other_threads_run_while_waiting(self):
        ticks = []
        running = [True]

        def ticker():
            while running[0]:
                ticks.append(time.time())
                time.sleep(0.005)

        thread = threading.Thread(target=ticker)
        thread.daemon = True
        thread.start()
        try:
            began = time.time()
            self.assertIsNone(self.cam.requestFrame(600))
            ended = time.time()
        finally:
            running[0] = False
            thread.join(5)
        # With the lock held for the whole wait, the ticker could not have
        # run at all between its first and last 100 ms.
        inside = [t for t in ticks if began + 0.1 < t < ended - 0.1]
        self.assertTrue(inside, "no other thread ran during requestFrame")

    def test_stop_from_another_thread_wakes_waiter_with_none(self):
        results = []
        waiter = threading.Thread(target=lambda: results.append(self.cam.requestFrame(-1)))
        waiter.daemon = True
        waiter.start()
        time.sleep(0.3)
        self.assertTrue(waiter.is_alive(), "requestFrame(-1) returned without a frame")
        self.assertEqual(self.cam.stop(), OK)
        waiter.join(10)
        self.assertFalse(waiter.is_alive(), "requestFrame(-1) kept waiting after stop")
        self.assertEqual(results, [None])
        # The camera starts again normally.
        self.resume_frames()
        self.start(vdc.TOFOutput.DEPTH)
        self.assertIsInstance(self.frame(), vdc.DepthData)

    def test_timed_wait_also_ends_at_close(self):
        results = []
        waiter = threading.Thread(target=lambda: results.append(self.cam.requestFrame(30000)))
        waiter.daemon = True
        waiter.start()
        time.sleep(0.3)
        self.assertEqual(self.cam.close(), OK)
        waiter.join(10)
        self.assertFalse(waiter.is_alive())
        self.assertEqual(results, [None])

    def test_ctrl_c_interrupts_endless_wait(self):
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        done = threading.Event()

        def interrupt():
            time.sleep(0.3)
            os.kill(os.getpid(), signal.SIGINT)
            # Unblocks a binding that ignores the signal, so the test fails
            # instead of hanging.
            if not done.wait(10):
                self.cam.stop()

        helper = threading.Thread(target=interrupt)
        helper.daemon = True
        helper.start()
        try:
            with self.assertRaises(KeyboardInterrupt):
                self.cam.requestFrame(-1)
        finally:
            done.set()
            helper.join(15)
            signal.signal(signal.SIGINT, previous)
        # The camera still streams normally afterwards.
        self.resume_frames()
        self.assertIsInstance(self.frame(), vdc.DepthData)


class DroppedCameraTest(CameraTestCase):
    def test_dropping_a_streaming_camera_stops_it(self):
        before = thread_count()
        self.start(vdc.TOFOutput.DEPTH)
        self.frame()
        self.assertGreater(thread_count(), before)
        del self.cam
        gc.collect()
        self.assertEqual(thread_count(), before)
        # The simulated module is free again for a new camera.
        self.cam = vdc.VelmoraCamera()
        self.assertEqual(self.cam.openWithFile(self.config_path), OK)
        self.start(vdc.TOFOutput.DEPTH)
        self.frame()

    def test_interpreter_exit_while_streaming(self):
        code = "\n".join([
            "import VelmoraDepthCamera as vdc",
            "cam = vdc.VelmoraCamera()",
            "assert cam.openWithFile(%r) == vdc.TOFErrorCode.VelmoraSuccess" % self.config_path,
            "assert cam.start(vdc.TOFOutput.DEPTH) == vdc.TOFErrorCode.VelmoraSuccess",
            "frame = cam.requestFrame(2000)",
            "held = cam.requestFrame(2000)",
            "assert frame is not None and held is not None",
            "cam.releaseFrame(frame)",
            "print('streaming')",
        ])
        status, out, err = run_python(code, timeout=60)
        self.assertIsNotNone(status, "interpreter hung at exit")
        self.assertEqual(status, 0, err)
        self.assertEqual(out.strip(), "streaming")

    def test_interpreter_exit_with_waiting_thread(self):
        code = "\n".join([
            "import threading, time",
            "import VelmoraDepthCamera as vdc",
            "cam = vdc.VelmoraCamera()",
            "cam.openWithFile(%r)" % self.config_path,
            "cam.setControl(vdc.TOFControl.SKIP_FRAME_LOOP, 1)",
            "cam.setControl(vdc.TOFControl.SKIP_FRAME, 1)",
            "cam.start(vdc.TOFOutput.DEPTH)",
            "waiter = threading.Thread(target=lambda: cam.requestFrame(-1))",
            "waiter.daemon = True",
            "waiter.start()",
            "time.sleep(0.2)",
            "print('exiting')",
        ])
        status, out, err = run_python(code, timeout=60)
        self.assertIsNotNone(status, "interpreter hung at exit")
        self.assertEqual(status, 0, err)
        self.assertEqual(out.strip(), "exiting")


if __name__ == "__main__":
    unittest.main()
