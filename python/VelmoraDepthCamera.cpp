// The Python extension module VelmoraDepthCamera. The same source builds for
// Python 2.7 (pybind11 2.6) and for Python 3.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "CameraHandle.h"
#include "VelmoraDepthFilters.h"
#include "VelmoraFrameBuffer.h"
#include "VelmoraIntrinsics.h"
#include "VelmoraTypes.h"

namespace py = pybind11;

namespace VelmoraPython {

// A frame plane copied into a numpy array. A type of its own so that the
// signatures name the result numpy.ndarray[int16] / numpy.ndarray[float32].
template <typename T>
struct PlaneArray {
    py::array_t<T> array;
};

// requestFrame's timeout as the caller gave it: any Python integer, so that
// one outside the interface's short is refused with the range named instead
// of pybind11's "incompatible function arguments".
struct TimeoutArg {
    pybind11::object given;
    long long value = 0;
    bool fits = false;  // within long long
};

}  // namespace VelmoraPython

namespace pybind11 {
namespace detail {

template <>
struct type_caster<VelmoraPython::TimeoutArg> {
    PYBIND11_TYPE_CASTER(VelmoraPython::TimeoutArg, _("int"));
    // Whatever pybind11 converts to an integer type is taken as before; an
    // integer too large for long long is taken too, to be refused by range.
    bool load(handle src, bool convert) {
        make_caster<long long> number;
        value.fits = number.load(src, convert);
        if (!value.fits && !(src && PyLong_Check(src.ptr()))) return false;
        if (value.fits) value.value = cast_op<long long>(number);
        value.given = reinterpret_borrow<object>(src);
        return true;
    }
};

template <typename T>
struct type_caster<VelmoraPython::PlaneArray<T>> {
    static constexpr auto name = _<std::is_same<T, float>::value>("numpy.ndarray[float32]", "numpy.ndarray[int16]");
    // Only ever a result.
    bool load(handle, bool) { return false; }
    static handle cast(const VelmoraPython::PlaneArray<T>& plane, return_value_policy, handle) {
        return plane.array.inc_ref();
    }
};

}  // namespace detail
}  // namespace pybind11

using namespace Velmora;
using VelmoraPython::CameraHandle;
using VelmoraPython::DepthFrameRef;
using VelmoraPython::FrameRef;
using VelmoraPython::PlaneArray;
using VelmoraPython::RawFrameRef;
using VelmoraPython::TimeoutArg;

namespace {

// A new (height, width) array that owns a copy of the plane. numpy is
// imported here, on the first call, not when the module is imported.
//
// Importing and allocating run Python code, and with it other threads, which
// may release or restart the camera and free the frame. So the frame is looked
// at for its size first, and its memory only after the last Python call, when
// a frame that went stale meanwhile raises instead of being read.
template <typename T>
PlaneArray<T> copyPlane(const FrameRef& ref, FrameType plane, FrameType sized, const char* what) {
    // A frame already stale says so, with or without numpy.
    ref.frame();
    // Through Python's import lock first: pybind11 imports numpy inside a C++
    // static initialiser, and two threads arriving there together deadlock
    // (the first releases the interpreter lock while it reads numpy's files,
    // the second waits on the initialiser holding it).
    py::module_::import("numpy.core.multiarray");
    FrameDataFormat format{};
    ref.frame().getFormat(sized, &format);
    std::vector<Py_ssize_t> shape{static_cast<Py_ssize_t>(format.height), static_cast<Py_ssize_t>(format.width)};
    py::array_t<T> array(shape);

    VelmoraFrameBuffer& frame = ref.frame();
    const void* data = frame.getData(plane);
    if (!data) throw std::runtime_error(std::string("frame has no ") + what + " plane");
    const size_t count = static_cast<size_t>(format.height) * format.width;
    if (count) std::memcpy(array.mutable_data(), data, count * sizeof(T));
    return PlaneArray<T>{std::move(array)};
}

// z along the optical axis (`components` 1) or the organised point cloud (3)
// of a depth frame, by the lens it was captured with; as copyPlane, the frame
// is read only after the last Python call.
PlaneArray<float> frameGeometry(const DepthFrameRef& ref, size_t components) {
    ref.frame();
    py::module_::import("numpy.core.multiarray");
    FrameDataFormat format{};
    ref.frame().getFormat(FrameType::DEPTH, &format);
    std::vector<Py_ssize_t> shape{static_cast<Py_ssize_t>(format.height), static_cast<Py_ssize_t>(format.width)};
    if (components > 1) shape.push_back(static_cast<Py_ssize_t>(components));
    py::array_t<float> array(shape);

    auto* depth = dynamic_cast<DepthData*>(&ref.frame());
    const RayTable* rays = depth ? depth->rays() : nullptr;
    if (!rays || rays->size() != static_cast<size_t>(format.height) * format.width)
        throw std::runtime_error("frame carries no lens (not a depth frame of a camera)");
    const auto* distance = static_cast<const float*>(depth->getData(FrameType::DEPTH));
    if (components == 1) {
        axialDepth(distance, *rays, array.mutable_data());
    } else {
        pointCloud(distance, *rays, array.mutable_data());
    }
    return PlaneArray<float>{std::move(array)};
}

py::dict filtersToDict(const DepthFilterSettings& settings) {
    py::dict out;
    for (const DepthFilterField& f : depthFilterFields()) {
        if (f.flag) {
            out[f.name] = py::bool_(settings.*f.flag);
        } else {
            // As the float it is, not its binary expansion (0.4, not 0.4000000059604645).
            char text[32];
            std::snprintf(text, sizeof(text), "%.7g", static_cast<double>(settings.*f.value));
            out[f.name] = py::float_(std::strtod(text, nullptr));
        }
    }
    return out;
}

// Changes only the settings named; unknown names and values out of range raise
// and change nothing.
void setDepthFilters(CameraHandle& camera, const py::kwargs& changes) {
    DepthFilterSettings settings = camera.driver().getDepthFilters();
    for (auto item : changes) {
        const std::string name = py::str(item.first).cast<std::string>();
        const auto& fields = depthFilterFields();
        const auto field = std::find_if(fields.begin(), fields.end(),
                                        [&](const DepthFilterField& f) { return name == f.name; });
        if (field == fields.end()) throw py::type_error("setDepthFilters: no filter setting named '" + name + "'");
        if (field->flag) {
            if (!py::isinstance<py::bool_>(item.second) && !py::isinstance<py::int_>(item.second))
                throw py::type_error("setDepthFilters: " + name + " takes True or False");
            settings.*field->flag = py::cast<bool>(item.second);
        } else {
            settings.*field->value = py::cast<float>(item.second);
        }
    }
    const std::string problem = settings.problem();
    if (!problem.empty()) throw py::value_error("setDepthFilters: " + problem);
    camera.driver().setDepthFilters(settings);
}

// The interface's timeout is a short of milliseconds; -1 waits without limit.
constexpr long long kTimeoutMin = -1;
constexpr long long kTimeoutMax = std::numeric_limits<short>::max();

FrameRef* requestFrame(CameraHandle& camera, const TimeoutArg& timeout) {
    if (!timeout.fits || timeout.value < kTimeoutMin || timeout.value > kTimeoutMax)
        throw py::value_error("requestFrame: timeout " + py::str(timeout.given).cast<std::string>() +
                              " is outside -1 to 32767 milliseconds (-1 waits without limit)");
    return camera.requestFrame(static_cast<short>(timeout.value));
}

FrameDataFormat formatOf(const FrameRef& ref, FrameType type) {
    FrameDataFormat format{};
    ref.frame().getFormat(type, &format);
    return format;
}

PlaneArray<float> depthPlane(const DepthFrameRef& ref, FrameType plane, const char* what) {
    // All three planes have the depth plane's dimensions.
    return copyPlane<float>(ref, plane, FrameType::DEPTH, what);
}

// Pickles a member as a call of its class with its value: works under every
// protocol of both Python lines (Python 2 refuses pybind11's own __new__ path).
template <typename Enum>
void picklableByValue(py::enum_<Enum>& enumeration) {
    enumeration.def("__reduce__", [](py::object self) {
        return py::make_tuple(self.attr("__class__"), py::make_tuple(py::int_(self)));
    });
}

// The name pickle and error texts use for a class.
std::string qualifiedName(py::handle cls) {
    return py::str(cls.attr("__module__")).cast<std::string>() + "." + py::str(cls.attr("__name__")).cast<std::string>();
}

// Installs a static __new__. Not through def_static: that would chain to the
// inherited __new__ as an overload sibling, which older binding releases
// mistake for one of their own functions.
template <typename Bound, typename Function>
void setNew(Bound& cls, Function&& function) {
    cls.attr("__new__") = py::staticmethod(py::cpp_function(std::forward<Function>(function), py::name("__new__"),
                                                            py::scope(cls)));
}

// CPython lets Base.__new__(Class) make an object whenever Class's own __new__
// is written in Python: its safety check looks past such classes. Made by the
// binding library's base, the object has no C++ value, and the library fills
// one with uninitialised memory on first use. A C-level slot that calls the
// class's __new__ as the Python-level slot does makes the interpreter refuse
// those calls ("... is not safe").
PyObject* checkedNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        py::handle cls(reinterpret_cast<PyObject*>(type));
        py::tuple all(PyTuple_GET_SIZE(args) + 1);
        all[0] = cls;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) all[i + 1] = py::handle(PyTuple_GET_ITEM(args, i));
        return PyObject_Call(cls.attr("__new__").ptr(), all.ptr(), kwargs);
    } catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
}

void guardNew(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_new = &checkedNew;
    PyType_Modified(type);
#if PY_MAJOR_VERSION < 3
    // Python 2's check passes object.__new__(Class) for any class built on
    // heap types alone; object.__new__ refuses an abstract class.
    cls.attr("__abstractmethods__") = py::make_tuple("__new__");
#endif
}

// An enumeration member is whole (its __init__ has run) before anyone sees
// it; without a value there is none to make. The second __init__ that the
// class call makes is ignored by the binding library.
template <typename Enum>
void wholeMembers(py::enum_<Enum>& enumeration) {
    const newfunc bare = reinterpret_cast<PyTypeObject*>(enumeration.ptr())->tp_new;
    setNew(enumeration, [bare](py::handle type, py::args args, py::kwargs kwargs) {
        auto member = py::reinterpret_steal<py::object>(bare(reinterpret_cast<PyTypeObject*>(type.ptr()),
                                                            args.ptr(), kwargs.ptr()));
        if (!member) throw py::error_already_set();
        type.attr("__init__")(member, *args, **kwargs);
        return member;
    });
}

// A record pickles by value, as a call of Class.__new__ with one value per
// attribute. Class.__new__(Class) gives a zeroed record rather than an
// uninitialised one; the class still has no constructor.
template <typename Record>
void byValue(py::class_<Record>& cls, std::vector<const char*> fields) {
    setNew(cls, [fields](py::handle type, py::args values) {
        if (values.size() != 0 && values.size() != fields.size())
            throw py::type_error(qualifiedName(type) + ".__new__ takes no values or " +
                                 std::to_string(fields.size()));
        py::object record = py::cast(Record{});
        // Through the attributes, so each value is checked as an assignment is.
        for (size_t i = 0; i < values.size(); ++i) record.attr(fields[i]) = values[i];
        return record;
    });
    cls.def("__reduce__", [fields](py::object self) {
        py::list args;
        args.append(self.attr("__class__"));
        for (const char* field : fields) args.append(self.attr(field));
        const char* copyreg = PY_MAJOR_VERSION >= 3 ? "copyreg" : "copy_reg";
        return py::make_tuple(py::module_::import(copyreg).attr("__newobj__"), py::tuple(args));
    });
}

// Borrowed frames and the camera are never copied by pickle, and Class.__new__
// gives no half-made object: frames refuse, the camera is made whole.
template <typename Bound>
void refusePickling(Bound& cls) {
    cls.def("__reduce_ex__", [](py::handle self, py::handle) -> py::object {
        throw py::type_error("cannot pickle '" + qualifiedName(self.attr("__class__")) + "' object");
    });
}

template <typename Bound>
void withoutConstructor(Bound& cls) {
    setNew(cls, [](py::handle type, py::args, py::kwargs) -> py::object {
        throw py::type_error(qualifiedName(type) + ": No constructor defined!");
    });
    refusePickling(cls);
}

void registerModule(py::module_& m) {
    py::enum_<DeviceType> deviceType(m, "TOFDeviceType");
    deviceType.value("VGA", DeviceType::VGA)
        .value("HQVGA", DeviceType::HQVGA);

    // AMPLITUDE is left out: the amplitude plane has its own accessor.
    py::enum_<FrameType> output(m, "TOFOutput");
    output.value("RAW", FrameType::RAW)
        .value("CONFIDENCE", FrameType::CONFIDENCE)
        .value("DEPTH", FrameType::DEPTH)
        .value("CACHE", FrameType::CACHE);

    py::enum_<Connection> connect(m, "TOFConnect");
    connect.value("CSI", Connection::CSI)
        .value("USB", Connection::USB);

    // AUTO_FRAME_RATE is a native-only switch.
    py::enum_<CameraCtrl> control(m, "TOFControl");
    control.value("RANGE", CameraCtrl::RANGE)
        .value("FMT_WIDTH", CameraCtrl::FMT_WIDTH)
        .value("FMT_HEIGHT", CameraCtrl::FMT_HEIGHT)
        .value("MODE", CameraCtrl::MODE)
        .value("FRAME_MODE", CameraCtrl::FRAME_MODE)
        .value("EXPOSURE", CameraCtrl::EXPOSURE)
        .value("FRAME_RATE", CameraCtrl::FRAME_RATE)
        .value("SKIP_FRAME", CameraCtrl::SKIP_FRAME)
        .value("SKIP_FRAME_LOOP", CameraCtrl::SKIP_FRAME_LOOP)
        .value("CONFIG_DIR_EXT", CameraCtrl::CONFIG_DIR_EXT);

    py::enum_<TofWorkMode> workMode(m, "TofWorkMode");
    workMode.value("SINGLE_FREQ", TofWorkMode::SINGLE_FREQ)
        .value("DOUBLE_FREQ", TofWorkMode::DOUBLE_FREQ)
        .value("TRIPLE_FREQ", TofWorkMode::TRIPLE_FREQ)
        .value("QUAD_FREQ", TofWorkMode::QUAD_FREQ)
        .value("DISTANCE", TofWorkMode::DISTANCE)
        .value("HDR", TofWorkMode::HDR)
        .value("AE", TofWorkMode::AE)
        .value("BG_OUTDOOR", TofWorkMode::BG_OUTDOOR)
        .value("GRAY_ONLY", TofWorkMode::GRAY_ONLY)
        .value("CUSTOM1", TofWorkMode::CUSTOM1)
        .value("CUSTOM2", TofWorkMode::CUSTOM2)
        .value("CUSTOM3", TofWorkMode::CUSTOM3);

    py::enum_<TofFrameWorkMode> frameWorkMode(m, "TofFrameWorkMode");
    frameWorkMode.value("SINGLE_FREQ_2PHASE", TofFrameWorkMode::SINGLE_FREQ_2PHASE)
        .value("SINGLE_FREQ_4PHASE", TofFrameWorkMode::SINGLE_FREQ_4PHASE)
        .value("SINGLE_FREQ_4PHASE_GRAY", TofFrameWorkMode::SINGLE_FREQ_4PHASE_GRAY)
        .value("SINGLE_FREQ_4PHASE_BG", TofFrameWorkMode::SINGLE_FREQ_4PHASE_BG)
        .value("SINGLE_FREQ_4PHASE_4BG", TofFrameWorkMode::SINGLE_FREQ_4PHASE_4BG)
        .value("SINGLE_FREQ_4PHASE_GRAY_5BG", TofFrameWorkMode::SINGLE_FREQ_4PHASE_GRAY_5BG)
        .value("SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG", TofFrameWorkMode::SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG)
        .value("SINGLE_FREQ_GRAY_BG_4PHASE_BG", TofFrameWorkMode::SINGLE_FREQ_GRAY_BG_4PHASE_BG)
        .value("SINGLE_FREQ_BG_GRAY_BG_4PHASE", TofFrameWorkMode::SINGLE_FREQ_BG_GRAY_BG_4PHASE)
        .value("SINGLE_FREQ_BG_4PHASE_BG_GRAY", TofFrameWorkMode::SINGLE_FREQ_BG_4PHASE_BG_GRAY)
        .value("DOUBLE_FREQ_4PHASE", TofFrameWorkMode::DOUBLE_FREQ_4PHASE)
        .value("DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG", TofFrameWorkMode::DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG)
        .value("DOUBLE_FREQ_4PHASE_4BG", TofFrameWorkMode::DOUBLE_FREQ_4PHASE_4BG)
        .value("DOUBLE_FREQ_4PHASE_GRAY_5BG", TofFrameWorkMode::DOUBLE_FREQ_4PHASE_GRAY_5BG)
        .value("TRIPLE_FREQ_4PHASE", TofFrameWorkMode::TRIPLE_FREQ_4PHASE)
        .value("TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG",
               TofFrameWorkMode::TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG)
        .value("QUAD_FREQ_4PHASE", TofFrameWorkMode::QUAD_FREQ_4PHASE)
        .value("QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG",
               TofFrameWorkMode::QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG)
        .value("BG_OUTDOOR", TofFrameWorkMode::BG_OUTDOOR)
        .value("GRAY_ONLY", TofFrameWorkMode::GRAY_ONLY)
        .value("CUSTOM", TofFrameWorkMode::CUSTOM);

    py::enum_<TofErrorCode> errorCode(m, "TOFErrorCode");
    errorCode.value("VelmoraSuccess", VelmoraSuccess)
        .value("VelmoraInvalidParameter", VelmoraInvalidParameter)
        .value("VelmoraNoCache", VelmoraNoCache)
        .value("VelmoraUnkownDevice", VelmoraUnkownDevice)
        .value("VelmoraNotImplemented", VelmoraNotImplemented)
        .value("VelmoraSkipFrame", VelmoraSkipFrame)
        .value("VelmoraSystemError", VelmoraSystemError)
        .value("VelmoraUnkownError", VelmoraUnkownError)
        .def("str", [](TofErrorCode code) { return std::string(to_str(code)); });

    picklableByValue(deviceType);
    picklableByValue(output);
    picklableByValue(connect);
    picklableByValue(control);
    picklableByValue(workMode);
    picklableByValue(frameWorkMode);
    picklableByValue(errorCode);
    wholeMembers(deviceType);
    wholeMembers(output);
    wholeMembers(connect);
    wholeMembers(control);
    wholeMembers(workMode);
    wholeMembers(frameWorkMode);
    wholeMembers(errorCode);

    py::class_<FrameDataFormat> format(m, "VelmoraFormat");
    format.def_readwrite("width", &FrameDataFormat::width, "Width of the plane in pixels (raw: samples per line).")
        .def_readwrite("height", &FrameDataFormat::height, "Height of the plane in lines.")
        .def_readwrite("timestamp", &FrameDataFormat::timestamp,
                       "Milliseconds of the transport's clock when the frame was taken, as it stamped it.")
        .def_readwrite("type", &FrameDataFormat::type);
    byValue(format, {"width", "height", "timestamp", "type"});

    py::class_<CameraInfo> info(m, "VelmoraInfo");
    info.def_readwrite("index", &CameraInfo::index)
        .def_readwrite("connect", &CameraInfo::connect)
        .def_readwrite("device_type", &CameraInfo::device_type)
        .def_readwrite("type", &CameraInfo::type)
        .def_readwrite("width", &CameraInfo::width,
                       "Width of the sensor's raw frame in pixels; the depth image's is getControl(FMT_WIDTH).")
        .def_readwrite("height", &CameraInfo::height,
                       "Lines of the sensor's raw frame (VGA: all its sub-images, 5 or 10 x (FMT_HEIGHT + 1)); "
                       "the depth image's height is getControl(FMT_HEIGHT).")
        .def_readwrite("bit_width", &CameraInfo::bit_width, "Bits per sensor sample.")
        .def_readwrite("bpp", &CameraInfo::bpp, "Bytes per sensor sample as the transport delivers it.");
    byValue(info, {"index", "connect", "device_type", "type", "width", "height", "bit_width", "bpp"});

    py::class_<FrameRef> frame(m, "VelmoraFrame");
    withoutConstructor(frame);

    py::class_<RawFrameRef, FrameRef> raw(m, "RawData");
    withoutConstructor(raw);
    raw
        .def(
            "getRawData",
            [](const RawFrameRef& ref) { return copyPlane<int16_t>(ref, FrameType::RAW, FrameType::RAW, "raw"); },
            "Get raw data from the frame\n\nAn int16 array of the sensor's samples in raw counts (no physical "
            "unit): for HQVGA the four phase planes with their lines interleaved, for VGA the sensor's words.")
        .def(
            "getFrameFormat", [](const RawFrameRef& ref) { return formatOf(ref, FrameType::RAW); },
            "Get the information of this frame\n\nA VelmoraFormat: width in samples per line, height in lines, "
            "timestamp in milliseconds of the transport's clock.");

    py::class_<DepthFrameRef, FrameRef> depth(m, "DepthData");
    withoutConstructor(depth);
    depth.def(
            "getDepthData", [](const DepthFrameRef& ref) { return depthPlane(ref, FrameType::DEPTH, "depth"); },
            "Get depth data from the frame\n\nA float32 array (height, width) of distances in millimetres, "
            "0 where the pixel has no valid depth.")
        .def(
            "getConfidenceData",
            [](const DepthFrameRef& ref) { return depthPlane(ref, FrameType::CONFIDENCE, "confidence"); },
            "Get confidence data from the frame\n\nA float32 array (height, width): the amplitude in raw "
            "sensor counts where the depth is valid, 0 where it is not.")
        .def(
            "getAmplitudeData",
            [](const DepthFrameRef& ref) { return depthPlane(ref, FrameType::AMPLITUDE, "amplitude"); },
            "Get amplitude data from the frame\n\nA float32 array (height, width) of the signal amplitude in "
            "raw sensor counts (no physical unit; compare values of one camera and setting only).")
        .def(
            "getAxialDepthData", [](const DepthFrameRef& ref) { return frameGeometry(ref, 1); },
            "Get z-depth data from the frame\n\nA float32 array (height, width) of each pixel's distance "
            "along the optical axis in millimetres (getDepthData measures along the pixel's ray), by the "
            "lens the frame was captured with; 0 where the pixel has no valid depth.")
        .def(
            "getPointCloud", [](const DepthFrameRef& ref) { return frameGeometry(ref, 3); },
            "Get the point cloud of the frame\n\nA float32 array (height, width, 3) of x, y, z in "
            "millimetres (x right, y down, z along the optical axis), by the lens the frame was captured "
            "with; NaN where the pixel has no valid depth.")
        .def(
            "getFrameFormat", [](const DepthFrameRef& ref) { return formatOf(ref, FrameType::DEPTH); },
            "Get the information of this frame\n\nA VelmoraFormat: width and height in pixels, timestamp in "
            "milliseconds of the transport's clock.");

    py::class_<Intrinsics> intrinsics(m, "VelmoraIntrinsics");
    intrinsics.def_readwrite("width", &Intrinsics::width, "Width of the depth image in pixels.")
        .def_readwrite("height", &Intrinsics::height, "Height of the depth image in pixels.")
        .def_readwrite("fx", &Intrinsics::fx, "Focal length along x in pixels.")
        .def_readwrite("fy", &Intrinsics::fy, "Focal length along y in pixels.")
        .def_readwrite("cx", &Intrinsics::cx, "Principal point's column (pixel centres at whole numbers).")
        .def_readwrite("cy", &Intrinsics::cy, "Principal point's row.")
        .def_property(
            "model", [](const Intrinsics& i) { return std::string(distortionModelName(i.model)); },
            [](Intrinsics& i, const std::string& name) {
                for (DistortionModel model : {DistortionModel::PlumbBob, DistortionModel::RationalPolynomial,
                                          DistortionModel::Equidistant})
                    if (name == distortionModelName(model)) {
                        i.model = model;
                        return;
                    }
                throw py::value_error("model '" + name + "' is not one of plumb_bob, rational_polynomial, "
                                      "equidistant");
            },
            "Distortion model: 'plumb_bob', 'rational_polynomial' or 'equidistant'.")
        .def_property(
            "coefficients",
            [](const Intrinsics& i) {
                py::list out;
                for (double c : i.coefficients) out.append(c);
                return out;
            },
            [](Intrinsics& i, const py::iterable& values) {
                std::vector<double> next;
                for (py::handle v : values) next.push_back(v.cast<double>());
                i.coefficients = next;
            },
            "The distortion model's coefficients, in calibration order.")
        .def_readwrite("nominal", &Intrinsics::nominal,
                       "True for an assumed lens (the virtual camera's, or any camera's before loadCalibration), "
                       "False for a loaded calibration.")
        .def("__repr__", [](const Intrinsics& i) {
            char text[256];
            std::snprintf(text, sizeof(text),
                          "VelmoraIntrinsics(width=%u, height=%u, fx=%.6g, fy=%.6g, cx=%.6g, cy=%.6g, model='%s', "
                          "nominal=%s)",
                          i.width, i.height, i.fx, i.fy, i.cx, i.cy, distortionModelName(i.model),
                          i.nominal ? "True" : "False");
            return std::string(text);
        });
    byValue(intrinsics, {"width", "height", "fx", "fy", "cx", "cy", "model", "coefficients", "nominal"});
    m.def("nominalIntrinsics", &nominalIntrinsics, py::arg("width"), py::arg("height"),
          "The virtual camera's lens at a depth size\n\nA VelmoraIntrinsics (nominal True): an ideal pinhole "
          "with a 70 degree horizontal field of view, square pixels, the principal point in the middle.");

    py::class_<CameraHandle> camera(m, "VelmoraCamera");
    // VelmoraCamera.__new__ alone already makes a whole camera; __init__ then
    // finds it made and leaves it.
    setNew(camera, [](py::handle, py::args, py::kwargs) {
        return py::cast(std::make_unique<CameraHandle>());
    });
    refusePickling(camera);
    camera.def(py::init<>())
        .def("open", &CameraHandle::open, py::arg("mode"), py::arg("index") = 0,
             "Initialize the camera configuration and turn on the camera, set the initialization frame "
             "according to the mode.\n\n- mode Specify the connection method.\n- index Device node, the "
             "default value is video0.")
        .def("openWithFile", &CameraHandle::openWithFile, py::arg("path"), py::arg("index") = 0,
             "Initialize the camera configuration and turn on the camera, set the initialization frame "
             "according to the mode.\n\n- path Specify the config file path.\n- index Device node, the "
             "default value is video0.")
        .def("close", &CameraHandle::close, "Close the camera")
        .def("start", &CameraHandle::start, py::arg("type"), "Start the camera stream and start processing.")
        .def("stop", &CameraHandle::stop, "Stop camera stream and processing.")
        .def("setControl", &CameraHandle::setControl, py::arg("ctrl"), py::arg("value"),
             "Set camera parameters.\n\nvalue by control: RANGE in millimetres (HQVGA: 2000 or 4000), "
             "FMT_WIDTH and FMT_HEIGHT in pixels (VGA: 640 or 320, 480 or 240), MODE a TofWorkMode number "
             "(VGA: SINGLE_FREQ or DOUBLE_FREQ), FRAME_RATE in frames per second (1 up to the current rate), "
             "SKIP_FRAME_LOOP 1 to 255 frames, SKIP_FRAME 0 to the loop length, EXPOSURE in the sensor's own "
             "units. A value a camera does not take returns VelmoraInvalidParameter.")
        .def("getControl", &CameraHandle::getControl, py::arg("ctrl"),
             "Get camera parameters.\n\nIn the units setControl takes (RANGE in millimetres, FMT_WIDTH and "
             "FMT_HEIGHT in pixels: the depth image's size, FRAME_RATE in frames per second); 0 when the camera "
             "gives no value.")
        .def("getCameraInfo", &CameraHandle::getCameraInfo,
             "Get camera information.\n\nwidth and height in pixels of the sensor's raw frame (the depth "
             "image is getControl(FMT_WIDTH) x getControl(FMT_HEIGHT)), bit_width in bits per sample, bpp in "
             "bytes per sample.")
        // A new frame object is owned by Python; one still alive is returned again.
        .def("requestFrame", &requestFrame, py::arg("timeout"), py::return_value_policy::take_ownership,
             "Request a frame of data from the frame processing thread.\n\ntimeout in milliseconds, -1 to "
             "32767 (-1 waits without limit); ValueError outside that range. None when no frame came in time "
             "or the camera stopped.")
        .def("releaseFrame", &CameraHandle::releaseFrame, py::arg("frame").none(true),
             "Free the memory space of the frame.")
        .def(
            "getIntrinsics", [](const CameraHandle& c) { return c.driver().getIntrinsics(); },
            "Get the lens of the depth frames\n\nA VelmoraIntrinsics at the current depth size: the "
            "calibration loaded for that size, else the nominal lens (nominal True).")
        .def(
            "loadCalibration",
            [](CameraHandle& c, const std::string& path) {
                std::string reason;
                if (c.driver().loadCalibration(path.c_str(), &reason) != VelmoraSuccess)
                    throw py::value_error("loadCalibration: " + reason);
            },
            py::arg("path"),
            "Load a camera calibration file\n\nThe YAML of ROS camera_info files or OpenCV's calibration "
            "output; it applies to depth frames of its image size from the next frame on. ValueError, with "
            "the reason, for a file that cannot be used (the lens stays as it was).")
        .def("setDepthFilters", &setDepthFilters,
             "Set depth filters by name\n\nKeywords as getDepthFilters() names them, e.g. "
             "setDepthFilters(temporal=False, spatial_edge_mm=30); from the next frame on. Unknown names "
             "raise TypeError, values out of range ValueError, and change nothing.")
        .def(
            "getDepthFilters", [](const CameraHandle& c) { return filtersToDict(c.driver().getDepthFilters()); },
            "Get the depth filters\n\nA dict of every setting: switches (flying_pixel, spatial, temporal, "
            "hole_filling, wrapped_distance) and their parameters.");

    m.attr("__version__") = py::str("dev");

    // Last: setting __new__ on a class resets its slot.
    const std::initializer_list<py::handle> classes = {deviceType, output, connect, control, workMode,
                                                       frameWorkMode, errorCode, format, info, frame, raw, depth,
                                                       intrinsics, camera};
    for (py::handle cls : classes) guardNew(cls);

    // Cameras kept alive past the program's end (by a waiting thread, a
    // cycle) are closed before the interpreter goes away.
    py::module_::import("atexit").attr("register")(py::cpp_function(&CameraHandle::closeAllAtExit));
}

}  // namespace

PYBIND11_MODULE(VelmoraDepthCamera, m) {
    try {
        registerModule(m);
    } catch (py::error_already_set& error) {
        // The ImportError carries the failure's own text, not only "initialization failed".
        throw py::import_error(error.what());
    }
}
