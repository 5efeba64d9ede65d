"""Command-line pieces shared by the tools: running a tool's main, checking
and creating an output file, choosing and opening a camera."""

from __future__ import print_function

import errno
import io
import os
import sys
import tempfile


class UserError(Exception):
    """A mistake the user can put right (a path, a file that is not a
    recording, a setting, a camera that does not open, a missing package):
    the tools print it as one line and exit with status 2."""


def run_tool(name, main, argv=None):
    """Runs ``main(argv)`` and returns its exit status. Errors the user can
    cause become one line "NAME: what went wrong" on stderr and status 2;
    anything else is a bug and keeps its traceback."""
    from .recording import RecordingError

    argv = sys.argv[1:] if argv is None else argv
    try:
        return main(argv)
    except (UserError, RecordingError) as error:
        message = str(error)
    except EnvironmentError as error:
        message = os_error_text(error)
    print("%s: %s" % (name, message), file=sys.stderr)
    return 2


def os_error_text(error, action=None):
    """An OSError/IOError as "ACTION FILE: reason", without its errno."""
    reason = error.strerror or str(error)
    if error.filename is None:
        return reason if action is None else "%s: %s" % (action, reason)
    return "%s%s: %s" % ("" if action is None else action + " ", error.filename, reason)


def require_numpy():
    """Raises UserError naming the package when this interpreter has no numpy
    (frames are numpy arrays, so no tool that streams works without it)."""
    try:
        import numpy  # noqa: F401  (only whether it imports)
    except ImportError:
        raise UserError("numpy is not installed for %s: install Debian's python3-numpy (and run "
                        "/usr/bin/python3) or numpy for this interpreter" % (sys.executable or "this Python"))


def camera_module():
    """The extension module, or UserError saying where it is looked for."""
    require_numpy()
    try:
        import VelmoraDepthCamera
    except ImportError as error:
        raise UserError("cannot import VelmoraDepthCamera (%s): install it, or put its build directory "
                        "on PYTHONPATH" % error)
    return VelmoraDepthCamera


def check_output(path, overwrite=False):
    """Makes sure, before any camera is opened, that ``path`` can be written:
    its directory exists and takes the file, and it is not a directory (nor
    an existing file unless ``overwrite``). Leaves nothing behind."""
    if os.path.isdir(path) and not os.path.islink(path):
        raise UserError("cannot write %s: it is a directory" % path)
    existed = os.path.lexists(path)
    if existed and not overwrite:
        raise UserError("%s exists (use --force to overwrite)" % path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UserError("cannot write %s: there is no directory %s" % (path, folder))
    try:
        if existed:
            # It will be replaced, not written into: the folder must take a new file.
            handle, probe = tempfile.mkstemp(dir=folder)
            os.close(handle)
            os.remove(probe)
        else:
            create_output(path).close()
            os.remove(path)
    except EnvironmentError as error:
        raise UserError("cannot write %s: %s" % (path, error.strerror or error))


def create_output(path, overwrite=False):
    """Opens ``path`` for binary writing as a file made anew, never through a
    symbolic link (even a dangling one) and never into an existing file,
    whose other names or owner may be someone else's. With ``overwrite`` what
    is at ``path`` (a file, or a link, not what it points to) is removed
    first; without, an existing path fails with EEXIST."""
    if overwrite and (os.path.islink(path) or (os.path.lexists(path) and not os.path.isdir(path))):
        try:
            os.remove(path)
        except EnvironmentError as error:
            if error.errno != errno.ENOENT:
                raise
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
    return io.open(os.open(path, flags, 0o666), "wb")


def add_source_arguments(parser, default_help="USB camera 0 (the virtual camera when no vendor library is linked)"):
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--usb", type=int, nargs="?", const=0, metavar="INDEX",
                        help="open the USB camera INDEX (default 0)")
    source.add_argument("--csi", type=int, metavar="INDEX", help="open the CSI camera /dev/videoINDEX")
    source.add_argument("--config", metavar="FILE", help="open a USB camera configured by FILE")
    source.add_argument("--replay", metavar="RECORDING", help="replay a recording through the driver")
    parser.add_argument("--unpaced", action="store_true",
                        help="with --replay: deliver frames as fast as the driver reads them")
    parser.add_argument("--range", type=int, default=None, metavar="MM",
                        help="measuring range (HQVGA: 2000 or 4000 mm)")
    add_depth_arguments(parser)
    parser.epilog = ((parser.epilog + " ") if parser.epilog else "") + "Without a source: %s." % default_help


def add_depth_arguments(parser):
    """The options of the driver's depth filters and lens."""
    parser.add_argument("--filter", action="append", default=[], metavar="NAME=VALUE",
                        help="set a depth filter, e.g. temporal=off or spatial_edge_mm=30 (names as "
                             "VelmoraCamera.getDepthFilters() gives them); may be repeated")
    parser.add_argument("--no-filters", action="store_true", help="every depth filter off: the depth as measured")
    parser.add_argument("--calibration", metavar="FILE",
                        help="camera calibration (ROS camera_info or OpenCV YAML) for z-depth and points")


_SWITCH_WORDS = {"on": True, "true": True, "1": True, "yes": True,
                 "off": False, "false": False, "0": False, "no": False}


def apply_depth_arguments(cam, args):
    """Applies --no-filters, --filter and --calibration to an open camera;
    UserError naming the option for what the driver refuses."""
    filters = cam.getDepthFilters()
    changes = {}
    if getattr(args, "no_filters", False):
        changes.update((name, False) for name, value in filters.items() if isinstance(value, bool))
    for item in getattr(args, "filter", None) or []:
        name, sep, text = item.partition("=")
        name = name.strip()
        if not sep or name not in filters:
            raise UserError("--filter %s: expected NAME=VALUE with NAME one of %s" % (item, ", ".join(sorted(filters))))
        if isinstance(filters[name], bool):
            if text.strip().lower() not in _SWITCH_WORDS:
                raise UserError("--filter %s: %s is on or off" % (item, name))
            changes[name] = _SWITCH_WORDS[text.strip().lower()]
        else:
            try:
                changes[name] = float(text)
            except ValueError:
                raise UserError("--filter %s: %s takes a number" % (item, name))
    try:
        cam.setDepthFilters(**changes)
    except (TypeError, ValueError) as error:
        raise UserError("--filter: %s" % error)
    if getattr(args, "calibration", None):
        try:
            cam.loadCalibration(args.calibration)
        except ValueError as error:
            raise UserError("--calibration: %s" % error)


def open_replay_source(cam, path, pace="recorded"):
    """open_replay, with a file that cannot be replayed as a UserError."""
    from .replay import open_replay

    try:
        return open_replay(cam, path, pace)
    except ValueError as error:
        raise UserError(str(error))
    except EnvironmentError as error:
        raise UserError(os_error_text(error, "cannot read"))


def _holding_stderr(call):
    """Runs ``call()`` with file descriptor 2 (where the driver writes)
    captured; returns its result and the text written."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with tempfile.TemporaryFile() as sink:
            os.dup2(sink.fileno(), 2)
            try:
                result = call()
            finally:
                os.dup2(saved, 2)
            sink.seek(0)
            return result, sink.read().decode("utf-8", "replace")
    finally:
        os.close(saved)


def open_camera(what, call):
    """Opens a camera with ``call()`` (returning a TOFErrorCode). When it
    fails, what the driver said goes into the one line of the UserError;
    when it succeeds, that is passed on as it was."""
    import VelmoraDepthCamera as vdc

    rc, said = _holding_stderr(call)
    if rc != vdc.TOFErrorCode.VelmoraSuccess:
        detail = "; ".join(line.strip() for line in said.splitlines() if line.strip())
        raise UserError("cannot open the %s: %s%s" % (what, rc.str(), " (%s)" % detail if detail else ""))
    sys.stderr.write(said)
    return what


def open_source(cam, args):
    """Opens ``cam`` as the arguments say; returns a description, raises
    UserError when the camera does not open or refuses the range."""
    import VelmoraDepthCamera as vdc

    if args.csi is not None:
        what, call = "CSI camera %d" % args.csi, lambda: cam.open(vdc.TOFConnect.CSI, args.csi)
    elif args.config is not None:
        what, call = "camera configured by %s" % args.config, lambda: cam.openWithFile(args.config)
    elif args.replay is not None:
        pace = "unpaced" if args.unpaced else "recorded"
        what, call = "replay of %s" % args.replay, lambda: open_replay_source(cam, args.replay, pace)
    else:
        index = args.usb if args.usb is not None else 0
        what, call = "USB camera %d" % index, lambda: cam.open(vdc.TOFConnect.USB, index)
    open_camera(what, call)
    if args.range is not None:
        rc = cam.setControl(vdc.TOFControl.RANGE, args.range)
        if rc != vdc.TOFErrorCode.VelmoraSuccess:
            cam.close()
            raise UserError("--range %d refused by the %s: %s" % (args.range, what, rc.str()))
    try:
        apply_depth_arguments(cam, args)
    except UserError:
        cam.close()
        raise
    return what
