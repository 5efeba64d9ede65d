#pragma once
// What the Python module keeps per camera and per borrowed frame: the camera
// itself, and a ledger that tells which frame objects still point at live
// frame memory.

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>

#include "VelmoraTOFCamera.h"

namespace VelmoraPython {

class FrameLedger;

// The Python object of one frame borrowed from a camera's pool. It becomes
// stale at releaseFrame, at the camera's next start and when the camera goes;
// from then on every access raises instead of reading recycled memory.
class FrameRef {
public:
    FrameRef(std::shared_ptr<FrameLedger> ledger, Velmora::VelmoraFrameBuffer* frame);
    virtual ~FrameRef();
    FrameRef(const FrameRef&) = delete;
    FrameRef& operator=(const FrameRef&) = delete;

    // The frame, or std::runtime_error when this object is stale.
    Velmora::VelmoraFrameBuffer& frame() const;
    Velmora::VelmoraFrameBuffer* buffer() const { return target; }
    bool valid() const { return staleReason == nullptr; }
    void invalidate(const char* reason) { staleReason = reason; }
    void revalidate() { staleReason = nullptr; }
    const FrameLedger* ledger() const { return owner.get(); }

private:
    std::shared_ptr<FrameLedger> owner;
    Velmora::VelmoraFrameBuffer* target;
    const char* staleReason = nullptr;
};

class RawFrameRef final : public FrameRef {
public:
    using FrameRef::FrameRef;
};

class DepthFrameRef final : public FrameRef {
public:
    using FrameRef::FrameRef;
};

// The frame objects alive for the current pool of one camera, so that the
// same buffer handed out again comes back as the same Python object.
// Touched only with the interpreter lock held.
class FrameLedger {
public:
    FrameRef* find(const Velmora::VelmoraFrameBuffer* frame) const;
    void add(FrameRef* ref);
    void forget(const FrameRef* ref);
    // Every known frame object goes stale and is never handed out again.
    void invalidateAll(const char* reason);

private:
    std::unordered_map<const Velmora::VelmoraFrameBuffer*, FrameRef*> wrappers;
};

// The C++ side of the Python class VelmoraCamera.
class CameraHandle {
public:
    CameraHandle();
    // Stops and closes a camera the program left streaming or open.
    ~CameraHandle();
    CameraHandle(const CameraHandle&) = delete;
    CameraHandle& operator=(const CameraHandle&) = delete;

    // Registered with the interpreter's exit handlers: closes every camera
    // that is still open or streaming.
    static void closeAllAtExit();

    Velmora::TofErrorCode open(Velmora::Connection mode, int index);
    Velmora::TofErrorCode openWithFile(const char* path, int index);
    Velmora::TofErrorCode close();
    Velmora::TofErrorCode start(Velmora::FrameType type);
    Velmora::TofErrorCode stop();
    Velmora::TofErrorCode setControl(Velmora::CameraCtrl ctrl, int value);
    // The value the camera wrote, or 0 when it wrote none.
    int getControl(Velmora::CameraCtrl ctrl);
    Velmora::CameraInfo getCameraInfo() const;
    // Lens and filters: no frame memory is involved, so straight through.
    Velmora::VelmoraTOFCamera& driver() const { return *camera; }

    // Called with the interpreter lock held; waits without it. Returns a frame
    // object owned by the caller when new, an existing one when its Python
    // object is still alive, or null. Raises the pending Python error when a
    // signal handler failed (Ctrl-C).
    FrameRef* requestFrame(short timeout);
    Velmora::TofErrorCode releaseFrame(FrameRef* frame);

private:
    FrameRef* wrap(Velmora::VelmoraFrameBuffer* frame);
    // Takes the driver's word on whether it streams after a lifecycle call:
    // a refused call may have stopped nothing, or stopped the stream before failing.
    void followDriver();

    std::unique_ptr<Velmora::VelmoraTOFCamera> camera;
    std::shared_ptr<FrameLedger> ledger;
    // Held shared while a caller waits in the driver without the interpreter
    // lock, exclusively while start rebuilds the frame pool.
    std::shared_mutex poolGuard;
    // Bumped by start: a frame claimed before belongs to a destroyed pool.
    uint64_t poolGeneration = 0;
    // Bumped by stop and close: waiting callers give up.
    uint64_t stopGeneration = 0;
    bool streaming = false;
    bool opened = false;
};

}  // namespace VelmoraPython
