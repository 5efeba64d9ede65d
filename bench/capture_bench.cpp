// Cost of the capture loop and frame delivery with a sensor and a model that
// cost nothing, and the delay from publishing a frame to a waiting consumer.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <sys/resource.h>
#include <vector>

#include "FramePool.h"
#include "ScriptedParts.h"

namespace Velmora {
namespace {

int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Delivers at once; the timestamp is the steady clock at the end of the read.
class FreeSensor : public ScriptedSensor {
public:
    using ScriptedSensor::ScriptedSensor;
    int readFrame(uint8_t*, uint64_t* timestamp) override {
        reads.fetch_add(1, std::memory_order_relaxed);
        *timestamp = uint64_t(steadyNanoseconds());
        return 0;
    }
};

// Delivers one frame per permit, stamped with the steady clock when the read ends.
class GatedSensor : public ScriptedSensor {
public:
    using ScriptedSensor::ScriptedSensor;
    int readFrame(uint8_t* destination, uint64_t* timestamp) override {
        const int rc = ScriptedSensor::readFrame(destination, timestamp);
        *timestamp = uint64_t(steadyNanoseconds());
        return rc;
    }
};

class FreeDevice : public ScriptedDevice {
public:
    using ScriptedDevice::ScriptedDevice;
    bool getPhaseImage(const uint8_t*, float*, float*, float*) override { return true; }
};

void BM_CaptureAndDelivery(benchmark::State& state) {
    auto log = std::make_shared<CallLog>();
    VelmoraTOFCamera camera;
    auto sensor = std::make_unique<FreeSensor>(log, 240, 180);
    FreeSensor* counted = sensor.get();
    sensor->frameCount = 4;
    CameraTestAccess::openWith(camera, std::move(sensor), std::make_unique<FreeDevice>(log));
    camera.setControl(CameraCtrl::AUTO_FRAME_RATE, 0);
    camera.start(FrameType::DEPTH);

    const int readsBefore = counted->reads.load();
    const double cpuBefore = processCpuSeconds();
    for (auto _ : state) {
        VelmoraFrameBuffer* frame = camera.requestFrame(-1);
        camera.releaseFrame(frame);
    }
    const double cpu = processCpuSeconds() - cpuBefore;
    const int captured = counted->reads.load() - readsBefore;
    camera.stop();

    state.counters["capture_cpu_us_per_frame"] = captured > 0 ? cpu * 1e6 / captured : 0;
    state.counters["captured_per_delivered"] = double(captured) / double(state.iterations());
}
BENCHMARK(BM_CaptureAndDelivery)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// A consumer already waiting when the frame is published.
void BM_PublishToWaitingConsumer(benchmark::State& state) {
    auto log = std::make_shared<CallLog>();
    VelmoraTOFCamera camera;
    auto sensor = std::make_unique<GatedSensor>(log, 16, 16);
    GatedSensor* gate = sensor.get();
    sensor->frameCount = 1;
    auto device = std::make_unique<FreeDevice>(log);
    device->raw = {16, 16};
    device->depth = {16, 16};
    CameraTestAccess::openWith(camera, std::move(sensor), std::move(device));
    gate->allowFrames(0);
    camera.start(FrameType::DEPTH);
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    for (auto _ : state) {
        gate->allowFrames(1);
        VelmoraFrameBuffer* frame = camera.requestFrame(-1);
        const int64_t now = steadyNanoseconds();
        FrameDataFormat format{};
        frame->getFormat(FrameType::DEPTH, &format);
        if (latencies.size() < latencies.capacity()) latencies.push_back(double(now - int64_t(format.timestamp)));
        camera.releaseFrame(frame);
    }
    camera.stop();
    std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2, latencies.end());
    state.counters["median_latency_us"] = latencies.empty() ? 0 : latencies[latencies.size() / 2] / 1000.0;
}
BENCHMARK(BM_PublishToWaitingConsumer)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace
}  // namespace Velmora

BENCHMARK_MAIN();
