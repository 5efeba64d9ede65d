// The whole depth pipeline over the virtual USB camera, unpaced (fps=0), and
// its pieces measured on their own, so that the capture thread's CPU time per
// frame splits into simulation, transport, depth and delivery without any
// timing code in the capture path:
//   transport  = the USB sensor's own work on a frame: the sample conversion
//                of its four images (a block copy each at 12 bits)
//   simulation = the sensor's readFrame less that: the simulated module
//   depth      = the HQVGA model's getPhaseImage
//   delivery   = capture-thread CPU per frame less readFrame and depth
// The small pieces are measured directly, the large ones by difference;
// scripts/bench.sh does the subtraction.
//
// And a VGA camera at 30 frames/s with the default configuration (filters
// on), every frame taken: the CPU time per second of stream, from which
// scripts/bench.sh takes the simulated module's part (the sensor's readFrame
// less its copy of the frame) to leave the driver's.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "VelmoraDeviceHQVGA.h"
#include "VelmoraEvkTesting.h"
#include "VelmoraTOFCamera.h"
#include "VelmoraTOFUSBSensor.h"

namespace Velmora {
namespace {

constexpr size_t kFrameBytes = 4 * 240 * 180 * 2;

// The module's configuration: by default the demo scene, delivered as fast as it is read.
class ConfigFile {
public:
    explicit ConfigFile(const std::string& text = "fps=0\n") {
        char name[] = "/tmp/velmora-bench-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            path = name;
            const ssize_t written = ::write(fd, text.data(), text.size());
            ::close(fd);
            if (written != static_cast<ssize_t>(text.size())) path.clear();
        }
    }
    ~ConfigFile() {
        if (!path.empty()) std::remove(path.c_str());
    }
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;
    std::string path;
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The camera streaming DEPTH while this thread takes every frame it can. The
// capture thread's CPU time is the process's less this thread's; captured
// frames are counted by the module (four captures each).
void pipeline(benchmark::State& state) {
    ConfigFile config;
    VelmoraTOFCamera camera;
    if (config.path.empty() || camera.openWithFile(config.path.c_str(), 0) != VelmoraSuccess) {
        state.SkipWithError("the virtual camera did not open");
        return;
    }
    camera.setControl(CameraCtrl::AUTO_FRAME_RATE, 0);
    if (camera.start(FrameType::DEPTH) != VelmoraSuccess) {
        state.SkipWithError("the virtual camera did not start");
        return;
    }
    // Let the stream settle before counting.
    for (int i = 0; i < 10; ++i) camera.releaseFrame(camera.requestFrame(-1));

    const int capturesBefore = VelmoraSim::EvkTesting::callCounts().captureImage;
    const double processBefore = processCpuSeconds();
    const double consumerBefore = threadCpuSeconds();
    int64_t delivered = 0;
    for (auto _ : state) {
        VelmoraFrameBuffer* frame = camera.requestFrame(-1);
        benchmark::DoNotOptimize(frame);
        camera.releaseFrame(frame);
        ++delivered;
    }
    const double consumer = threadCpuSeconds() - consumerBefore;
    const double process = processCpuSeconds() - processBefore;
    const double captured = (VelmoraSim::EvkTesting::callCounts().captureImage - capturesBefore) / 4.0;
    camera.stop();
    camera.close();

    state.counters["delivered_fps"] = benchmark::Counter(double(delivered), benchmark::Counter::kIsRate);
    state.counters["captured_fps"] = benchmark::Counter(captured, benchmark::Counter::kIsRate);
    state.counters["capture_cpu_us_per_frame"] = captured > 0 ? (process - consumer) * 1e6 / captured : 0;
}

// The USB sensor's conversion of a frame's four 12-bit images: one block copy each.
void conversion(benchmark::State& state) {
    std::vector<uint8_t> image(kFrameBytes / 4, 0x5A), frame(kFrameBytes);
    for (auto _ : state) {
        for (int k = 0; k < 4; ++k) std::memcpy(frame.data() + k * image.size(), image.data(), image.size());
        benchmark::ClobberMemory();
    }
}

// The USB transport: readFrame of four sub-frames, the simulated module included.
void transport(benchmark::State& state) {
    ConfigFile config;
    VelmoraTOFUSBSensor sensor(4, config.path, 0);
    CameraInfo info{};
    if (config.path.empty() || sensor.open(info) != 0 || sensor.start() != 0) {
        state.SkipWithError("the USB sensor did not start");
        return;
    }
    std::vector<uint8_t> frame(kFrameBytes);
    uint64_t timestamp = 0;
    for (auto _ : state) {
        sensor.readFrame(frame.data(), &timestamp);
        benchmark::ClobberMemory();
    }
    sensor.stop();
    sensor.close();
}

// The HQVGA model on a frame from the virtual camera.
void depth(benchmark::State& state) {
    ConfigFile config;
    VelmoraTOFUSBSensor sensor(4, config.path, 0);
    CameraInfo info{};
    std::vector<uint8_t> frame(kFrameBytes);
    uint64_t timestamp = 0;
    if (config.path.empty() || sensor.open(info) != 0 || sensor.start() != 0 ||
        sensor.readFrame(frame.data(), &timestamp) != 0) {
        state.SkipWithError("no frame from the virtual camera");
        return;
    }
    sensor.stop();
    sensor.close();
    VelmoraDeviceHQVGA model(0);
    std::vector<float> planes(3 * 240 * 180);
    for (auto _ : state) {
        model.getPhaseImage(frame.data(), planes.data(), planes.data() + 240 * 180, planes.data() + 2 * 240 * 180);
        benchmark::ClobberMemory();
    }
}

// The VGA model writes its default configuration files into the working
// directory when it starts: a scratch one, for the time of a benchmark.
class ScratchWorkingDirectory {
public:
    ScratchWorkingDirectory() {
        char name[] = "/tmp/velmora-bench-cwd-XXXXXX";
        if (mkdtemp(name) && getcwd(previous, sizeof previous) && chdir(name) == 0) path = name;
    }
    ~ScratchWorkingDirectory() {
        if (path.empty()) return;
        for (const char* file : {"ConfigAlgorithm.json", "ConfigCamera.json", "register.json"})
            std::remove((path + "/" + file).c_str());
        if (chdir(previous) != 0) std::perror("chdir");
        rmdir(path.c_str());
    }
    ScratchWorkingDirectory(const ScratchWorkingDirectory&) = delete;
    ScratchWorkingDirectory& operator=(const ScratchWorkingDirectory&) = delete;
    std::string path;

private:
    char previous[4096] = {};
};

// A VGA camera streaming at 30 frames/s, default configuration, this thread
// taking every frame: the CPU time of the process less this thread's, per
// second of stream, as a share of one core. The simulated module renders its
// noiseless scene once and copies it per frame, about what a transport does.
void vgaCamera30(benchmark::State& state) {
    ScratchWorkingDirectory scratch;
    ConfigFile config("width=640\nheight=480\nfps=30\n");
    VelmoraTOFCamera camera;
    if (scratch.path.empty() || config.path.empty() ||
        camera.openWithFile(config.path.c_str(), 0) != VelmoraSuccess) {
        state.SkipWithError("the virtual VGA camera did not open");
        return;
    }
    if (camera.start(FrameType::DEPTH) != VelmoraSuccess) {
        state.SkipWithError("the virtual VGA camera did not start");
        camera.close();
        return;
    }
    for (int i = 0; i < 5; ++i) camera.releaseFrame(camera.requestFrame(-1));

    const auto wallBefore = std::chrono::steady_clock::now();
    const double processBefore = processCpuSeconds();
    const double consumerBefore = threadCpuSeconds();
    for (auto _ : state) {
        VelmoraFrameBuffer* frame = camera.requestFrame(-1);
        benchmark::DoNotOptimize(frame);
        camera.releaseFrame(frame);
    }
    const double consumer = threadCpuSeconds() - consumerBefore;
    const double process = processCpuSeconds() - processBefore;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    camera.stop();
    camera.close();
    state.counters["delivered_fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["cpu_share_of_core"] = wall > 0 ? (process - consumer) / wall : 0;
}

constexpr size_t kVgaFrameBytes = 640 * 5 * (480 + 1) * 2;

// The USB sensor's readFrame of one VGA frame at fps=0: the simulated module's
// capture and the sensor's copy of the frame.
void vgaReadFrame(benchmark::State& state) {
    ConfigFile config("width=640\nheight=480\nfps=0\n");
    VelmoraTOFUSBSensor sensor(1, config.path, 0);
    CameraInfo info{};
    if (config.path.empty() || sensor.open(info) != 0 || sensor.start() != 0) {
        state.SkipWithError("the USB sensor did not start");
        return;
    }
    std::vector<uint8_t> frame(kVgaFrameBytes);
    uint64_t timestamp = 0;
    for (auto _ : state) {
        if (sensor.readFrame(frame.data(), &timestamp) != 0) {
            state.SkipWithError("no VGA frame");
            break;
        }
        benchmark::ClobberMemory();
    }
    sensor.stop();
    sensor.close();
}

// The sensor's copy of a VGA frame.
void vgaCopy(benchmark::State& state) {
    std::vector<uint8_t> from(kVgaFrameBytes, 0x5A), to(kVgaFrameBytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(pipeline)->Name("pipeline/depth_fps0")->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(conversion)->Name("pipeline_part/conversion")->Unit(benchmark::kMicrosecond);
BENCHMARK(transport)->Name("pipeline_part/readframe")->Unit(benchmark::kMicrosecond);
BENCHMARK(depth)->Name("pipeline_part/depth")->Unit(benchmark::kMicrosecond);
// About five seconds of stream per repetition.
BENCHMARK(vgaCamera30)->Name("vga_camera/30fps")->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(150);
BENCHMARK(vgaReadFrame)->Name("vga_camera_part/readframe")->Unit(benchmark::kMicrosecond);
BENCHMARK(vgaCopy)->Name("vga_camera_part/copy")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace Velmora

BENCHMARK_MAIN();
