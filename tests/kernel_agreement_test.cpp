// The vectorised per-frame code against its plain scalar references: every
// depth form this CPU runs, bit for bit, on every pair of phase differences in
// both plane orders and both sample shifts; the raw interleave and the
// transports' sample conversions against their plain loops.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CsiLineConverters.h"
#include "CsiPacked12.h"
#include "HqvgaKernels.h"
#include "HqvgaReference.h"
#include "SampleKernels.h"
#include "UsbSampleConversion.h"
#include "support/BitEqual.h"

using namespace Velmora;

namespace {

constexpr int kPixels = HqvgaKernels::kPixels;
constexpr size_t kRawBytes = 4 * kPixels * 2;

// The model's float steps from frequency to metres per radian.
float metresPerRadian(float hz) {
    const float a = 12.566371f * hz;
    return 3.0e8f / a;
}

struct Planes {
    std::vector<float> depth = std::vector<float>(kPixels, -1.0f);
    std::vector<float> amplitude = std::vector<float>(kPixels, -1.0f);
    std::vector<float> confidence = std::vector<float>(kPixels, -1.0f);
};

std::vector<HqvgaKernels::DepthVariant> variants() {
    size_t n = 0;
    const HqvgaKernels::DepthVariant* v = HqvgaKernels::depthVariants(&n);
    return std::vector<HqvgaKernels::DepthVariant>(v, v + n);
}

std::vector<uint8_t> randomFrame(uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> raw(kRawBytes);
    for (uint8_t& b : raw) b = static_cast<uint8_t>(rng());
    return raw;
}

void putWord(std::vector<uint8_t>& raw, int plane, int index, uint16_t word) {
    const size_t at = 2 * (static_cast<size_t>(plane) * kPixels + static_cast<size_t>(index));
    raw[at] = static_cast<uint8_t>(word & 0xFF);
    raw[at + 1] = static_cast<uint8_t>(word >> 8);
}

// Two counts in -1024..1023 whose difference is d (-2047..2047).
void splitDifference(int d, int& high, int& low) {
    low = -((d + 1 + 4096) / 2 - 2048);
    high = d + low;
}

class DepthForm : public ::testing::TestWithParam<size_t> {};

std::string formName(const ::testing::TestParamInfo<size_t>& info) { return variants()[info.param].name; }

}  // namespace

TEST(HqvgaKernels, ListEndsWithScalarAndLeadsWithTheModelsChoice) {
    const auto list = variants();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(std::string(list.back().name), "scalar");
    EXPECT_EQ(list.front().run, HqvgaKernels::bestDepth());
#if defined(__x86_64__) || defined(__aarch64__)
    EXPECT_GE(list.size(), 2u) << "a vector variant is built for this architecture";
#endif
}

// Every (y, x) the decoded samples can produce, 4095 x 4095 pairs, in both
// plane orders and with both sample shifts, equal to the reference bit for bit.
// The bits the decoding drops (above the 11 bits, and below them when shifted)
// carry noise.
TEST_P(DepthForm, EqualsTheReferenceOnEveryPhasePair) {
    const HqvgaKernels::DepthVariant form = variants()[GetParam()];
    struct Setting {
        int range;
        float hz;
        uint8_t shift;
    };
    for (const Setting setting : {Setting{4000, 37.5e6f, 0}, Setting{2000, 75e6f, 0}, Setting{4000, 37.5e6f, 4},
                                  Setting{2000, 75e6f, 4}}) {
        const bool nearOrder = setting.range == 2000;
        std::vector<uint8_t> raw(kRawBytes);
        uint32_t noise = 12345;
        uint64_t compared = 0;
        int filled = 0;
        auto compare = [&] {
            Planes want, got;
            HqvgaReference::depthFrame(raw.data(), setting.range, setting.hz, setting.shift, want.depth.data(),
                                       want.amplitude.data(), want.confidence.data());
            form.run(raw.data(), nearOrder, metresPerRadian(setting.hz), setting.shift, got.depth.data(),
                     got.amplitude.data(), got.confidence.data());
            for (const auto& plane : {std::make_pair(&got.depth, &want.depth),
                                      std::make_pair(&got.amplitude, &want.amplitude),
                                      std::make_pair(&got.confidence, &want.confidence)})
                ASSERT_TRUE(VelmoraTest::bitEqual(plane.first->data(), plane.second->data(), kPixels, "plane"))
                    << (nearOrder ? "near" : "far") << " order, shift " << int(setting.shift) << ", after "
                    << compared << " pixels";
            compared += static_cast<uint64_t>(filled);
            filled = 0;
        };
        for (int dy = -2047; dy <= 2047; ++dy) {
            for (int dx = -2047; dx <= 2047; ++dx) {
                int counts[4];
                // far: y = P2 - P0, x = P3 - P1; near: y = P1 - P3, x = P2 - P0.
                if (nearOrder) {
                    splitDifference(dy, counts[1], counts[3]);
                    splitDifference(dx, counts[2], counts[0]);
                } else {
                    splitDifference(dy, counts[2], counts[0]);
                    splitDifference(dx, counts[3], counts[1]);
                }
                for (int k = 0; k < 4; ++k) {
                    noise = noise * 1664525u + 1013904223u;
                    const uint32_t eleven = static_cast<uint32_t>(counts[k]) & 0x7FF;
                    const uint32_t dropped = noise >> 16;
                    const uint32_t word = setting.shift ? (eleven << 4) | (dropped & 0x800F) : eleven | (dropped & 0xF800);
                    putWord(raw, k, filled, static_cast<uint16_t>(word));
                }
                if (++filled == kPixels) {
                    compare();
                    if (HasFatalFailure()) return;
                }
            }
        }
        compare();  // the rest of the last frame repeats pixels already compared
        if (HasFatalFailure()) return;
        EXPECT_GE(compared, 4095ull * 4095);
    }
}

INSTANTIATE_TEST_SUITE_P(HqvgaKernels, DepthForm, ::testing::Range(size_t{0}, variants().size()), formName);

TEST(HqvgaKernels, RawInterleaveEqualsReference) {
    for (uint8_t shift : {0, 4}) {
        for (uint32_t seed : {11u, 12u}) {
            const std::vector<uint8_t> raw = randomFrame(seed);
            const int16_t guard = 0x5A5A;
            std::vector<int16_t> got(4 * kPixels + 16, guard), want(4 * kPixels);
            HqvgaKernels::rawFrame(raw.data(), shift, got.data());
            HqvgaReference::rawFrame(raw.data(), shift, want.data());
            ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "shift " << int(shift);
            for (size_t i = want.size(); i < got.size(); ++i) ASSERT_EQ(got[i], guard) << "written past the frame";

            HqvgaKernels::rawFrameScalar(raw.data(), shift, got.data());
            ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "scalar, shift " << int(shift);
        }
    }
}

namespace {

// Plain per-sample forms of the USB conversions.
uint16_t plainWiden(uint8_t b) { return static_cast<uint16_t>(b << 4); }
uint16_t plainRight(uint16_t w, unsigned s) { return s >= 16 ? 0 : static_cast<uint16_t>(w >> s); }
uint16_t plainLeft(uint16_t w, unsigned s) { return s >= 16 ? 0 : static_cast<uint16_t>(w << s); }

struct Buffers {
    // Odd offsets: the transport gets no alignment guarantee from the kit.
    static constexpr size_t kOffset = 1;
    static constexpr size_t kGuard = 40;
    std::vector<uint8_t> source;
    std::vector<uint8_t> destination;
    Buffers(size_t sourceBytes, size_t destinationBytes, uint32_t seed)
        : source(sourceBytes + kOffset), destination(destinationBytes + kOffset + kGuard, 0xEE) {
        std::mt19937 rng(seed);
        for (uint8_t& b : source) b = static_cast<uint8_t>(rng());
    }
    const uint8_t* in() const { return source.data() + kOffset; }
    uint8_t* out() { return destination.data() + kOffset; }
    uint16_t word(size_t j) const { return static_cast<uint16_t>(in()[2 * j] | (in()[2 * j + 1] << 8)); }
    uint16_t result(size_t j) const {
        return static_cast<uint16_t>(destination[kOffset + 2 * j] | (destination[kOffset + 2 * j + 1] << 8));
    }
    bool untouchedOutside(size_t bytes) const {
        if (destination[0] != 0xEE) return false;
        for (size_t i = kOffset + bytes; i < destination.size(); ++i)
            if (destination[i] != 0xEE) return false;
        return true;
    }
};

const size_t kSampleCounts[] = {0, 1, 7, 15, 16, 17, 31, 33, 43200, 43203};

}  // namespace

std::vector<const SampleKernels::Set*> sampleSets() {
    size_t n = 0;
    const SampleKernels::Set* const* list = SampleKernels::sets(&n);
    return std::vector<const SampleKernels::Set*>(list, list + n);
}

TEST(SampleKernels, WidenedBytesEqualThePlainLoop) {
    for (const SampleKernels::Set* set : sampleSets()) {
        for (size_t n : kSampleCounts) {
            Buffers b(n, 2 * n, static_cast<uint32_t>(n));
            set->widenBytes(b.in(), b.out(), n);
            for (size_t j = 0; j < n; ++j)
                ASSERT_EQ(b.result(j), plainWiden(b.in()[j])) << set->name << ", " << n << " samples, at " << j;
            EXPECT_TRUE(b.untouchedOutside(2 * n)) << set->name << ", " << n;
        }
    }
}

TEST(SampleKernels, ShiftedWordsEqualThePlainLoop) {
    for (const SampleKernels::Set* set : sampleSets()) {
        for (unsigned shift = 0; shift < 16; ++shift) {
            for (size_t n : kSampleCounts) {
                Buffers right(2 * n, 2 * n, static_cast<uint32_t>(n + shift));
                set->shiftWordsRight(right.in(), right.out(), n, shift);
                for (size_t j = 0; j < n; ++j)
                    ASSERT_EQ(right.result(j), plainRight(right.word(j), shift)) << set->name << " right " << shift;
                EXPECT_TRUE(right.untouchedOutside(2 * n)) << set->name << " right " << shift << ", " << n;

                Buffers left(2 * n, 2 * n, static_cast<uint32_t>(n + 100 + shift));
                set->shiftWordsLeft(left.in(), left.out(), n, shift);
                for (size_t j = 0; j < n; ++j)
                    ASSERT_EQ(left.result(j), plainLeft(left.word(j), shift)) << set->name << " left " << shift;
                EXPECT_TRUE(left.untouchedOutside(2 * n)) << set->name << " left " << shift << ", " << n;
            }
        }
    }
}

TEST(SampleKernels, CopiesExactlyTheBytesAsked) {
    for (const SampleKernels::Set* set : sampleSets()) {
        for (size_t n : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{31}, size_t{32}, size_t{448},
                         size_t{480}, size_t{481}, size_t{1000}}) {
            Buffers b(n, n, static_cast<uint32_t>(n + 7));
            set->copyBytes(b.in(), b.out(), n);
            ASSERT_TRUE(std::equal(b.in(), b.in() + n, b.out())) << set->name << ", " << n;
            EXPECT_TRUE(b.untouchedOutside(n)) << set->name << ", " << n;
        }
    }
}

TEST(SampleKernels, HqvgaInterleaveEqualsReference) {
    for (const SampleKernels::Set* set : sampleSets()) {
        for (unsigned shift : {0u, 4u}) {
            const std::vector<uint8_t> raw = randomFrame(21 + shift);
            std::vector<int16_t> got(4 * kPixels + 16, 0x5A5A), want(4 * kPixels);
            set->interleaveHqvga(raw.data(), shift, got.data());
            HqvgaReference::rawFrame(raw.data(), static_cast<uint8_t>(shift), want.data());
            ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << set->name << ", shift " << shift;
            for (size_t i = want.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 0x5A5A) << "written past the frame";
        }
    }
}

TEST(UsbSampleConversion, ShiftsOfSixteenOrMoreClearTheSamples) {
    for (unsigned shift : {16u, 17u, 40u}) {
        Buffers right(64, 64, shift), left(64, 64, shift + 1);
        UsbSamples::shiftWordsRight(right.in(), right.out(), 32, shift);
        UsbSamples::shiftWordsLeft(left.in(), left.out(), 32, shift);
        for (size_t j = 0; j < 32; ++j) {
            ASSERT_EQ(right.result(j), 0) << shift;
            ASSERT_EQ(left.result(j), 0) << shift;
        }
        EXPECT_TRUE(right.untouchedOutside(64));
        EXPECT_TRUE(left.untouchedOutside(64));
    }
}

TEST(Packed12Unpack, EveryVariantEqualsScalar) {
    size_t count = 0;
    const Packed12::Variant* list = Packed12::variants(&count);
    ASSERT_GE(count, 1u);
    EXPECT_STREQ(list[count - 1].name, "scalar");
    std::mt19937 rng(77);
    for (size_t groups : {0, 1, 3, 4, 5, 8, 15, 16, 17, 33, 120, 1000}) {
        std::vector<uint8_t> source(3 * groups + 64);
        for (uint8_t& b : source) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> want(4 * groups);
        Packed12::unpackScalar(source.data(), 3 * groups, want.data(), groups);
        // Exactly the group bytes readable, and some slack behind them.
        for (size_t readable : {3 * groups, 3 * groups + 64}) {
            for (size_t v = 0; v < count; ++v) {
                std::vector<uint8_t> got(4 * groups + 32, 0xEE);
                list[v].run(source.data(), readable, got.data(), groups);
                ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin()))
                    << list[v].name << ", " << groups << " groups";
                for (size_t i = want.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 0xEE) << list[v].name;
            }
        }
    }
    // Whole lines with padding between them, the last line ending at what is readable.
    for (size_t groupsPerLine : {1, 4, 7, 8, 15, 16, 17, 120, 121}) {
        const size_t stride = (3 * groupsPerLine + 15) / 16 * 16;
        for (size_t lines : {1, 2, 5}) {
            std::vector<uint8_t> source(stride * (lines - 1) + 3 * groupsPerLine);
            for (uint8_t& b : source) b = static_cast<uint8_t>(rng());
            std::vector<uint8_t> want(4 * groupsPerLine * lines);
            for (size_t l = 0; l < lines; ++l)
                Packed12::unpackScalar(source.data() + l * stride, 3 * groupsPerLine,
                                       want.data() + 4 * groupsPerLine * l, groupsPerLine);
            for (size_t v = 0; v < count; ++v) {
                std::vector<uint8_t> got(want.size() + 32, 0xEE);
                list[v].lines(source.data(), source.size(), stride, groupsPerLine, lines, got.data());
                ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin()))
                    << list[v].name << ", " << lines << " lines of " << groupsPerLine << " groups";
                for (size_t i = want.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 0xEE) << list[v].name;
            }
        }
    }
}

// The run-by-run converter against the group-by-group walk, over the widths,
// buffer lengths, start positions and destination sizes a frame can bring.
TEST(Packed12Converter, RunsEqualTheGroupByGroupWalk) {
    std::mt19937 rng(78);
    struct Case {
        uint32_t width;
        size_t lines;
    };
    const Case cases[] = {{240, 180}, {240, 3}, {640, 4}, {320, 5}, {16, 9}, {32, 7}, {5, 11}, {7, 13}, {1, 40}, {0, 3}};
    for (const Case& c : cases) {
        const size_t stride = packed12Stride(c.width);
        const size_t fullLength = std::max<size_t>(stride * c.lines, 24);
        std::vector<uint8_t> source(fullLength);
        for (uint8_t& b : source) b = static_cast<uint8_t>(rng());
        for (size_t length : {fullLength, fullLength - 1, fullLength - 8, fullLength / 2 + 5, size_t{8}, size_t{12}}) {
            for (size_t position : {size_t{0}, size_t{4}, size_t{2} * c.width, size_t{6}, size_t{2} * c.width + 2}) {
                const size_t full = position + 4 * fullLength / 3 + 64;
                for (size_t destinationLength : {full, full / 2, position + 4, position + 3}) {
                    std::vector<uint8_t> want(full, 0xEE), got(full, 0xEE);
                    const size_t wantEnd = convertPacked12LinesScalar(source.data(), length, want.data(),
                                                                      destinationLength, position, c.width);
                    const size_t gotEnd =
                        convertPacked12Lines(source.data(), length, got.data(), destinationLength, position, c.width);
                    ASSERT_EQ(gotEnd, wantEnd) << "width " << c.width << " length " << length << " position "
                                               << position << " room " << destinationLength;
                    ASSERT_EQ(got, want) << "width " << c.width << " length " << length << " position " << position
                                         << " room " << destinationLength;
                }
            }
        }
    }
}
