#pragma once
// Bulk sample work of the transports and of the HQVGA raw output: widening,
// shifting, copying and the HQVGA plane interleave. One source in the
// compiler's generic vector types, built for the x86-64 baseline (SSE2) or
// AArch64 (NEON), and on x86-64 also for AVX2 and AVX-512BW; the widest form
// the CPU runs is picked at run time. Source and destination need no
// alignment and must not overlap.

#include <cstddef>
#include <cstdint>

namespace Velmora {
namespace SampleKernels {

struct Set {
    const char* name;
    // 8-bit samples widened to 16 bits and shifted left by 4.
    void (*widenBytes)(const uint8_t* source, uint8_t* destination, size_t samples);
    // 16-bit little-endian samples shifted right or left by 0 to 15 bits.
    void (*shiftWordsRight)(const uint8_t* source, uint8_t* destination, size_t samples, unsigned shift);
    void (*shiftWordsLeft)(const uint8_t* source, uint8_t* destination, size_t samples, unsigned shift);
    // A plain copy, inline: for the short line segments of the CSI layouts,
    // where a library call per segment costs more than the copy.
    void (*copyBytes)(const uint8_t* source, uint8_t* destination, size_t bytes);
    // The four HQVGA phase planes (240 x 180 words each) decoded to 16 x the
    // 11-bit two's complement of (word >> shift), interleaved line by line.
    void (*interleaveHqvga)(const uint8_t* raw, unsigned shift, int16_t* out);
};

// Every set this CPU runs, widest first; the last is the baseline build.
const Set* const* sets(size_t* count);
const Set& best();

// The builds (SampleKernelsBase.cpp, SampleKernelsAvx2.cpp, SampleKernelsAvx512.cpp).
extern const Set kBase;
extern const Set kAvx2;
extern const Set kAvx512;

}  // namespace SampleKernels
}  // namespace Velmora
