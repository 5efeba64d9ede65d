#include "CsiPacked12.h"

namespace Velmora {
namespace Packed12 {

namespace {

struct VariantTable {
    Variant entries[5];
    size_t count = 0;
    void add(const char* name, UnpackFunction run, UnpackLinesFunction lines) {
        entries[count++] = Variant{name, run, lines};
    }
};

VariantTable detectVariants() {
    VariantTable table;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw"))
        table.add("avx512vbmi", unpackAvx512, unpackLinesAvx512);
    if (__builtin_cpu_supports("avx2")) table.add("avx2", unpackAvx2, unpackLinesAvx2);
    if (__builtin_cpu_supports("ssse3")) table.add("ssse3", unpackSsse3, unpackLinesSsse3);
#elif defined(__aarch64__)
    table.add("neon", unpackNeon, unpackLinesNeon);
#endif
    table.add("scalar", unpackScalar, unpackLinesScalar);
    return table;
}

}  // namespace

const Variant* variants(size_t* count) {
    static const VariantTable table = detectVariants();
    if (count) *count = table.count;
    return table.entries;
}

const Variant& best() { return variants(nullptr)[0]; }

void unpackScalar(const uint8_t* source, size_t /*readable*/, uint8_t* destination, size_t groups) {
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t b0 = source[3 * g];
        const uint8_t b1 = source[3 * g + 1];
        const uint8_t b2 = source[3 * g + 2];
        uint8_t* out = destination + 4 * g;
        out[0] = static_cast<uint8_t>(b0 << 4 | (b2 & 0x0f));
        out[1] = static_cast<uint8_t>(b0 >> 4);
        out[2] = static_cast<uint8_t>(b1 << 4 | b2 >> 4);
        out[3] = static_cast<uint8_t>(b1 >> 4);
    }
}

void unpackLinesScalar(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                       uint8_t* destination) {
    for (size_t l = 0; l < lines; ++l)
        unpackScalar(source + l * stride, readable - l * stride, destination + 4 * groupsPerLine * l, groupsPerLine);
}

}  // namespace Packed12
}  // namespace Velmora
