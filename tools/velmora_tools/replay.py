"""Playing a recording back through the driver.

The virtual camera (the simulated evaluation-kit module) reads a recording
when its configuration file names one with the key ``replay``; the driver then
opens it with ``openWithFile`` like any camera and runs the recorded RAW
frames through the very same USB transport and depth code:

    replay=/data/hall.vrec
    replay_pace=recorded      # or unpaced: as fast as the driver reads

``open_replay`` writes such a file, opens the camera and sets the recorded
controls that shape the depth computation (the range of the HQVGA model, the
frequency mode of the VGA model).
"""

from __future__ import print_function

import io
import os
import shutil
import sys
import tempfile

from .recording import Recording

PACES = ("recorded", "unpaced")
# Controls that change how the driver turns RAW frames into depth (the VGA
# model's picture size and frequency mode, the range), in the order they are
# applied; the others describe the sensor, which a replay does not have.
REPLAYED_CONTROLS = ("FMT_WIDTH", "FMT_HEIGHT", "MODE", "RANGE")
# Controls a camera reports as 0 when nothing answers them.
_UNANSWERED_ZERO = ("FMT_WIDTH", "FMT_HEIGHT", "RANGE")


def replay_config_text(recording_path, pace="recorded"):
    """The configuration text that replays ``recording_path``. Checks that
    the file is a readable recording with at least one frame."""
    if pace not in PACES:
        raise ValueError("pace must be one of %s" % ", ".join(PACES))
    with Recording(recording_path) as rec:
        if len(rec) == 0:
            raise ValueError("%s holds no frame" % recording_path)
    path = os.path.abspath(recording_path)
    if "#" in path or "\n" in path or path != path.strip():
        raise ValueError("a replay path cannot contain '#', line breaks or surrounding blanks: %r" % path)
    return u"# replay of a recording\nreplay=%s\nreplay_pace=%s\n" % (path, pace)


def apply_recorded_controls(camera, controls):
    """Sets the recorded controls that matter for depth; returns the names
    of those the camera accepted."""
    import VelmoraDepthCamera as vdc

    accepted = []
    for name in REPLAYED_CONTROLS:
        if name not in controls or (name in _UNANSWERED_ZERO and int(controls[name]) == 0):
            continue
        member = getattr(vdc.TOFControl, name)
        if camera.setControl(member, int(controls[name])) == vdc.TOFErrorCode.VelmoraSuccess:
            accepted.append(name)
    return accepted


def open_replay(camera, recording_path, pace="recorded", apply_controls=True):
    """Opens ``camera`` (a ``VelmoraCamera``) on a recording. Returns the
    ``TOFErrorCode`` of ``openWithFile``."""
    import VelmoraDepthCamera as vdc

    text = replay_config_text(recording_path, pace)
    workdir = tempfile.mkdtemp(prefix="velmora-replay-")
    try:
        config = os.path.join(workdir, "replay.cfg")
        with io.open(config, "w", encoding="utf-8") as handle:
            handle.write(text)
        rc = camera.openWithFile(config)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    if rc == vdc.TOFErrorCode.VelmoraSuccess and apply_controls:
        with Recording(recording_path) as rec:
            apply_recorded_controls(camera, rec.controls)
    return rc


def main(argv=None):
    """velmora-replay-config RECORDING [--unpaced]: prints the configuration
    text that replays a recording, for openWithFile or the preview's --config."""
    from ._cli import run_tool

    return run_tool("replay-config", _replay_config, argv)


def _replay_config(argv):
    import argparse

    from ._cli import UserError

    parser = argparse.ArgumentParser(prog="velmora-replay-config",
                                     description="Print a virtual camera configuration that replays a recording.")
    parser.add_argument("recording")
    parser.add_argument("--unpaced", action="store_true", help="deliver frames as fast as the driver reads them")
    args = parser.parse_args(argv)
    try:
        text = replay_config_text(args.recording, "unpaced" if args.unpaced else "recorded")
    except ValueError as error:
        raise UserError(str(error))
    sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
