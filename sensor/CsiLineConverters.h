#pragma once
// Turn one captured CSI buffer into 16-bit samples appended to a frame.
// Every converter takes explicit lengths: it reads at most `sourceLength`
// bytes, writes inside [0, destinationLength) of the destination only, and
// returns the new write position in destination bytes. A buffer that does not
// fit any more is cut, never written past the end.

#include <cstddef>
#include <cstdint>

namespace Velmora {

using LineConverter = size_t (*)(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                                 size_t destinationLength, size_t position, uint32_t width);

// Copies the buffer as delivered.
size_t convertPlainLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                         size_t destinationLength, size_t position, uint32_t width);

// Lines of 512 bytes of which the first 480 carry samples (92160-byte buffers).
size_t convertPaddedLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                          size_t destinationLength, size_t position, uint32_t width);

// 960-byte blocks: bytes 0-447, then 896-927, then 448-927; 928-959 are dropped.
size_t convertSplitLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                         size_t destinationLength, size_t position, uint32_t width);

// Packed 12-bit pairs (b0, b1, b2) -> b0<<4 | b2&0xf, b1<<4 | b2>>4, with each
// line's stride padded to 16 bytes. The stride padding is skipped whenever the
// samples written so far (position / 2) make up whole lines of `width`.
size_t convertPacked12Lines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                            size_t destinationLength, size_t position, uint32_t width);
// The same walk group by group, without vectors: the reference the converter
// above is tested and measured against.
size_t convertPacked12LinesScalar(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                                  size_t destinationLength, size_t position, uint32_t width);

// Lines of `width` 16-bit samples starting `stride` bytes apart; each buffer starts with a line.
size_t convertStridedLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                           size_t destinationLength, size_t position, uint32_t width, size_t stride);
// Packed 12-bit lines starting `stride` bytes apart (at least the line's data bytes).
size_t convertPacked12Strided(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                              size_t destinationLength, size_t position, uint32_t width, size_t stride);

// How the kernel lays out lines of 12-bit samples, read back from the format it set.
struct LineLayout {
    bool packed = false;  // two samples in three bytes, or one in two
    size_t stride = 0;    // bytes from one line to the next
};
// The layout of `pixelFormat` lines of `width` samples, `bytesPerLine` apart; `compact`: the
// receiver reports packed output of a 12-bit format. False for a layout no converter decodes.
bool lineLayoutFor(uint32_t pixelFormat, uint32_t width, uint32_t bytesPerLine, bool compact, LineLayout& layout);

constexpr size_t kPaddedLineBufferLength = 92160;
constexpr size_t kPaddedLineStride = 512;
constexpr size_t kPaddedLinePayload = 480;
constexpr size_t kSplitLineBlock = 960;

// Bytes per line of a packed 12-bit image: data bytes and the 16-byte aligned stride.
inline size_t packed12DataBytes(uint32_t width) { return static_cast<size_t>(width) * 3 / 2; }
inline size_t packed12Stride(uint32_t width) { return (packed12DataBytes(width) + 15) / 16 * 16; }

}  // namespace Velmora
