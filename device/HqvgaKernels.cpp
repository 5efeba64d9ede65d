#include "HqvgaKernels.h"

#include <cmath>

#include "SampleKernels.h"

namespace Velmora {
namespace HqvgaKernels {

namespace {

struct VariantTable {
    DepthVariant entries[5];
    size_t count = 0;
    void add(const char* name, DepthFunction run) { entries[count++] = DepthVariant{name, run}; }
};

VariantTable detectVariants() {
    VariantTable table;
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma");
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") && fma) table.add("avx512", depthAvx512);
    if (__builtin_cpu_supports("avx2") && fma) table.add("avx2", depthAvx2);
    table.add("sse2", depthSse2);
#elif defined(__aarch64__)
    table.add("neon", depthNeon);
#endif
    table.add("scalar", depthScalar);
    return table;
}

}  // namespace

const DepthVariant* depthVariants(size_t* count) {
    static const VariantTable table = detectVariants();
    if (count) *count = table.count;
    return table.entries;
}

DepthFunction bestDepth() { return depthVariants(nullptr)[0].run; }

int decodeSample(const uint8_t* word, uint8_t sampleShift) {
    const uint32_t u = static_cast<uint32_t>(word[0] | (word[1] << 8)) >> sampleShift;
    const int t = static_cast<int>(u & 0x7FF);
    return 16 * (t >= 1024 ? t - 2048 : t);
}

void depthScalar(const uint8_t* raw, bool nearOrder, float metresPerRadian, uint8_t sampleShift, float* depth,
                 float* amplitude, float* confidence) {
    const uint8_t* plane0 = raw;
    const uint8_t* plane1 = raw + 2 * static_cast<size_t>(kPixels);
    const uint8_t* plane2 = raw + 4 * static_cast<size_t>(kPixels);
    const uint8_t* plane3 = raw + 6 * static_cast<size_t>(kPixels);
    for (int i = 0; i < kPixels; ++i) {
        const int p0 = decodeSample(plane0 + 2 * i, sampleShift);
        const int p1 = decodeSample(plane1 + 2 * i, sampleShift);
        const int p2 = decodeSample(plane2 + 2 * i, sampleShift);
        const int p3 = decodeSample(plane3 + 2 * i, sampleShift);
        const int y = nearOrder ? p1 - p3 : p2 - p0;
        const int x = nearOrder ? p2 - p0 : p3 - p1;
        float theta = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        if (theta < 0) theta += 6.2831855f;
        depth[i] = (theta * metresPerRadian) * 1000.0f;
        const double xx = x, yy = y;
        const float amp = static_cast<float>(0.5 * std::sqrt(xx * xx + yy * yy));
        amplitude[i] = amp;
        confidence[i] = amp;
        if (isClipped(p0) || isClipped(p1) || isClipped(p2) || isClipped(p3)) depth[i] = confidence[i] = 0.0f;
    }
}

void rawFrameScalar(const uint8_t* raw, uint8_t sampleShift, int16_t* out) {
    for (int r = 0; r < kHeight; ++r) {
        for (int k = 0; k < 4; ++k) {
            const uint8_t* in = raw + 2 * (static_cast<size_t>(k) * kPixels + static_cast<size_t>(r) * kWidth);
            int16_t* line = out + static_cast<size_t>(4 * r + k) * kWidth;
            for (int c = 0; c < kWidth; ++c) line[c] = static_cast<int16_t>(decodeSample(in + 2 * c, sampleShift));
        }
    }
}

void rawFrame(const uint8_t* raw, uint8_t sampleShift, int16_t* out) {
    SampleKernels::best().interleaveHqvga(raw, sampleShift, out);
}

}  // namespace HqvgaKernels
}  // namespace Velmora
