"""Colour mapping of depth and amplitude planes for display.

Every function takes a 2-D plane (numpy array) and returns an image of shape
(height, width, 3), dtype uint8, in RGB order or, with ``order="bgr"``, in the
order OpenCV expects. Pixels without a value (0, negative or not finite) are
painted ``invalid_colour`` (black by default), so holes stay visible.

Maps:

- ``"depth"``: near blue, through cyan, green and yellow, to far red.
- ``"amplitude"``: black through purple and orange to pale yellow; weak
  signal stays dark.
- ``"grey"``: black to white.
"""

from __future__ import division

import numpy as np

# (position 0..1, RGB) anchors; the 256-entry tables interpolate between them.
_ANCHORS = {
    "depth": [
        (0.00, (40, 20, 90)),
        (0.12, (50, 90, 220)),
        (0.28, (30, 180, 240)),
        (0.42, (30, 225, 170)),
        (0.56, (130, 245, 60)),
        (0.70, (235, 220, 40)),
        (0.84, (250, 130, 25)),
        (1.00, (150, 20, 10)),
    ],
    "amplitude": [
        (0.00, (0, 0, 5)),
        (0.22, (60, 10, 105)),
        (0.45, (150, 40, 100)),
        (0.65, (225, 85, 55)),
        (0.82, (250, 165, 20)),
        (1.00, (250, 250, 165)),
    ],
    "grey": [
        (0.0, (0, 0, 0)),
        (1.0, (255, 255, 255)),
    ],
}

_TABLES = {}


def names():
    """The colour maps this module knows."""
    return sorted(_ANCHORS)


def table(name):
    """The 256 x 3 uint8 RGB table of a colour map (shared: do not modify)."""
    if name not in _ANCHORS:
        raise ValueError("unknown colour map %r (known: %s)" % (name, ", ".join(names())))
    lut = _TABLES.get(name)
    if lut is None:
        anchors = _ANCHORS[name]
        positions = [p for p, _ in anchors]
        steps = np.linspace(0.0, 1.0, 256)
        lut = np.empty((256, 3), dtype=np.uint8)
        for channel in range(3):
            values = [colour[channel] for _, colour in anchors]
            lut[:, channel] = np.round(np.interp(steps, positions, values)).astype(np.uint8)
        lut.setflags(write=False)
        _TABLES[name] = lut
    return lut


def valid_mask(plane):
    """Pixels that carry a value: finite and above 0."""
    plane = np.asarray(plane)
    with np.errstate(invalid="ignore"):
        return np.isfinite(plane) & (plane > 0)


def apply(plane, low, high, name="depth", order="rgb", valid=None, invalid_colour=(0, 0, 0)):
    """Maps values from ``low`` (first colour) to ``high`` (last colour);
    values outside are clamped. ``valid`` overrides which pixels count as
    having a value."""
    plane = np.asarray(plane, dtype=np.float64)
    if plane.ndim != 2:
        raise ValueError("expected a 2-D plane, got shape %r" % (plane.shape,))
    if order not in ("rgb", "bgr"):
        raise ValueError("order must be 'rgb' or 'bgr'")
    if valid is None:
        valid = valid_mask(plane)
    span = max(float(high) - float(low), 1e-12)
    scaled = (np.where(valid, plane, low) - low) / span
    index = np.clip(np.round(scaled * 255.0), 0, 255).astype(np.intp)
    image = table(name)[index]
    image[~valid] = invalid_colour
    if order == "bgr":
        image = image[:, :, ::-1]
    return np.ascontiguousarray(image)


def auto_high(plane, percentile=99.0, valid=None):
    """A display maximum that ignores a few outliers: the given percentile of
    the valid values (1.0 when there are none)."""
    plane = np.asarray(plane)
    if valid is None:
        valid = valid_mask(plane)
    values = plane[valid]
    if values.size == 0:
        return 1.0
    high = float(np.percentile(values, percentile))
    return high if high > 0 else float(values.max())


def colorize_depth(depth, max_mm=4000.0, min_mm=0.0, order="rgb", name="depth"):
    """Depth in millimetres from ``min_mm`` (near colour) to ``max_mm``."""
    return apply(depth, min_mm, max_mm, name=name, order=order)


def colorize_amplitude(amplitude, high=None, percentile=99.0, order="rgb", name="amplitude"):
    """Amplitude (or confidence) from 0 to ``high``; without ``high`` the
    given percentile of the frame's valid values."""
    if high is None:
        high = auto_high(amplitude, percentile)
    return apply(amplitude, 0.0, high, name=name, order=order)
