#include "CsiLineConverters.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "CsiDefinitions.h"
#include "CsiPacked12.h"
#include "SampleKernels.h"

namespace Velmora {

namespace {

size_t room(size_t destinationLength, size_t position) {
    return position < destinationLength ? destinationLength - position : 0;
}

// Groups (two samples each) after which the sample count is next a whole
// number of lines, when the padding is skipped; SIZE_MAX when it never is.
size_t groupsToLineEnd(size_t samples, uint32_t width, size_t padding) {
    if (padding == 0 || width == 0) return SIZE_MAX;
    const size_t r = samples % width;
    const size_t missing = (width - r) % width;  // samples up to the next line end
    if (width % 2 == 0) {
        if (missing % 2 != 0) return SIZE_MAX;  // pairs never land on it
        const size_t t = missing / 2;
        return t == 0 ? width / 2 : t;
    }
    // Odd width: 2 t = missing (mod width), and (width + 1) / 2 is the inverse of 2.
    const size_t t = missing * ((width + 1) / 2) % width;
    return t == 0 ? width : t;
}

}  // namespace

size_t convertPlainLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                         size_t destinationLength, size_t position, uint32_t /*width*/) {
    size_t count = std::min(sourceLength, room(destinationLength, position));
    if (count > 0) std::memcpy(destination + position, source, count);
    return position + count;
}

size_t convertPaddedLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                          size_t destinationLength, size_t position, uint32_t /*width*/) {
    // Inline vector copies: a library call per 480-byte line costs more than the copy.
    static const auto copy = SampleKernels::best().copyBytes;
    for (size_t line = 0; line < sourceLength; line += kPaddedLineStride) {
        size_t count = std::min({kPaddedLinePayload, sourceLength - line, room(destinationLength, position)});
        if (count == 0) break;
        copy(source + line, destination + position, count);
        position += count;
    }
    return position;
}

size_t convertSplitLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                         size_t destinationLength, size_t position, uint32_t /*width*/) {
    static const auto copy = SampleKernels::best().copyBytes;
    // Only whole blocks are converted: the second segment of a block comes from its end.
    for (size_t block = 0; block + kSplitLineBlock <= sourceLength; block += kSplitLineBlock) {
        if (room(destinationLength, position) < kSplitLineBlock) break;
        const uint8_t* in = source + block;
        uint8_t* out = destination + position;
        copy(in, out, 448);
        copy(in + 896, out + 448, 32);
        copy(in + 448, out + 480, 480);
        position += kSplitLineBlock;
    }
    return position;
}

size_t convertStridedLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                           size_t destinationLength, size_t position, uint32_t width, size_t stride) {
    static const auto copy = SampleKernels::best().copyBytes;
    const size_t payload = std::min(size_t{2} * width, stride);
    for (size_t line = 0; stride > 0 && line < sourceLength; line += stride) {
        const size_t count = std::min({payload, sourceLength - line, room(destinationLength, position)});
        if (count == 0) break;
        copy(source + line, destination + position, count);
        position += count;
    }
    return position;
}

size_t convertPacked12Lines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                            size_t destinationLength, size_t position, uint32_t width) {
    return convertPacked12Strided(source, sourceLength, destination, destinationLength, position, width,
                                  packed12Stride(width));
}

size_t convertPacked12Strided(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                              size_t destinationLength, size_t position, uint32_t width, size_t stride) {
    static const Packed12::Variant& unpack = Packed12::best();
    const size_t dataBytes = packed12DataBytes(width);
    stride = std::max(stride, dataBytes);
    const size_t padding = stride - dataBytes;
    size_t group = 0;
    // Every whole group of the buffer is converted: runs of groups up to the
    // next skip of line padding, each unpacked in one call, and from a line
    // start every whole line the walk would finish in a single call; the runs
    // end exactly where the group-by-group walk would stop.
    size_t toBoundary = groupsToLineEnd(position / 2, width, padding);
    const size_t period = width % 2 == 0 ? width / 2 : width;  // groups from one line end to the next
    while (group + 3 <= sourceLength && room(destinationLength, position) >= 4) {
        if (toBoundary == period && width % 2 == 0) {
            // Line l is finished when its last group lies whole in the buffer and its samples fit.
            const size_t lastEnd = group + dataBytes;
            const size_t byLength = lastEnd <= sourceLength ? (sourceLength - lastEnd) / stride + 1 : 0;
            const size_t lines = std::min(byLength, room(destinationLength, position) / (4 * period));
            if (lines > 0) {
                unpack.lines(source + group, sourceLength - group, stride, period, lines, destination + position);
                position += 4 * period * lines;
                group += stride * lines;
                continue;
            }
        }
        const size_t run =
            std::min({toBoundary, (sourceLength - group) / 3, room(destinationLength, position) / 4});
        unpack.run(source + group, sourceLength - group, destination + position, run);
        position += 4 * run;
        group += 3 * run;
        if (run == toBoundary) {
            group += padding;
            toBoundary = period;
        } else if (toBoundary != SIZE_MAX) {
            toBoundary -= run;
        }
    }
    return position;
}

// The plain group-by-group walk: the reference of the converter above.
size_t convertPacked12LinesScalar(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                                  size_t destinationLength, size_t position, uint32_t width) {
    const size_t padding = packed12Stride(width) - packed12DataBytes(width);
    size_t group = 0;
    // Each whole group yields two samples (four bytes) and needs three source bytes.
    while (group + 3 <= sourceLength && room(destinationLength, position) >= 4) {
        const uint8_t b0 = source[group];
        const uint8_t b1 = source[group + 1];
        const uint8_t b2 = source[group + 2];
        const uint16_t first = static_cast<uint16_t>(b0 << 4 | (b2 & 0x0f));
        const uint16_t second = static_cast<uint16_t>(b1 << 4 | (b2 >> 4));
        // Little-endian words, independent of the destination's alignment.
        uint8_t* out = destination + position;
        out[0] = static_cast<uint8_t>(first & 0xff);
        out[1] = static_cast<uint8_t>(first >> 8);
        out[2] = static_cast<uint8_t>(second & 0xff);
        out[3] = static_cast<uint8_t>(second >> 8);
        position += 4;
        group += 3;
        if (padding != 0 && width != 0 && (position / 2) % width == 0) group += padding;
    }
    return position;
}

bool lineLayoutFor(uint32_t pixelFormat, uint32_t width, uint32_t bytesPerLine, bool compact, LineLayout& layout) {
    const size_t plainBytes = size_t{2} * width;
    const size_t packedBytes = packed12DataBytes(width);
    if (width == 0 || width % 2 != 0) return false;
    if (pixelFormat == csi::kPixelFormatY12P || (pixelFormat == csi::kPixelFormatY12 && (compact || bytesPerLine < plainBytes))) {
        if (bytesPerLine < packedBytes) return false;
        layout = {true, bytesPerLine};
        return true;
    }
    if (pixelFormat != csi::kPixelFormatY12) return false;
    layout = {false, bytesPerLine};
    return true;
}

}  // namespace Velmora
