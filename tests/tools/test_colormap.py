"""Colour maps: range mapping, clamping, holes, channel order."""

import unittest

from tools_fixture import needs_numpy, numpy

if numpy is not None:
    from velmora_tools import colormap


@needs_numpy
class ColormapTest(unittest.TestCase):
    def test_ends_of_the_range_get_the_ends_of_the_table(self):
        lut = colormap.table("depth")
        plane = numpy.array([[1000.0, 3000.0, 2000.0]], dtype=numpy.float32)
        image = colormap.apply(plane, 1000.0, 3000.0, "depth")
        self.assertEqual(image.shape, (1, 3, 3))
        self.assertEqual(image.dtype, numpy.uint8)
        numpy.testing.assert_array_equal(image[0, 0], lut[0])
        numpy.testing.assert_array_equal(image[0, 1], lut[255])
        numpy.testing.assert_array_equal(image[0, 2], lut[128])

    def test_values_outside_are_clamped(self):
        lut = colormap.table("depth")
        image = colormap.colorize_depth(numpy.array([[10.0, 9000.0]]), max_mm=4000.0, min_mm=500.0)
        numpy.testing.assert_array_equal(image[0, 0], lut[0])
        numpy.testing.assert_array_equal(image[0, 1], lut[255])

    def test_holes_stay_black(self):
        plane = numpy.array([[0.0, numpy.nan, numpy.inf, -3.0, 1500.0]], dtype=numpy.float32)
        image = colormap.colorize_depth(plane)
        numpy.testing.assert_array_equal(image[0, :4], 0)
        self.assertGreater(int(image[0, 4].sum()), 0)
        white = colormap.apply(plane, 0, 4000, invalid_colour=(255, 255, 255))
        numpy.testing.assert_array_equal(white[0, :4], 255)

    def test_bgr_is_rgb_reversed(self):
        plane = numpy.linspace(1, 4000, 60, dtype=numpy.float32).reshape(6, 10)
        rgb = colormap.colorize_depth(plane)
        bgr = colormap.colorize_depth(plane, order="bgr")
        numpy.testing.assert_array_equal(bgr, rgb[:, :, ::-1])
        self.assertTrue(bgr.flags["C_CONTIGUOUS"])

    def test_depth_colours_tell_distances_apart(self):
        lut = colormap.table("depth").astype(int)
        steps = numpy.abs(numpy.diff(lut, axis=0)).sum(axis=1)
        self.assertTrue((steps > 0).all(), "neighbouring table entries must differ")
        self.assertGreater(int(numpy.abs(lut[0] - lut[255]).sum()), 150)

    def test_amplitude_scale_ignores_outliers(self):
        amplitude = numpy.full((20, 20), 100.0, dtype=numpy.float32)
        amplitude[0, 0] = 1e6
        self.assertAlmostEqual(colormap.auto_high(amplitude, 99.0), 100.0, places=3)
        image = colormap.colorize_amplitude(amplitude)
        lut = colormap.table("amplitude")
        numpy.testing.assert_array_equal(image[5, 5], lut[255])
        self.assertEqual(colormap.auto_high(numpy.zeros((3, 3))), 1.0)

    def test_grey_is_linear(self):
        image = colormap.apply(numpy.array([[1.0, 51.0, 101.0]]), 1.0, 101.0, "grey")
        numpy.testing.assert_array_equal(image[0, :, 0], [0, 128, 255])

    def test_refuses_bad_arguments(self):
        with self.assertRaises(ValueError):
            colormap.table("nope")
        with self.assertRaises(ValueError):
            colormap.apply(numpy.ones(5), 0, 1)
        with self.assertRaises(ValueError):
            colormap.apply(numpy.ones((2, 2)), 0, 1, order="rbg")


if __name__ == "__main__":
    unittest.main()
