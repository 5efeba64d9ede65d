// The sample kernels in 16-byte vectors: SSE2 on x86-64, NEON on AArch64,
// whatever the compiler makes of them elsewhere.

#define SAMPLE_VECTOR_BYTES 16
#define SAMPLE_KERNEL_SET kBase
#if defined(__x86_64__)
#define SAMPLE_KERNEL_NAME "sse2"
#elif defined(__aarch64__)
#define SAMPLE_KERNEL_NAME "neon"
#else
#define SAMPLE_KERNEL_NAME "generic"
#endif
#include "SampleKernelsVector.inl"

namespace Velmora {
namespace SampleKernels {

namespace {

struct SetTable {
    const Set* entries[3];
    size_t count = 0;
};

SetTable detectSets() {
    SetTable table;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw")) table.entries[table.count++] = &kAvx512;
    if (__builtin_cpu_supports("avx2")) table.entries[table.count++] = &kAvx2;
#endif
    table.entries[table.count++] = &kBase;
    return table;
}

}  // namespace

const Set* const* sets(size_t* count) {
    static const SetTable table = detectSets();
    if (count) *count = table.count;
    return table.entries;
}

const Set& best() { return *sets(nullptr)[0]; }

}  // namespace SampleKernels
}  // namespace Velmora
