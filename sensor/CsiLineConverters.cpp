#include "CsiLineConverters.h"

#include <algorithm>
#include <cstring>

namespace Velmora {

namespace {

size_t room(size_t destinationLength, size_t position) {
    return position < destinationLength ? destinationLength - position : 0;
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
    for (size_t line = 0; line < sourceLength; line += kPaddedLineStride) {
        size_t count = std::min({kPaddedLinePayload, sourceLength - line, room(destinationLength, position)});
        if (count == 0) break;
        std::memcpy(destination + position, source + line, count);
        position += count;
    }
    return position;
}

size_t convertSplitLines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                         size_t destinationLength, size_t position, uint32_t /*width*/) {
    // Only whole blocks are converted: the second segment of a block comes from its end.
    for (size_t block = 0; block + kSplitLineBlock <= sourceLength; block += kSplitLineBlock) {
        if (room(destinationLength, position) < kSplitLineBlock) break;
        const uint8_t* in = source + block;
        uint8_t* out = destination + position;
        std::memcpy(out, in, 448);
        std::memcpy(out + 448, in + 896, 32);
        std::memcpy(out + 480, in + 448, 480);
        position += kSplitLineBlock;
    }
    return position;
}

size_t convertPacked12Lines(const uint8_t* source, size_t sourceLength, uint8_t* destination,
                            size_t destinationLength, size_t position, uint32_t width) {
    const size_t padding = packed12Stride(width) - packed12DataBytes(width);
    const size_t limit = sourceLength > 8 ? sourceLength - 8 : 0;
    size_t group = 0;
    // Each group yields two samples (four bytes) and needs three source bytes.
    while (group < limit && group + 3 <= sourceLength && room(destinationLength, position) >= 4) {
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

}  // namespace Velmora
