"""What this host offers the driver: video nodes that carry the camera, the
board model the driver will detect, device node permissions, and whether the
virtual camera (the simulated evaluation-kit module) is there.

Everything reads files only; the roots of /sys, /dev and the device-tree model
file can be redirected, which the tests do.
"""

from __future__ import print_function

import glob
import io
import os
import shutil
import sys
import tempfile

MODEL_FILE = "/sys/firmware/devicetree/base/model"

# Platform model numbers as the driver assigns them.
PLATFORM_NAMES = {
    0: "not a supported board (CSI cameras cannot be opened; USB works)",
    2: "NVIDIA Jetson TX1 or Nano",
    3: "NVIDIA Jetson Xavier, Orin or another Jetson",
    5: "Raspberry Pi (before Pi 5)",
    6: "Raspberry Pi 5",
    7: "Radxa ROCK",
}

# Words in node names that mark the camera: the Jetson video node carries
# "velmora", the sensor subdevice "marquenty".
CAMERA_WORDS = ("velmora", "marquenty")


def classify_platform(text):
    """The driver's platform model number for a device-tree model text."""
    if "Jetson" in text:
        if "Xavier" in text:
            return 3
        if "TX1" in text or "Nano" in text:
            return 2
        return 3
    if " Orin" in text:
        return 3
    if "Raspberry" in text:
        return 6 if "Pi 5" in text else 5
    if "Radxa ROCK" in text:
        return 7
    return 0


def platform_model(model_file=MODEL_FILE):
    """(platform model number, model text or None), read as the driver does:
    the first line, at most 99 characters, ending at a NUL or newline."""
    try:
        with io.open(model_file, "rb") as handle:
            data = handle.read(99)
    except (IOError, OSError):
        return 0, None
    for end in (b"\0", b"\n"):
        cut = data.find(end)
        if cut >= 0:
            data = data[:cut]
    text = data.decode("utf-8", "replace")
    return classify_platform(text), text


def _read_first_line(path):
    try:
        with io.open(path, "rb") as handle:
            return handle.readline(256).decode("utf-8", "replace").strip()
    except (IOError, OSError):
        return None


def _access(path):
    if not os.path.exists(path):
        return "missing"
    if os.access(path, os.R_OK | os.W_OK):
        return "read-write"
    return "no access"


def camera_nodes(sysfs="/sys", dev="/dev"):
    """Video and subdevice nodes whose name carries the camera, as dicts with
    node, name, kind ("video" or "subdev") and access ("read-write",
    "no access" or "missing"), sorted by node."""
    found = []
    for entry in sorted(glob.glob(os.path.join(sysfs, "class", "video4linux", "*"))):
        base = os.path.basename(entry)
        name = _read_first_line(os.path.join(entry, "name"))
        if name is None or not any(word in name for word in CAMERA_WORDS):
            continue
        node = os.path.join(dev, base)
        found.append({"node": node, "name": name, "kind": "subdev" if base.startswith("v4l-subdev") else "video",
                      "access": _access(node)})
    return found


def device_nodes(dev="/dev"):
    """All video, media and subdevice nodes with their access. I2C buses are
    left out: of them the driver opens only its control chip's bus, which
    velmora-i2c-access finds; the others are none of the camera's business."""
    nodes = []
    for pattern in ("video*", "media*", "v4l-subdev*"):
        for node in sorted(glob.glob(os.path.join(dev, pattern))):
            nodes.append((node, _access(node)))
    return nodes


def virtual_camera_status():
    """(available, detail): opens the simulated module with a small
    configuration file and closes it again. Fails where a vendor library
    replaces the simulated module, or where the module cannot be imported."""
    try:
        import VelmoraDepthCamera as vdc
    except ImportError as error:
        return False, "VelmoraDepthCamera cannot be imported: %s" % error
    workdir = tempfile.mkdtemp(prefix="velmora-list-")
    try:
        path = os.path.join(workdir, "probe.cfg")
        with io.open(path, "w") as handle:
            handle.write(u"scene=constant\nfps=0\n")
        cam = vdc.VelmoraCamera()
        rc = cam.openWithFile(path)
        if rc != vdc.TOFErrorCode.VelmoraSuccess:
            return False, "the evaluation-kit library refused a virtual camera configuration (%s)" % rc.str()
        info = cam.getCameraInfo()
        cam.close()
        return True, "%dx%d, %d bit (openWithFile with a key=value file; open(TOFConnect.USB) uses its defaults)" % (
            info.width, info.height, info.bit_width)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def report(stream=None, sysfs="/sys", dev="/dev", model_file=MODEL_FILE, probe_virtual=True):
    """Prints what the driver can find on this host. Returns the number of
    camera nodes found."""
    stream = stream if stream is not None else sys.stdout
    model, text = platform_model(model_file)
    stream.write("platform model: %d, %s\n" % (model, PLATFORM_NAMES.get(model, "?")))
    stream.write("  device-tree model: %s\n" % (repr(text) if text is not None else "none (%s unreadable)" % model_file))

    cameras = camera_nodes(sysfs, dev)
    if cameras:
        stream.write("camera nodes:\n")
        for item in cameras:
            stream.write("  %-18s %-6s %-10s %s\n" % (item["node"], item["kind"], item["access"], item["name"]))
        stream.write("  I2C bus of the control chip: 'velmora-i2c-access --csi N' (N of the capture node /dev/videoN)\n"
                     "  shows it and the udev rule that gives it to the video group\n")
    else:
        stream.write("camera nodes: none (no video node or subdevice whose name carries the camera)\n")

    nodes = device_nodes(dev)
    blocked = [node for node, access in nodes if access == "no access"]
    if blocked:
        stream.write("no access for this user to: %s\n" % " ".join(blocked))
        stream.write("  (the package's udev rules and the 'video' group, see the README's board set-up)\n")

    if probe_virtual:
        available, detail = virtual_camera_status()
        stream.write("virtual camera: %s, %s\n" % ("available" if available else "not available", detail))
    return len(cameras)


def main(argv=None):
    report()
    return 0


if __name__ == "__main__":
    sys.exit(main())
