#include "CameraHandle.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>

#include <pybind11/pybind11.h>

namespace py = pybind11;
using namespace Velmora;

namespace VelmoraPython {

namespace {

// Longest wait in the driver between two looks at pending signals: keeps
// Ctrl-C prompt while requestFrame waits without limit.
constexpr int waitSliceMs = 50;

// True once the interpreter has begun to shut down. Taking the interpreter
// lock back after that point ends the thread (Python 3) or races the
// interpreter's teardown (Python 2).
bool interpreterExiting() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() || !Py_IsInitialized();
#elif PY_VERSION_HEX >= 0x03070000
    return _Py_IsFinalizing() || !Py_IsInitialized();
#else
    return !Py_IsInitialized();
#endif
}

// Every camera object alive, so that interpreter exit can stop the streaming
// ones before the process tears down. Touched only with the interpreter lock.
std::unordered_set<CameraHandle*>& liveCameras() {
    static std::unordered_set<CameraHandle*> cameras;
    return cameras;
}

const char* const releasedReason = "it was passed to releaseFrame";
const char* const restartedReason = "its camera was started again, which replaced every frame";
const char* const destroyedReason = "its camera no longer exists";

}  // namespace

FrameRef::FrameRef(std::shared_ptr<FrameLedger> ledger, VelmoraFrameBuffer* frame)
    : owner(std::move(ledger)), target(frame) {}

FrameRef::~FrameRef() {
    if (owner) owner->forget(this);
}

VelmoraFrameBuffer& FrameRef::frame() const {
    if (staleReason) throw std::runtime_error(std::string("frame is no longer valid: ") + staleReason);
    return *target;
}

FrameRef* FrameLedger::find(const VelmoraFrameBuffer* frame) const {
    auto it = wrappers.find(frame);
    return it == wrappers.end() ? nullptr : it->second;
}

void FrameLedger::add(FrameRef* ref) { wrappers[ref->buffer()] = ref; }

void FrameLedger::forget(const FrameRef* ref) {
    auto it = wrappers.find(ref->buffer());
    if (it != wrappers.end() && it->second == ref) wrappers.erase(it);
}

void FrameLedger::invalidateAll(const char* reason) {
    for (auto& entry : wrappers) entry.second->invalidate(reason);
    wrappers.clear();
}

CameraHandle::CameraHandle()
    : camera(std::make_unique<VelmoraTOFCamera>()), ledger(std::make_shared<FrameLedger>()) {
    liveCameras().insert(this);
}

CameraHandle::~CameraHandle() {
    liveCameras().erase(this);
    ledger->invalidateAll(destroyedReason);
    // The driver's destructor releases memory only; a sensor left streaming
    // would keep its transport busy, so finish the lifecycle here.
    try {
        if (streaming) camera->stop();
        if (opened) camera->close();
    } catch (const std::exception&) {
        // Nothing sensible remains to be done with a failing camera at teardown.
    }
}

void CameraHandle::closeAllAtExit() {
    // A camera still referenced at exit (for example by a thread waiting in
    // requestFrame) is never destroyed; its capture thread must not outlive
    // the libraries it calls into.
    for (CameraHandle* handle : liveCameras()) {
        if (!handle->streaming && !handle->opened) continue;
        try {
            handle->close();
        } catch (const std::exception&) {
            // The process is ending; a camera that fails to close cannot be helped.
        }
    }
}

void CameraHandle::followDriver() {
    const bool now = camera->isStreaming();
    // Waiting callers give up once the stream has ended.
    if (streaming && !now) ++stopGeneration;
    streaming = now;
}

TofErrorCode CameraHandle::open(Connection mode, int index) {
    const TofErrorCode rc = camera->open(mode, index);
    // Even a failed open may leave a transport behind for close to release.
    opened = true;
    followDriver();
    return rc;
}

TofErrorCode CameraHandle::openWithFile(const char* path, int index) {
    const TofErrorCode rc = camera->openWithFile(path, index);
    opened = true;
    followDriver();
    return rc;
}

TofErrorCode CameraHandle::close() {
    const TofErrorCode rc = camera->close();
    opened = false;
    followDriver();
    return rc;
}

TofErrorCode CameraHandle::start(FrameType type) {
    // Waits at most one wait slice for callers still inside the driver.
    std::unique_lock<std::shared_mutex> rebuilding(poolGuard);
    // Only a start that rebuilt the pool replaces the frames the caller
    // holds; a refused one leaves them as they were.
    auto framesReplaced = [this] {
        ledger->invalidateAll(restartedReason);
        ++poolGeneration;
    };
    TofErrorCode rc = VelmoraUnkownError;
    try {
        rc = camera->start(type);
    } catch (...) {
        // The capture thread could not be launched after the rebuild.
        framesReplaced();
        followDriver();
        throw;
    }
    if (rc == VelmoraSuccess) framesReplaced();
    followDriver();
    return rc;
}

TofErrorCode CameraHandle::stop() {
    const TofErrorCode rc = camera->stop();
    followDriver();
    return rc;
}

TofErrorCode CameraHandle::setControl(CameraCtrl ctrl, int value) { return camera->setControl(ctrl, value); }

int CameraHandle::getControl(CameraCtrl ctrl) {
    int value = 0;
    camera->getControl(ctrl, &value);
    return value;
}

CameraInfo CameraHandle::getCameraInfo() const { return camera->getCameraInfo(); }

FrameRef* CameraHandle::requestFrame(short timeout) {
    using Clock = std::chrono::steady_clock;
    const uint64_t pool = poolGeneration;
    const uint64_t stops = stopGeneration;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
    for (;;) {
        short slice = waitSliceMs;
        if (timeout >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            slice = static_cast<short>(std::clamp<long long>(left, 0, waitSliceMs));
        }
        VelmoraFrameBuffer* got = nullptr;
        // Released and taken back by hand rather than by a scope guard: taking
        // it back may end this thread when the interpreter is exiting, which
        // must not happen inside a destructor.
        PyThreadState* state = PyEval_SaveThread();
        try {
            // Released before the interpreter lock is taken back, so start,
            // which holds that lock while it waits for this one, cannot deadlock.
            std::shared_lock<std::shared_mutex> waiting(poolGuard);
            got = camera->requestFrame(slice);
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
        if (interpreterExiting()) {
            // The camera was closed at exit; nothing waits for this thread.
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        PyEval_RestoreThread(state);
        if (got) {
            // A start on another thread rebuilt the pool after this claim.
            if (pool != poolGeneration) return nullptr;
            return wrap(got);
        }
        if (stops != stopGeneration || !streaming) return nullptr;
        if (timeout >= 0 && Clock::now() >= deadline) return nullptr;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

FrameRef* CameraHandle::wrap(VelmoraFrameBuffer* frame) {
    if (FrameRef* known = ledger->find(frame)) {
        known->revalidate();
        return known;
    }
    std::unique_ptr<FrameRef> created;
    if (dynamic_cast<RawData*>(frame)) {
        created = std::make_unique<RawFrameRef>(ledger, frame);
    } else if (dynamic_cast<DepthData*>(frame)) {
        created = std::make_unique<DepthFrameRef>(ledger, frame);
    } else {
        created = std::make_unique<FrameRef>(ledger, frame);
    }
    ledger->add(created.get());
    // The caller hands ownership on to the Python object it creates.
    return created.release();
}

TofErrorCode CameraHandle::releaseFrame(FrameRef* frame) {
    if (!frame) return camera->releaseFrame(nullptr);
    // Its buffer was recycled or freed: never hand such a pointer on.
    if (!frame->valid()) return VelmoraUnkownError;
    const TofErrorCode rc = camera->releaseFrame(frame->buffer());
    if (rc == VelmoraSuccess) frame->invalidate(releasedReason);
    return rc;
}

}  // namespace VelmoraPython
