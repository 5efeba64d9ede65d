#pragma once
// The camera: opens a transport, picks the depth model, streams frames.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "VelmoraDepthFilters.h"
#include "VelmoraFrameBuffer.h"
#include "VelmoraIntrinsics.h"
#include "VelmoraTypes.h"

namespace Velmora {

class VelmoraTOFSensor;
class VelmoraDevice;
class FramePool;
class DepthFilterChain;
struct LinkNode;

struct FrameGeometry {
    int32_t width;
    int32_t height;
};

class VELMORA_EXPORT VelmoraTOFCamera {
public:
    VelmoraTOFCamera();
    ~VelmoraTOFCamera();
    VelmoraTOFCamera(const VelmoraTOFCamera&) = delete;
    VelmoraTOFCamera& operator=(const VelmoraTOFCamera&) = delete;

    TofErrorCode open(Connection mode, int index);
    TofErrorCode openWithFile(const char* path, int index);
    TofErrorCode openPostHandle();
    TofErrorCode start(FrameType type);
    TofErrorCode setOutputType(FrameType type);
    TofErrorCode stop();
    TofErrorCode close();

    TofErrorCode setControl(CameraCtrl ctrl, int value);
    TofErrorCode getControl(CameraCtrl ctrl, int* value);
    TofErrorCode setControlExt(CameraCtrl ctrl, const char* value);
    TofErrorCode getControlExt(CameraCtrl ctrl, const char** value);
    CameraInfo getCameraInfo() const;
    // True from a successful start until the next stop (also the one open and close do).
    bool isStreaming() const;
    void adjustFrameRate();

    // The lens of the depth frames at the current size: the calibration
    // loaded for that size, else the nominal lens (marked so).
    Intrinsics getIntrinsics() const;
    // Reads a calibration file (see loadCalibrationFile); it applies to depth
    // frames of its size from the next frame on. On failure the lens stays as
    // it was, VelmoraInvalidParameter is returned and `reason` (if given) says why.
    TofErrorCode loadCalibration(const char* path, std::string* reason = nullptr);
    // Filters applied to depth frames from the next frame on; settings with a
    // value out of range are refused (VelmoraInvalidParameter) and change nothing.
    TofErrorCode setDepthFilters(const DepthFilterSettings& settings);
    DepthFilterSettings getDepthFilters() const;
    // z along the optical axis (0 where invalid), and the organised point
    // cloud (x, y, z per pixel, NaN where invalid), of a depth frame of this
    // camera, by the lens it was captured with; `out` holds width x height
    // values, or 3 x as many. VelmoraInvalidParameter for any other frame.
    TofErrorCode getAxialDepth(VelmoraFrameBuffer* frame, float* out) const;
    TofErrorCode getPointCloud(VelmoraFrameBuffer* frame, float* out) const;

    // Blocks up to `timeout` ms (negative: without limit); null when no frame came.
    VelmoraFrameBuffer* requestFrame(short timeout);
    TofErrorCode releaseFrame(VelmoraFrameBuffer* frame);

    void captureThread();
    int analysisFrame(uint8_t* cache, LinkNode* node);
    void updateFps();
    int getRawImages(uint8_t* raw, short* out);
    bool getPhaseImage(uint8_t* raw, float* depth, float* amplitude, float* confidence);

private:
    // Frames dropped per loop, and the loop length: one value, so a setter
    // checks and stores both at once and the capture thread reads a pair
    // that was valid together.
    // Aligned as a whole so every compiler swaps it without a lock.
    struct alignas(8) SkipRule {
        int32_t skip;
        int32_t loop;
    };

    // Modulation changes (RANGE, MODE) begun when a frame's capture window
    // opened, and whether none was under way then.
    struct ModulationWindow {
        uint64_t begun;
        bool settled;
    };

    TofErrorCode openSensor(std::unique_ptr<VelmoraTOFSensor> created);
    void joinCaptureThread();
    // VelmoraInvalidParameter, with one line on stderr, when the sensor's
    // frames (`lines` lines of all sub-frames) are not the raw frames the model needs.
    int checkDeliveredGeometry(uint64_t lines) const;
    ModulationWindow openModulationWindow() const;
    // The rays of depth frames of this size, built once per lens.
    std::shared_ptr<const RayTable> raysFor(uint32_t width, uint32_t height) const;
    // Applies the filters to a depth frame and gives it the rays of its lens.
    void finishDepthFrame(VelmoraFrameBuffer& frame, bool continuesLast);
    // No modulation change was under way when `window` opened, nor begun since.
    bool modulationSteadySince(const ModulationWindow& window) const;

    CameraInfo info{};
    FrameGeometry rawGeometry{};
    FrameGeometry depthGeometry{};
    std::unique_ptr<VelmoraTOFSensor> sensor;
    std::unique_ptr<VelmoraDevice> device;
    std::unique_ptr<FramePool> framePool;
    std::thread captureWorker;
    std::atomic<bool> stopped{true};
    int32_t platformModel = 0;
    // Controls shared with the capture thread: atomics so a change lands on a frame boundary.
    std::atomic<SkipRule> skipRule{SkipRule{0, 1}};
    static_assert(std::atomic<SkipRule>::is_always_lock_free, "SkipRule is swapped without a lock");
    int32_t skipCounter = 0;
    float frameInterval = 0.0f;
    float smoothing = 0.1f;
    std::atomic<float> fps{0.0f};
    // Only compared with 0; stops counting at its maximum.
    int32_t fpsUpdates = 0;
    // Monotonic clock, nanoseconds: a step of the wall clock must not look like a frame interval.
    int64_t lastFrameTime = 0;
    std::atomic<bool> autoFrameRate{true};
    // Set by analysisFrame once the model has written into the output frame.
    bool outputTouched = false;
    // Counted by setControl around every RANGE and MODE change; the capture
    // thread drops a frame that one of them may have torn.
    std::atomic<uint64_t> modulationChangesBegun{0};
    std::atomic<uint64_t> modulationChangesDone{0};
    // Capture thread only: opened when the previous frame's read began.
    ModulationWindow captureWindow{0, true};
    // Lens and filters, set by callers and read by the capture thread once a frame.
    mutable std::mutex lensGuard;
    std::unique_ptr<Intrinsics> calibration;
    mutable std::shared_ptr<const RayTable> rays;
    mutable std::mutex filterGuard;
    DepthFilterSettings filterSettings;
    // Capture thread only.
    std::unique_ptr<DepthFilterChain> filterChain;
    // The last frame went through the filters: the next one may continue its history.
    bool lastFrameFiltered = false;
};

}  // namespace Velmora
