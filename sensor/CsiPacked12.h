#pragma once
// Unpacking of packed 12-bit pixel pairs (b0, b1, b2) into two little-endian
// 16-bit samples, b0 << 4 | (b2 & 0xf) and b1 << 4 | b2 >> 4: a scalar form
// and vector forms picked at run time (x86-64: SSSE3, AVX2 or AVX-512 VBMI
// where the CPU has them; AArch64: NEON).

#include <cstddef>
#include <cstdint>

namespace Velmora {
namespace Packed12 {

// Unpacks `groups` groups of 3 bytes into 4 bytes each. May read up to
// `readable` bytes of the source (at least 3 x groups); writes exactly
// 4 x groups bytes. Source and destination need no alignment.
using UnpackFunction = void (*)(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);

struct Variant {
    const char* name;
    UnpackFunction run;
};

// Every variant this CPU can run, fastest first; the last is the scalar form.
const Variant* variants(size_t* count);
UnpackFunction best();

void unpackScalar(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);
void unpackSsse3(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);
void unpackAvx2(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);
void unpackAvx512(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);
void unpackNeon(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);

}  // namespace Packed12
}  // namespace Velmora
