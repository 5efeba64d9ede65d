"""Recordings: RAW frames with their timestamps, the camera's information and
its controls, in one file.

File layout (all integers little-endian; the README has the same table):

    offset  size  field
    0       8     magic b"VELMOREC"
    8       4     format version, 1
    12      4     header size H: bytes before the first frame (multiple of 16)
    16      4     frame width W: samples per line of one RAW frame
    20      4     frame height L: lines of one RAW frame (all sub-frames)
    24      4     device type: 0 VGA, 1 HQVGA
    28      4     sub-frames per frame: 4 (HQVGA) or 1 (VGA)
    32      4     sensor width (camera information `width`)
    36      4     sensor height (camera information `height`)
    40      4     sensor bit width (camera information `bit_width`)
    44      4     length J of the JSON text
    48      8     frame count; 2**64 - 1 while the recording is being written
    56      8     reserved, 0
    64      J     JSON text, UTF-8: camera information, controls, metadata
    64 + J        zero padding up to H
    H       ...   frames, each 16 + 2 * W * L bytes:
                    0   8  timestamp of the frame, as the driver reported it
                    8   8  host time: nanoseconds since the recording began
                    16  2 * W * L  the RAW frame, int16 samples, row-major

A RAW frame is what ``RawData.getRawData()`` returns: for the HQVGA sensor the
four decoded phase planes with their lines interleaved (line 4r + k is row r
of phase k), for the VGA sensor the sensor's words unchanged. A file that was
not closed (a crash, a full disk) is still readable: the reader counts the
complete frames from the file size and ignores a cut-off last frame.
"""

from __future__ import division

import io
import json
import os
import struct
import sys
import time

MAGIC = b"VELMOREC"
VERSION = 1
FIXED_HEADER = struct.Struct("<8sIIIIIIIIIIQQ")
FRAME_HEAD = struct.Struct("<QQ")
UNFINISHED = 2 ** 64 - 1
# Readers keep per-frame times in memory: a count beyond this is a damaged
# or crafted file (an HQVGA recording of it fills 360 GB).
MAX_FRAMES = 1 << 20
SUFFIX = ".vrec"

# Camera information fields, in the order of the Python record.
INFO_FIELDS = ("index", "connect", "device_type", "type", "width", "height", "bit_width", "bpp")
# Integer controls read into the header when the camera answers them.
CONTROL_NAMES = ("RANGE", "FMT_WIDTH", "FMT_HEIGHT", "MODE", "FRAME_MODE", "EXPOSURE", "FRAME_RATE",
                 "SKIP_FRAME", "SKIP_FRAME_LOOP")

HQVGA, VGA = 1, 0


class RecordingError(Exception):
    """A file that is not a readable recording."""


def _monotonic_ns():
    if hasattr(time, "monotonic_ns"):
        return time.monotonic_ns()
    if hasattr(time, "monotonic"):
        return int(time.monotonic() * 1e9)
    return int(time.time() * 1e9)


def _utc_text():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def info_to_dict(info):
    """A ``VelmoraInfo`` (or a mapping with the same fields) as a dict of ints."""
    if isinstance(info, dict):
        return dict((k, int(info[k])) for k in INFO_FIELDS)
    return dict((k, int(getattr(info, k))) for k in INFO_FIELDS)


def frame_geometry(info):
    """(sub-frames per frame, RAW width, RAW height) of a camera: the HQVGA
    model delivers its four phase planes, the VGA model one raw frame."""
    info = info_to_dict(info)
    subframes = 4 if info["device_type"] == HQVGA else 1
    return subframes, info["width"], info["height"] * subframes


def read_controls(camera):
    """The camera's integer controls, by name; controls the enumeration
    lacks are left out."""
    import VelmoraDepthCamera as vdc

    controls = {}
    for name in CONTROL_NAMES:
        member = getattr(vdc.TOFControl, name, None)
        if member is not None:
            controls[name] = int(camera.getControl(member))
    return controls


class Recorder(object):
    """Writes a recording frame by frame. The header is written at once; the
    frame count is filled in by ``close`` (also on leaving a ``with`` block).
    The file is made anew, never through a link: what is at ``path`` is
    replaced, or with ``overwrite`` false refused (OSError EEXIST)."""

    def __init__(self, path, info, controls=None, metadata=None, frame_shape=None, overwrite=True):
        self.path = path
        self.info = info_to_dict(info)
        self.subframes, self.width, self.height = frame_geometry(self.info)
        if frame_shape is not None:
            # The frames themselves are the authority (the VGA model's line
            # count follows its frequency mode).
            self.height, self.width = (int(n) for n in frame_shape)
            if self.height % self.subframes:
                raise ValueError("%d lines do not split into %d sub-frames" % (self.height, self.subframes))
        self.frames = 0
        self.record_size = FRAME_HEAD.size + 2 * self.width * self.height
        document = {
            "format": "velmora-recording",
            "version": VERSION,
            "created": _utc_text(),
            "camera": self.info,
            "controls": dict(controls or {}),
            "frame": {"width": self.width, "height": self.height, "subframes": self.subframes,
                      "layout": "hqvga-interleaved" if self.info["device_type"] == HQVGA else "vga-raw"},
            "metadata": dict(metadata or {}),
        }
        text = json.dumps(document, sort_keys=True, indent=1).encode("utf-8")
        self.header_size = (FIXED_HEADER.size + len(text) + 15) // 16 * 16
        from ._cli import create_output

        self._file = create_output(path, overwrite)
        self._start_ns = _monotonic_ns()
        try:
            self._file.write(self._fixed_header(UNFINISHED, len(text)))
            self._file.write(text)
            self._file.write(b"\0" * (self.header_size - FIXED_HEADER.size - len(text)))
        except Exception:
            self._file.close()
            raise
        self._json_length = len(text)

    def _fixed_header(self, count, json_length):
        return FIXED_HEADER.pack(MAGIC, VERSION, self.header_size, self.width, self.height,
                                 self.info["device_type"], self.subframes, self.info["width"],
                                 self.info["height"], self.info["bit_width"], json_length, count, 0)

    @property
    def bytes_written(self):
        return self.header_size + self.frames * self.record_size

    def add(self, raw, timestamp, host_ns=None):
        """Appends one RAW frame: an int16 array (L, W) or its bytes."""
        if self._file is None:
            raise ValueError("recording is closed")
        if hasattr(raw, "dtype"):
            import numpy as np

            raw = np.asarray(raw)
            if raw.shape != (self.height, self.width):
                raise ValueError("frame shape %r, expected %r" % (raw.shape, (self.height, self.width)))
            data = raw.astype("<i2", copy=False).tobytes()
        else:
            data = bytes(raw)
            if len(data) != 2 * self.width * self.height:
                raise ValueError("frame of %d bytes, expected %d" % (len(data), 2 * self.width * self.height))
        if host_ns is None:
            host_ns = _monotonic_ns() - self._start_ns
        self._file.write(FRAME_HEAD.pack(int(timestamp), int(host_ns)))
        self._file.write(data)
        self.frames += 1

    def close(self):
        if self._file is None:
            return
        try:
            self._file.flush()
            self._file.seek(0)
            self._file.write(self._fixed_header(self.frames, self._json_length))
            self._file.flush()
            os.fsync(self._file.fileno())
        finally:
            self._file.close()
            self._file = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class RecordedFrame(object):
    """One frame of a recording: ``timestamp``, ``host_ns``, ``data`` (the
    samples as bytes) and ``raw`` (an int16 array (L, W), needs numpy)."""

    __slots__ = ("index", "timestamp", "host_ns", "data", "width", "height")

    def __init__(self, index, timestamp, host_ns, data, width, height):
        self.index, self.timestamp, self.host_ns = index, timestamp, host_ns
        self.data, self.width, self.height = data, width, height

    @property
    def raw(self):
        import numpy as np

        return np.frombuffer(self.data, dtype="<i2").astype(np.int16).reshape(self.height, self.width)


class Recording(object):
    """Reads a recording. ``len()`` frames, indexable and iterable; header
    fields as attributes, ``camera`` (dict of the camera information),
    ``controls`` (dict) and ``document`` (the whole JSON header)."""

    def __init__(self, path):
        self.path = path
        self._file = io.open(path, "rb")
        try:
            self._read_header()
        except Exception:
            self._file.close()
            raise

    def _read_header(self):
        fixed = self._file.read(FIXED_HEADER.size)
        if len(fixed) < FIXED_HEADER.size:
            raise RecordingError("%s: too short for a recording" % self.path)
        (magic, version, self.header_size, self.width, self.height, self.device_type, self.subframes,
         self.sensor_width, self.sensor_height, self.bit_width, json_length, count, _) = FIXED_HEADER.unpack(fixed)
        if magic != MAGIC:
            raise RecordingError("%s: not a recording (bad magic)" % self.path)
        if version != VERSION:
            raise RecordingError("%s: recording format version %d, this reader knows %d"
                                 % (self.path, version, VERSION))
        if self.width == 0 or self.height == 0 or self.subframes == 0:
            raise RecordingError("%s: empty frame geometry" % self.path)
        if self.header_size < FIXED_HEADER.size + json_length:
            raise RecordingError("%s: header size %d too small" % (self.path, self.header_size))
        if self.height % self.subframes:
            raise RecordingError("%s: %d lines do not split into %d sub-frames"
                                 % (self.path, self.height, self.subframes))
        text = self._file.read(json_length)
        try:
            self.document = json.loads(text.decode("utf-8")) if text else {}
        except ValueError as error:
            raise RecordingError("%s: unreadable JSON header: %s" % (self.path, error))
        self.camera = self.document.get("camera", {})
        self.controls = self.document.get("controls", {})
        self.metadata = self.document.get("metadata", {})
        self.record_size = FRAME_HEAD.size + 2 * self.width * self.height
        size = os.fstat(self._file.fileno()).st_size
        complete = max(size - self.header_size, 0) // self.record_size
        self.finished = count != UNFINISHED
        self.count = min(count, complete) if self.finished else complete
        if self.count > MAX_FRAMES:
            raise RecordingError("%s: holds %d frames, more than the %d a recording may have"
                                 % (self.path, self.count, MAX_FRAMES))
        # A cut-off last frame, or a header count the file does not hold.
        self.truncated = (not self.finished and size > self.header_size + complete * self.record_size) or \
            (self.finished and count > complete)

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        if index < 0:
            index += self.count
        if not 0 <= index < self.count:
            raise IndexError("frame %d of a recording of %d" % (index, self.count))
        self._file.seek(self.header_size + index * self.record_size)
        record = self._file.read(self.record_size)
        if len(record) != self.record_size:
            raise RecordingError("%s: frame %d is cut short" % (self.path, index))
        timestamp, host_ns = FRAME_HEAD.unpack(record[:FRAME_HEAD.size])
        return RecordedFrame(index, timestamp, host_ns, record[FRAME_HEAD.size:], self.width, self.height)

    def __iter__(self):
        for index in range(self.count):
            yield self[index]

    def timestamps(self):
        stamps = []
        for index in range(self.count):
            self._file.seek(self.header_size + index * self.record_size)
            stamps.append(FRAME_HEAD.unpack(self._file.read(FRAME_HEAD.size))[0])
        return stamps

    @property
    def duration_s(self):
        """Host time from the first to the last frame, seconds."""
        if self.count < 2:
            return 0.0
        return (self[self.count - 1].host_ns - self[0].host_ns) / 1e9

    def close(self):
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class Progress(object):
    """The progress line: frames, the frame rate since the previous line,
    size and time since the first frame, at most every ``interval`` seconds.
    On a terminal the line is rewritten in place; elsewhere one line is
    printed each time."""

    def __init__(self, stream=None, interval=0.5, label="record"):
        self.stream = stream if stream is not None else sys.stderr
        self.interval = interval
        self.label = label
        self.first = None
        self.mark = (0.0, 0)
        self.tty = hasattr(self.stream, "isatty") and self.stream.isatty()

    @staticmethod
    def text(frames, rate, size, seconds, label="record"):
        return "%s: %d frames, %.1f fps, %.1f MB, %.1f s" % (label, frames, rate, size / 1e6, seconds)

    def update(self, frames, size, force=False):
        now = time.time()
        if self.first is None:
            self.first = now
            self.mark = (now, frames)
            if not force:
                return
        since, frames_then = self.mark
        if not force and now - since < self.interval:
            return
        rate = (frames - frames_then) / (now - since) if now > since else 0.0
        self.mark = (now, frames)
        line = self.text(frames, rate, size, now - self.first, self.label)
        if self.tty:
            self.stream.write("\r" + line + "\033[K")
        else:
            self.stream.write(line + "\n")
        self.stream.flush()

    def finish(self, frames, size):
        """The last line: the average rate over the whole recording."""
        now = time.time()
        first = self.first if self.first is not None else now
        rate = (frames - 1) / (now - first) if frames > 1 and now > first else 0.0
        line = self.text(frames, rate, size, now - first, self.label)
        self.stream.write(("\r" + line + "\033[K\n") if self.tty else (line + "\n"))
        self.stream.flush()


class Summary(object):
    __slots__ = ("frames", "seconds", "bytes", "path", "stopped_by")

    def __init__(self, frames, seconds, size, path, stopped_by):
        self.frames, self.seconds, self.bytes, self.path, self.stopped_by = frames, seconds, size, path, stopped_by

    def __repr__(self):
        return "Summary(frames=%d, seconds=%.3f, bytes=%d, path=%r, stopped_by=%r)" % (
            self.frames, self.seconds, self.bytes, self.path, self.stopped_by)


def record(camera, path, frames=None, seconds=None, progress=None, metadata=None, should_stop=None,
           timeout_ms=200, max_waits=25, overwrite=True):
    """Records from an opened camera: starts it with RAW output, writes
    frames until ``frames`` were written, ``seconds`` passed, ``should_stop()``
    returned true or no frame came within ``max_waits`` waits of
    ``timeout_ms`` in a row; then stops the camera (it stays open) and closes
    the file. ``progress`` is called with (frames, bytes) after every frame;
    ``overwrite`` as for Recorder.

    A KeyboardInterrupt also ends the recording cleanly: the file is
    complete and the exception goes on to the caller."""
    import VelmoraDepthCamera as vdc

    rc = camera.start(vdc.TOFOutput.RAW)
    if rc != vdc.TOFErrorCode.VelmoraSuccess:
        raise RuntimeError("cannot start RAW streaming: %s" % rc.str())
    began = time.time()
    stopped_by = "frames"
    recorder = None
    try:
        meta = {"tool": "velmora_tools %s" % _tools_version(),
                "module": getattr(vdc, "__version__", "?")}
        meta.update(metadata or {})
        controls = read_controls(camera)
        waits = 0
        while frames is None or recorder is None or recorder.frames < frames:
            if seconds is not None and time.time() - began >= seconds:
                stopped_by = "time"
                break
            if should_stop is not None and should_stop():
                stopped_by = "request"
                break
            frame = camera.requestFrame(timeout_ms)
            if frame is None:
                waits += 1
                if waits >= max_waits:
                    stopped_by = "no frames"
                    break
                continue
            waits = 0
            try:
                raw = frame.getRawData()
                stamp = frame.getFrameFormat().timestamp
            finally:
                camera.releaseFrame(frame)
            if recorder is None:
                recorder = Recorder(path, camera.getCameraInfo(), controls, meta, frame_shape=raw.shape,
                                    overwrite=overwrite)
            recorder.add(raw, stamp)
            if progress is not None:
                progress(recorder.frames, recorder.bytes_written)
    finally:
        camera.stop()
        if recorder is not None:
            recorder.close()
    if recorder is None:
        raise RuntimeError("no frame arrived; nothing recorded")
    return Summary(recorder.frames, time.time() - began, recorder.bytes_written, path, stopped_by)


def _tools_version():
    from . import __version__

    return __version__


def describe(path, stream=None):
    """Prints what a recording holds."""
    stream = stream if stream is not None else sys.stdout
    with Recording(path) as rec:
        kinds = {HQVGA: "HQVGA", VGA: "VGA"}
        stamps = rec.timestamps()
        stream.write("%s: %d frames of %dx%d RAW (%s, %d sub-frame%s of %dx%d, %d bit)%s\n" % (
            path, len(rec), rec.width, rec.height, kinds.get(rec.device_type, "?"), rec.subframes,
            "s" if rec.subframes != 1 else "", rec.sensor_width, rec.sensor_height, rec.bit_width,
            "" if rec.finished else " (not closed: %s)" % ("cut short" if rec.truncated else "complete frames only")))
        if stamps:
            stream.write("timestamps %d .. %d, host time %.3f s\n" % (stamps[0], stamps[-1], rec.duration_s))
        if rec.controls:
            stream.write("controls: %s\n" % ", ".join("%s=%s" % kv for kv in sorted(rec.controls.items())))
        created = rec.document.get("created")
        if created:
            stream.write("created %s\n" % created)


def main(argv=None):
    """velmora-info RECORDING: prints what a recording holds."""
    from ._cli import run_tool

    def info(args):
        import argparse

        parser = argparse.ArgumentParser(prog="velmora-info", description="Print what a recording holds.")
        parser.add_argument("recording")
        describe(parser.parse_args(args).recording)
        return 0

    return run_tool("info", info, argv)


if __name__ == "__main__":
    sys.exit(main())
