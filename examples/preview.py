#!/usr/bin/env python3
"""Live preview of a depth camera: depth and amplitude side by side.

Opens the simulated camera by default, or a real one with --csi, --usb or
--config, or plays a recording back with --replay. With a display it shows a
window (q or Ctrl-C to quit); without one, or with --png, it streams for
--seconds and writes one image instead. --list reports what this host offers.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

try:
    import velmora_tools  # noqa: F401  (installed beside the module)
except ImportError:
    # Run from the source tree: the companion package sits in tools/.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tools"))


def import_libraries():
    """numpy, OpenCV and the camera module; --list needs none of them."""
    global np, cv2, vdc, colormap
    try:
        import numpy as np
        import cv2
        from velmora_tools import colormap
    except ImportError as error:
        sys.exit("preview: needs numpy and OpenCV for Python 3 (Debian: python3-numpy python3-opencv): %s" % error)
    try:
        import VelmoraDepthCamera as vdc
    except ImportError as error:
        sys.exit("preview: cannot import VelmoraDepthCamera (%s); install the module or put its build "
                 "directory on PYTHONPATH" % error)

# A scene with some depth to look at, for the simulated camera module.
DEMO_CONFIG = "width=240\nheight=180\nbit_width=12\nfps=30\nscene=demo\nnoise=4\nseed=1\n"

SCALE = 2           # each plane is shown at twice its size
WINDOW = "VelmoraDepthCamera preview"


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--csi", type=int, metavar="INDEX", help="open the CSI camera /dev/videoINDEX")
    source.add_argument("--usb", type=int, nargs="?", const=0, metavar="INDEX",
                        help="open the USB camera INDEX (default 0)")
    source.add_argument("--config", metavar="FILE", help="open a USB camera configured by FILE")
    source.add_argument("--replay", metavar="RECORDING", help="play a recording back through the driver")
    source.add_argument("--list", action="store_true",
                        help="report camera nodes, the board model and the virtual camera, then exit")
    parser.add_argument("--png", metavar="FILE",
                        help="write one image to FILE instead of showing a window")
    parser.add_argument("--seconds", type=float, default=None,
                        help="stop after this many seconds (default: 3 without a window, else until q)")
    parser.add_argument("--range", type=int, choices=(2000, 4000), default=None,
                        help="measuring range in millimetres")
    return parser.parse_args(argv)


def open_camera(cam, args, workdir):
    if args.csi is not None:
        what, rc = "CSI camera %d" % args.csi, cam.open(vdc.TOFConnect.CSI, args.csi)
    elif args.usb is not None:
        what, rc = "USB camera %d" % args.usb, cam.open(vdc.TOFConnect.USB, args.usb)
    elif args.replay is not None:
        from velmora_tools.replay import open_replay

        what = "replay of %s" % args.replay
        try:
            rc = open_replay(cam, args.replay)
        except (ValueError, IOError, OSError) as error:
            raise RuntimeError(str(error))
    else:
        path = args.config
        what = "camera configured by %s" % path
        if path is None:
            path = os.path.join(workdir, "demo.cfg")
            with open(path, "w") as handle:
                handle.write(DEMO_CONFIG)
            what = "simulated camera (demo scene)"
        rc = cam.openWithFile(path)
    if rc != vdc.TOFErrorCode.VelmoraSuccess:
        raise RuntimeError("cannot open %s: %s" % (what, rc.str()))
    return what


def colourise(plane, low, high, name):
    """Maps plane values from low..high onto a colour map; pixels without a
    value (0 or not finite) stay black."""
    image = colormap.apply(plane, low, high, name=name, order="bgr")
    return cv2.resize(image, None, fx=SCALE, fy=SCALE, interpolation=cv2.INTER_NEAREST)


def label(image, text, origin):
    cv2.putText(image, text, origin, cv2.FONT_HERSHEY_SIMPLEX, 0.55, (0, 0, 0), 3, cv2.LINE_AA)
    cv2.putText(image, text, origin, cv2.FONT_HERSHEY_SIMPLEX, 0.55, (255, 255, 255), 1, cv2.LINE_AA)


def compose(depth, amplitude, max_range, fps):
    """One picture: colour-mapped depth on the left, amplitude on the right."""
    height, width = depth.shape
    cy, cx = height // 2, width // 2
    centre = float(depth[cy, cx])
    left = colourise(depth, 0.0, float(max_range), "depth")
    right = colourise(amplitude, 0.0, colormap.auto_high(amplitude), "amplitude")
    marker = (cx * SCALE, cy * SCALE)
    cv2.drawMarker(left, marker, (255, 255, 255), cv2.MARKER_CROSS, 14, 1)
    label(left, "depth 0-%d mm" % max_range, (8, 20))
    label(left, "centre %.0f mm" % centre, (8, left.shape[0] - 10))
    label(right, "amplitude", (8, 20))
    label(right, "%.1f fps" % fps, (8, right.shape[0] - 10))
    return np.hstack([left, right]), centre


def has_display():
    if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return False
    try:
        cv2.namedWindow(WINDOW, cv2.WINDOW_AUTOSIZE)
    except cv2.error:
        return False
    return True


def run(args):
    windowed = args.png is None and has_display()
    png = args.png or (None if windowed else "preview.png")
    seconds = args.seconds if args.seconds is not None else (None if windowed else 3.0)

    workdir = tempfile.mkdtemp(prefix="velmora-preview-")
    cam = vdc.VelmoraCamera()
    image = None
    try:
        print("preview: opening the %s" % open_camera(cam, args, workdir))
        if args.range is not None:
            cam.setControl(vdc.TOFControl.RANGE, args.range)
        max_range = cam.getControl(vdc.TOFControl.RANGE) or 4000
        rc = cam.start(vdc.TOFOutput.DEPTH)
        if rc != vdc.TOFErrorCode.VelmoraSuccess:
            raise RuntimeError("cannot start streaming: %s" % rc.str())

        began = last_report = time.time()
        frames = frames_at_report = 0
        fps = 0.0
        while seconds is None or time.time() - began < seconds:
            frame = cam.requestFrame(1000)
            if frame is None:
                print("preview: no frame within a second")
                continue
            try:
                depth = frame.getDepthData()
                amplitude = frame.getAmplitudeData()
            finally:
                cam.releaseFrame(frame)
            frames += 1
            now = time.time()
            if now - last_report >= 1.0:
                fps = (frames - frames_at_report) / (now - last_report)
                last_report, frames_at_report = now, frames
            image, centre = compose(depth, amplitude, max_range, fps)
            if frames == 1:
                print("preview: first frame, centre %.0f mm" % centre, flush=True)
            elif frames == frames_at_report:
                print("preview: %.1f fps, centre %.0f mm" % (fps, centre), flush=True)
            if windowed:
                cv2.imshow(WINDOW, image)
                if cv2.waitKey(1) & 0xFF in (ord("q"), 27):
                    break
                # The window's close button ends the preview as well.
                if cv2.getWindowProperty(WINDOW, cv2.WND_PROP_VISIBLE) < 1:
                    break
    except KeyboardInterrupt:
        print("preview: interrupted")
    finally:
        cam.stop()
        cam.close()
        if windowed:
            cv2.destroyAllWindows()
        shutil.rmtree(workdir, ignore_errors=True)

    if png:
        if image is None:
            print("preview: no frame arrived, nothing written", file=sys.stderr)
            return 1
        if not cv2.imwrite(png, image):
            print("preview: cannot write %s" % png, file=sys.stderr)
            return 1
        print("preview: wrote %s (%dx%d)" % (png, image.shape[1], image.shape[0]))
    return 0


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.list:
        from velmora_tools.host import report

        report()
        return 0
    import_libraries()
    try:
        return run(args)
    except RuntimeError as error:
        print("preview: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
