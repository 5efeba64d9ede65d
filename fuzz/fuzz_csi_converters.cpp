// The four CSI line converters with arbitrary buffer contents and lengths,
// widths, write positions and destination sizes. Each reads only its source,
// writes only inside the destination after the position, and what it writes
// is the beginning of what the layout rule gives for a destination without
// limit; with room enough, all of it.
//
// Input: converter choice, width, destination size and position, then the
// source bytes. Source and destination are exact-size heap blocks, so a read
// or write past either is a sanitizer report.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "CsiLineConverters.h"
#include "FuzzCheck.h"

using namespace Velmora;

namespace {

// The layout rules, into a destination without limit (appended at `out`'s end).
void plainRule(const std::vector<uint8_t>& src, uint32_t, std::vector<uint8_t>& out) {
    out.insert(out.end(), src.begin(), src.end());
}

void paddedRule(const std::vector<uint8_t>& src, uint32_t, std::vector<uint8_t>& out) {
    for (size_t line = 0; line < src.size(); line += 512)
        out.insert(out.end(), src.begin() + line, src.begin() + line + std::min<size_t>(480, src.size() - line));
}

void splitRule(const std::vector<uint8_t>& src, uint32_t, std::vector<uint8_t>& out) {
    // Whole 960-byte blocks only: the second segment of a block comes from its end.
    for (size_t block = 0; block + 960 <= src.size(); block += 960) {
        const uint8_t* in = src.data() + block;
        out.insert(out.end(), in, in + 448);
        out.insert(out.end(), in + 896, in + 928);
        out.insert(out.end(), in + 448, in + 928);
    }
}

// Each whole group of three bytes gives two 12-bit samples; after a group that completes a line of `width` samples
// (counted over the whole destination), the stride padding is skipped.
void packedRule(const std::vector<uint8_t>& src, uint32_t width, std::vector<uint8_t>& out) {
    const size_t data = static_cast<size_t>(width) * 3 / 2;
    const size_t padding = (data + 15) / 16 * 16 - data;
    for (size_t g = 0; g + 3 <= src.size(); g += 3) {
        const uint16_t first = static_cast<uint16_t>(src[g] << 4 | (src[g + 2] & 0x0f));
        const uint16_t second = static_cast<uint16_t>(src[g + 1] << 4 | src[g + 2] >> 4);
        const uint8_t bytes[4] = {static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8),
                                  static_cast<uint8_t>(second), static_cast<uint8_t>(second >> 8)};
        out.insert(out.end(), bytes, bytes + 4);
        if (padding != 0 && width != 0 && (out.size() / 2) % width == 0) g += padding;
    }
}

struct Converter {
    LineConverter run;
    void (*rule)(const std::vector<uint8_t>&, uint32_t, std::vector<uint8_t>&);
    // Packed samples count lines from the start of the destination, so the rule runs from there.
    bool positionMatters;
};

const Converter kConverters[] = {
    {convertPlainLines, plainRule, false},
    {convertPaddedLines, paddedRule, false},
    {convertSplitLines, splitRule, false},
    {convertPacked12Lines, packedRule, true},
    {convertPacked12LinesScalar, packedRule, true},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const Converter& c = kConverters[in.ConsumeIntegralInRange<size_t>(0, 4)];
    uint32_t width = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: width = 240; break;
    case 1: width = in.ConsumeIntegralInRange<uint32_t>(0, 64); break;
    case 2: width = in.ConsumeIntegralInRange<uint32_t>(0, 4096); break;
    default: width = in.ConsumeIntegral<uint32_t>(); break;
    }
    const size_t destinationLength = in.ConsumeIntegralInRange<size_t>(0, 1 << 16);
    const size_t position = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, destinationLength)
                                             : in.ConsumeIntegralInRange<size_t>(0, 1 << 17);
    std::vector<uint8_t> source = in.ConsumeRemainingBytes<uint8_t>();

    // What the rule writes from `position` on, into a destination without limit.
    std::vector<uint8_t> expected(c.positionMatters ? position : 0, 0);
    c.rule(source, width, expected);
    expected.erase(expected.begin(), expected.begin() + (c.positionMatters ? static_cast<long>(position) : 0));

    // Exact-size copies on the heap: no slack to read or write into.
    std::unique_ptr<uint8_t[]> src(new uint8_t[source.size()]);
    if (!source.empty()) std::memcpy(src.get(), source.data(), source.size());
    std::unique_ptr<uint8_t[]> dst(new uint8_t[destinationLength]);
    if (destinationLength > 0) std::memset(dst.get(), 0xEE, destinationLength);
    const size_t end = c.run(src.get(), source.size(), dst.get(), destinationLength, position, width);

    FUZZ_CHECK(end >= position);
    const size_t written = end - position;
    FUZZ_CHECK(written <= expected.size());
    if (position <= destinationLength) {
        FUZZ_CHECK(end <= destinationLength);
        // With room for all of it, all of it is written.
        if (expected.size() <= destinationLength - position) FUZZ_CHECK(written == expected.size());
    } else {
        FUZZ_CHECK(written == 0);
    }
    FUZZ_CHECK(written == 0 || std::memcmp(dst.get() + position, expected.data(), written) == 0);
    for (size_t i = 0; i < std::min(position, destinationLength); ++i) FUZZ_CHECK(dst[i] == 0xEE);
    for (size_t i = end; i < destinationLength; ++i) FUZZ_CHECK(dst[i] == 0xEE);
    return 0;
}
