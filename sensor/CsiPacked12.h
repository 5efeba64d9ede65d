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

// Unpacks `lines` lines of `groupsPerLine` groups each, line l starting at
// source + l x stride, into one run of 4 x groupsPerLine x lines bytes. May read
// up to `readable` bytes of the source.
using UnpackLinesFunction = void (*)(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine,
                                     size_t lines, uint8_t* destination);

struct Variant {
    const char* name;
    UnpackFunction run;
    UnpackLinesFunction lines;
};

// Every variant this CPU can run, fastest first; the last is the scalar form.
const Variant* variants(size_t* count);
const Variant& best();

void unpackScalar(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);
void unpackSsse3(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);
void unpackAvx2(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);
void unpackAvx512(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);
void unpackNeon(const uint8_t* source, size_t readable, uint8_t* destination, size_t groups);

void unpackLinesScalar(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                       uint8_t* destination);
void unpackLinesSsse3(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                      uint8_t* destination);
void unpackLinesAvx2(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                     uint8_t* destination);
void unpackLinesAvx512(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                       uint8_t* destination);
void unpackLinesNeon(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                     uint8_t* destination);

// The line walk shared by the vector forms: whole steps of `Groups` groups
// (reading `Reads` bytes each) along a line, and one last step that ends with
// the line and overlaps the one before it, so no line needs a narrower tail.
// Lines too short for a step, or too close to the end of what is readable,
// go to `rest`.
template <size_t Groups, size_t Reads, class Step>
inline void unpackLinesBy(const uint8_t* source, size_t readable, size_t stride, size_t groupsPerLine, size_t lines,
                          uint8_t* destination, Step step, UnpackFunction rest) {
    for (size_t l = 0; l < lines; ++l) {
        const uint8_t* in = source + l * stride;
        uint8_t* out = destination + 4 * groupsPerLine * l;
        const size_t available = readable - l * stride;
        if (groupsPerLine < Groups || 3 * (groupsPerLine - Groups) + Reads > available) {
            rest(in, available, out, groupsPerLine);
            continue;
        }
        size_t g = 0;
        for (; g + Groups <= groupsPerLine; g += Groups) step(in + 3 * g, out + 4 * g);
        if (g < groupsPerLine) step(in + 3 * (groupsPerLine - Groups), out + 4 * (groupsPerLine - Groups));
    }
}

}  // namespace Packed12
}  // namespace Velmora
