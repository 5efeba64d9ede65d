#pragma once
// A scriptable sensor and device model for camera-core tests, plus access
// to the camera's internals.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FramePool.h"
#include "VelmoraDevice.h"
#include "VelmoraTOFCamera.h"
#include "VelmoraTOFSensor.h"

namespace Velmora {

// Calls of sensor and device, in order, from every thread.
class CallLog {
public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(entry);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }

private:
    std::mutex mutex;
    std::vector<std::string> entries;
};

// Frame n carries the value n in every sample; timestamps are 1000 * n.
class ScriptedSensor : public VelmoraTOFSensor {
public:
    explicit ScriptedSensor(std::shared_ptr<CallLog> sharedLog, uint32_t w = 240, uint32_t h = 180,
                            uint32_t bits = 12)
        : log(std::move(sharedLog)), width(w), height(h), bitWidth(bits) {}

    int open(CameraInfo& info) override {
        log->add("sensor.open");
        info.width = width;
        info.height = height;
        info.bit_width = bitWidth;
        info.bpp = bitWidth > 8 ? 2 : 1;
        copy = info;
        return openResult;
    }
    int close() override {
        log->add("sensor.close");
        return closeResult;
    }
    int start() override {
        log->add("sensor.start");
        ++starts;
        return startResult;
    }
    int stop() override {
        log->add("sensor.stop");
        return stopResult;
    }
    CameraInfo getCameraInfo() override {
        log->add("sensor.getCameraInfo");
        return copy;
    }
    int readFrame(uint8_t* destination, uint64_t* timestamp) override {
        reads.fetch_add(1);
        std::unique_lock<std::mutex> lock(gateMutex);
        // A sensor with nothing to deliver times out like a real one, so stop can join.
        if (!gate.wait_for(lock, std::chrono::milliseconds(2), [&] { return permits != 0; })) return -1;
        if (permits > 0) --permits;
        lock.unlock();
        if (beforeDelivery) beforeDelivery();
        const uint16_t n = static_cast<uint16_t>(delivered.fetch_add(1) + 1);
        const size_t samples = size_t(copy.width) * copy.height * size_t(frameCount);
        auto* out = reinterpret_cast<uint16_t*>(destination);
        for (size_t i = 0; i < samples; ++i) out[i] = n;
        *timestamp = 1000ull * n;
        return readResult;
    }
    int setControl(CameraCtrl ctrl, int value) override {
        log->add("sensor.setControl(" + std::to_string(int(ctrl)) + "," + std::to_string(value) + ")");
        return 0;
    }
    int getControl(CameraCtrl, int*) override { return VelmoraNotImplemented; }

    // -1: deliver without limit; otherwise deliver that many more frames.
    void allowFrames(int count) {
        std::lock_guard<std::mutex> lock(gateMutex);
        permits = count < 0 ? -1 : (permits < 0 ? count : permits + count);
        gate.notify_all();
    }

    std::shared_ptr<CallLog> log;
    uint32_t width, height, bitWidth;
    CameraInfo copy{};
    int openResult = 0, closeResult = 0, startResult = 0, stopResult = 0, readResult = 0;
    int starts = 0;
    std::atomic<int> reads{0};
    std::atomic<int> delivered{0};
    // Runs on the capture thread before each delivered frame.
    std::function<void()> beforeDelivery;

private:
    std::mutex gateMutex;
    std::condition_variable gate;
    int permits = -1;
};

// Copies the first sample of the raw frame into every output value.
class ScriptedDevice : public VelmoraDevice {
public:
    explicit ScriptedDevice(std::shared_ptr<CallLog> sharedLog) : log(std::move(sharedLog)) {}

    int deviceType() override { return HQVGA; }
    int getFrameFormats(FrameGeometry& r, FrameGeometry& d) override {
        log->add("device.getFrameFormats");
        r = raw;
        d = depth;
        return 0;
    }
    int attachSensor(VelmoraTOFSensor* s) override {
        log->add("device.attachSensor");
        sensor = s;
        return attachResult;
    }
    int close() override {
        log->add("device.close");
        return 0;
    }
    int configureSensor() override {
        log->add("device.configureSensor");
        return configureResult;
    }
    int start() override {
        log->add("device.start");
        return startResult;
    }
    int stop() override {
        log->add("device.stop");
        return 0;
    }
    int setControl(CameraCtrl ctrl, int value) override {
        log->add("device.setControl(" + std::to_string(int(ctrl)) + "," + std::to_string(value) + ")");
        if (ctrl == CameraCtrl::FRAME_RATE) frameRate.store(value);
        return setResult;
    }
    int setControlExt(CameraCtrl, const char*) override { return 1; }
    int getControl(CameraCtrl ctrl, int* value) override {
        log->add("device.getControl(" + std::to_string(int(ctrl)) + ")");
        if (ctrl == CameraCtrl::FRAME_RATE) *value = frameRate.load();
        else *value = 4000;
        return getResult;
    }
    int getControlExt(CameraCtrl, const char**) override { return 1; }
    int getRawImages(const uint8_t* rawFrame, int16_t* out) override {
        const size_t n = size_t(raw.width) * size_t(raw.height);
        std::memcpy(out, rawFrame, n * 2);
        return 1;
    }
    bool getPhaseImage(const uint8_t* rawFrame, float* d, float* a, float* c) override {
        uint16_t first;
        std::memcpy(&first, rawFrame, 2);
        const size_t n = size_t(depth.width) * size_t(depth.height);
        for (size_t i = 0; i < n; ++i) d[i] = a[i] = c[i] = float(first);
        return phaseResult.load();
    }

    std::shared_ptr<CallLog> log;
    VelmoraTOFSensor* sensor = nullptr;
    FrameGeometry raw{240, 720};
    FrameGeometry depth{240, 180};
    std::atomic<int> frameRate{30};
    int attachResult = 0, configureResult = 0, startResult = 0, setResult = 0, getResult = 0;
    std::atomic<bool> phaseResult{true};
};

// The camera's private members, reached without a hook in its public header:
// an explicit instantiation may name private members, and the friend function
// it defines hands out the member pointer. All of it lives in an unnamed
// namespace, so every test file instantiates its own.
namespace {
template <typename Tag, auto Pointer>
struct ExposePrivate {
    friend auto memberPointer(Tag) { return Pointer; }
};
}  // namespace

#define VELMORA_PRIVATE_MEMBER(Tag, Member)                            \
    namespace {                                                        \
    struct Tag {                                                       \
        friend auto memberPointer(Tag);                                \
    };                                                                 \
    template struct ExposePrivate<Tag, &VelmoraTOFCamera::Member>;     \
    }

VELMORA_PRIVATE_MEMBER(InfoMember, info)
VELMORA_PRIVATE_MEMBER(SensorMember, sensor)
VELMORA_PRIVATE_MEMBER(DeviceMember, device)
VELMORA_PRIVATE_MEMBER(PoolMember, framePool)
VELMORA_PRIVATE_MEMBER(FpsMember, fps)
VELMORA_PRIVATE_MEMBER(IntervalMember, frameInterval)
VELMORA_PRIVATE_MEMBER(SmoothingMember, smoothing)
VELMORA_PRIVATE_MEMBER(LastFrameTimeMember, lastFrameTime)
VELMORA_PRIVATE_MEMBER(FpsUpdatesMember, fpsUpdates)
VELMORA_PRIVATE_MEMBER(SkipRuleMember, skipRule)
VELMORA_PRIVATE_MEMBER(OpenSensorMember, openSensor)
#undef VELMORA_PRIVATE_MEMBER

template <typename Tag>
auto& privateMember(VelmoraTOFCamera& camera) {
    return camera.*memberPointer(Tag{});
}

class CameraTestAccess {
public:
    // Opens `camera` on the given parts, as open() does with its own transport.
    static TofErrorCode openWith(VelmoraTOFCamera& camera, std::unique_ptr<VelmoraTOFSensor> sensor,
                                 std::unique_ptr<VelmoraDevice> device) {
        CameraInfo& info = privateMember<InfoMember>(camera);
        std::unique_ptr<VelmoraTOFSensor>& installed = privateMember<SensorMember>(camera);
        info.connect = Connection::USB;
        installed = std::move(sensor);
        int rc = installed->open(info);
        if (rc != 0) return TofErrorCode(rc);
        std::unique_ptr<VelmoraDevice>& model = privateMember<DeviceMember>(camera);
        model = std::move(device);
        info.device_type = HQVGA;
        return TofErrorCode(model->attachSensor(installed.get()));
    }
    // Opens through the camera's own model choice.
    static TofErrorCode openSensor(VelmoraTOFCamera& camera, std::unique_ptr<VelmoraTOFSensor> sensor) {
        return (camera.*memberPointer(OpenSensorMember{}))(std::move(sensor));
    }
    static VelmoraTOFSensor* sensor(VelmoraTOFCamera& camera) { return privateMember<SensorMember>(camera).get(); }
    static FramePool* pool(VelmoraTOFCamera& camera) { return privateMember<PoolMember>(camera).get(); }
    static void setType(VelmoraTOFCamera& camera, FrameType type) { privateMember<InfoMember>(camera).type = type; }
    static void setFps(VelmoraTOFCamera& camera, float fps) { privateMember<FpsMember>(camera).store(fps); }
    static float fps(VelmoraTOFCamera& camera) { return privateMember<FpsMember>(camera).load(); }
    static float frameInterval(VelmoraTOFCamera& camera) { return privateMember<IntervalMember>(camera); }
    static float smoothing(VelmoraTOFCamera& camera) { return privateMember<SmoothingMember>(camera); }
    static void setLastFrameTime(VelmoraTOFCamera& camera, int64_t ns) { privateMember<LastFrameTimeMember>(camera) = ns; }
    static int32_t fpsUpdates(VelmoraTOFCamera& camera) { return privateMember<FpsUpdatesMember>(camera); }
    static void setFpsUpdates(VelmoraTOFCamera& camera, int32_t n) { privateMember<FpsUpdatesMember>(camera) = n; }
    // Skip count and loop length, read together as the capture thread reads them.
    static std::pair<int, int> skipRule(VelmoraTOFCamera& camera) {
        const auto rule = privateMember<SkipRuleMember>(camera).load();
        return {rule.skip, rule.loop};
    }
    static int skipFrame(VelmoraTOFCamera& camera) { return skipRule(camera).first; }
    static int skipFrameLoop(VelmoraTOFCamera& camera) { return skipRule(camera).second; }
    static int analysis(VelmoraTOFCamera& camera, uint8_t* cache, LinkNode* node) {
        return camera.analysisFrame(cache, node);
    }
    static void updateFps(VelmoraTOFCamera& camera) { camera.updateFps(); }
};

}  // namespace Velmora
