#!/usr/bin/env python3
"""Live preview of a depth camera: depth and amplitude side by side.

Opens the simulated camera by default, or a real one with --csi, --usb or
--config, or plays a recording back with --replay. With a display it shows a
window (q or Ctrl-C to quit); without one, or with --png, it streams for
--seconds and writes one image instead. --list reports what this host offers.
Each panel has a colour bar with its scale: depth in millimetres, amplitude in
raw sensor counts (the sensor's own numbers, no physical unit).
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

from velmora_tools._cli import (  # noqa: E402
    UserError, add_depth_arguments, apply_depth_arguments, camera_module, check_output, create_output, open_camera,
    open_replay_source, run_tool)


def import_libraries():
    """numpy, OpenCV and the camera module; --list needs none of them."""
    global np, cv2, vdc, colormap
    vdc = camera_module()
    import numpy as np
    from velmora_tools import colormap
    try:
        import cv2
    except ImportError as error:
        raise UserError("needs OpenCV for Python 3 (Debian: python3-opencv): %s" % error)


# A scene with some depth to look at, for the simulated camera module, with
# the pixel physics of a real sensor (mixed pixels at edges, ambient light, shot noise).
DEMO_CONFIG = "width=240\nheight=180\nbit_width=12\nfps=30\nscene=demo\nnoise=4\nseed=1\nphysics=on\n"

# Each plane is shown at VGA size whatever the sensor's; the colour bars and
# labels are drawn at that size, so they read the same for every camera.
PANEL = (640, 480)
BAR_STRIP = 70      # height of the colour bar strip below each panel
FONT = 0.7          # OpenCV font scale of every label
STRIP_BACKGROUND = (40, 40, 40)
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
    parser.add_argument("--force", action="store_true", help="overwrite an existing image file")
    parser.add_argument("--seconds", type=float, default=None,
                        help="stop after this many seconds (default: 3 without a window, else until q)")
    parser.add_argument("--range", type=int, choices=(2000, 4000), default=None,
                        help="measuring range in millimetres")
    add_depth_arguments(parser)
    return parser.parse_args(argv)


def open_source(cam, args, workdir):
    if args.csi is not None:
        what, call = "CSI camera %d" % args.csi, lambda: cam.open(vdc.TOFConnect.CSI, args.csi)
    elif args.usb is not None:
        what, call = "USB camera %d" % args.usb, lambda: cam.open(vdc.TOFConnect.USB, args.usb)
    elif args.replay is not None:
        what, call = "replay of %s" % args.replay, lambda: open_replay_source(cam, args.replay)
    else:
        path = args.config
        what = "camera configured by %s" % path
        if path is None:
            path = os.path.join(workdir, "demo.cfg")
            with open(path, "w") as handle:
                handle.write(DEMO_CONFIG)
            what = "simulated camera (demo scene)"
        call = lambda: cam.openWithFile(path)  # noqa: E731
    return open_camera(what, call)


def panel_scale(width, height):
    return min(PANEL[0] / float(width), PANEL[1] / float(height))


def colourise(plane, low, high, name):
    """Maps plane values from low..high onto a colour map at panel size;
    pixels without a value (0 or not finite) stay black."""
    image = colormap.apply(plane, low, high, name=name, order="bgr")
    scale = panel_scale(plane.shape[1], plane.shape[0])
    size = (int(round(plane.shape[1] * scale)), int(round(plane.shape[0] * scale)))
    return cv2.resize(image, size, interpolation=cv2.INTER_NEAREST)


def text_size(text):
    return cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, FONT, 1)[0]


def label(image, text, origin):
    """White text with a black outline: readable on any colour."""
    cv2.putText(image, text, origin, cv2.FONT_HERSHEY_SIMPLEX, FONT, (0, 0, 0), 4, cv2.LINE_AA)
    cv2.putText(image, text, origin, cv2.FONT_HERSHEY_SIMPLEX, FONT, (255, 255, 255), 1, cv2.LINE_AA)


def tick_step(high, most=6):
    """A round step (1, 2 or 5 times a power of ten) giving at most ``most``
    intervals from 0 to ``high``."""
    if high <= 0:
        return 1.0
    power = 10.0 ** np.floor(np.log10(high / most))
    for factor in (1, 2, 5, 10):
        if high / (factor * power) <= most:
            return factor * power
    return 10 * power


def colour_bar(width, high, name, unit):
    """A strip with the colour map from 0 to ``high``, round ticks and the
    unit, plus the colour of pixels without a value."""
    strip = np.full((BAR_STRIP, width, 3), STRIP_BACKGROUND, dtype=np.uint8)
    white = (255, 255, 255)
    top, bottom, baseline = 10, 28, 56
    # Black marks pixels without a value: a swatch of it starts the strip.
    cv2.rectangle(strip, (12, top), (12 + bottom - top, bottom), (0, 0, 0), -1)
    cv2.rectangle(strip, (12, top), (12 + bottom - top, bottom), white, 1)
    cv2.putText(strip, "no value", (10, baseline), cv2.FONT_HERSHEY_SIMPLEX, FONT, white, 1, cv2.LINE_AA)
    unit_width = text_size(unit)[0]
    x0, x1 = text_size("no value")[0] + 32, width - unit_width - 32
    lut = colormap.table(name)[:, ::-1]
    columns = lut[np.linspace(0, 255, x1 - x0).round().astype(np.intp)]
    strip[top:bottom, x0:x1] = columns[np.newaxis, :, :]
    cv2.rectangle(strip, (x0, top), (x1 - 1, bottom), white, 1)
    cv2.putText(strip, unit, (width - unit_width - 12, baseline), cv2.FONT_HERSHEY_SIMPLEX, FONT, white, 1,
                cv2.LINE_AA)
    step = tick_step(high)
    for value in np.arange(0.0, high + step * 1e-6, step):
        x = int(round(x0 + (x1 - 1 - x0) * value / high)) if high > 0 else x0
        cv2.line(strip, (x, bottom), (x, bottom + 6), white, 1)
        text = "%d" % round(value) if step >= 1 else "%g" % value
        w = text_size(text)[0]
        left = min(max(x - w // 2, x0), x1 - w)
        cv2.putText(strip, text, (left, baseline), cv2.FONT_HERSHEY_SIMPLEX, FONT, white, 1, cv2.LINE_AA)
    return strip


def compose(depth, amplitude, max_range, fps):
    """One picture: colour-mapped depth on the left, amplitude on the right,
    each with its colour bar below."""
    height, width = depth.shape
    cy, cx = height // 2, width // 2
    centre = float(depth[cy, cx])
    amplitude_high = colormap.auto_high(amplitude)
    left = colourise(depth, 0.0, float(max_range), "depth")
    right = colourise(amplitude, 0.0, amplitude_high, "amplitude")
    scale = panel_scale(width, height)
    marker = (int((cx + 0.5) * scale), int((cy + 0.5) * scale))
    cv2.drawMarker(left, marker, (255, 255, 255), cv2.MARKER_CROSS, 20, 2)
    label(left, "depth, millimetres", (10, 30))
    label(left, "centre %.0f mm" % centre, (10, left.shape[0] - 14))
    label(right, "amplitude, raw sensor counts", (10, 30))
    label(right, "%.1f fps" % fps, (10, right.shape[0] - 14))
    left = np.vstack([left, colour_bar(left.shape[1], float(max_range), "depth", "mm")])
    right = np.vstack([right, colour_bar(right.shape[1], amplitude_high, "amplitude", "counts")])
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
    if png:
        # Before the camera is opened: a wrong path should not cost a stream.
        check_output(png, overwrite=args.force)
        if hasattr(cv2, "haveImageWriter") and not cv2.haveImageWriter(png):
            raise UserError("cannot write %s: OpenCV has no image writer for that file name extension" % png)

    workdir = tempfile.mkdtemp(prefix="velmora-preview-")
    cam = vdc.VelmoraCamera()
    image = None
    try:
        print("preview: opening the %s" % open_source(cam, args, workdir))
        if args.range is not None:
            cam.setControl(vdc.TOFControl.RANGE, args.range)
        apply_depth_arguments(cam, args)
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
        # Encoded here and written as a file made anew: OpenCV would follow a link.
        encoded, data = cv2.imencode(os.path.splitext(png)[1] or ".png", image)
        if not encoded:
            print("preview: cannot write %s" % png, file=sys.stderr)
            return 1
        with create_output(png, args.force) as handle:
            handle.write(data.tobytes())
        print("preview: wrote %s (%dx%d)" % (png, image.shape[1], image.shape[0]))
    return 0


def main(argv=None):
    return run_tool("preview", _main, argv)


def _main(argv):
    args = parse_args(argv)
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
