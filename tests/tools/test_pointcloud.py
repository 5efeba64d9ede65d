"""Point clouds: pinhole geometry, invalid pixels, PLY files, and scenes of
the virtual camera whose geometry is known."""

import math
import os
import unittest

from tools_fixture import TempDirTestCase, needs_camera, needs_numpy, numpy, open_camera, stream, vdc, write_config

if numpy is not None:
    from velmora_tools.pointcloud import (Intrinsics, depth_to_points, fit_plane,
                                          frame_to_ply, read_ply, valid_pixels, write_ply)


@needs_numpy
class IntrinsicsTest(unittest.TestCase):
    def test_field_of_view_gives_focal_length(self):
        lens = Intrinsics.from_fov(240, 180, 90.0)
        self.assertAlmostEqual(lens.fx, 120.0)
        self.assertEqual(lens.fx, lens.fy)
        self.assertEqual((lens.cx, lens.cy), (119.5, 89.5))
        self.assertAlmostEqual(lens.horizontal_fov_deg, 90.0)
        tall = Intrinsics.from_fov(240, 180, 90.0, vertical_fov_deg=60.0)
        self.assertAlmostEqual(tall.fy, 90.0 / math.tan(math.radians(30.0)))

    def test_virtual_camera_lens(self):
        lens = Intrinsics.virtual_camera(240, 180)
        self.assertAlmostEqual(lens.horizontal_fov_deg, 70.0)
        self.assertAlmostEqual(lens.fx, 120.0 / math.tan(math.radians(35.0)))
        vga = Intrinsics.virtual_camera(640, 480)
        self.assertAlmostEqual(vga.fx / lens.fx, 640.0 / 240.0)

    def test_scaling_keeps_the_field_of_view(self):
        lens = Intrinsics.virtual_camera(240, 180)
        half = lens.scaled(120, 90)
        self.assertAlmostEqual(half.horizontal_fov_deg, lens.horizontal_fov_deg)
        self.assertAlmostEqual(half.cx, 59.5)
        self.assertAlmostEqual(half.cy, 44.5)

    def test_rejects_impossible_lenses(self):
        with self.assertRaises(ValueError):
            Intrinsics(0, 1, 0, 0, 10, 10)
        with self.assertRaises(ValueError):
            Intrinsics.from_fov(10, 10, 180.0)


@needs_numpy
class DepthToPointsTest(unittest.TestCase):
    def setUp(self):
        # 5 x 4 image, focal length 2 pixels, principal point at column 2, row 1.
        self.lens = Intrinsics(2.0, 2.0, 2.0, 1.0, 5, 4)

    def test_radial_depth_lies_along_each_pixel_ray(self):
        depth = numpy.full((4, 5), 1000.0, dtype=numpy.float32)
        points = depth_to_points(depth, self.lens, organized=True)
        numpy.testing.assert_allclose(points[1, 2], [0.0, 0.0, 1000.0], atol=1e-3)
        # Every point is 1000 mm from the lens, in the direction of its pixel.
        numpy.testing.assert_allclose(numpy.linalg.norm(points, axis=2), 1000.0, rtol=1e-6)
        corner = points[3, 4]  # u = (4 - 2) / 2 = 1, v = (3 - 1) / 2 = 1
        numpy.testing.assert_allclose(corner, 1000.0 / math.sqrt(3.0) * numpy.array([1.0, 1.0, 1.0]), rtol=1e-6)

    def test_z_depth_keeps_z(self):
        depth = numpy.full((4, 5), 800.0, dtype=numpy.float32)
        points = depth_to_points(depth, self.lens, radial=False, organized=True)
        numpy.testing.assert_allclose(points[:, :, 2], 800.0)
        numpy.testing.assert_allclose(points[0, 0], [-800.0, -400.0, 800.0])

    def test_invalid_pixels_are_dropped(self):
        depth = numpy.full((4, 5), 500.0, dtype=numpy.float32)
        depth[0, 0] = 0.0
        depth[0, 1] = numpy.nan
        depth[0, 2] = numpy.inf
        depth[0, 3] = -5.0
        depth[3, 4] = 9000.0
        points = depth_to_points(depth, self.lens)
        self.assertEqual(points.shape, (16, 3))
        self.assertEqual(points.dtype, numpy.float32)
        self.assertTrue(numpy.isfinite(points).all())
        near = valid_pixels(depth, max_mm=1000.0)
        self.assertEqual(depth_to_points(depth, self.lens, mask=near).shape, (15, 3))
        organized = depth_to_points(depth, self.lens, mask=near, organized=True)
        self.assertTrue(numpy.isnan(organized[0, :4]).all())
        self.assertTrue(numpy.isnan(organized[3, 4]).all())
        self.assertEqual(int(numpy.isfinite(organized[:, :, 0]).sum()), 15)

    def test_confidence_threshold(self):
        depth = numpy.full((4, 5), 500.0, dtype=numpy.float32)
        confidence = numpy.arange(20, dtype=numpy.float32).reshape(4, 5)
        mask = valid_pixels(depth, confidence=confidence, min_confidence=15)
        self.assertEqual(int(mask.sum()), 5)
        self.assertTrue(mask[3].all())

    def test_points_keep_row_major_order(self):
        depth = numpy.arange(1, 21, dtype=numpy.float32).reshape(4, 5) * 100
        points = depth_to_points(depth, self.lens)
        numpy.testing.assert_allclose(numpy.linalg.norm(points, axis=1), depth.reshape(-1), rtol=1e-6)

    def test_size_mismatch_is_refused(self):
        with self.assertRaises(ValueError):
            depth_to_points(numpy.ones((4, 6), dtype=numpy.float32), self.lens)
        with self.assertRaises(ValueError):
            depth_to_points(numpy.ones((4, 5), dtype=numpy.float32), self.lens, mask=numpy.ones((5, 4), bool))

    def test_plane_fit(self):
        rng = numpy.random.RandomState(3)
        xy = rng.uniform(-500, 500, size=(200, 2))
        z = 1000 + 0.5 * xy[:, 0]
        normal, offset, rms = fit_plane(numpy.column_stack([xy, z]))
        expected = numpy.array([-0.5, 0.0, 1.0]) / math.sqrt(1.25)
        numpy.testing.assert_allclose(normal, expected, atol=1e-9)
        self.assertAlmostEqual(offset, 1000 / math.sqrt(1.25), places=6)
        self.assertLess(rms, 1e-9)


@needs_numpy
class PlyTest(TempDirTestCase):
    def sample(self):
        points = numpy.array([[0, 0, 1000], [1.5, -2.25, 3000.125], [-7, 8, 9]], dtype=numpy.float32)
        colors = numpy.array([[255, 0, 0], [0, 128, 0], [1, 2, 3]], dtype=numpy.uint8)
        return points, colors, [("amplitude", [10.5, 20.0, 0.0])]

    def test_binary_round_trip(self):
        points, colors, scalars = self.sample()
        write_ply(self.path("a.ply"), points, colors, scalars)
        with open(self.path("a.ply"), "rb") as handle:
            data = handle.read()
        header = data[:data.index(b"end_header\n") + len(b"end_header\n")].decode("ascii")
        self.assertIn("format binary_little_endian 1.0\nelement vertex 3\n", header)
        self.assertIn("property float x\nproperty float y\nproperty float z\nproperty uchar red\n"
                      "property uchar green\nproperty uchar blue\nproperty float amplitude\n", header)
        self.assertEqual(len(data) - len(header), 3 * (3 * 4 + 3 + 4))
        back = read_ply(self.path("a.ply"))
        numpy.testing.assert_array_equal(back["points"], points)
        numpy.testing.assert_array_equal(back["colors"], colors)
        numpy.testing.assert_array_equal(back["amplitude"], numpy.float32([10.5, 20.0, 0.0]))

    def test_ascii_round_trip(self):
        points, colors, scalars = self.sample()
        write_ply(self.path("a.ply"), points, colors, scalars, binary=False)
        with open(self.path("a.ply")) as handle:
            lines = handle.read().splitlines()
        self.assertEqual(lines[1], "format ascii 1.0")
        self.assertEqual(lines[-3], "0 0 1000 255 0 0 10.5")
        back = read_ply(self.path("a.ply"))
        numpy.testing.assert_array_equal(back["points"], points)
        numpy.testing.assert_array_equal(back["colors"], colors)

    def test_reads_foreign_files(self):
        with open(self.path("b.ply"), "w") as handle:
            handle.write("ply\nformat ascii 1.0\ncomment made by hand\nelement vertex 2\nproperty double x\n"
                         "property double y\nproperty double z\nelement face 0\n"
                         "property list uchar int vertex_indices\nend_header\n1 2 3\n4 5 6\n")
        numpy.testing.assert_array_equal(read_ply(self.path("b.ply"))["points"], [[1, 2, 3], [4, 5, 6]])
        with open(self.path("c.ply"), "w") as handle:
            handle.write("ply\nformat ascii 1.0\nelement vertex 1\nproperty list uchar int x\nend_header\n")
        with self.assertRaises(ValueError):
            read_ply(self.path("c.ply"))

    def test_refuses_bad_input(self):
        points, colors, _ = self.sample()
        with self.assertRaises(ValueError):
            write_ply(self.path("x.ply"), points[:, :2])
        with self.assertRaises(ValueError):
            write_ply(self.path("x.ply"), points, colors[:2])
        with self.assertRaises(ValueError):
            write_ply(self.path("x.ply"), points, scalars=[("two words", [1, 2, 3])])

    def test_frame_to_ply_writes_the_valid_pixels(self):
        depth = numpy.full((18, 24), 1200.0, dtype=numpy.float32)
        depth[:3] = 0
        amplitude = numpy.full((18, 24), 50.0, dtype=numpy.float32)
        count = frame_to_ply(self.path("f.ply"), depth, amplitude, colour="amplitude")
        self.assertEqual(count, 15 * 24)
        back = read_ply(self.path("f.ply"))
        self.assertEqual(back["points"].shape, (count, 3))
        numpy.testing.assert_allclose(numpy.linalg.norm(back["points"], axis=1), 1200.0, rtol=1e-6)
        numpy.testing.assert_array_equal(back["amplitude"], 50.0)


@needs_camera
class VirtualCameraScenesTest(TempDirTestCase):
    """Depth of the virtual camera, turned into points with its documented
    lens, lands on the surfaces of its scenes."""

    def depth_of(self, **settings):
        settings.setdefault("noise", 0)
        cam = open_camera(self, write_config(self.workdir, fps=0, **settings))
        # The scenes' true surfaces, grazing silhouettes included.
        cam.setDepthFilters(flying_pixel=False, spatial=False, temporal=False)
        (_, (depth, _, _)), = stream(self, cam, vdc.TOFOutput.DEPTH, 1)
        return depth

    def test_constant_scene_is_a_sphere_around_the_lens(self):
        depth = self.depth_of(scene="constant", distance_mm=1500)
        points = depth_to_points(depth)
        self.assertEqual(points.shape[0], 240 * 180)
        numpy.testing.assert_allclose(numpy.linalg.norm(points, axis=1), 1500.0, atol=3.0)

    def test_wall_scene_is_a_plane(self):
        depth = self.depth_of(scene="wall", distance_mm=1800)
        points = depth_to_points(depth)
        self.assertEqual(points.shape[0], 240 * 180)
        normal, offset, rms = fit_plane(points)
        numpy.testing.assert_allclose(normal, [0.0, 0.0, 1.0], atol=1e-3)
        self.assertAlmostEqual(offset, 1800.0, delta=2.0)
        self.assertLess(rms, 2.0)
        numpy.testing.assert_allclose(points[:, 2], 1800.0, atol=6.0)
        # The wrong lens bends the wall: a narrower field of view makes it a bowl.
        bent = depth_to_points(depth, Intrinsics.from_fov(240, 180, 50.0))
        self.assertGreater(fit_plane(bent)[2], 20.0)

    def test_demo_room_surfaces(self):
        depth = self.depth_of(scene="demo")
        points = depth_to_points(depth).astype(numpy.float64)
        self.assertEqual(points.shape[0], 240 * 180)
        sphere = numpy.abs(numpy.linalg.norm(points - [250.0, 350.0, 1800.0], axis=1) - 450.0)
        floor = numpy.abs(points[:, 1] - 800.0)
        wall = numpy.abs(points[:, 2] - 3000.0)
        nearest = numpy.minimum(numpy.minimum(sphere, floor), wall)
        self.assertLess(float(nearest.max()), 10.0)
        # Each surface is seen by a good share of the pixels.
        for distances in (sphere, floor, wall):
            self.assertGreater(int((distances < 10.0).sum()), 2000)

    def test_ply_of_a_live_frame(self):
        depth = self.depth_of(scene="constant", distance_mm=1000)
        path = self.path("live.ply")
        self.assertEqual(frame_to_ply(path, depth), 240 * 180)
        self.assertGreater(os.path.getsize(path), 240 * 180 * 15)


if __name__ == "__main__":
    unittest.main()
