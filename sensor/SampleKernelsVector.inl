// The sample kernels in generic vector types of SAMPLE_VECTOR_BYTES bytes;
// the including source defines that width and SAMPLE_KERNEL_SET, the name of
// the Set it exports.

#include <cstring>

#include "SampleKernels.h"

namespace {

constexpr size_t kBytes = SAMPLE_VECTOR_BYTES;
constexpr size_t kWords = kBytes / 2;

typedef uint8_t Bytes __attribute__((vector_size(kBytes)));
typedef uint8_t BytesHalf __attribute__((vector_size(kBytes / 2)));
typedef uint16_t Words __attribute__((vector_size(kBytes)));
typedef int16_t Samples __attribute__((vector_size(kBytes)));
// 16-byte forms for what is left of a line after the wide vectors.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef uint8_t Bytes8 __attribute__((vector_size(8)));
typedef uint16_t Words16 __attribute__((vector_size(16)));
typedef int16_t Samples16 __attribute__((vector_size(16)));

template <class V>
inline V load(const uint8_t* from) {
    V v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

template <class V>
inline void store(uint8_t* to, const V& v) {
    std::memcpy(to, &v, sizeof v);
}

inline uint16_t loadWord(const uint8_t* at) {
    uint16_t w;
    std::memcpy(&w, at, sizeof w);
    return w;
}

inline void storeWord(uint8_t* at, uint16_t w) { std::memcpy(at, &w, sizeof w); }

void widenBytes(const uint8_t* source, uint8_t* destination, size_t samples) {
    size_t j = 0;
    for (; j + kWords <= samples; j += kWords)
        store(destination + 2 * j, __builtin_convertvector(load<BytesHalf>(source + j), Words) << 4);
    for (; j + 8 <= samples; j += 8)
        store(destination + 2 * j, __builtin_convertvector(load<Bytes8>(source + j), Words16) << 4);
    for (; j < samples; ++j) storeWord(destination + 2 * j, static_cast<uint16_t>(source[j] << 4));
}

void shiftWordsRight(const uint8_t* source, uint8_t* destination, size_t samples, unsigned shift) {
    const int s = static_cast<int>(shift & 15);
    size_t j = 0;
    for (; j + kWords <= samples; j += kWords) store(destination + 2 * j, load<Words>(source + 2 * j) >> s);
    for (; j + 8 <= samples; j += 8) store(destination + 2 * j, load<Words16>(source + 2 * j) >> s);
    for (; j < samples; ++j) storeWord(destination + 2 * j, static_cast<uint16_t>(loadWord(source + 2 * j) >> s));
}

void shiftWordsLeft(const uint8_t* source, uint8_t* destination, size_t samples, unsigned shift) {
    const int s = static_cast<int>(shift & 15);
    size_t j = 0;
    for (; j + kWords <= samples; j += kWords) store(destination + 2 * j, load<Words>(source + 2 * j) << s);
    for (; j + 8 <= samples; j += 8) store(destination + 2 * j, load<Words16>(source + 2 * j) << s);
    for (; j < samples; ++j) storeWord(destination + 2 * j, static_cast<uint16_t>(loadWord(source + 2 * j) << s));
}

void copyBytes(const uint8_t* source, uint8_t* destination, size_t bytes) {
    size_t i = 0;
    for (; i + kBytes <= bytes; i += kBytes) store(destination + i, load<Bytes>(source + i));
    for (; i + 16 <= bytes; i += 16) store(destination + i, load<Bytes16>(source + i));
    for (; i < bytes; ++i) destination[i] = source[i];
}

void interleaveHqvga(const uint8_t* raw, unsigned shift, int16_t* out) {
    constexpr size_t kWidth = 240;
    constexpr size_t kHeight = 180;
    constexpr size_t kPlane = kWidth * kHeight;
    const int s = static_cast<int>(shift & 15);
    for (size_t r = 0; r < kHeight; ++r) {
        for (size_t k = 0; k < 4; ++k) {
            const uint8_t* in = raw + 2 * (k * kPlane + r * kWidth);
            uint8_t* line = reinterpret_cast<uint8_t*>(out + (4 * r + k) * kWidth);
            size_t c = 0;
            // Bit 10 of the shifted word lands on the sign bit; the arithmetic
            // shift back by one leaves 16 x the 11-bit value.
            for (; c + kWords <= kWidth; c += kWords)
                store(line + 2 * c, (Samples)((load<Words>(in + 2 * c) >> s) << 5) >> 1);
            for (; c + 8 <= kWidth; c += 8)
                store(line + 2 * c, (Samples16)((load<Words16>(in + 2 * c) >> s) << 5) >> 1);
            for (; c < kWidth; ++c) {
                const uint16_t w = static_cast<uint16_t>((loadWord(in + 2 * c) >> s) << 5);
                storeWord(line + 2 * c, static_cast<uint16_t>(static_cast<int16_t>(w) >> 1));
            }
        }
    }
}

}  // namespace

namespace Velmora {
namespace SampleKernels {

const Set SAMPLE_KERNEL_SET = {SAMPLE_KERNEL_NAME, widenBytes, shiftWordsRight, shiftWordsLeft, copyBytes,
                               interleaveHqvga};

}  // namespace SampleKernels
}  // namespace Velmora
