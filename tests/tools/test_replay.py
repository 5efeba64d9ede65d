"""Replay: a recording played back through the virtual camera, the USB
transport and the depth code gives back the recorded frames, and the same
depth as the live camera gave, bit for bit."""

import io
import os
import time
import unittest

from tools_fixture import TempDirTestCase, needs_camera, numpy, open_camera, run_python, stream, vdc, write_config
from test_recording import HQVGA_INFO

from velmora_tools import recording
from velmora_tools.recording import Recording


def record_config(test, config, frames, range_mm=None):
    """Records ``frames`` RAW frames of a configuration; returns the path."""
    cam = open_camera(test, config)
    if range_mm is not None:
        test.assertEqual(cam.setControl(vdc.TOFControl.RANGE, range_mm), vdc.TOFErrorCode.VelmoraSuccess)
    path = os.path.join(os.path.dirname(config), "rec-%d.vrec" % len(os.listdir(os.path.dirname(config))))
    summary = recording.record(cam, path, frames=frames)
    test.assertEqual(summary.frames, frames)
    cam.close()
    return path


def by_stamp(frames):
    return dict((stamp, planes) for stamp, planes in frames)


@needs_camera
class ReplayTest(TempDirTestCase):
    def setUp(self):
        TempDirTestCase.setUp(self)
        # The VGA model writes its configuration files into the working directory.
        self.previous_cwd = os.getcwd()
        os.chdir(self.workdir)

    def tearDown(self):
        os.chdir(self.previous_cwd)
        TempDirTestCase.tearDown(self)

    def test_raw_frames_come_back_unchanged_with_their_timestamps(self):
        path = record_config(self, write_config(self.workdir, fps=30), 10)
        with Recording(path) as rec:
            recorded = [(f.timestamp, f.raw) for f in rec]
        cam = open_camera(self, recording=path)
        info = cam.getCameraInfo()
        self.assertEqual((info.width, info.height, info.bit_width, info.device_type),
                         (240, 180, 12, vdc.TOFDeviceType.HQVGA))
        replayed = stream(self, cam, vdc.TOFOutput.RAW, 10)
        self.assertEqual([s for s, _ in replayed], [s for s, _ in recorded])
        for (stamp, (raw,)), (_, expected) in zip(replayed, recorded):
            numpy.testing.assert_array_equal(raw, expected, "frame %d" % stamp)

    def check_depth_replay(self, config, frames, range_mm=None):
        path = record_config(self, config, frames, range_mm)
        live_cam = open_camera(self, config)
        if range_mm is not None:
            live_cam.setControl(vdc.TOFControl.RANGE, range_mm)
        live = by_stamp(stream(self, live_cam, vdc.TOFOutput.DEPTH, frames))
        replayed = by_stamp(stream(self, open_camera(self, recording=path), vdc.TOFOutput.DEPTH, frames))
        with Recording(path) as rec:
            recorded_stamps = set(rec.timestamps())
        self.assertTrue(set(replayed) <= recorded_stamps, "replay invented timestamps")
        common = sorted(set(live) & set(replayed))
        self.assertGreaterEqual(len(common), frames // 2, (sorted(live), sorted(replayed)))
        for stamp in common:
            for name, a, b in zip(("depth", "amplitude", "confidence"), live[stamp], replayed[stamp]):
                self.assertEqual(a.tobytes(), b.tobytes(), "%s of frame %d differs" % (name, stamp))
        return path, live, common

    def test_hqvga_depth_is_the_same_bit_for_bit(self):
        self.check_depth_replay(write_config(self.workdir, fps=20), 8)

    def test_recorded_range_is_applied(self):
        path, live, common = self.check_depth_replay(write_config(self.workdir, fps=20), 8, range_mm=2000)
        # Without the recorded range the driver computes another depth.
        cam = vdc.VelmoraCamera()
        from velmora_tools.replay import open_replay

        self.assertEqual(open_replay(cam, path, apply_controls=False), vdc.TOFErrorCode.VelmoraSuccess)
        try:
            other = by_stamp(stream(self, cam, vdc.TOFOutput.DEPTH, 3))
        finally:
            cam.close()
        stamp = sorted(set(other) & set(live))[0]
        self.assertNotEqual(other[stamp][0].tobytes(), live[stamp][0].tobytes())

    def test_vga_depth_is_the_same_bit_for_bit(self):
        self.check_depth_replay(write_config(self.workdir, width=640, height=480, fps=10, noise=2), 4)

    def test_pace(self):
        path = record_config(self, write_config(self.workdir, fps=20), 12)
        with Recording(path) as rec:
            recorded_seconds = rec.duration_s
        self.assertGreater(recorded_seconds, 0.4)

        def seconds_for(pace, count):
            cam = open_camera(self, recording=path, pace=pace)
            began = time.time()
            stream(self, cam, vdc.TOFOutput.RAW, count)
            return time.time() - began

        paced = seconds_for("recorded", 12)
        unpaced = seconds_for("unpaced", 12)
        self.assertGreater(paced, 0.7 * recorded_seconds)
        self.assertLess(paced, recorded_seconds + 1.0)
        self.assertLess(unpaced, 0.5 * paced)

    def test_recorded_times_any_distance_apart_give_no_burst(self):
        path = self.path("far.vrec")
        with recording.Recorder(path, HQVGA_INFO) as rec:
            for n, host_ns in enumerate((0, 2 ** 64 - 2, 2 ** 64 - 1)):
                rec.add(b"\0" * (2 * 240 * 720), 33 * (n + 1), host_ns=host_ns)
        cam = open_camera(self, recording=path)
        self.assertEqual(cam.start(vdc.TOFOutput.RAW), vdc.TOFErrorCode.VelmoraSuccess)
        frames = [frame for frame in (cam.requestFrame(100) for _ in range(15)) if frame is not None]
        for frame in frames:
            cam.releaseFrame(frame)
        self.assertEqual(len(frames), 1, "the second frame is due in centuries")

    def test_recording_starts_over_with_rising_timestamps(self):
        path = record_config(self, write_config(self.workdir, fps=30), 3)
        with Recording(path) as rec:
            recorded = [f.raw for f in rec]
        replayed = stream(self, open_camera(self, recording=path), vdc.TOFOutput.RAW, 9)
        stamps = [s for s, _ in replayed]
        self.assertEqual(stamps, sorted(set(stamps)))
        for n, (_, (raw,)) in enumerate(replayed):
            numpy.testing.assert_array_equal(raw, recorded[n % 3], "replayed frame %d" % n)

    def test_configuration_file_with_a_relative_path(self):
        path = record_config(self, write_config(self.workdir, fps=60), 2)
        folder = os.path.join(self.workdir, "configs")
        os.makedirs(folder)
        os.rename(path, os.path.join(folder, "r.vrec"))
        config = os.path.join(folder, "replay.cfg")
        with io.open(config, "w") as handle:
            handle.write(u"replay = r.vrec   # beside this file\nreplay_pace=unpaced\n")
        frames = stream(self, open_camera(self, config), vdc.TOFOutput.RAW, 2)
        self.assertEqual(len(frames), 2)
        code, out, _ = run_python(["-m", "velmora_tools", "replay-config", os.path.join(folder, "r.vrec"),
                                   "--unpaced"])
        self.assertEqual(code, 0)
        self.assertIn("replay=%s\nreplay_pace=unpaced\n" % os.path.join(folder, "r.vrec"), out)

    def test_bad_recordings_do_not_open(self):
        not_a_recording = self.path("junk.vrec")
        with io.open(not_a_recording, "wb") as handle:
            handle.write(b"\0" * 200)
        recording.Recorder(self.path("empty.vrec"), HQVGA_INFO).close()
        sparse = recording.Recorder(self.path("sparse.vrec"), HQVGA_INFO)  # never closed, sparse to 8 TiB
        sparse._file.truncate(8 << 40)
        sparse._file.close()
        cases = [("missing.vrec", "cannot open the recording"), ("junk.vrec", "not a recording"),
                 ("empty.vrec", "holds no complete frame"), ("sparse.vrec", "frames, more than the 1048576")]
        for name, message in cases:
            config = self.path("bad.cfg")
            with io.open(config, "w") as handle:
                handle.write(u"replay=%s\n" % name)
            script = ("import VelmoraDepthCamera as v, sys; c = v.VelmoraCamera(); "
                      "sys.exit(0 if c.openWithFile(sys.argv[1]) == v.TOFErrorCode.VelmoraUnkownError else 3)")
            code, _, err = run_python(["-c", script, config])
            self.assertEqual(code, 0, err)
            self.assertIn("replay: ", err)
            self.assertIn(message, err)
        with io.open(self.path("pace.cfg"), "w") as handle:
            handle.write(u"replay=junk.vrec\nreplay_pace=slow\n")
        code, _, err = run_python(["-c", script, self.path("pace.cfg")])
        self.assertEqual(code, 0, err)
        self.assertIn("bad value 'slow' for key 'replay_pace'", err)


if __name__ == "__main__":
    unittest.main()
