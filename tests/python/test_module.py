"""The module's types, enumerations, records, argument conversion and exports,
checked without streaming."""

import glob
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import unittest

import VelmoraDepthCamera as vdc

from camera_fixture import run_python, write_config

TEXT = type(u"")


class ModuleTest(unittest.TestCase):
    def test_version_is_text_dev(self):
        self.assertEqual(vdc.__version__, u"dev")
        self.assertIsInstance(vdc.__version__, TEXT)

    def test_members_live_only_in_their_enumeration(self):
        for name in ("CSI", "USB", "RAW", "DEPTH", "VelmoraSuccess", "HQVGA", "RANGE"):
            self.assertFalse(hasattr(vdc, name), name)

    def test_classes_without_constructor(self):
        for cls in (vdc.VelmoraFormat, vdc.VelmoraInfo, vdc.VelmoraFrame, vdc.RawData, vdc.DepthData):
            self.assertRaises(TypeError, cls)

    def test_frame_class_hierarchy(self):
        self.assertTrue(issubclass(vdc.RawData, vdc.VelmoraFrame))
        self.assertTrue(issubclass(vdc.DepthData, vdc.VelmoraFrame))
        self.assertFalse(hasattr(vdc.VelmoraFrame, "getFrameFormat"))
        self.assertFalse(hasattr(vdc.RawData, "getDepthData"))
        self.assertFalse(hasattr(vdc.DepthData, "getRawData"))

    def test_accessor_signatures_and_docstrings(self):
        accessors = (
            (vdc.RawData.getRawData, "getRawData(self: VelmoraDepthCamera.RawData) -> numpy.ndarray[int16]",
             "Get raw data from the frame"),
            (vdc.DepthData.getDepthData,
             "getDepthData(self: VelmoraDepthCamera.DepthData) -> numpy.ndarray[float32]",
             "Get depth data from the frame"),
            (vdc.DepthData.getConfidenceData,
             "getConfidenceData(self: VelmoraDepthCamera.DepthData) -> numpy.ndarray[float32]",
             "Get confidence data from the frame"),
            (vdc.DepthData.getAmplitudeData,
             "getAmplitudeData(self: VelmoraDepthCamera.DepthData) -> numpy.ndarray[float32]",
             "Get amplitude data from the frame"),
            (vdc.DepthData.getFrameFormat,
             "getFrameFormat(self: VelmoraDepthCamera.DepthData) -> VelmoraDepthCamera.VelmoraFormat",
             "Get the information of this frame"),
            (vdc.RawData.getFrameFormat,
             "getFrameFormat(self: VelmoraDepthCamera.RawData) -> VelmoraDepthCamera.VelmoraFormat",
             "Get the information of this frame"),
        )
        for method, signature, doc in accessors:
            self.assertEqual(method.__doc__.strip("\n").split("\n\n")[:2], [signature, doc])

    def test_no_undeclared_attributes(self):
        cam = vdc.VelmoraCamera()
        with self.assertRaises(AttributeError):
            cam.color = 1
        info = cam.getCameraInfo()
        with self.assertRaises(AttributeError):
            info.depth = 1


class EnumerationTest(unittest.TestCase):
    EXPECTED = {
        "TOFDeviceType": {"VGA": 0, "HQVGA": 1},
        "TOFOutput": {"RAW": 0, "CONFIDENCE": 1, "DEPTH": 2, "CACHE": 4},
        "TOFConnect": {"CSI": 0, "USB": 1},
        "TOFControl": {"RANGE": 0, "FMT_WIDTH": 1, "FMT_HEIGHT": 2, "MODE": 3, "FRAME_MODE": 4,
                       "EXPOSURE": 5, "FRAME_RATE": 6, "SKIP_FRAME": 7, "SKIP_FRAME_LOOP": 8,
                       "CONFIG_DIR_EXT": 256},
        "TofWorkMode": {"SINGLE_FREQ": 0, "DOUBLE_FREQ": 1, "TRIPLE_FREQ": 2, "QUAD_FREQ": 3,
                        "DISTANCE": 4, "HDR": 5, "AE": 6, "BG_OUTDOOR": 7, "GRAY_ONLY": 8,
                        "CUSTOM1": 9, "CUSTOM2": 10, "CUSTOM3": 11},
        "TofFrameWorkMode": {
            "SINGLE_FREQ_2PHASE": 0, "SINGLE_FREQ_4PHASE": 1, "SINGLE_FREQ_4PHASE_GRAY": 2,
            "SINGLE_FREQ_4PHASE_BG": 3, "SINGLE_FREQ_4PHASE_4BG": 4, "SINGLE_FREQ_4PHASE_GRAY_5BG": 5,
            "SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG": 6, "SINGLE_FREQ_GRAY_BG_4PHASE_BG": 7,
            "SINGLE_FREQ_BG_GRAY_BG_4PHASE": 8, "SINGLE_FREQ_BG_4PHASE_BG_GRAY": 9,
            "DOUBLE_FREQ_4PHASE": 10, "DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG": 11,
            "DOUBLE_FREQ_4PHASE_4BG": 12, "DOUBLE_FREQ_4PHASE_GRAY_5BG": 13, "TRIPLE_FREQ_4PHASE": 14,
            "TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG": 15, "QUAD_FREQ_4PHASE": 16,
            "QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG": 17, "BG_OUTDOOR": 18,
            "GRAY_ONLY": 19, "CUSTOM": 20},
        "TOFErrorCode": {"VelmoraSuccess": 0, "VelmoraInvalidParameter": 1, "VelmoraNoCache": 2,
                         "VelmoraUnkownDevice": 3, "VelmoraNotImplemented": 4, "VelmoraSkipFrame": 240,
                         "VelmoraSystemError": -2, "VelmoraUnkownError": -1},
    }

    def test_members_names_and_values(self):
        for enum_name, members in self.EXPECTED.items():
            enum = getattr(vdc, enum_name)
            table = dict((name, int(member)) for name, member in enum.__members__.items())
            self.assertEqual(table, members, enum_name)
            for name, value in members.items():
                member = getattr(enum, name)
                self.assertEqual(member.name, name)
                self.assertEqual(enum(value), member)
                self.assertEqual(hash(member), hash(value))

    def test_plain_enumerations_equal_integers(self):
        self.assertTrue(vdc.TOFErrorCode.VelmoraSuccess == 0)
        self.assertTrue(vdc.TOFErrorCode.VelmoraSystemError == -2)
        self.assertTrue(vdc.TOFDeviceType.HQVGA == 1)
        self.assertFalse(vdc.TOFErrorCode.VelmoraSuccess != 0)

    def test_scoped_enumerations_do_not_equal_integers(self):
        self.assertFalse(vdc.TOFOutput.RAW == 0)
        self.assertTrue(vdc.TOFOutput.RAW != 0)
        self.assertFalse(vdc.TOFConnect.USB == 1)
        self.assertEqual(int(vdc.TOFOutput.DEPTH), 2)
        self.assertEqual(vdc.TOFControl(6), vdc.TOFControl.FRAME_RATE)
        # Equal numbers in different enumerations are different things.
        self.assertNotEqual(vdc.TofWorkMode.BG_OUTDOOR, vdc.TofFrameWorkMode.SINGLE_FREQ_GRAY_BG_4PHASE_BG)
        self.assertEqual(int(vdc.TofWorkMode.BG_OUTDOOR), 7)
        self.assertEqual(int(vdc.TofFrameWorkMode.BG_OUTDOOR), 18)

    def test_no_ordering_or_arithmetic(self):
        with self.assertRaises(TypeError):
            vdc.TOFOutput.RAW + 1
        if sys.version_info[0] >= 3:  # Python 2 orders any two objects
            with self.assertRaises(TypeError):
                vdc.TOFOutput.RAW < vdc.TOFOutput.DEPTH

    def test_pickle_round_trip(self):
        for member in (vdc.TOFControl.EXPOSURE, vdc.TOFErrorCode.VelmoraSkipFrame):
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                self.assertEqual(pickle.loads(pickle.dumps(member, protocol)), member)

    def test_error_code_texts(self):
        texts = {
            "VelmoraSuccess": "Success", "VelmoraInvalidParameter": "Invalid parameter",
            "VelmoraNoCache": "No cache", "VelmoraUnkownDevice": "Unkown device",
            "VelmoraNotImplemented": "Not implemented", "VelmoraSkipFrame": "Skip frame",
            "VelmoraSystemError": "System error", "VelmoraUnkownError": "Unknown error",
        }
        for name, text in texts.items():
            result = getattr(vdc.TOFErrorCode, name).str()
            self.assertEqual(result, text)
            self.assertIsInstance(result, TEXT)
        self.assertEqual(vdc.TOFErrorCode(5).str(), "Unknown error")


class RecordTest(unittest.TestCase):
    def setUp(self):
        self.info = vdc.VelmoraCamera().getCameraInfo()

    def test_unsigned_range(self):
        for field in ("index", "width", "height", "bit_width", "bpp"):
            setattr(self.info, field, 4294967295)
            self.assertEqual(getattr(self.info, field), 4294967295)
            for bad in (-1, 4294967296, 1.5, "3"):
                with self.assertRaises(TypeError):
                    setattr(self.info, field, bad)
                self.assertEqual(getattr(self.info, field), 4294967295, field)

    def test_enumeration_fields_take_only_their_members(self):
        self.info.connect = vdc.TOFConnect.USB
        self.info.device_type = vdc.TOFDeviceType.HQVGA
        self.info.type = vdc.TOFOutput.DEPTH
        for field, bad in (("connect", 1), ("type", vdc.TOFConnect.USB), ("device_type", 1)):
            with self.assertRaises(TypeError):
                setattr(self.info, field, bad)
        self.assertEqual(self.info.connect, vdc.TOFConnect.USB)
        self.assertEqual(self.info.type, vdc.TOFOutput.DEPTH)


class CameraCallTest(unittest.TestCase):
    DOCS = {
        "open": "Initialize the camera configuration and turn on the camera, set the initialization frame "
                "according to the mode.\n\n- mode Specify the connection method.\n- index Device node, "
                "the default value is video0.",
        "openWithFile": "Initialize the camera configuration and turn on the camera, set the initialization "
                        "frame according to the mode.\n\n- path Specify the config file path.\n- index "
                        "Device node, the default value is video0.",
        "close": "Close the camera",
        "start": "Start the camera stream and start processing.",
        "stop": "Stop camera stream and processing.",
        "setControl": "Set camera parameters.",
        "getControl": "Get camera parameters.",
        "getCameraInfo": "Get camera information.",
        "requestFrame": "Request a frame of data from the frame processing thread.",
        "releaseFrame": "Free the memory space of the frame.",
    }
    SIGNATURES = {
        "open": "open(self: VelmoraDepthCamera.VelmoraCamera, mode: VelmoraDepthCamera.TOFConnect, "
                "index: int = 0) -> VelmoraDepthCamera.TOFErrorCode",
        "start": "start(self: VelmoraDepthCamera.VelmoraCamera, type: VelmoraDepthCamera.TOFOutput) "
                 "-> VelmoraDepthCamera.TOFErrorCode",
        "setControl": "setControl(self: VelmoraDepthCamera.VelmoraCamera, ctrl: VelmoraDepthCamera.TOFControl, "
                      "value: int) -> VelmoraDepthCamera.TOFErrorCode",
        "getControl": "getControl(self: VelmoraDepthCamera.VelmoraCamera, ctrl: VelmoraDepthCamera.TOFControl) "
                      "-> int",
        "requestFrame": "requestFrame(self: VelmoraDepthCamera.VelmoraCamera, timeout: int) "
                        "-> VelmoraDepthCamera.VelmoraFrame",
        "releaseFrame": "releaseFrame(self: VelmoraDepthCamera.VelmoraCamera, frame: VelmoraDepthCamera.VelmoraFrame) "
                        "-> VelmoraDepthCamera.TOFErrorCode",
    }

    def setUp(self):
        self.cam = vdc.VelmoraCamera()

    def test_docstrings_and_signatures(self):
        for name, text in self.DOCS.items():
            signature, _, doc = getattr(vdc.VelmoraCamera, name).__doc__.partition("\n\n")
            self.assertTrue(doc.strip("\n").startswith(text), name)
            self.assertTrue(signature.startswith(name + "(self: VelmoraDepthCamera.VelmoraCamera"), signature)
            if name in self.SIGNATURES:
                self.assertEqual(signature, self.SIGNATURES[name])
        path_type = "unicode" if sys.version_info[0] == 2 else "str"
        self.assertIn("path: %s, index: int = 0" % path_type, vdc.VelmoraCamera.openWithFile.__doc__)

    def test_docstrings_say_units_and_limits(self):
        units = (
            (vdc.VelmoraCamera.requestFrame, ("timeout in milliseconds, -1 to 32767", "-1 waits without limit")),
            (vdc.VelmoraCamera.setControl, ("RANGE in millimetres", "FRAME_RATE in frames per second",
                                            "SKIP_FRAME_LOOP 1 to 255")),
            (vdc.VelmoraCamera.getControl, ("RANGE in millimetres",)),
            (vdc.VelmoraCamera.getCameraInfo, ("width and height in pixels",)),
            (vdc.DepthData.getDepthData, ("millimetres", "0 where")),
            (vdc.DepthData.getAmplitudeData, ("raw sensor counts",)),
            (vdc.DepthData.getConfidenceData, ("raw sensor counts",)),
            (vdc.RawData.getRawData, ("raw counts",)),
            (vdc.DepthData.getFrameFormat, ("timestamp in milliseconds",)),
            (vdc.RawData.getFrameFormat, ("timestamp in milliseconds",)),
            (vdc.VelmoraFormat.timestamp, ("Milliseconds",)),
        )
        for attribute, phrases in units:
            for phrase in phrases:
                self.assertIn(phrase, attribute.__doc__)

    def test_request_frame_timeout_range(self):
        # The interface's short of milliseconds; inside it nothing changes
        # (an unopened camera answers None at once).
        for timeout, outcome in ((-1, None), (0, None), (32767, None), (-2, ValueError), (32768, ValueError),
                                 (60000, ValueError), (-32769, ValueError), (2 ** 70, ValueError),
                                 (1.5, TypeError), ("5", TypeError)):
            if outcome is None:
                self.assertIsNone(self.cam.requestFrame(timeout))
                continue
            with self.assertRaises(outcome) as caught:
                self.cam.requestFrame(timeout)
            if outcome is ValueError:
                self.assertIn("timeout %d is outside -1 to 32767 milliseconds" % timeout, str(caught.exception))

    def test_enumeration_arguments_refuse_integers(self):
        for call, args in ((self.cam.open, (1,)), (self.cam.open, (vdc.TOFOutput.RAW,)),
                           (self.cam.start, (2,)), (self.cam.setControl, (6, 10)),
                           (self.cam.getControl, (0,)), (self.cam.setControl, (vdc.TOFConnect.USB, 10))):
            self.assertRaises(TypeError, call, *args)

    def test_integer_arguments_refuse_floats_and_out_of_range(self):
        exposure = vdc.TOFControl.EXPOSURE
        self.assertRaises(TypeError, self.cam.open, vdc.TOFConnect.USB, 1.5)
        self.assertRaises(TypeError, self.cam.open, vdc.TOFConnect.USB, 2 ** 31)
        self.assertRaises(TypeError, self.cam.setControl, exposure, 2.0)
        self.assertRaises(TypeError, self.cam.setControl, exposure, -2 ** 31 - 1)
        self.assertRaises(TypeError, self.cam.releaseFrame, 5)
        self.assertRaises(TypeError, self.cam.openWithFile, 5)

    def test_calls_before_open(self):
        self.assertIsNone(self.cam.requestFrame(100))
        self.assertIsNone(self.cam.requestFrame(timeout=-1))
        self.assertEqual(self.cam.releaseFrame(None), vdc.TOFErrorCode.VelmoraUnkownError)
        self.assertEqual(self.cam.releaseFrame(frame=None), vdc.TOFErrorCode.VelmoraUnkownError)
        # No model answers yet: the adapter reports the 0 it started with.
        self.assertEqual(self.cam.getControl(vdc.TOFControl.RANGE), 0)

    def test_open_keywords_and_index_image(self):
        self.cam.open(mode=vdc.TOFConnect.USB, index=1)
        info = self.cam.getCameraInfo()
        self.assertEqual(info.index, 1)
        self.assertEqual(info.connect, vdc.TOFConnect.USB)
        self.cam.open(vdc.TOFConnect.USB, -1)
        self.assertEqual(self.cam.getCameraInfo().index, 4294967295)

    def test_open_with_file_path_types(self):
        self.assertEqual(self.cam.openWithFile(None), vdc.TOFErrorCode.VelmoraUnkownError)
        self.assertEqual(self.cam.openWithFile(path=None, index=0), vdc.TOFErrorCode.VelmoraUnkownError)
        # A configuration file whose name is not ASCII, opened by its UTF-8
        # bytes and by its text.
        directory = tempfile.mkdtemp(prefix="velmora-py-")
        try:
            written = write_config(directory)
            if isinstance(written, TEXT):
                written = written.encode("utf-8")
            path_bytes = os.path.join(os.path.dirname(written), u"r\u00e9glage-\u6df1\u5ea6.cfg".encode("utf-8"))
            os.rename(written, path_bytes)
            for path in (path_bytes.decode("utf-8"), path_bytes):
                self.assertEqual(self.cam.openWithFile(path), vdc.TOFErrorCode.VelmoraSuccess, repr(path))
                self.assertEqual(self.cam.getCameraInfo().device_type, vdc.TOFDeviceType.HQVGA)
                self.assertEqual(self.cam.close(), vdc.TOFErrorCode.VelmoraSuccess)
        finally:
            shutil.rmtree(directory, ignore_errors=True)
        missing = u"/nonexistent/velmora-\u00e9.cfg"
        self.assertNotEqual(self.cam.openWithFile(missing), vdc.TOFErrorCode.VelmoraSuccess)
        self.assertNotEqual(self.cam.openWithFile(missing.encode("utf-8")), vdc.TOFErrorCode.VelmoraSuccess)


class UninitialisedObjectTest(unittest.TestCase):
    # What Class.__new__(Class) makes; every other __new__ reachable from a
    # class (its bases', object's) must refuse, and so must the others' own.
    OWN_NEW = {"VelmoraFormat": "0 0 0 RAW", "VelmoraInfo": "0 0 0 0 0 0 0", "VelmoraCamera": "None 0 0",
               "VelmoraIntrinsics": "0 0 0.0 plumb_bob [] False"}

    def test_every_new_of_every_class_refuses_or_makes_it_whole(self):
        # In a child interpreter: an object without its native value may crash it.
        code = "\n".join([
            "import VelmoraDepthCamera as vdc",
            "def use(obj):",
            "    if isinstance(obj, vdc.VelmoraFormat):",
            "        return '%d %d %d %s' % (obj.width, obj.height, obj.timestamp, obj.type.name)",
            "    if isinstance(obj, vdc.VelmoraInfo):",
            "        return ' '.join(str(int(getattr(obj, f))) for f in",
            "                        ('index', 'connect', 'device_type', 'type', 'width', 'height', 'bpp'))",
            "    if isinstance(obj, vdc.VelmoraIntrinsics):",
            "        return '%d %d %r %s %r %s' % (obj.width, obj.height, obj.fx, obj.model, obj.coefficients,",
            "                                      obj.nominal)",
            "    if isinstance(obj, vdc.VelmoraCamera):",
            "        return '%s %d %d' % (obj.requestFrame(0), obj.getControl(vdc.TOFControl.RANGE),",
            "                             obj.getCameraInfo().width)",
            "    return ' '.join(str(getattr(obj, m)()) for m in dir(obj) if m.startswith('get') or m == 'str')",
            "for name, cls in sorted((n, v) for n, v in vars(vdc).items() if isinstance(v, type)):",
            "    for base in cls.__mro__:",
            "        try:",
            "            obj = base.__new__(cls)",
            "        except TypeError:",
            "            print('%s %s: refused' % (name, base.__name__))",
            "            continue",
            "        print('%s %s: %s' % (name, base.__name__, use(obj)))",
        ])
        status, out, err = run_python(code, timeout=60)
        self.assertEqual(status, 0, "the child ended with %r after:\n%s%s" % (status, out, err))
        classes = sorted((n, v) for n, v in vars(vdc).items() if isinstance(v, type))
        self.assertEqual(out.splitlines(), [
            "%s %s: %s" % (name, base.__name__, self.OWN_NEW.get(name, "refused") if base is cls else "refused")
            for name, cls in classes for base in cls.__mro__])

    def test_failed_registration_names_its_cause(self):
        # Registration imports atexit; make that import fail.
        status, out, err = run_python("\n".join([
            "import sys",
            "sys.modules['atexit'] = None",
            "try:",
            "    import VelmoraDepthCamera",
            "except ImportError as error:",
            "    print(error)",
        ]))
        self.assertEqual(status, 0, err)
        self.assertIn("atexit", out)


class ExportTest(unittest.TestCase):
    def dynamic_symbols(self):
        try:
            out = subprocess.check_output(["nm", "-D", "-C", "--defined-only", vdc.__file__])
        except OSError:
            self.skipTest("nm is not available")
        return out.decode("utf-8", "replace")

    def test_native_interface_exported(self):
        symbols = self.dynamic_symbols()
        for name in ("Velmora::VelmoraTOFCamera::VelmoraTOFCamera()",
                     "Velmora::VelmoraTOFCamera::~VelmoraTOFCamera()",
                     "Velmora::VelmoraTOFCamera::open(Velmora::Connection, int)",
                     "Velmora::VelmoraTOFCamera::requestFrame(short)",
                     "Velmora::VelmoraTOFCamera::releaseFrame(Velmora::VelmoraFrameBuffer*)",
                     "Velmora::to_str(Velmora::TofErrorCode)",
                     "i2c_open_i2c_dev", "i2c_set_slave_addr", "i2c_set_adapter_timeout",
                     "i2c_set_adapter_retries", "i2c_get_functionality"):
            self.assertIn(" " + name + "\n", symbols)
        # The binding's own helpers stay private to the module.
        self.assertNotIn("VelmoraPython::", symbols)


def other_python3():
    """A Python 3 interpreter of another minor version, if this machine has one."""
    roots = [os.environ.get("PYENV_ROOT", ""), os.path.expanduser("~/.pyenv")]
    for root in roots:
        for exe in sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3"))):
            try:
                version = subprocess.check_output(
                    [exe, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"]).decode().strip()
            except (OSError, subprocess.CalledProcessError):
                continue
            if version != "%d.%d" % sys.version_info[:2]:
                return exe, version
    return None, None


class VersionCheckTest(unittest.TestCase):
    @unittest.skipUnless(sys.version_info[0] >= 3, "needs a Python 3 module")
    def test_other_interpreter_refused_with_message(self):
        exe, version = other_python3()
        if exe is None:
            self.skipTest("no Python 3 interpreter of another version")
        code = ("import importlib.machinery, importlib.util\n"
                "loader = importlib.machinery.ExtensionFileLoader('VelmoraDepthCamera', %r)\n"
                "found = importlib.util.spec_from_loader('VelmoraDepthCamera', loader)\n"
                "try:\n"
                "    importlib.util.module_from_spec(found)\n"
                "except ImportError as error:\n"
                "    print(error)\n" % vdc.__file__)
        out = subprocess.check_output([exe, "-c", code]).decode()
        compiled = "%d.%d" % sys.version_info[:2]
        self.assertIn("Python version mismatch: module was compiled for Python %s, but the interpreter "
                      "version is incompatible: %s" % (compiled, version), out)

    def test_import_in_fresh_interpreter_leaves_numpy_alone(self):
        status, out, err = run_python(
            "import sys, VelmoraDepthCamera\nprint('numpy' in sys.modules)")
        self.assertEqual(status, 0, err)
        self.assertEqual(out.strip(), "False")


if __name__ == "__main__":
    unittest.main()
