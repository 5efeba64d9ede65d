// Line converters: each board's layout into 16-bit samples, never past either end.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "CsiLineConverters.h"
#include "support/GuardedBytes.h"

using namespace Velmora;

namespace {

uint16_t wordAt(const std::vector<uint8_t>& bytes, size_t sample) {
    return static_cast<uint16_t>(bytes[2 * sample] | bytes[2 * sample + 1] << 8);
}

std::vector<uint8_t> counting(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 251);
    return bytes;
}

// The converter may use only the first `length` bytes of its destination.
using Guarded = VelmoraTest::GuardedBytes;

}  // namespace

TEST(Packed12Converter, GroupGivesTwoSamples) {
    // One group plus the 8 trailing bytes the walk never enters.
    std::vector<uint8_t> source = {0xAB, 0xCD, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> out(4, 0);
    EXPECT_EQ(convertPacked12Lines(source.data(), source.size(), out.data(), out.size(), 0, 240), 4u);
    EXPECT_EQ(wordAt(out, 0), 0xABF);
    EXPECT_EQ(wordAt(out, 1), 0xCDE);
}

TEST(Packed12Converter, StrideOfWidth240SkipsEightBytesPerLine) {
    EXPECT_EQ(packed12DataBytes(240), 360u);
    EXPECT_EQ(packed12Stride(240), 368u);
    EXPECT_EQ(packed12Stride(16), 32u);  // 24 data bytes

    const size_t lines = 3;
    std::vector<uint8_t> source(368 * lines, 0xFF);  // padding bytes are 0xFF
    for (size_t y = 0; y < lines; ++y) {
        for (size_t g = 0; g < 120; ++g) {
            const uint16_t a = static_cast<uint16_t>((y * 240 + 2 * g) & 0xfff);
            const uint16_t b = static_cast<uint16_t>((y * 240 + 2 * g + 1) & 0xfff);
            uint8_t* group = &source[y * 368 + g * 3];
            group[0] = static_cast<uint8_t>(a >> 4);
            group[1] = static_cast<uint8_t>(b >> 4);
            group[2] = static_cast<uint8_t>((a & 0xf) | (b & 0xf) << 4);
        }
    }
    std::vector<uint8_t> out(2 * 240 * lines, 0);
    EXPECT_EQ(convertPacked12Lines(source.data(), source.size(), out.data(), out.size(), 0, 240), out.size());
    for (size_t i = 0; i < 240 * lines; ++i) ASSERT_EQ(wordAt(out, i), i & 0xfff) << "sample " << i;
}

TEST(Packed12Converter, EveryWholeGroupIsConverted) {
    std::vector<uint8_t> source(8, 0x12);
    std::vector<uint8_t> out(16, 0);
    EXPECT_EQ(convertPacked12Lines(source.data(), 8, out.data(), out.size(), 0, 240), 8u);
    EXPECT_EQ(convertPacked12Lines(source.data(), 3, out.data(), out.size(), 0, 240), 4u);
    EXPECT_EQ(convertPacked12Lines(source.data(), 2, out.data(), out.size(), 0, 240), 0u);
    EXPECT_EQ(convertPacked12Lines(source.data(), 0, out.data(), out.size(), 0, 240), 0u);
    // Lines without padding (640 samples: 960 bytes, a multiple of 16) end
    // exactly at the buffer's end: the frame keeps its last samples.
    const std::vector<uint8_t> frame = counting(960 * 4);
    std::vector<uint8_t> whole(2 * 640 * 4, 0);
    EXPECT_EQ(convertPacked12Lines(frame.data(), frame.size(), whole.data(), whole.size(), 0, 640), whole.size());
    const size_t lastGroup = frame.size() - 3;
    EXPECT_EQ(wordAt(whole, 640 * 4 - 1), frame[lastGroup + 1] << 4 | frame[lastGroup + 2] >> 4);
    // Width 0 has no lines to pad and must not divide by zero.
    std::vector<uint8_t> longer(20, 0x12);
    EXPECT_EQ(convertPacked12Lines(longer.data(), longer.size(), out.data(), out.size(), 0, 0), 16u);
}

TEST(Packed12Converter, PositionContinuesAcrossBuffers) {
    // The padding is skipped when the frame's sample count completes a line,
    // counted from the frame start, not the buffer start.
    std::vector<uint8_t> source(40);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i + 1);
    std::vector<uint8_t> out(64, 0);
    // Width 16: 24 data bytes, stride 32. The frame already holds 14 samples.
    size_t end = convertPacked12Lines(source.data(), source.size(), out.data(), out.size(), 28, 16);
    EXPECT_EQ(wordAt(out, 14), 0x013);
    EXPECT_EQ(wordAt(out, 15), 0x020);
    // That group completed the line: the next starts 8 padding bytes later, at byte 11.
    EXPECT_EQ(wordAt(out, 16), 0x0CE);
    EXPECT_EQ(wordAt(out, 17), 0x0D0);
    // Groups at 11, 14, ..., 32 finish the next line; its padding ends the buffer.
    EXPECT_EQ(end, 64u);
}

TEST(Packed12Converter, StaysInsideDestination) {
    std::vector<uint8_t> source = counting(368 * 180);
    for (size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 479u, 480u, 1000u}) {
        Guarded out(length);
        size_t end = convertPacked12Lines(source.data(), source.size(), out.bytes.data(), length, 0, 240);
        EXPECT_LE(end, length);
        EXPECT_TRUE(out.guardIntact()) << length;
    }
    // A start position beyond the destination writes nothing.
    Guarded out(16);
    EXPECT_EQ(convertPacked12Lines(source.data(), source.size(), out.bytes.data(), 16, 40, 240), 40u);
    EXPECT_TRUE(out.guardIntact());
}

// The fixed 512-byte form and the general one with the stride the kernel reports.
TEST(PaddedLineConverter, FullBufferGives86400Bytes) {
    std::vector<uint8_t> source = counting(kPaddedLineBufferLength);
    for (bool strided : {false, true}) {
        std::vector<uint8_t> out(86400 + 100, 0);
        const size_t written =
            strided ? convertStridedLines(source.data(), source.size(), out.data(), out.size(), 0, 240, 512)
                    : convertPaddedLines(source.data(), source.size(), out.data(), out.size(), 0, 240);
        EXPECT_EQ(written, 86400u);
        for (size_t line = 0; line < 180; ++line) {
            for (size_t b = 0; b < 480; ++b) ASSERT_EQ(out[line * 480 + b], source[line * 512 + b]) << line << "/" << b;
        }
        EXPECT_EQ(out[86400], 0);
    }
}

TEST(PaddedLineConverter, PartialLinesAndSmallDestinationsAreCut) {
    std::vector<uint8_t> source = counting(700);  // one full line, then 188 bytes
    std::vector<uint8_t> out(2000, 0);
    EXPECT_EQ(convertPaddedLines(source.data(), source.size(), out.data(), out.size(), 0, 240), 480u + 188u);
    EXPECT_EQ(out[480 + 187], source[512 + 187]);

    std::vector<uint8_t> full = counting(kPaddedLineBufferLength);
    for (size_t length : {0u, 100u, 480u, 481u, 86399u}) {
        Guarded guarded(length);
        EXPECT_EQ(convertPaddedLines(full.data(), full.size(), guarded.bytes.data(), length, 0, 240), length);
        EXPECT_TRUE(guarded.guardIntact()) << length;
    }
}

TEST(SplitLineConverter, BlockMapping) {
    std::vector<uint8_t> source = counting(2 * kSplitLineBlock);
    std::vector<uint8_t> out(2 * kSplitLineBlock, 0);
    EXPECT_EQ(convertSplitLines(source.data(), source.size(), out.data(), out.size(), 0, 240), 1920u);
    for (size_t block = 0; block < 2; ++block) {
        const uint8_t* in = &source[block * 960];
        const uint8_t* o = &out[block * 960];
        for (size_t i = 0; i < 448; ++i) ASSERT_EQ(o[i], in[i]);
        for (size_t i = 448; i < 480; ++i) ASSERT_EQ(o[i], in[i + 448]);
        for (size_t i = 480; i < 960; ++i) ASSERT_EQ(o[i], in[i - 32]);
    }
}

TEST(SplitLineConverter, IncompleteBlocksAreNotConverted) {
    std::vector<uint8_t> source = counting(960 + 500);
    Guarded out(2000);
    EXPECT_EQ(convertSplitLines(source.data(), source.size(), out.bytes.data(), out.length, 0, 240), 960u);

    Guarded small(959);
    EXPECT_EQ(convertSplitLines(source.data(), source.size(), small.bytes.data(), small.length, 0, 240), 0u);
    EXPECT_TRUE(small.guardIntact());
    Guarded room(960 + 959);
    EXPECT_EQ(convertSplitLines(source.data(), 1920, room.bytes.data(), room.length, 0, 240), 960u);
    EXPECT_TRUE(room.guardIntact());
}

TEST(PlainConverter, CopiesAndAppendsWithinDestination) {
    std::vector<uint8_t> source = counting(100);
    std::vector<uint8_t> out(250, 0);
    size_t position = convertPlainLines(source.data(), source.size(), out.data(), out.size(), 0, 240);
    position = convertPlainLines(source.data(), source.size(), out.data(), out.size(), position, 240);
    EXPECT_EQ(position, 200u);
    EXPECT_EQ(out[150], source[50]);

    Guarded guarded(250);
    position = 0;
    for (int i = 0; i < 3; ++i)
        position = convertPlainLines(source.data(), source.size(), guarded.bytes.data(), 250, position, 240);
    EXPECT_EQ(position, 250u);
    EXPECT_TRUE(guarded.guardIntact());
}
