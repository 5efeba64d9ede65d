"""Point clouds from depth frames, and PLY files.

Coordinates are millimetres in the camera frame: x to the right of the image,
y down, z along the optical axis (away from the camera). Pixel (column c,
row r) looks along the ray (u, v, 1) with u = (c - cx) / fx, v = (r - cy) / fy.

The camera measures the distance along that ray (radial distance), so by
default a depth value d becomes the point d * (u, v, 1) / |(u, v, 1)|. Give
``radial=False`` for depth images that hold z instead.

Intrinsics come from the user (``Intrinsics(fx, fy, cx, cy, width, height)``),
from the driver (``Intrinsics.from_driver(camera.getIntrinsics())``) or, for
the virtual camera, from the driver's nominal lens:
``Intrinsics.virtual_camera(width, height)``. A live frame has its own cloud,
with the lens distortion of a loaded calibration: ``frame.getPointCloud()``.
"""

from __future__ import division

import io
import math

import numpy as np


class Intrinsics(object):
    """Pinhole intrinsics in pixels: focal lengths fx, fy and principal
    point cx, cy (column and row, pixel centres at whole numbers), for an
    image of width x height."""

    __slots__ = ("fx", "fy", "cx", "cy", "width", "height")

    def __init__(self, fx, fy, cx, cy, width, height):
        if fx <= 0 or fy <= 0:
            raise ValueError("focal lengths must be positive")
        if width <= 0 or height <= 0:
            raise ValueError("image size must be positive")
        self.fx, self.fy = float(fx), float(fy)
        self.cx, self.cy = float(cx), float(cy)
        self.width, self.height = int(width), int(height)

    @classmethod
    def from_fov(cls, width, height, horizontal_fov_deg, vertical_fov_deg=None):
        """Intrinsics of an ideal lens centred on the image; without a
        vertical field of view the pixels are square."""
        if not 0 < horizontal_fov_deg < 180:
            raise ValueError("field of view must lie between 0 and 180 degrees")
        fx = (width / 2.0) / math.tan(math.radians(horizontal_fov_deg) / 2.0)
        if vertical_fov_deg is None:
            fy = fx
        else:
            if not 0 < vertical_fov_deg < 180:
                raise ValueError("field of view must lie between 0 and 180 degrees")
            fy = (height / 2.0) / math.tan(math.radians(vertical_fov_deg) / 2.0)
        return cls(fx, fy, (width - 1) / 2.0, (height - 1) / 2.0, width, height)

    @classmethod
    def from_driver(cls, lens):
        """The pinhole part of the driver's VelmoraIntrinsics (its distortion
        is left out: clouds with distortion come from frame.getPointCloud())."""
        return cls(lens.fx, lens.fy, lens.cx, lens.cy, lens.width, lens.height)

    @classmethod
    def virtual_camera(cls, width=240, height=180):
        """The virtual camera's lens at the given picture size, as the driver has it."""
        from ._cli import camera_module

        return cls.from_driver(camera_module().nominalIntrinsics(width, height))

    @property
    def horizontal_fov_deg(self):
        return math.degrees(2.0 * math.atan((self.width / 2.0) / self.fx))

    @property
    def vertical_fov_deg(self):
        return math.degrees(2.0 * math.atan((self.height / 2.0) / self.fy))

    def scaled(self, width, height):
        """The same lens for an image resampled to width x height."""
        sx, sy = width / self.width, height / self.height
        return Intrinsics(self.fx * sx, self.fy * sy, (self.cx + 0.5) * sx - 0.5, (self.cy + 0.5) * sy - 0.5,
                          width, height)

    def rays(self, radial=True):
        """Per pixel, the factors that turn a depth value into x, y, z: an
        array (height, width, 3). For radial depth these are unit vectors,
        otherwise (u, v, 1)."""
        u = (np.arange(self.width, dtype=np.float64) - self.cx) / self.fx
        v = (np.arange(self.height, dtype=np.float64) - self.cy) / self.fy
        uu, vv = np.meshgrid(u, v)
        out = np.stack([uu, vv, np.ones_like(uu)], axis=-1)
        if radial:
            out /= np.sqrt(uu * uu + vv * vv + 1.0)[:, :, None]
        return out

    def __eq__(self, other):
        return isinstance(other, Intrinsics) and all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    def __ne__(self, other):
        return not self == other

    def __repr__(self):
        return "Intrinsics(fx=%.6g, fy=%.6g, cx=%.6g, cy=%.6g, width=%d, height=%d)" % (
            self.fx, self.fy, self.cx, self.cy, self.width, self.height)


def valid_pixels(depth, min_mm=0.0, max_mm=None, confidence=None, min_confidence=None):
    """Pixels that make a point: finite depth above ``min_mm`` (so 0, which
    the driver writes where it has no value, is always dropped), at most
    ``max_mm`` when given, and confidence at least ``min_confidence`` when
    both are given."""
    depth = np.asarray(depth)
    with np.errstate(invalid="ignore"):
        mask = np.isfinite(depth) & (depth > min_mm)
        if max_mm is not None:
            mask &= depth <= max_mm
        if confidence is not None and min_confidence is not None:
            confidence = np.asarray(confidence)
            if confidence.shape != depth.shape:
                raise ValueError("confidence shape %r differs from depth shape %r" % (confidence.shape, depth.shape))
            mask &= confidence >= min_confidence
    return mask


def depth_to_points(depth, intrinsics=None, radial=True, mask=None, organized=False):
    """x, y, z in millimetres for a depth plane (height, width).

    ``intrinsics`` default to the virtual camera's at the plane's size.
    ``mask`` selects the pixels to keep (default: ``valid_pixels(depth)``).
    Returns float32 points (n, 3) of the kept pixels in row-major order, or
    with ``organized=True`` an array (height, width, 3) with NaN where a pixel
    is not kept."""
    depth = np.asarray(depth)
    if depth.ndim != 2:
        raise ValueError("expected a 2-D depth plane, got shape %r" % (depth.shape,))
    height, width = depth.shape
    if intrinsics is None:
        intrinsics = Intrinsics.virtual_camera(width, height)
    if (intrinsics.width, intrinsics.height) != (width, height):
        raise ValueError("intrinsics are for %dx%d, the depth plane is %dx%d"
                         % (intrinsics.width, intrinsics.height, width, height))
    if mask is None:
        mask = valid_pixels(depth)
    else:
        mask = np.asarray(mask, dtype=bool)
        if mask.shape != depth.shape:
            raise ValueError("mask shape %r differs from depth shape %r" % (mask.shape, depth.shape))
    rays = intrinsics.rays(radial)
    if organized:
        points = np.full((height, width, 3), np.nan, dtype=np.float32)
        points[mask] = (rays[mask] * depth[mask].astype(np.float64)[:, None]).astype(np.float32)
        return points
    return (rays[mask] * depth[mask].astype(np.float64)[:, None]).astype(np.float32)


def fit_plane(points):
    """Least-squares plane through points (n, 3): returns (unit normal,
    offset, rms residual) with normal . p = offset on the plane."""
    points = np.asarray(points, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] != 3 or points.shape[0] < 3:
        raise ValueError("need at least three points of shape (n, 3)")
    centre = points.mean(axis=0)
    _, _, vt = np.linalg.svd(points - centre, full_matrices=False)
    normal = vt[2]
    if normal[2] < 0:
        normal = -normal
    distances = (points - centre).dot(normal)
    return normal, float(normal.dot(centre)), float(np.sqrt(np.mean(distances * distances)))


# --- PLY -------------------------------------------------------------------

_PLY_TYPES = {
    "char": "b", "int8": "b", "uchar": "B", "uint8": "B",
    "short": "h", "int16": "h", "ushort": "H", "uint16": "H",
    "int": "i", "int32": "i", "uint": "I", "uint32": "I",
    "float": "f", "float32": "f", "double": "d", "float64": "d",
}


def write_ply(path, points, colors=None, scalars=None, binary=True, comments=(), overwrite=True):
    """Writes points (n, 3) as the vertices of a PLY file: properties x, y, z
    (float), then red, green, blue (uchar) when ``colors`` (n, 3) is given,
    then one float property per entry of ``scalars`` (a list of (name, values)
    pairs or a dict; names must be plain words). Binary little-endian by
    default, else ASCII. The file is made anew, never through a link: what
    is at ``path`` is replaced, or with ``overwrite`` false refused."""
    points = np.asarray(points, dtype=np.float32)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError("points must have shape (n, 3), got %r" % (points.shape,))
    n = points.shape[0]
    fields = [("x", points[:, 0], "float"), ("y", points[:, 1], "float"), ("z", points[:, 2], "float")]
    if colors is not None:
        colors = np.asarray(colors)
        if colors.shape != (n, 3):
            raise ValueError("colors must have shape (%d, 3), got %r" % (n, colors.shape))
        colors = np.clip(colors, 0, 255).astype(np.uint8)
        fields += [("red", colors[:, 0], "uchar"), ("green", colors[:, 1], "uchar"), ("blue", colors[:, 2], "uchar")]
    if scalars:
        items = sorted(scalars.items()) if isinstance(scalars, dict) else list(scalars)
        for name, values in items:
            if not name or not all(ch.isalnum() or ch == "_" for ch in name):
                raise ValueError("property name %r is not a plain word" % (name,))
            values = np.asarray(values, dtype=np.float32).reshape(-1)
            if values.shape[0] != n:
                raise ValueError("scalar %r has %d values for %d points" % (name, values.shape[0], n))
            fields.append((name, values, "float"))

    header = ["ply", "format %s 1.0" % ("binary_little_endian" if binary else "ascii")]
    for comment in comments:
        header.append("comment " + " ".join(str(comment).splitlines()))
    header.append("element vertex %d" % n)
    header += ["property %s %s" % (kind, name) for name, _, kind in fields]
    header.append("end_header")
    from ._cli import create_output

    with create_output(path, overwrite) as out:
        out.write(("\n".join(header) + "\n").encode("ascii"))
        if binary:
            record = np.dtype([(name, "<f4" if kind == "float" else "u1") for name, _, kind in fields])
            table = np.empty(n, dtype=record)
            for name, values, _ in fields:
                table[name] = values
            out.write(table.tobytes())
        else:
            columns = [(values, "%d" if kind == "uchar" else "%.9g") for _, values, kind in fields]
            lines = []
            for i in range(n):
                lines.append(" ".join(fmt % values[i] for values, fmt in columns))
            if lines:
                out.write(("\n".join(lines) + "\n").encode("ascii"))


def read_ply(path):
    """Reads the vertex element of a PLY file (ASCII or binary, scalar
    properties only) into a dict of property name -> numpy array, plus
    "points" (n, 3) float32 from x, y, z and "colors" (n, 3) uint8 when red,
    green and blue are present."""
    with io.open(path, "rb") as handle:
        if handle.readline().strip() != b"ply":
            raise ValueError("%s: not a PLY file" % path)
        fmt = None
        elements = []
        while True:
            line = handle.readline()
            if not line:
                raise ValueError("%s: header has no end_header" % path)
            words = line.decode("ascii").split()
            if not words or words[0] in ("comment", "obj_info"):
                continue
            if words[0] == "end_header":
                break
            if words[0] == "format":
                fmt = words[1]
            elif words[0] == "element":
                elements.append((words[1], int(words[2]), []))
            elif words[0] == "property":
                if not elements:
                    raise ValueError("%s: property before any element" % path)
                if words[1] == "list":
                    # Faces and the like; only their count of lines matters.
                    elements[-1][2].append((words[-1], None))
                    continue
                if words[1] not in _PLY_TYPES:
                    raise ValueError("%s: unknown property type %s" % (path, words[1]))
                elements[-1][2].append((words[2], _PLY_TYPES[words[1]]))
        if fmt not in ("ascii", "binary_little_endian", "binary_big_endian"):
            raise ValueError("%s: unsupported format %s" % (path, fmt))
        result = None
        for name, count, props in elements:
            if any(code is None for _, code in props):
                if name == "vertex" or fmt != "ascii":
                    raise ValueError("%s: list properties in element %s are not supported" % (path, name))
                for _ in range(count):
                    handle.readline()
                continue
            if fmt == "ascii":
                rows = []
                for _ in range(count):
                    rows.append(handle.readline().split())
                table = {p: np.array([float(r[i]) for r in rows]).astype(code)
                         for i, (p, code) in enumerate(props)}
            else:
                endian = "<" if fmt == "binary_little_endian" else ">"
                record = np.dtype([(p, endian + code) for p, code in props])
                data = handle.read(record.itemsize * count)
                if len(data) != record.itemsize * count:
                    raise ValueError("%s: element %s is cut short" % (path, name))
                array = np.frombuffer(data, dtype=record)
                table = {p: array[p].astype(array[p].dtype.newbyteorder("=")) for p, _ in props}
            if name == "vertex":
                result = table
                break
    if result is None:
        raise ValueError("%s: no vertex element" % path)
    if all(k in result for k in ("x", "y", "z")):
        result["points"] = np.stack([result["x"], result["y"], result["z"]], axis=1).astype(np.float32)
    if all(k in result for k in ("red", "green", "blue")):
        result["colors"] = np.stack([result["red"], result["green"], result["blue"]], axis=1).astype(np.uint8)
    return result


def frame_to_ply(path, depth, amplitude=None, intrinsics=None, radial=True, max_mm=None, colour="depth",
                 binary=True, overwrite=True, cloud=None):
    """One depth frame to a PLY file, invalid pixels dropped. The points are
    those of ``cloud`` (a frame's getPointCloud()) when given, else computed
    from ``depth`` with ``intrinsics``. Points are
    coloured by depth (``colour="depth"``), by amplitude (``"amplitude"``,
    needs ``amplitude``) or not at all (None); the amplitude is also stored
    as a float property. ``overwrite`` as for write_ply. Returns the number
    of points written."""
    from . import colormap

    depth = np.asarray(depth)
    mask = valid_pixels(depth, max_mm=max_mm)
    if cloud is not None:
        cloud = np.asarray(cloud, dtype=np.float32)
        if cloud.shape != depth.shape + (3,):
            raise ValueError("cloud shape %r does not fit depth shape %r" % (cloud.shape, depth.shape))
        mask &= np.isfinite(cloud[:, :, 2])
        points = cloud[mask]
    else:
        points = depth_to_points(depth, intrinsics, radial=radial, mask=mask)
    colors = None
    if colour == "depth":
        top = max_mm if max_mm is not None else (float(depth[mask].max()) if mask.any() else 1.0)
        colors = colormap.colorize_depth(depth, max_mm=top)[mask]
    elif colour == "amplitude":
        if amplitude is None:
            raise ValueError("colour by amplitude needs the amplitude plane")
        colors = colormap.colorize_amplitude(amplitude)[mask]
    elif colour is not None:
        raise ValueError("colour must be 'depth', 'amplitude' or None")
    scalars = None
    if amplitude is not None:
        scalars = [("amplitude", np.asarray(amplitude)[mask])]
    write_ply(path, points, colors=colors, scalars=scalars, binary=binary,
              comments=["millimetres; x right, y down, z forward (camera frame)"], overwrite=overwrite)
    return int(points.shape[0])

