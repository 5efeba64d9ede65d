"""The installed tree, used from outside the source tree: the build is
installed into a temporary prefix, and everything below runs from a
temporary directory with only that prefix to go by."""

import glob
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = os.environ.get("VELMORA_TEST_BUILD_DIR", "")
SOURCE_DIR = os.environ.get("VELMORA_TEST_SOURCE_DIR", "")
CMAKE = os.environ.get("VELMORA_TEST_CMAKE", "cmake")
GENERATOR = os.environ.get("VELMORA_TEST_GENERATOR", "")
FIXED_PYTHON_DIR = os.environ.get("VELMORA_TEST_FIXED_PYTHON_DIR", "")
VERSION = os.environ.get("VELMORA_TEST_VERSION", "")

STREAM_SCRIPT = r"""
import os, sys, tempfile
import VelmoraDepthCamera as vdc
import velmora_tools
from velmora_tools.pointcloud import depth_to_points
prefix = sys.argv[1]
for module in (vdc, velmora_tools):
    assert os.path.realpath(module.__file__).startswith(os.path.realpath(prefix)), module.__file__
config = os.path.join(tempfile.mkdtemp(), "cam.cfg")
with open(config, "w") as handle:
    handle.write("scene=constant\ndistance_mm=1200\nfps=0\n")
cam = vdc.VelmoraCamera()
assert cam.openWithFile(config) == vdc.TOFErrorCode.VelmoraSuccess
assert cam.start(vdc.TOFOutput.DEPTH) == vdc.TOFErrorCode.VelmoraSuccess
for n in range(3):
    frame = cam.requestFrame(2000)
    assert frame is not None, "no frame"
    depth = frame.getDepthData()
    cam.releaseFrame(frame)
    points = depth_to_points(depth)
    print("frame %d: %d points, centre %.0f mm" % (n, len(points), depth[90, 120]))
cam.stop()
cam.close()
"""


def clean_env(**extra):
    """The environment without anything that points into the source or build tree."""
    env = dict((k, v) for k, v in os.environ.items()
               if not k.startswith("PYTHON") and not k.startswith("VELMORA_TEST") and k != "LD_LIBRARY_PATH")
    env.update(extra)
    return env


def run(args, cwd, env=None):
    process = subprocess.Popen(args, cwd=cwd, env=env or clean_env(), stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
    out = process.communicate()[0].decode("utf-8", "replace")
    return process.returncode, out


@unittest.skipUnless(BUILD_DIR and SOURCE_DIR, "run through CTest (needs the build directory)")
@unittest.skipIf(FIXED_PYTHON_DIR, "this build installs the module to a fixed directory outside any prefix")
class InstalledTreeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="velmora-installed-")
        cls.prefix = os.path.join(cls.root, "prefix")
        code, out = run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.prefix], cwd=cls.root)
        if code != 0:
            shutil.rmtree(cls.root, ignore_errors=True)
            raise AssertionError("cmake --install failed:\n" + out)
        cls.work = os.path.join(cls.root, "work")
        os.makedirs(cls.work)
        found = glob.glob(os.path.join(cls.prefix, "lib", "python3*", "site-packages"))
        cls.site = found[0] if found else None
        found = glob.glob(os.path.join(cls.prefix, "lib*", "libvelmora.so.0")) + \
            glob.glob(os.path.join(cls.prefix, "lib", "*", "libvelmora.so.0"))
        cls.libdir = os.path.dirname(found[0]) if found else None

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_layout(self):
        self.assertIsNotNone(self.libdir, "libvelmora.so.0 not installed")
        self.assertIsNotNone(self.site, "no Python 3 packages directory under the prefix")
        for name in ("libvelmora.so", "libvelmora_evk_sdk.so", "libsi4c.so", "pkgconfig/velmora.pc",
                     "cmake/VelmoraDepthCamera/VelmoraDepthCameraConfig.cmake",
                     "cmake/VelmoraDepthCamera/VelmoraDepthCameraConfigVersion.cmake"):
            self.assertTrue(os.path.exists(os.path.join(self.libdir, name)), name)
        for name in ("include/velmora/VelmoraTOFCamera.h", "include/velmora/VelmoraTypes.h",
                     "include/velmora/VelmoraFrameBuffer.h", "lib/udev/rules.d/60-velmora-depth-camera.rules",
                     "bin/velmora-record", "bin/velmora-ply", "bin/velmora-info", "bin/velmora-replay-config",
                     "bin/velmora-preview", "bin/velmora-i2c-access",
                     "share/velmora/examples/preview.py", "share/velmora/examples/cpp-consumer/CMakeLists.txt"):
            self.assertTrue(os.path.exists(os.path.join(self.prefix, name)), name)
        self.assertTrue(glob.glob(os.path.join(self.site, "VelmoraDepthCamera*.so")))
        self.assertTrue(os.path.exists(os.path.join(self.site, "velmora_tools", "recording.py")))
        self.assertFalse(glob.glob(os.path.join(self.site, "velmora_tools", "*.pyc")))

    def test_package_files_name_no_build_or_source_path(self):
        for path in [os.path.join(self.libdir, "pkgconfig", "velmora.pc")] + \
                glob.glob(os.path.join(self.libdir, "cmake", "VelmoraDepthCamera", "*.cmake")):
            with io.open(path, encoding="utf-8") as handle:
                text = handle.read()
            for tree in (BUILD_DIR, SOURCE_DIR, self.prefix):
                self.assertNotIn(tree, text, "%s names %s" % (path, tree))

    def test_python_module_from_the_prefix(self):
        code, out = run([sys.executable, "-c", STREAM_SCRIPT, self.prefix], cwd=self.work,
                        env=clean_env(PYTHONPATH=self.site))
        self.assertEqual(code, 0, out)
        self.assertIn("frame 2: 43200 points, centre 1200 mm", out)

    def test_installed_tools_find_their_packages(self):
        out_file = os.path.join(self.work, "tools.vrec")
        code, out = run([os.path.join(self.prefix, "bin", "velmora-record"), out_file, "--frames", "3", "--quiet"],
                        cwd=self.work)
        self.assertEqual(code, 0, out)
        self.assertIn("record: 3 frames", out)
        ply = os.path.join(self.work, "tools.ply")
        code, out = run([os.path.join(self.prefix, "bin", "velmora-ply"), ply, "--replay", out_file, "--unpaced"],
                        cwd=self.work)
        self.assertEqual(code, 0, out)
        self.assertTrue(os.path.getsize(ply) > 1000)
        code, out = run([os.path.join(self.prefix, "bin", "velmora-info"), out_file], cwd=self.work)
        self.assertEqual(code, 0, out)
        self.assertIn("3 frames of 240x720 RAW", out)
        code, out = run([os.path.join(self.prefix, "bin", "velmora-replay-config"), out_file], cwd=self.work)
        self.assertEqual(code, 0, out)
        self.assertIn("replay=%s\n" % out_file, out)
        code, out = run([os.path.join(self.prefix, "bin", "velmora-preview"), "--list"], cwd=self.work)
        self.assertEqual(code, 0, out)
        self.assertIn("virtual camera: available", out)
        code, out = run([os.path.join(self.prefix, "bin", "velmora-i2c-access"), "--help"], cwd=self.work)
        self.assertEqual(code, 0, out)
        self.assertIn("usage: velmora-i2c-access", out)

    def build_consumer(self, prefix, name):
        source = os.path.join(self.root, name)
        shutil.copytree(os.path.join(prefix, "share", "velmora", "examples", "cpp-consumer"), source)
        args = [CMAKE, "-S", source, "-B", os.path.join(source, "build"), "-DCMAKE_PREFIX_PATH=" + prefix]
        if GENERATOR:
            args.append("-G" + GENERATOR)
        code, out = run(args, cwd=self.work)
        self.assertEqual(code, 0, out)
        code, out = run([CMAKE, "--build", os.path.join(source, "build")], cwd=self.work)
        self.assertEqual(code, 0, out)
        return os.path.join(source, "build", "depth_consumer")

    def test_cpp_consumer_with_find_package(self):
        program = self.build_consumer(self.prefix, "consumer")
        code, out = run([program, "", "3"], cwd=self.work)
        self.assertEqual(code, 0, out)
        self.assertIn("frame 2: 240x180", out)

    def test_cpp_consumer_against_a_moved_prefix(self):
        moved = os.path.join(self.root, "moved")
        shutil.copytree(self.prefix, moved, symlinks=True)
        program = self.build_consumer(moved, "consumer-moved")
        code, out = run(["ldd", program], cwd=self.work)
        self.assertIn(os.path.join(moved, ""), out)
        self.assertNotIn(self.prefix + "/", out)
        code, out = run([program, "", "2"], cwd=self.work)
        self.assertEqual(code, 0, out)

    @unittest.skipUnless(shutil.which("pkg-config") and shutil.which("make"), "needs pkg-config and make")
    def test_cpp_consumer_with_pkg_config(self):
        source = os.path.join(self.root, "consumer-pc")
        shutil.copytree(os.path.join(self.prefix, "share", "velmora", "examples", "cpp-consumer"), source)
        env = clean_env(PKG_CONFIG_PATH=os.path.join(self.libdir, "pkgconfig"))
        code, out = run(["pkg-config", "--modversion", "velmora"], cwd=source, env=env)
        self.assertEqual((code, out.strip()), (0, VERSION))
        code, out = run(["make", "depth_consumer_pc"], cwd=source, env=env)
        self.assertEqual(code, 0, out)
        code, out = run([os.path.join(source, "depth_consumer_pc"), "", "2"], cwd=self.work)
        self.assertEqual(code, 0, out)


if __name__ == "__main__":
    unittest.main()
