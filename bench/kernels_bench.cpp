// Per-frame work of the driver, each optimised path next to its plain
// reference or next to a memcpy of the same output bytes, in one run.
// scripts/bench.sh turns the results into the table in the README.

#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CsiLineConverters.h"
#include "CsiPacked12.h"
#include "SampleKernels.h"
#include "HqvgaKernels.h"
#include "HqvgaReference.h"
#include "UsbSampleConversion.h"
#include "VelmoraDeviceHQVGA.h"
#include "VelmoraScene.h"

namespace Velmora {
namespace {

constexpr int kPixels = HqvgaKernels::kPixels;
constexpr size_t kRawBytes = 4 * kPixels * 2;

// One simulated HQVGA frame of the demo scene, as the USB transport hands it on.
std::vector<uint8_t> simulatedFrame(double hz) {
    VelmoraSim::SceneSettings settings;
    settings.noise = 2.0;
    VelmoraSim::Scene scene(settings, HqvgaKernels::kWidth, HqvgaKernels::kHeight);
    std::vector<uint16_t> words(4 * static_cast<size_t>(kPixels));
    VelmoraSim::renderHqvgaSubframes(scene, hz, 1, words.data());
    std::vector<uint8_t> raw(kRawBytes);
    std::memcpy(raw.data(), words.data(), raw.size());
    return raw;
}

struct DepthPlanes {
    std::vector<float> depth = std::vector<float>(kPixels);
    std::vector<float> amplitude = std::vector<float>(kPixels);
    std::vector<float> confidence = std::vector<float>(kPixels);
};

// Random words: every angle equally likely from pixel to pixel, which costs
// the scalar form's branches more than a scene does.
std::vector<uint8_t> randomFrame() {
    std::vector<uint8_t> raw(kRawBytes);
    uint32_t state = 12345;
    for (uint8_t& b : raw) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(state >> 24);
    }
    return raw;
}

void depthReference(benchmark::State& state, const std::vector<uint8_t>& raw) {
    DepthPlanes out;
    for (auto _ : state) {
        HqvgaReference::depthFrame(raw.data(), 4000, 37.5e6f, 0, out.depth.data(), out.amplitude.data(),
                                   out.confidence.data());
        benchmark::ClobberMemory();
    }
}

// What the capture thread calls: the model with the variant it picked.
void depthModel(benchmark::State& state, const std::vector<uint8_t>& raw) {
    DepthPlanes out;
    VelmoraDeviceHQVGA model(0);
    for (auto _ : state) {
        model.getPhaseImage(raw.data(), out.depth.data(), out.amplitude.data(), out.confidence.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(HqvgaKernels::depthVariants(nullptr)[0].name);
}

// The floor of any depth computation: the raw frame read once and the three
// planes written once, with next to no arithmetic between.
void depthMemoryFloor(benchmark::State& state, const std::vector<uint8_t>& raw) {
    DepthPlanes out;
    std::vector<uint16_t> words(raw.size() / 2);
    std::memcpy(words.data(), raw.data(), raw.size());
    const uint16_t* planes[4];
    for (int k = 0; k < 4; ++k) planes[k] = words.data() + static_cast<size_t>(k) * kPixels;
    for (auto _ : state) {
        for (int i = 0; i < kPixels; ++i) {
            const int32_t x = planes[0][i] - planes[1][i];
            const int32_t y = planes[2][i] - planes[3][i];
            out.depth[i] = static_cast<float>(x);
            out.amplitude[i] = static_cast<float>(y);
            out.confidence[i] = static_cast<float>(x + y);
        }
        benchmark::ClobberMemory();
    }
}

void depthVariant(benchmark::State& state, HqvgaKernels::DepthFunction run) {
    const std::vector<uint8_t> raw = simulatedFrame(37.5e6);
    DepthPlanes out;
    const float perRadian = 3.0e8f / (12.566371f * 37.5e6f);
    for (auto _ : state) {
        run(raw.data(), false, perRadian, 0, out.depth.data(), out.amplitude.data(), out.confidence.data());
        benchmark::ClobberMemory();
    }
}

void rawReference(benchmark::State& state) {
    const std::vector<uint8_t> raw = simulatedFrame(37.5e6);
    std::vector<int16_t> out(4 * kPixels);
    for (auto _ : state) {
        HqvgaReference::rawFrame(raw.data(), 0, out.data());
        benchmark::ClobberMemory();
    }
}

void rawModel(benchmark::State& state) {
    const std::vector<uint8_t> raw = simulatedFrame(37.5e6);
    std::vector<int16_t> out(4 * kPixels);
    VelmoraDeviceHQVGA model(0);
    for (auto _ : state) {
        model.getRawImages(raw.data(), out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size() * 2));
}

// A copy of `bytes` between two buffers: the floor of every conversion.
void copyBytes(benchmark::State& state, size_t bytes) {
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// The USB transport's conversions over one HQVGA frame (four 240 x 180 images).
constexpr size_t kUsbSamples = 4 * static_cast<size_t>(kPixels);

void usbWiden(benchmark::State& state) {
    std::vector<uint8_t> from(kUsbSamples, 0x9C), to(2 * kUsbSamples);
    for (auto _ : state) {
        UsbSamples::widenBytes(from.data(), to.data(), kUsbSamples);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(to.size()));
}

void usbShiftRight(benchmark::State& state) {
    std::vector<uint8_t> from(2 * kUsbSamples, 0x9C), to(2 * kUsbSamples);
    for (auto _ : state) {
        UsbSamples::shiftWordsRight(from.data(), to.data(), kUsbSamples, 2);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(to.size()));
}

void usbShiftLeft(benchmark::State& state) {
    std::vector<uint8_t> from(2 * kUsbSamples, 0x9C), to(2 * kUsbSamples);
    for (auto _ : state) {
        UsbSamples::shiftWordsLeft(from.data(), to.data(), kUsbSamples, 2);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(to.size()));
}

// The CSI line converters over one 240 x 180 sub-frame (86400 output bytes).
constexpr size_t kCsiOutput = 2 * static_cast<size_t>(kPixels);

void csiConverter(benchmark::State& state, LineConverter convert, size_t sourceLength) {
    std::vector<uint8_t> from(sourceLength);
    for (size_t i = 0; i < from.size(); ++i) from[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> to(kCsiOutput + 64);
    size_t written = 0;
    for (auto _ : state) {
        written = convert(from.data(), from.size(), to.data(), to.size(), 0, HqvgaKernels::kWidth);
        benchmark::ClobberMemory();
    }
    if (written != kCsiOutput) state.SkipWithError("the converter did not produce one sub-frame");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(written));
    if (convert == LineConverter(convertPacked12Lines)) state.SetLabel(Packed12::best().name);
}

// One unpacking variant over the lines of one sub-frame: 180 lines of 120
// groups in 368-byte strides.
void unpackLinesVariant(benchmark::State& state, Packed12::UnpackLinesFunction lines) {
    const size_t stride = packed12Stride(HqvgaKernels::kWidth);
    std::vector<uint8_t> from(stride * HqvgaKernels::kHeight, 0x5A), to(kCsiOutput);
    for (auto _ : state) {
        lines(from.data(), from.size(), stride, HqvgaKernels::kWidth / 2, HqvgaKernels::kHeight, to.data());
        benchmark::ClobberMemory();
    }
}

// One unpacking variant over the groups of one sub-frame, without the line walk.
void unpackVariant(benchmark::State& state, Packed12::UnpackFunction unpack) {
    const size_t groups = static_cast<size_t>(kPixels) / 2;
    std::vector<uint8_t> from(3 * groups, 0x5A), to(4 * groups);
    for (auto _ : state) {
        unpack(from.data(), from.size(), to.data(), groups);
        benchmark::ClobberMemory();
    }
}

void interleaveSet(benchmark::State& state, const SampleKernels::Set* set) {
    const std::vector<uint8_t> raw = simulatedFrame(37.5e6);
    std::vector<int16_t> out(4 * kPixels);
    for (auto _ : state) {
        set->interleaveHqvga(raw.data(), 0, out.data());
        benchmark::ClobberMemory();
    }
}

void registerAll() {
    static const std::vector<uint8_t> scene = simulatedFrame(37.5e6);
    static const std::vector<uint8_t> random = randomFrame();
    benchmark::RegisterBenchmark("hqvga_depth/reference", depthReference, std::cref(scene));
    benchmark::RegisterBenchmark("hqvga_depth/model", depthModel, std::cref(scene));
    benchmark::RegisterBenchmark("hqvga_depth_random/reference", depthReference, std::cref(random));
    benchmark::RegisterBenchmark("hqvga_depth_random/model", depthModel, std::cref(random));
    benchmark::RegisterBenchmark("hqvga_depth/memory_floor", depthMemoryFloor, std::cref(scene));
    size_t count = 0;
    const HqvgaKernels::DepthVariant* variants = HqvgaKernels::depthVariants(&count);
    for (size_t i = 0; i < count; ++i)
        benchmark::RegisterBenchmark((std::string("hqvga_depth/") + variants[i].name).c_str(), depthVariant,
                                     variants[i].run);

    benchmark::RegisterBenchmark("hqvga_raw/reference", rawReference);
    benchmark::RegisterBenchmark("hqvga_raw/model", rawModel);
    benchmark::RegisterBenchmark("hqvga_raw/memcpy", copyBytes, size_t(4 * kPixels * 2));

    benchmark::RegisterBenchmark("usb_8bit/vector", usbWiden);
    benchmark::RegisterBenchmark("usb_14bit/vector", usbShiftRight);
    benchmark::RegisterBenchmark("usb_10bit/vector", usbShiftLeft);
    benchmark::RegisterBenchmark("usb/memcpy", copyBytes, 2 * kUsbSamples);

    // Source layouts of one sub-frame: 512-byte lines of 480, 960-byte blocks,
    // packed pairs in 368-byte strides (the last line keeps the 8 bytes the walk never enters).
    benchmark::RegisterBenchmark("csi_padded/vector", csiConverter, LineConverter(convertPaddedLines),
                                 kPaddedLineBufferLength);
    benchmark::RegisterBenchmark("csi_split/vector", csiConverter, LineConverter(convertSplitLines), kCsiOutput);
    benchmark::RegisterBenchmark("csi_packed12/vector", csiConverter, LineConverter(convertPacked12Lines),
                                 packed12Stride(HqvgaKernels::kWidth) * HqvgaKernels::kHeight);
    benchmark::RegisterBenchmark("csi_packed12/scalar", csiConverter, LineConverter(convertPacked12LinesScalar),
                                 packed12Stride(HqvgaKernels::kWidth) * HqvgaKernels::kHeight);
    benchmark::RegisterBenchmark("csi/memcpy", copyBytes, kCsiOutput);

    // The forms behind the dispatch, for the record.
    size_t unpackCount = 0;
    const Packed12::Variant* unpackers = Packed12::variants(&unpackCount);
    for (size_t i = 0; i < unpackCount; ++i)
        benchmark::RegisterBenchmark((std::string("packed12_unpack/") + unpackers[i].name).c_str(), unpackVariant,
                                     unpackers[i].run);
    for (size_t i = 0; i < unpackCount; ++i)
        benchmark::RegisterBenchmark((std::string("packed12_lines/") + unpackers[i].name).c_str(),
                                     unpackLinesVariant, unpackers[i].lines);
    size_t setCount = 0;
    const SampleKernels::Set* const* sets = SampleKernels::sets(&setCount);
    for (size_t i = 0; i < setCount; ++i)
        benchmark::RegisterBenchmark((std::string("hqvga_raw_form/") + sets[i]->name).c_str(), interleaveSet, sets[i]);
}

}  // namespace
}  // namespace Velmora

int main(int argc, char** argv) {
    Velmora::registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
