"""velmora-record: records RAW frames of a camera into one file.

    velmora-record hall.vrec --seconds 10
    velmora-record hall.vrec --csi 0 --frames 300

Shows a progress line (frames, rate, size) and stops cleanly on Ctrl-C: the
file is complete up to the last frame written. A second Ctrl-C aborts at once
(the file still holds every frame written so far).
"""

from __future__ import print_function

import argparse
import signal
import sys

from . import recording
from ._cli import add_source_arguments, camera_module, check_output, open_source, run_tool


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="velmora-record", description=__doc__.splitlines()[0].split(": ", 1)[1])
    parser.add_argument("output", help="recording file to write (conventionally *%s)" % recording.SUFFIX)
    add_source_arguments(parser)
    parser.add_argument("--frames", type=int, default=None, help="stop after this many frames")
    parser.add_argument("--seconds", type=float, default=None, help="stop after this many seconds")
    parser.add_argument("--force", action="store_true", help="overwrite an existing file")
    parser.add_argument("--quiet", action="store_true", help="no progress line")
    args = parser.parse_args(argv)
    if args.frames is not None and args.frames < 1:
        parser.error("--frames must be at least 1")
    if args.seconds is not None and args.seconds <= 0:
        parser.error("--seconds must be positive")
    return args


class _StopRequest(object):
    """First SIGINT asks the loop to stop; a second one raises at once."""

    def __init__(self):
        self.requested = False
        self.previous = None

    def __call__(self, signum, frame):
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def install(self):
        self.previous = signal.signal(signal.SIGINT, self)

    def restore(self):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)


def run(args, out=sys.stdout, err=sys.stderr):
    # The file is checked before the camera is opened: a typo in the path
    # should not cost a camera start.
    check_output(args.output, overwrite=args.force)
    vdc = camera_module()

    cam = vdc.VelmoraCamera()
    stop = _StopRequest()
    progress = None if args.quiet else recording.Progress(err)
    try:
        what = open_source(cam, args)
        print("record: %s -> %s (Ctrl-C stops)" % (what, args.output), file=out)
        out.flush()
        stop.install()
        summary = recording.record(
            cam, args.output, frames=args.frames, seconds=args.seconds,
            progress=(lambda n, size: progress.update(n, size)) if progress else None,
            metadata={"source": what}, should_stop=lambda: stop.requested, overwrite=args.force)
    except RuntimeError as error:
        print("record: %s" % error, file=err)
        return 1
    except KeyboardInterrupt:
        print("\nrecord: aborted; %s holds the frames written so far" % args.output, file=err)
        return 130
    finally:
        stop.restore()
        cam.stop()
        cam.close()
    if progress is not None:
        progress.finish(summary.frames, summary.bytes)
    reason = {"request": "stopped by Ctrl-C", "time": "time is up", "frames": "all frames taken",
              "no frames": "no more frames arrived"}.get(summary.stopped_by, summary.stopped_by)
    print("record: %d frames, %.1f MB in %.1f s to %s (%s)" % (
        summary.frames, summary.bytes / 1e6, summary.seconds, summary.path, reason), file=out)
    return 0 if summary.stopped_by != "no frames" else 1


def main(argv=None):
    return run_tool("record", lambda args: run(parse_args(args)), argv)


if __name__ == "__main__":
    sys.exit(main())
