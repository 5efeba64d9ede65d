"""Recordings: the file format, the recording API against the virtual camera,
and the recording command with its progress line and Ctrl-C."""

import io
import json
import os
import re
import signal
import struct
import subprocess
import sys
import time
import unittest

from tools_fixture import (HAVE_NUMPY, TempDirTestCase, needs_camera, numpy, open_camera, run_python, stream, vdc,
                           write_config)
from velmora_tools import recording
from velmora_tools.recording import Recorder, Recording, RecordingError

HQVGA_INFO = {"index": 0, "connect": 1, "device_type": 1, "type": 0, "width": 240, "height": 180,
              "bit_width": 12, "bpp": 2}


def frame_bytes(seed, size=2 * 240 * 720):
    """Deterministic bytes for one frame."""
    return bytes(bytearray((seed * 31 + i * 7) & 0xFF for i in range(size)))


class FormatTest(TempDirTestCase):
    def write(self, frames=3, close=True, **kwargs):
        path = self.path("a.vrec")
        rec = Recorder(path, HQVGA_INFO, {"RANGE": 2000}, {"note": "test"}, **kwargs)
        for n in range(frames):
            rec.add(frame_bytes(n), 1000 + 33 * n, host_ns=n * 1000)
        if close:
            rec.close()
        else:
            rec._file.flush()
        return path, rec

    def test_header_layout(self):
        path, rec = self.write()
        with io.open(path, "rb") as handle:
            data = handle.read()
        fixed = struct.unpack("<8sIIIIIIIIIIQQ", data[:64])
        self.assertEqual(fixed[0], b"VELMOREC")
        self.assertEqual(fixed[1:11], (1, rec.header_size, 240, 720, 1, 4, 240, 180, 12, fixed[10]))
        self.assertEqual(fixed[11], 3)
        self.assertEqual(rec.header_size % 16, 0)
        document = json.loads(data[64:64 + fixed[10]].decode("utf-8"))
        self.assertEqual(document["camera"], HQVGA_INFO)
        self.assertEqual(document["controls"], {"RANGE": 2000})
        self.assertEqual(document["frame"]["layout"], "hqvga-interleaved")
        self.assertEqual(document["metadata"], {"note": "test"})
        self.assertEqual(len(data), rec.header_size + 3 * (16 + 2 * 240 * 720))
        first = rec.header_size
        self.assertEqual(struct.unpack("<QQ", data[first:first + 16]), (1000, 0))
        self.assertEqual(data[first + 16:first + 16 + 2 * 240 * 720], frame_bytes(0))

    def test_read_back(self):
        path, _ = self.write()
        with Recording(path) as rec:
            self.assertEqual(len(rec), 3)
            self.assertTrue(rec.finished)
            self.assertFalse(rec.truncated)
            self.assertEqual((rec.width, rec.height, rec.subframes, rec.device_type), (240, 720, 4, 1))
            self.assertEqual(rec.controls, {"RANGE": 2000})
            self.assertEqual(rec.timestamps(), [1000, 1033, 1066])
            frames = list(rec)
            self.assertEqual([f.data for f in frames], [frame_bytes(n) for n in range(3)])
            self.assertEqual(rec[-1].host_ns, 2000)
            with self.assertRaises(IndexError):
                rec[3]

    def test_unclosed_recording_keeps_its_complete_frames(self):
        path, rec = self.write(frames=4, close=False)
        with io.open(path, "rb") as handle:
            data = handle.read()
        # Cut the last frame in half, as a crash in the middle of a write would.
        cut = self.path("cut.vrec")
        with io.open(cut, "wb") as handle:
            handle.write(data[:len(data) - rec.record_size // 2])
        rec.close()
        with Recording(cut) as back:
            self.assertFalse(back.finished)
            self.assertTrue(back.truncated)
            self.assertEqual(len(back), 3)
            self.assertEqual(back[2].data, frame_bytes(2))
        with Recording(path) as whole:
            self.assertTrue(whole.finished)
            self.assertEqual(len(whole), 4)

    def test_header_count_beyond_the_file_is_not_trusted(self):
        path, rec = self.write(frames=3)
        with io.open(path, "r+b") as handle:
            handle.truncate(rec.header_size + 2 * rec.record_size)
        with Recording(path) as back:
            self.assertEqual(len(back), 2)
            self.assertTrue(back.truncated)

    def test_rejects_other_files(self):
        path = self.path("other.vrec")
        with io.open(path, "wb") as handle:
            handle.write(b"PK\x03\x04" + b"\0" * 100)
        with self.assertRaises(RecordingError):
            Recording(path)
        good, _ = self.write(frames=1)
        with io.open(good, "r+b") as handle:
            handle.seek(8)
            handle.write(struct.pack("<I", 99))
        with self.assertRaises(RecordingError) as caught:
            Recording(good)
        self.assertIn("version 99", str(caught.exception))
        with io.open(path, "wb") as handle:
            handle.write(b"VELMOREC")
        with self.assertRaises(RecordingError):
            Recording(path)

    def test_frames_of_the_wrong_size_are_refused(self):
        rec = Recorder(self.path("b.vrec"), HQVGA_INFO)
        with self.assertRaises(ValueError):
            rec.add(b"\0" * 10, 1)
        if HAVE_NUMPY:
            with self.assertRaises(ValueError):
                rec.add(numpy.zeros((180, 240), numpy.int16), 1)
        rec.close()
        with Recording(self.path("b.vrec")) as back:
            self.assertEqual(len(back), 0)

    def test_vga_geometry_follows_the_frames(self):
        info = dict(HQVGA_INFO, device_type=0, width=320, height=1205)
        rec = Recorder(self.path("v.vrec"), info, frame_shape=(2410, 320))
        self.assertEqual((rec.subframes, rec.width, rec.height), (1, 320, 2410))
        rec.close()
        with Recording(self.path("v.vrec")) as back:
            self.assertEqual(back.document["frame"]["layout"], "vga-raw")

    def test_progress_line(self):
        self.assertEqual(recording.Progress.text(120, 29.96, 41500000, 4.04),
                         "record: 120 frames, 30.0 fps, 41.5 MB, 4.0 s")


@needs_camera
class RecordApiTest(TempDirTestCase):
    def test_recording_holds_the_frames_the_camera_delivered(self):
        config = write_config(self.workdir, fps=20)
        cam = open_camera(self, config)
        self.assertEqual(cam.setControl(vdc.TOFControl.RANGE, 2000), vdc.TOFErrorCode.VelmoraSuccess)
        seen = []
        summary = recording.record(cam, self.path("r.vrec"), frames=8, progress=lambda n, size: seen.append((n, size)),
                                   metadata={"purpose": "test"})
        self.assertEqual((summary.frames, summary.stopped_by), (8, "frames"))
        self.assertEqual([n for n, _ in seen], list(range(1, 9)))
        self.assertEqual(seen[-1][1], os.path.getsize(self.path("r.vrec")))
        with Recording(self.path("r.vrec")) as rec:
            self.assertEqual(len(rec), 8)
            self.assertEqual(rec.controls["RANGE"], 2000)
            info = cam.getCameraInfo()
            for field in ("width", "height", "bit_width", "bpp"):
                self.assertEqual(rec.camera[field], getattr(info, field))
            self.assertEqual(rec.camera["type"], 0)
            self.assertEqual(rec.metadata["purpose"], "test")
            recorded = dict((f.timestamp, f.raw) for f in rec)
        stamps = sorted(recorded)
        self.assertEqual(len(stamps), 8)

        # The same configuration streams the same frames again: every recorded
        # frame matches, bit for bit, the live RAW frame of its timestamp.
        again = open_camera(self, config)
        again.setControl(vdc.TOFControl.RANGE, 2000)
        live = dict((stamp, planes[0]) for stamp, planes in stream(self, again, vdc.TOFOutput.RAW, 10))
        common = [s for s in stamps if s in live]
        self.assertGreaterEqual(len(common), 3)
        for stamp in common:
            numpy.testing.assert_array_equal(recorded[stamp], live[stamp])
            self.assertEqual(recorded[stamp].shape, (720, 240))

    def test_stops_after_the_time_and_on_request(self):
        cam = open_camera(self, write_config(self.workdir, fps=30))
        summary = recording.record(cam, self.path("t.vrec"), seconds=0.5)
        self.assertEqual(summary.stopped_by, "time")
        self.assertTrue(2 <= summary.frames <= 25, summary)
        calls = []
        summary = recording.record(cam, self.path("s.vrec"), should_stop=lambda: len(calls) >= 3,
                                   progress=lambda n, size: calls.append(n))
        self.assertEqual((summary.stopped_by, summary.frames), ("request", 3))
        with Recording(self.path("s.vrec")) as rec:
            self.assertTrue(rec.finished)
            self.assertEqual(len(rec), 3)


@needs_camera
class RecordCommandTest(TempDirTestCase):
    def test_records_a_number_of_frames(self):
        config = write_config(self.workdir, fps=50)
        out = self.path("cmd.vrec")
        code, stdout, stderr = run_python(["-m", "velmora_tools", "record", out, "--config", config, "--frames", "12"],
                                          cwd=self.workdir)
        self.assertEqual(code, 0, stderr)
        self.assertRegex(stdout, r"record: 12 frames, [0-9.]+ MB in [0-9.]+ s to .*cmd.vrec \(all frames taken\)")
        lines = [l for l in stderr.splitlines() if l.startswith("record: ")]
        self.assertTrue(lines, stderr)
        for line in lines:
            self.assertRegex(line, r"^record: \d+ frames, \d+\.\d fps, \d+\.\d MB, \d+\.\d s$")
        self.assertTrue(lines[-1].startswith("record: 12 frames, "), lines[-1])
        with Recording(out) as rec:
            self.assertEqual(len(rec), 12)
        # An existing file is kept unless --force.
        code, _, stderr = run_python(["-m", "velmora_tools", "record", out, "--config", config, "--frames", "2"],
                                     cwd=self.workdir)
        self.assertEqual(code, 2)
        self.assertIn("exists", stderr)
        with Recording(out) as rec:
            self.assertEqual(len(rec), 12)

    def test_ctrl_c_stops_cleanly(self):
        config = write_config(self.workdir, fps=30)
        out = self.path("int.vrec")
        process = subprocess.Popen([sys.executable, "-u", "-m", "velmora_tools", "record", out, "--config", config],
                                   cwd=self.workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            # Wait for the first progress line, then interrupt as a terminal would.
            line = process.stderr.readline().decode()
            self.assertTrue(line.startswith("record: "), line)
            process.send_signal(signal.SIGINT)
            deadline = time.time() + 10
            while process.poll() is None and time.time() < deadline:
                time.sleep(0.05)
            self.assertIsNotNone(process.poll(), "record did not stop within 10 s of SIGINT")
        finally:
            if process.poll() is None:
                process.kill()
            stdout, stderr = process.communicate()
        self.assertEqual(process.returncode, 0, stderr)
        match = re.search(r"record: (\d+) frames, .* \(stopped by Ctrl-C\)", stdout.decode())
        self.assertIsNotNone(match, stdout)
        with Recording(out) as rec:
            self.assertTrue(rec.finished)
            self.assertFalse(rec.truncated)
            self.assertEqual(len(rec), int(match.group(1)))
            self.assertGreaterEqual(len(rec), 1)

    def test_info_command(self):
        cam = open_camera(self, write_config(self.workdir, fps=60))
        recording.record(cam, self.path("i.vrec"), frames=3)
        code, stdout, _ = run_python(["-m", "velmora_tools", "info", self.path("i.vrec")])
        self.assertEqual(code, 0)
        self.assertIn("3 frames of 240x720 RAW (HQVGA, 4 sub-frames of 240x180, 12 bit)", stdout)
        self.assertIn("RANGE=4000", stdout)
        code, _, stderr = run_python(["-m", "velmora_tools", "info", self.path("missing.vrec")])
        self.assertEqual(code, 2)


if __name__ == "__main__":
    unittest.main()
