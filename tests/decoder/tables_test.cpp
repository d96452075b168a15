// The code tables: every code decodes to its value, no code is a prefix of another, and each
// table covers exactly the code space the standard gives it.
#include "decoder/idct.h"
#include "decoder/tables.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <set>

namespace quorin::decoder {
namespace {

template <size_t N, typename Table>
void ExpectDecodesEveryCode(const std::array<vlc::Code, N>& codes, const Table& table) {
    for (const vlc::Code& c : codes) {
        const int len = vlc::BitCount(c.bits);
        for (int s = 0; s < (c.sign ? 2 : 1); ++s) {
            const int total = len + (c.sign ? 1 : 0);
            uint32_t value = vlc::BitValue(c.bits);
            if (c.sign) value = (value << 1) | static_cast<uint32_t>(s);
            // Any bits may follow the code.
            for (uint32_t tail : {0u, ~0u, 0x5A5A5A5Au}) {
                const int rest = table.bits - total;
                const uint32_t peek = (value << rest) | (rest ? (tail & ((1u << rest) - 1)) : 0u);
                const vlc::Entry& e = table.Lookup(peek);
                EXPECT_EQ(e.len, total) << c.bits;
                EXPECT_EQ(e.a, c.a) << c.bits;
                EXPECT_EQ(e.b, s ? -c.b : c.b) << c.bits;
            }
        }
    }
}

template <size_t N> double KraftSum(const std::array<vlc::Code, N>& codes) {
    double sum = 0;
    for (const vlc::Code& c : codes) {
        sum += std::ldexp(1.0, -vlc::BitCount(c.bits));
    }
    return sum;
}

template <size_t N> void ExpectPrefixFree(const std::array<vlc::Code, N>& codes) {
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = 0; j < N; ++j) {
            if (i == j) continue;
            const int li = vlc::BitCount(codes[i].bits);
            const int lj = vlc::BitCount(codes[j].bits);
            if (li > lj) continue;
            const uint32_t prefix = vlc::BitValue(codes[j].bits) >> (lj - li);
            EXPECT_NE(prefix, vlc::BitValue(codes[i].bits))
                << codes[i].bits << " is a prefix of " << codes[j].bits;
        }
    }
}

#define CHECK_TABLE(codes, table, kraft)                                                           \
    do {                                                                                           \
        ExpectDecodesEveryCode(codes, table);                                                      \
        ExpectPrefixFree(codes);                                                                   \
        EXPECT_DOUBLE_EQ(KraftSum(codes), kraft);                                                  \
    } while (0)

TEST(CodeTables, AddressIncrement) {
    // Unused: 0000 0000 xxx, 0000 0010 xxx and 0000 0001 001 .. 0000 0001 110.
    CHECK_TABLE(codes::kAddressIncrement, kAddressIncrementTable, 1.0 - 2.0 / 256 - 6.0 / 2048);
    EXPECT_EQ(kAddressIncrementTable.Lookup(0).len, 0);
}

TEST(CodeTables, MacroblockTypes) {
    CHECK_TABLE(codes::kMbTypeI, kMbTypeITable, 0.75);
    CHECK_TABLE(codes::kMbTypeP, kMbTypePTable, 1.0 - 1.0 / 64);
    CHECK_TABLE(codes::kMbTypeB, kMbTypeBTable, 1.0 - 1.0 / 64);
    CHECK_TABLE(codes::kMbTypeD, kMbTypeDTable, 0.5);
}

TEST(CodeTables, CodedBlockPatternCoversEveryPattern) {
    CHECK_TABLE(codes::kCodedBlockPattern, kCodedBlockPatternTable, 1.0 - 1.0 / 512);
    std::set<int> patterns;
    for (const vlc::Code& c : codes::kCodedBlockPattern)
        patterns.insert(c.a);
    EXPECT_EQ(patterns.size(), 64u);
}

TEST(CodeTables, MotionCodesAndDualPrime) {
    // With their sign bits the motion codes leave 0000 000x xx and 0000 0010 xx unused.
    double kraft = 0;
    for (const vlc::Code& c : codes::kMotionCode) {
        kraft += std::ldexp(c.sign ? 2.0 : 1.0, -(vlc::BitCount(c.bits) + (c.sign ? 1 : 0)));
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0 - 1.0 / 128 - 1.0 / 256);
    ExpectDecodesEveryCode(codes::kMotionCode, kMotionCodeTable);
    ExpectPrefixFree(codes::kMotionCode);
    CHECK_TABLE(codes::kDmVector, kDmVectorTable, 1.0);
}

TEST(CodeTables, DcSizesAreComplete) {
    CHECK_TABLE(codes::kDcSizeLuma, kDcSizeLumaTable, 1.0);
    CHECK_TABLE(codes::kDcSizeChroma, kDcSizeChromaTable, 1.0);
}

TEST(CodeTables, CoefficientTableZero) {
    // Only the twelve-zero prefix that start codes need is left out.
    CHECK_TABLE(codes::kCoefficientsZero, kCoefficientsZeroTable, 1.0 - 1.0 / 4096);
    EXPECT_EQ(kCoefficientsZeroTable.Lookup(0).len, 0);
}

TEST(CodeTables, CoefficientTableOne) {
    // Table one moves ten short codes away from their table-zero places and leaves those free.
    CHECK_TABLE(codes::kCoefficientsOne, kCoefficientsOneTable,
                1.0 - 1.0 / 4096 - 6.0 / 4096 - 4.0 / 8192);
}

TEST(CodeTables, BothCoefficientTablesCarryTheSameRunLevelPairs) {
    std::set<std::pair<int, int>> zero, one;
    for (const vlc::Code& c : codes::kCoefficientsZero)
        zero.insert({c.a, c.b});
    for (const vlc::Code& c : codes::kCoefficientsOne)
        one.insert({c.a, c.b});
    EXPECT_EQ(zero, one);
    EXPECT_EQ(zero.size(), 113u);
}

TEST(Scans, ArePermutationsAndZigzagMovesToNeighbours) {
    for (const auto* scan : {&kZigzagScan, &kAlternateScan}) {
        std::set<int> seen(scan->begin(), scan->end());
        EXPECT_EQ(seen.size(), 64u);
        EXPECT_EQ((*scan)[0], 0);
        EXPECT_EQ((*scan)[63], 63);
    }
    for (int i = 1; i < 64; ++i) {
        const int a = kZigzagScan[static_cast<size_t>(i - 1)],
                  b = kZigzagScan[static_cast<size_t>(i)];
        EXPECT_LE(std::abs(a / 8 - b / 8), 1);
        EXPECT_LE(std::abs(a % 8 - b % 8), 1);
    }
    // The alternate scan runs down the first column before it turns.
    EXPECT_EQ(kAlternateScan[1], 8);
    EXPECT_EQ(kAlternateScan[2], 16);
    EXPECT_EQ(kAlternateScan[3], 24);
    EXPECT_EQ(kAlternateScan[4], 1);
}

// The transform ---------------------------------------------------------------------------

// Separable double-precision transforms: forward when `inverse` is false.
void ReferenceTransform(const double* in, double* out, bool inverse) {
    double c[8][8];
    for (int k = 0; k < 8; ++k) {
        for (int n = 0; n < 8; ++n) {
            c[k][n] = (k ? 0.5 : 0.5 * std::sqrt(0.5)) * std::cos((2 * n + 1) * k * M_PI / 16);
        }
    }
    double tmp[64];
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            double s = 0;
            for (int k = 0; k < 8; ++k)
                s += inverse ? c[k][x] * in[y * 8 + k] : c[x][k] * in[y * 8 + k];
            tmp[y * 8 + x] = s;
        }
    }
    for (int x = 0; x < 8; ++x) {
        for (int y = 0; y < 8; ++y) {
            double s = 0;
            for (int k = 0; k < 8; ++k)
                s += inverse ? c[k][y] * tmp[k * 8 + x] : c[y][k] * tmp[k * 8 + x];
            out[y * 8 + x] = s;
        }
    }
}

TEST(InverseDct, DcOnlyBlockIsFlat) {
    for (int dc = -2048; dc <= 2047; dc += 13) {
        int16_t a[64] = {};
        a[0] = static_cast<int16_t>(dc);
        int16_t b[64] = {};
        b[0] = static_cast<int16_t>(dc);
        InverseDct(a);
        InverseDctDcOnly(b);
        const int expected = std::clamp(((dc * 8) + 32) >> 6, -256, 255);
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(a[i], expected) << dc;
            ASSERT_EQ(b[i], expected) << dc;
        }
    }
}

TEST(InverseDct, ZeroIntraBlockStoresMidGrey) {
    int16_t block[64] = {};
    InverseDct(block);
    uint8_t pixels[8 * 8];
    StoreIntraBlock(block, pixels, 8);
    for (uint8_t p : pixels)
        EXPECT_EQ(p, 128);
}

// The IEEE 1180 procedure: random sample blocks in [-L, H], forward transform, rounded and
// clipped coefficients, then the inverse against the rounded double-precision inverse.
TEST(InverseDct, MeetsIeee1180Accuracy) {
    std::mt19937 rng(1180);
    struct Range {
        int low, high;
    };
    for (const Range range : {Range{256, 255}, Range{5, 5}, Range{300, 300}}) {
        for (int sign : {1, -1}) {
            std::uniform_int_distribution<int> dist(-range.low, range.high);
            double sq_error[64] = {}, error[64] = {};
            int peak = 0;
            const int kBlocks = 2000;
            for (int n = 0; n < kBlocks; ++n) {
                double samples[64], coefficients[64], ref[64];
                for (double& v : samples)
                    v = sign * dist(rng);
                ReferenceTransform(samples, coefficients, false);
                int16_t block[64];
                for (int i = 0; i < 64; ++i) {
                    const double r = std::floor(coefficients[i] + 0.5);
                    block[i] = static_cast<int16_t>(std::clamp(r, -2048.0, 2047.0));
                    coefficients[i] = block[i];
                }
                ReferenceTransform(coefficients, ref, true);
                InverseDct(block);
                for (int i = 0; i < 64; ++i) {
                    const int r =
                        static_cast<int>(std::clamp(std::floor(ref[i] + 0.5), -256.0, 255.0));
                    const int e = block[i] - r;
                    peak = std::max(peak, std::abs(e));
                    sq_error[i] += e * e;
                    error[i] += e;
                }
            }
            EXPECT_LE(peak, 1) << range.low;
            double overall_sq = 0, overall = 0;
            for (int i = 0; i < 64; ++i) {
                EXPECT_LE(sq_error[i] / kBlocks, 0.06) << range.low;
                EXPECT_LE(std::abs(error[i] / kBlocks), 0.015) << range.low;
                overall_sq += sq_error[i];
                overall += error[i];
            }
            EXPECT_LE(overall_sq / (64.0 * kBlocks), 0.02) << range.low;
            EXPECT_LE(std::abs(overall / (64.0 * kBlocks)), 0.0015) << range.low;
        }
    }
}

TEST(InverseDct, ExtremeCoefficientsStayInRange) {
    std::mt19937 rng(7);
    for (int n = 0; n < 2000; ++n) {
        int16_t block[64];
        for (int16_t& c : block)
            c = (rng() & 1) ? 2047 : -2048;
        InverseDct(block);
        for (int16_t v : block) {
            ASSERT_GE(v, -256);
            ASSERT_LE(v, 255);
        }
    }
}

} // namespace
} // namespace quorin::decoder
