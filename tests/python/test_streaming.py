"""Streaming from the simulated camera: frames, formats, arrays and controls."""

import math
import os
import pickle
import time
import unittest

import VelmoraDepthCamera as vdc

from camera_fixture import HAVE_NUMPY, SCENE_DISTANCE_MM, CameraTestCase, numpy, run_python, write_config

OK = vdc.TOFErrorCode.VelmoraSuccess
INVALID = vdc.TOFErrorCode.VelmoraInvalidParameter

# The simulated module stamps frame n (from 0) with 10 * (n + 1) + 3 at 100
# frames per second: the stamp of its last sub-frame.
def frame_number(timestamp):
    return (timestamp - 3) // 10 - 1


class DepthStreamTest(CameraTestCase):
    def test_camera_info_of_open_camera(self):
        info = self.cam.getCameraInfo()
        self.assertEqual((info.width, info.height, info.bit_width, info.bpp), (240, 180, 12, 2))
        self.assertEqual(info.connect, vdc.TOFConnect.USB)
        self.assertEqual(info.device_type, vdc.TOFDeviceType.HQVGA)
        self.assertEqual(info.device_type, 1)
        self.start(vdc.TOFOutput.DEPTH)
        self.assertEqual(self.cam.getCameraInfo().type, vdc.TOFOutput.DEPTH)

    def test_frames_and_format(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.cam.requestFrame(timeout=2000)
        self.assertIsInstance(frame, vdc.DepthData)
        fmt = frame.getFrameFormat()
        self.assertIsInstance(fmt, vdc.VelmoraFormat)
        self.assertEqual((fmt.width, fmt.height), (240, 180))
        self.assertEqual(fmt.type, vdc.TOFOutput.DEPTH)
        self.assertGreater(fmt.timestamp, 0)
        for field in ("width", "height", "timestamp"):
            self.assertIsInstance(getattr(fmt, field), (int, type(2 ** 64)))
        # The record is a copy: changing it changes nothing in the frame.
        fmt.width = 3
        self.assertEqual(frame.getFrameFormat().width, 240)
        with self.assertRaises(TypeError):
            fmt.timestamp = -1
        fmt.timestamp = 2 ** 64 - 1
        self.assertEqual(fmt.timestamp, 2 ** 64 - 1)
        with self.assertRaises(TypeError):
            fmt.timestamp = 2 ** 64
        self.assertEqual(self.cam.releaseFrame(frame), OK)

    def test_many_frames_cycle_through_the_pool(self):
        self.start(vdc.TOFOutput.DEPTH)
        stamps = []
        for _ in range(12):
            frame = self.frame()
            stamps.append(frame.getFrameFormat().timestamp)
            self.assertEqual(self.cam.releaseFrame(frame), OK)
        self.assertEqual(stamps, sorted(stamps))
        self.assertEqual(len(set(stamps)), len(stamps))

    def test_released_buffer_comes_back_as_same_object(self):
        self.start(vdc.TOFOutput.DEPTH)
        frames = []
        for _ in range(7):
            frame = self.frame()
            frame.getFrameFormat()
            frames.append(frame)
            self.assertEqual(self.cam.releaseFrame(frame), OK)
        # Only three buffers exist, and every frame object is kept alive, so
        # a buffer handed out again comes back as its earlier object.
        self.assertLessEqual(len(set(id(f) for f in frames)), 3)

    def test_frames_remain_requestable_after_stop(self):
        self.start(vdc.TOFOutput.DEPTH)
        self.assertEqual(self.cam.releaseFrame(self.frame()), OK)
        # Nobody requests: the ready queue fills with the newest frames.
        time.sleep(0.2)
        self.assertEqual(self.cam.stop(), OK)
        stamps = []
        for _ in range(4):
            frame = self.cam.requestFrame(0)
            if frame is None:
                break
            stamps.append(frame.getFrameFormat().timestamp)
            self.assertEqual(self.cam.releaseFrame(frame), OK)
        # All three output frames were ready, oldest first, and nothing else.
        self.assertEqual(len(stamps), 3, stamps)
        self.assertEqual(stamps, sorted(set(stamps)))
        self.assertIsNone(self.cam.requestFrame(100))

    def test_poll_without_ready_frame_returns_none(self):
        self.suppress_frames()
        self.start(vdc.TOFOutput.DEPTH)
        self.drain()
        began = time.time()
        self.assertIsNone(self.cam.requestFrame(0))
        self.assertLess(time.time() - began, 0.05)
        began = time.time()
        self.assertIsNone(self.cam.requestFrame(timeout=100))
        self.assertGreaterEqual(time.time() - began, 0.095)
        self.assertLess(time.time() - began, 1.0)
        # Refused arguments raise before anything waits.
        for bad, error in ((40000, ValueError), (1.5, TypeError)):
            began = time.time()
            self.assertRaises(error, self.cam.requestFrame, bad)
            self.assertLess(time.time() - began, 0.05)
        self.resume_frames()
        self.assertIsNotNone(self.cam.requestFrame(2000))

    def test_records_pickle_by_value_frames_and_camera_refuse(self):
        # In a child interpreter: a broken pickle support crashes rather than raises.
        code = "\n".join([
            "import pickle",
            "import VelmoraDepthCamera as vdc",
            "cam = vdc.VelmoraCamera()",
            "assert cam.openWithFile(%r) == vdc.TOFErrorCode.VelmoraSuccess" % self.config_path,
            "assert cam.start(vdc.TOFOutput.DEPTH) == vdc.TOFErrorCode.VelmoraSuccess",
            "frame = cam.requestFrame(2000)",
            "fmt = frame.getFrameFormat()",
            "info = cam.getCameraInfo()",
            "info.index = 4294967295",
            "for protocol in range(pickle.HIGHEST_PROTOCOL + 1):",
            "    f = pickle.loads(pickle.dumps(fmt, protocol))",
            "    i = pickle.loads(pickle.dumps(info, protocol))",
            "    print('%d %s %d %d %d %s' % (protocol, type(f).__name__, f.width, f.height,",
            "                                 f.timestamp == fmt.timestamp, f.type == fmt.type))",
            "    print('%d %s %d %s %s %s %d %d %d %d' % (protocol, type(i).__name__, i.index,",
            "          i.connect == info.connect, i.device_type == info.device_type, i.type == info.type,",
            "          i.width, i.height, i.bit_width, i.bpp))",
            "    for thing in (frame, cam):",
            "        try:",
            "            pickle.dumps(thing, protocol)",
            "        except TypeError:",
            "            print('%d %s refused' % (protocol, type(thing).__name__))",
            "cam.releaseFrame(frame); cam.stop(); cam.close()",
        ])
        status, out, err = run_python(code)
        self.assertEqual(status, 0, err)
        expected = []
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            expected += ["%d VelmoraFormat 240 180 1 True" % protocol,
                         "%d VelmoraInfo 4294967295 True True True 240 180 12 2" % protocol,
                         "%d DepthData refused" % protocol, "%d VelmoraCamera refused" % protocol]
        # The child may know a higher protocol than this interpreter.
        self.assertEqual(out.splitlines()[:len(expected)], expected)

    def test_second_start_while_streaming_is_refused(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        self.assertNotEqual(self.cam.start(vdc.TOFOutput.RAW), OK)
        # The refused start replaced nothing: the held frame is still good.
        self.assertEqual(frame.getFrameFormat().type, vdc.TOFOutput.DEPTH)
        self.assertEqual(self.cam.releaseFrame(frame), OK)
        self.assertIsInstance(self.frame(), vdc.DepthData)


class RawStreamTest(CameraTestCase):
    def test_raw_frames(self):
        self.start(vdc.TOFOutput.RAW)
        frame = self.frame()
        self.assertIsInstance(frame, vdc.RawData)
        fmt = frame.getFrameFormat()
        # Four phase planes of 180 lines, stacked.
        self.assertEqual((fmt.width, fmt.height, fmt.type), (240, 720, vdc.TOFOutput.RAW))
        self.assertFalse(hasattr(frame, "getDepthData"))
        self.assertEqual(self.cam.releaseFrame(frame), OK)

    def test_restart_switches_output_type(self):
        self.start(vdc.TOFOutput.RAW)
        self.assertEqual(self.cam.releaseFrame(self.frame()), OK)
        self.assertEqual(self.cam.stop(), OK)
        self.start(vdc.TOFOutput.DEPTH)
        self.assertIsInstance(self.frame(), vdc.DepthData)

    @unittest.skipUnless(HAVE_NUMPY, "needs numpy")
    def test_raw_array(self):
        self.start(vdc.TOFOutput.RAW)
        frame = self.frame()
        fmt = frame.getFrameFormat()
        raw = frame.getRawData()
        self.assertEqual(raw.dtype, numpy.int16)
        self.assertEqual(raw.shape, (fmt.height, fmt.width))
        self.assertEqual(raw.strides, (fmt.width * 2, 2))
        self.assertTrue(raw.flags.c_contiguous and raw.flags.owndata and raw.flags.writeable)
        self.assertIsNone(raw.base)
        # Decoded phase samples: 11-bit two's complement scaled by 16.
        self.assertTrue((raw % 16 == 0).all())
        self.assertTrue(raw.min() >= -16384 and raw.max() <= 16368)
        self.assertTrue(raw.any())


@unittest.skipUnless(HAVE_NUMPY, "needs numpy")
class DepthArrayTest(CameraTestCase):
    def test_planes(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        planes = [frame.getDepthData(), frame.getConfidenceData(), frame.getAmplitudeData()]
        for plane in planes:
            self.assertEqual(plane.dtype, numpy.float32)
            self.assertEqual(plane.shape, (180, 240))
            self.assertEqual(plane.strides, (240 * 4, 4))
            self.assertTrue(plane.flags.c_contiguous and plane.flags.owndata and plane.flags.writeable)
            self.assertIsNone(plane.base)
        depth, confidence, amplitude = planes
        # A flat wall at a known distance, without noise.
        self.assertTrue(numpy.allclose(depth, SCENE_DISTANCE_MM, atol=5.0),
                        "depth %s..%s" % (depth.min(), depth.max()))
        self.assertTrue((amplitude > 0).all())
        # The model reports its amplitude as confidence as well.
        self.assertTrue(numpy.array_equal(confidence, amplitude))

    def test_arrays_are_independent_copies(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        kept = frame.getDepthData()
        expected = kept.copy()
        other = frame.getDepthData()
        other[:] = -1
        self.assertTrue(numpy.array_equal(frame.getDepthData(), expected))
        self.assertTrue(numpy.array_equal(kept, expected))
        # Changing the returned format changes no later array.
        frame.getFrameFormat().width = 10
        self.assertEqual(frame.getDepthData().shape, (180, 240))
        # The array outlives the frame and the refills of its buffer.
        self.assertEqual(self.cam.releaseFrame(frame), OK)
        for _ in range(6):
            self.assertEqual(self.cam.releaseFrame(self.frame()), OK)
        self.assertTrue(numpy.array_equal(kept, expected))


class LensAndFilterTest(CameraTestCase):
    config = {"scene": "wall", "distance_mm": 1800}

    def write(self, name, text):
        path = os.path.join(self.workdir, name)
        with open(path, "w") as handle:
            handle.write(text)
        return path

    def test_intrinsics_and_calibration(self):
        lens = self.cam.getIntrinsics()
        self.assertEqual((lens.width, lens.height, lens.cx, lens.cy, lens.model, lens.coefficients, lens.nominal),
                         (240, 180, 119.5, 89.5, "plumb_bob", [], True))
        self.assertAlmostEqual(lens.fx, 120.0 / math.tan(math.radians(35.0)))
        copied = pickle.loads(pickle.dumps(lens))
        self.assertEqual((copied.fx, copied.model, copied.nominal), (lens.fx, lens.model, True))
        path = self.write("c.yaml", "image_width: 240\nimage_height: 180\ndistortion_model: equidistant\n"
                                    "camera_matrix:\n  data: [150, 0, 120, 0, 151, 90, 0, 0, 1]\n"
                                    "distortion_coefficients:\n  data: [0.1, 0, 0, 0]\n")
        self.cam.loadCalibration(path)
        lens = self.cam.getIntrinsics()
        self.assertEqual((lens.fx, lens.fy, lens.model, lens.coefficients, lens.nominal),
                         (150.0, 151.0, "equidistant", [0.1, 0.0, 0.0, 0.0], False))
        self.assertRaisesText(ValueError, "cannot read", self.cam.loadCalibration, path + ".missing")
        self.assertRaisesText(ValueError, "image_width", self.cam.loadCalibration, self.write("bad.yaml", "x: 1\n"))
        self.assertEqual(self.cam.getIntrinsics().fx, 150.0)

    def test_filter_settings(self):
        filters = self.cam.getDepthFilters()
        self.assertEqual((filters["flying_pixel"], filters["spatial"], filters["temporal"], filters["hole_filling"],
                          filters["temporal_alpha"]), (True, True, True, False, 0.2))
        self.cam.setDepthFilters(temporal=False, spatial_edge_mm=25)
        for bad, error in (({"no_such_filter": 1}, TypeError), ({"temporal_alpha": 5}, ValueError),
                           ({"spatial": "yes"}, TypeError)):
            self.assertRaises(error, self.cam.setDepthFilters, **bad)
        changed = dict(filters, temporal=False, spatial_edge_mm=25.0)
        self.assertEqual(self.cam.getDepthFilters(), changed)

    @unittest.skipUnless(HAVE_NUMPY, "needs numpy")
    def test_axial_depth_and_point_cloud(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        z, cloud = frame.getAxialDepthData(), frame.getPointCloud()
        self.assertEqual((z.dtype, z.shape, cloud.dtype, cloud.shape),
                         (numpy.float32, (180, 240), numpy.float32, (180, 240, 3)))
        # A flat wall: one z everywhere, though the distance along the rays grows outwards.
        self.assertTrue(numpy.allclose(z, 1800.0, atol=6.0), "z %s..%s" % (z.min(), z.max()))
        self.assertGreater(frame.getDepthData().max(), 2100.0)
        self.assertTrue(numpy.array_equal(cloud[:, :, 2], z))
        self.assertEqual(self.cam.releaseFrame(frame), OK)
        # A filter that invalidates every pixel: z 0 and NaN points from the next frames on.
        self.cam.setDepthFilters(wrapped_distance=True, wrapped_white_amplitude=1e9)
        for _ in range(4):
            self.assertEqual(self.cam.releaseFrame(self.frame()), OK)
        frame = self.frame()
        self.assertFalse(frame.getAxialDepthData().any())
        self.assertTrue(numpy.isnan(frame.getPointCloud()).all())


def import_open3d():
    try:
        import open3d
        return open3d
    except ImportError:
        return None


@unittest.skipUnless(HAVE_NUMPY and import_open3d(), "needs numpy and Open3D")
class Open3dTest(CameraTestCase):
    """Open3D's depth-image path, fed with the driver's z-depth and
    intrinsics, gives the driver's own point cloud."""

    def test_clouds_agree_on_a_wall_and_the_demo_room(self):
        o3d = import_open3d()
        for scene in ("wall", "demo"):
            self.cam.close()
            self.cam.openWithFile(write_config(self.workdir, scene=scene, distance_mm=1800, physics="on", noise=4))
            self.start(vdc.TOFOutput.DEPTH)
            frame = self.frame()
            z, cloud = frame.getAxialDepthData(), frame.getPointCloud()
            self.assertEqual(self.cam.releaseFrame(frame), OK)
            self.cam.stop()
            lens = self.cam.getIntrinsics()
            pinhole = o3d.camera.PinholeCameraIntrinsic(lens.width, lens.height, lens.fx, lens.fy, lens.cx, lens.cy)
            theirs = numpy.asarray(o3d.geometry.PointCloud.create_from_depth_image(
                o3d.geometry.Image(z), pinhole, depth_scale=1.0, depth_trunc=1e9).points)
            ours = cloud[z > 0]
            self.assertEqual(theirs.shape, ours.shape, scene)
            self.assertGreater(ours.shape[0], 30000, scene)
            numpy.testing.assert_allclose(theirs, ours, rtol=1e-5, atol=1e-3, err_msg=scene)


@unittest.skipUnless(HAVE_NUMPY, "needs numpy")
class RangeTest(CameraTestCase):
    # Beyond the near range: 500 mm there, 2500 mm in the far range.
    config = {"distance_mm": 2500}

    def depth(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        depth = frame.getDepthData()
        self.assertEqual(self.cam.releaseFrame(frame), OK)
        self.assertEqual(self.cam.stop(), OK)
        return depth

    def test_range_control_changes_depth(self):
        self.assertEqual(self.cam.setControl(vdc.TOFControl.RANGE, 2000), OK)
        near = self.depth()
        self.assertTrue(numpy.allclose(near, 500, atol=5.0), "depth %s..%s" % (near.min(), near.max()))
        self.assertEqual(self.cam.setControl(vdc.TOFControl.RANGE, 4000), OK)
        far = self.depth()
        self.assertTrue(numpy.allclose(far, 2500, atol=5.0), "depth %s..%s" % (far.min(), far.max()))


class ControlTest(CameraTestCase):
    def test_range(self):
        self.assertEqual(self.cam.getControl(vdc.TOFControl.RANGE), 4000)
        self.assertEqual(self.cam.setControl(vdc.TOFControl.RANGE, 2000), OK)
        self.assertEqual(self.cam.getControl(ctrl=vdc.TOFControl.RANGE), 2000)
        self.assertEqual(self.cam.setControl(ctrl=vdc.TOFControl.RANGE, value=4000), OK)
        self.assertEqual(self.cam.getControl(vdc.TOFControl.RANGE), 4000)

    def test_refused_controls_are_results_not_exceptions(self):
        # The HQVGA model takes no integer control but the range.
        result = self.cam.setControl(vdc.TOFControl.EXPOSURE, 100)
        self.assertIsInstance(result, vdc.TOFErrorCode)
        self.assertEqual(result, INVALID)
        self.assertEqual(self.cam.setControl(vdc.TOFControl.SKIP_FRAME_LOOP, 0), INVALID)
        # A frame rate is never raised, whatever the transport reports.
        rate = self.cam.getControl(vdc.TOFControl.FRAME_RATE)
        self.assertNotEqual(self.cam.setControl(vdc.TOFControl.FRAME_RATE, rate + 1), OK)
        self.assertNotEqual(self.cam.setControl(vdc.TOFControl.FRAME_RATE, 0), OK)

    def test_skip_frames(self):
        self.assertEqual(self.cam.setControl(vdc.TOFControl.SKIP_FRAME_LOOP, 3), OK)
        self.assertEqual(self.cam.setControl(vdc.TOFControl.SKIP_FRAME, 1), OK)
        self.start(vdc.TOFOutput.DEPTH)
        numbers = []
        for _ in range(15):
            frame = self.frame()
            numbers.append(frame_number(frame.getFrameFormat().timestamp))
            self.assertEqual(self.cam.releaseFrame(frame), OK)
        # In capture order, and the third frame of every three never comes,
        # however many the consumer missed in between.
        self.assertEqual(numbers, sorted(set(numbers)))
        self.assertEqual(set(n % 3 for n in numbers), set([0, 1]), numbers)

    def test_control_without_value_reads_zero(self):
        # No part of the HQVGA camera answers the text control with a number.
        self.assertEqual(self.cam.getControl(vdc.TOFControl.CONFIG_DIR_EXT), 0)


class NumpyMissingTest(CameraTestCase):
    """Without numpy the module imports and only the array accessors fail."""

    def check_accessors_raise(self, frame, names):
        for name in names:
            # The import is tried again on every call.
            for _ in range(2):
                with self.assertRaises(ImportError):
                    getattr(frame, name)()

    @unittest.skipIf(HAVE_NUMPY, "numpy is installed here; the subprocess test covers this")
    def test_accessors_raise_import_error(self):
        self.start(vdc.TOFOutput.DEPTH)
        frame = self.frame()
        self.check_accessors_raise(frame, ("getDepthData", "getConfidenceData", "getAmplitudeData"))
        self.assertEqual(frame.getFrameFormat().type, vdc.TOFOutput.DEPTH)
        self.assertEqual(self.cam.releaseFrame(frame), OK)
        self.assertEqual(self.cam.stop(), OK)
        self.start(vdc.TOFOutput.RAW)
        self.check_accessors_raise(self.frame(), ("getRawData",))

    @unittest.skipUnless(HAVE_NUMPY, "without numpy the direct test covers this")
    def test_accessors_raise_import_error_when_numpy_is_blocked(self):
        code = "\n".join([
            "import sys",
            "sys.modules['numpy'] = None  # makes every numpy import fail",
            "import VelmoraDepthCamera as vdc",
            "cam = vdc.VelmoraCamera()",
            "assert cam.openWithFile(%r) == vdc.TOFErrorCode.VelmoraSuccess" % self.config_path,
            "assert cam.start(vdc.TOFOutput.DEPTH) == vdc.TOFErrorCode.VelmoraSuccess",
            "frame = cam.requestFrame(2000)",
            "for name in ('getDepthData', 'getConfidenceData', 'getAmplitudeData', 'getDepthData'):",
            "    try:",
            "        getattr(frame, name)()",
            "    except ImportError:",
            "        print(name + ' ImportError')",
            "print(frame.getFrameFormat().width)",
            "cam.releaseFrame(frame); cam.stop(); cam.close()",
        ])
        status, out, err = run_python(code)
        self.assertEqual(status, 0, err)
        self.assertEqual(out.split(), ["getDepthData", "ImportError", "getConfidenceData", "ImportError",
                                       "getAmplitudeData", "ImportError", "getDepthData", "ImportError", "240"])

    @unittest.skipUnless(HAVE_NUMPY, "needs numpy")
    def test_first_accessor_imports_numpy(self):
        code = "\n".join([
            "import sys",
            "import VelmoraDepthCamera as vdc",
            "cam = vdc.VelmoraCamera()",
            "cam.openWithFile(%r)" % self.config_path,
            "cam.start(vdc.TOFOutput.DEPTH)",
            "frame = cam.requestFrame(2000)",
            "print('numpy' in sys.modules)",
            "depth = frame.getDepthData()",
            "print('numpy' in sys.modules)",
            "cam.releaseFrame(frame); cam.stop(); cam.close()",
        ])
        status, out, err = run_python(code)
        self.assertEqual(status, 0, err)
        self.assertEqual(out.split(), ["False", "True"])


if __name__ == "__main__":
    unittest.main()
