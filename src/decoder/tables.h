// The code tables, scans and matrices of MPEG-1 and MPEG-2 video, as lookup tables.
#pragma once

#include "decoder/vlc.h"

#include <array>
#include <cstdint>

namespace quorin::decoder {

// Macroblock type flags.
enum MbFlags : int {
    kMbQuant = 1,
    kMbForward = 2,
    kMbBackward = 4,
    kMbPattern = 8,
    kMbIntra = 16,
};

// Special values of the address increment table.
inline constexpr int16_t kMbaEscape = -1;
inline constexpr int16_t kMbaStuffing = -2;
// Special runs of the coefficient tables.
inline constexpr int16_t kRunEob = 64;
inline constexpr int16_t kRunEscape = 65;

namespace codes {
using vlc::Code;

// B-1 macroblock_address_increment (a = increment).
inline constexpr auto kAddressIncrement = std::to_array<Code>({
    {"1", 1, 0},
    {"011", 2, 0},
    {"010", 3, 0},
    {"0011", 4, 0},
    {"0010", 5, 0},
    {"0001 1", 6, 0},
    {"0001 0", 7, 0},
    {"0000 111", 8, 0},
    {"0000 110", 9, 0},
    {"0000 1011", 10, 0},
    {"0000 1010", 11, 0},
    {"0000 1001", 12, 0},
    {"0000 1000", 13, 0},
    {"0000 0111", 14, 0},
    {"0000 0110", 15, 0},
    {"0000 0101 11", 16, 0},
    {"0000 0101 10", 17, 0},
    {"0000 0101 01", 18, 0},
    {"0000 0101 00", 19, 0},
    {"0000 0100 11", 20, 0},
    {"0000 0100 10", 21, 0},
    {"0000 0100 011", 22, 0},
    {"0000 0100 010", 23, 0},
    {"0000 0100 001", 24, 0},
    {"0000 0100 000", 25, 0},
    {"0000 0011 111", 26, 0},
    {"0000 0011 110", 27, 0},
    {"0000 0011 101", 28, 0},
    {"0000 0011 100", 29, 0},
    {"0000 0011 011", 30, 0},
    {"0000 0011 010", 31, 0},
    {"0000 0011 001", 32, 0},
    {"0000 0011 000", 33, 0},
    {"0000 0001 000", kMbaEscape, 0},
    {"0000 0001 111", kMbaStuffing, 0},
});

// B-2 to B-4 macroblock_type in I, P and B pictures, and the D pictures of MPEG-1 (a = flags).
inline constexpr auto kMbTypeI = std::to_array<Code>({
    {"1", kMbIntra, 0},
    {"01", kMbIntra | kMbQuant, 0},
});
inline constexpr auto kMbTypeP = std::to_array<Code>({
    {"1", kMbForward | kMbPattern, 0},
    {"01", kMbPattern, 0},
    {"001", kMbForward, 0},
    {"0001 1", kMbIntra, 0},
    {"0001 0", kMbQuant | kMbForward | kMbPattern, 0},
    {"0000 1", kMbQuant | kMbPattern, 0},
    {"0000 01", kMbQuant | kMbIntra, 0},
});
inline constexpr auto kMbTypeB = std::to_array<Code>({
    {"10", kMbForward | kMbBackward, 0},
    {"11", kMbForward | kMbBackward | kMbPattern, 0},
    {"010", kMbBackward, 0},
    {"011", kMbBackward | kMbPattern, 0},
    {"0010", kMbForward, 0},
    {"0011", kMbForward | kMbPattern, 0},
    {"0001 1", kMbIntra, 0},
    {"0001 0", kMbQuant | kMbForward | kMbBackward | kMbPattern, 0},
    {"0000 11", kMbQuant | kMbForward | kMbPattern, 0},
    {"0000 10", kMbQuant | kMbBackward | kMbPattern, 0},
    {"0000 01", kMbQuant | kMbIntra, 0},
});
inline constexpr auto kMbTypeD = std::to_array<Code>({{"1", kMbIntra, 0}});

// B-9 coded_block_pattern (a = pattern).
inline constexpr auto kCodedBlockPattern = std::to_array<Code>({
    {"111", 60, 0},         {"1101", 4, 0},         {"1100", 8, 0},         {"1011", 16, 0},
    {"1010", 32, 0},        {"1001 1", 12, 0},      {"1001 0", 48, 0},      {"1000 1", 20, 0},
    {"1000 0", 40, 0},      {"0111 1", 28, 0},      {"0111 0", 44, 0},      {"0110 1", 52, 0},
    {"0110 0", 56, 0},      {"0101 1", 1, 0},       {"0101 0", 61, 0},      {"0100 1", 2, 0},
    {"0100 0", 62, 0},      {"0011 11", 24, 0},     {"0011 10", 36, 0},     {"0011 01", 3, 0},
    {"0011 00", 63, 0},     {"0010 111", 5, 0},     {"0010 110", 9, 0},     {"0010 101", 17, 0},
    {"0010 100", 33, 0},    {"0010 011", 6, 0},     {"0010 010", 10, 0},    {"0010 001", 18, 0},
    {"0010 000", 34, 0},    {"0001 1111", 7, 0},    {"0001 1110", 11, 0},   {"0001 1101", 19, 0},
    {"0001 1100", 35, 0},   {"0001 1011", 13, 0},   {"0001 1010", 49, 0},   {"0001 1001", 21, 0},
    {"0001 1000", 41, 0},   {"0001 0111", 14, 0},   {"0001 0110", 50, 0},   {"0001 0101", 22, 0},
    {"0001 0100", 42, 0},   {"0001 0011", 15, 0},   {"0001 0010", 51, 0},   {"0001 0001", 23, 0},
    {"0001 0000", 43, 0},   {"0000 1111", 25, 0},   {"0000 1110", 37, 0},   {"0000 1101", 26, 0},
    {"0000 1100", 38, 0},   {"0000 1011", 29, 0},   {"0000 1010", 45, 0},   {"0000 1001", 53, 0},
    {"0000 1000", 57, 0},   {"0000 0111", 30, 0},   {"0000 0110", 46, 0},   {"0000 0101", 54, 0},
    {"0000 0100", 58, 0},   {"0000 0011 1", 31, 0}, {"0000 0011 0", 47, 0}, {"0000 0010 1", 55, 0},
    {"0000 0010 0", 59, 0}, {"0000 0001 1", 27, 0}, {"0000 0001 0", 39, 0}, {"0000 0000 1", 0, 0},
});

// B-10 motion_code (b = code; a sign bit follows every code but the one of 0).
inline constexpr auto kMotionCode = std::to_array<Code>({
    {"1", 0, 0, false},
    {"01", 0, 1, true},
    {"001", 0, 2, true},
    {"0001", 0, 3, true},
    {"0000 11", 0, 4, true},
    {"0000 101", 0, 5, true},
    {"0000 100", 0, 6, true},
    {"0000 011", 0, 7, true},
    {"0000 0101 1", 0, 8, true},
    {"0000 0101 0", 0, 9, true},
    {"0000 0100 1", 0, 10, true},
    {"0000 0100 01", 0, 11, true},
    {"0000 0100 00", 0, 12, true},
    {"0000 0011 11", 0, 13, true},
    {"0000 0011 10", 0, 14, true},
    {"0000 0011 01", 0, 15, true},
    {"0000 0011 00", 0, 16, true},
});

// B-11 dmvector (b = value).
inline constexpr auto kDmVector = std::to_array<Code>({
    {"0", 0, 0},
    {"10", 0, 1},
    {"11", 0, -1},
});

// B-12 and B-13 dct_dc_size_luminance and dct_dc_size_chrominance (a = size).
inline constexpr auto kDcSizeLuma = std::to_array<Code>({
    {"100", 0, 0},
    {"00", 1, 0},
    {"01", 2, 0},
    {"101", 3, 0},
    {"110", 4, 0},
    {"1110", 5, 0},
    {"1111 0", 6, 0},
    {"1111 10", 7, 0},
    {"1111 110", 8, 0},
    {"1111 1110", 9, 0},
    {"1111 1111 0", 10, 0},
    {"1111 1111 1", 11, 0},
});
inline constexpr auto kDcSizeChroma = std::to_array<Code>({
    {"00", 0, 0},
    {"01", 1, 0},
    {"10", 2, 0},
    {"110", 3, 0},
    {"1110", 4, 0},
    {"1111 0", 5, 0},
    {"1111 10", 6, 0},
    {"1111 110", 7, 0},
    {"1111 1110", 8, 0},
    {"1111 1111 0", 9, 0},
    {"1111 1111 10", 10, 0},
    {"1111 1111 11", 11, 0},
});

// The coefficient codes of 13 bits and more are shared by B-14 and B-15 (a = run, b = level).
#define QUORIN_LONG_COEFFICIENT_CODES                                                              \
    {"0000 0000 1011 0", 1, 6, true}, {"0000 0000 1010 1", 1, 7, true},                            \
        {"0000 0000 1010 0", 2, 5, true}, {"0000 0000 1001 1", 3, 4, true},                        \
        {"0000 0000 1001 0", 5, 3, true}, {"0000 0000 1000 1", 9, 2, true},                        \
        {"0000 0000 1000 0", 10, 2, true}, {"0000 0000 1111 1", 22, 1, true},                      \
        {"0000 0000 1111 0", 23, 1, true}, {"0000 0000 1110 1", 24, 1, true},                      \
        {"0000 0000 1110 0", 25, 1, true}, {"0000 0000 1101 1", 26, 1, true},                      \
        {"0000 0000 0111 11", 0, 16, true}, {"0000 0000 0111 10", 0, 17, true},                    \
        {"0000 0000 0111 01", 0, 18, true}, {"0000 0000 0111 00", 0, 19, true},                    \
        {"0000 0000 0110 11", 0, 20, true}, {"0000 0000 0110 10", 0, 21, true},                    \
        {"0000 0000 0110 01", 0, 22, true}, {"0000 0000 0110 00", 0, 23, true},                    \
        {"0000 0000 0101 11", 0, 24, true}, {"0000 0000 0101 10", 0, 25, true},                    \
        {"0000 0000 0101 01", 0, 26, true}, {"0000 0000 0101 00", 0, 27, true},                    \
        {"0000 0000 0100 11", 0, 28, true}, {"0000 0000 0100 10", 0, 29, true},                    \
        {"0000 0000 0100 01", 0, 30, true}, {"0000 0000 0100 00", 0, 31, true},                    \
        {"0000 0000 0011 000", 0, 32, true}, {"0000 0000 0010 111", 0, 33, true},                  \
        {"0000 0000 0010 110", 0, 34, true}, {"0000 0000 0010 101", 0, 35, true},                  \
        {"0000 0000 0010 100", 0, 36, true}, {"0000 0000 0010 011", 0, 37, true},                  \
        {"0000 0000 0010 010", 0, 38, true}, {"0000 0000 0010 001", 0, 39, true},                  \
        {"0000 0000 0010 000", 0, 40, true}, {"0000 0000 0011 111", 1, 8, true},                   \
        {"0000 0000 0011 110", 1, 9, true}, {"0000 0000 0011 101", 1, 10, true},                   \
        {"0000 0000 0011 100", 1, 11, true}, {"0000 0000 0011 011", 1, 12, true},                  \
        {"0000 0000 0011 010", 1, 13, true}, {"0000 0000 0011 001", 1, 14, true},                  \
        {"0000 0000 0001 0011", 1, 15, true}, {"0000 0000 0001 0010", 1, 16, true},                \
        {"0000 0000 0001 0001", 1, 17, true}, {"0000 0000 0001 0000", 1, 18, true},                \
        {"0000 0000 0001 0100", 6, 3, true}, {"0000 0000 0001 1010", 11, 2, true},                 \
        {"0000 0000 0001 1001", 12, 2, true}, {"0000 0000 0001 1000", 13, 2, true},                \
        {"0000 0000 0001 0111", 14, 2, true}, {"0000 0000 0001 0110", 15, 2, true},                \
        {"0000 0000 0001 0101", 16, 2, true}, {"0000 0000 0001 1111", 27, 1, true},                \
        {"0000 0000 0001 1110", 28, 1, true}, {"0000 0000 0001 1101", 29, 1, true},                \
        {"0000 0000 0001 1100", 30, 1, true}, {                                                    \
        "0000 0000 0001 1011", 31, 1, true                                                         \
    }

// B-14 DCT coefficients table zero. The "1s" code of a first non-intra coefficient is handled by
// the block decoder before the lookup.
inline constexpr auto kCoefficientsZero = std::to_array<Code>({
    {"10", kRunEob, 0},
    {"0000 01", kRunEscape, 0},
    {"11", 0, 1, true},
    {"011", 1, 1, true},
    {"0100", 0, 2, true},
    {"0101", 2, 1, true},
    {"0010 1", 0, 3, true},
    {"0011 1", 3, 1, true},
    {"0011 0", 4, 1, true},
    {"0001 10", 1, 2, true},
    {"0001 11", 5, 1, true},
    {"0001 01", 6, 1, true},
    {"0001 00", 7, 1, true},
    {"0000 110", 0, 4, true},
    {"0000 100", 2, 2, true},
    {"0000 111", 8, 1, true},
    {"0000 101", 9, 1, true},
    {"0010 0110", 0, 5, true},
    {"0010 0001", 0, 6, true},
    {"0010 0101", 1, 3, true},
    {"0010 0100", 3, 2, true},
    {"0010 0111", 10, 1, true},
    {"0010 0011", 11, 1, true},
    {"0010 0010", 12, 1, true},
    {"0010 0000", 13, 1, true},
    {"0000 0010 10", 0, 7, true},
    {"0000 0011 00", 1, 4, true},
    {"0000 0010 11", 2, 3, true},
    {"0000 0011 11", 4, 2, true},
    {"0000 0010 01", 5, 2, true},
    {"0000 0011 10", 14, 1, true},
    {"0000 0011 01", 15, 1, true},
    {"0000 0010 00", 16, 1, true},
    {"0000 0001 1101", 0, 8, true},
    {"0000 0001 1000", 0, 9, true},
    {"0000 0001 0011", 0, 10, true},
    {"0000 0001 0000", 0, 11, true},
    {"0000 0001 1011", 1, 5, true},
    {"0000 0001 0100", 2, 4, true},
    {"0000 0001 1100", 3, 3, true},
    {"0000 0001 0010", 4, 3, true},
    {"0000 0001 1110", 6, 2, true},
    {"0000 0001 0101", 7, 2, true},
    {"0000 0001 0001", 8, 2, true},
    {"0000 0001 1111", 17, 1, true},
    {"0000 0001 1010", 18, 1, true},
    {"0000 0001 1001", 19, 1, true},
    {"0000 0001 0111", 20, 1, true},
    {"0000 0001 0110", 21, 1, true},
    {"0000 0000 1101 0", 0, 12, true},
    {"0000 0000 1100 1", 0, 13, true},
    {"0000 0000 1100 0", 0, 14, true},
    {"0000 0000 1011 1", 0, 15, true},
    QUORIN_LONG_COEFFICIENT_CODES,
});

// B-15 DCT coefficients table one (intra blocks with intra_vlc_format = 1).
inline constexpr auto kCoefficientsOne = std::to_array<Code>({
    {"0110", kRunEob, 0},
    {"0000 01", kRunEscape, 0},
    {"10", 0, 1, true},
    {"010", 1, 1, true},
    {"110", 0, 2, true},
    {"0010 1", 2, 1, true},
    {"0111", 0, 3, true},
    {"0011 1", 3, 1, true},
    {"0001 10", 4, 1, true},
    {"0011 0", 1, 2, true},
    {"0001 11", 5, 1, true},
    {"0000 110", 6, 1, true},
    {"0000 100", 7, 1, true},
    {"1110 0", 0, 4, true},
    {"0000 111", 2, 2, true},
    {"0000 101", 8, 1, true},
    {"1111 000", 9, 1, true},
    {"1110 1", 0, 5, true},
    {"0001 01", 0, 6, true},
    {"1111 001", 1, 3, true},
    {"0010 0110", 3, 2, true},
    {"1111 010", 10, 1, true},
    {"0010 0001", 11, 1, true},
    {"0010 0101", 12, 1, true},
    {"0010 0100", 13, 1, true},
    {"0001 00", 0, 7, true},
    {"0010 0111", 1, 4, true},
    {"1111 1100", 2, 3, true},
    {"1111 1101", 4, 2, true},
    {"0000 0010 0", 5, 2, true},
    {"0000 0010 1", 14, 1, true},
    {"0000 0011 1", 15, 1, true},
    {"0000 0011 01", 16, 1, true},
    {"1111 011", 0, 8, true},
    {"1111 100", 0, 9, true},
    {"0010 0011", 0, 10, true},
    {"0010 0010", 0, 11, true},
    {"0010 0000", 1, 5, true},
    {"0000 0011 00", 2, 4, true},
    {"0000 0001 1100", 3, 3, true},
    {"0000 0001 0010", 4, 3, true},
    {"0000 0001 1110", 6, 2, true},
    {"0000 0001 0101", 7, 2, true},
    {"0000 0001 0001", 8, 2, true},
    {"0000 0001 1111", 17, 1, true},
    {"0000 0001 1010", 18, 1, true},
    {"0000 0001 1001", 19, 1, true},
    {"0000 0001 0111", 20, 1, true},
    {"0000 0001 0110", 21, 1, true},
    {"1111 1010", 0, 12, true},
    {"1111 1011", 0, 13, true},
    {"1111 1110", 0, 14, true},
    {"1111 1111", 0, 15, true},
    QUORIN_LONG_COEFFICIENT_CODES,
});

#undef QUORIN_LONG_COEFFICIENT_CODES

} // namespace codes

// The lookup tables.
inline constexpr auto kAddressIncrementTable = vlc::MakeTable<codes::kAddressIncrement, 11>();
inline constexpr auto kMbTypeITable = vlc::MakeTable<codes::kMbTypeI, 2>();
inline constexpr auto kMbTypePTable = vlc::MakeTable<codes::kMbTypeP, 6>();
inline constexpr auto kMbTypeBTable = vlc::MakeTable<codes::kMbTypeB, 6>();
inline constexpr auto kMbTypeDTable = vlc::MakeTable<codes::kMbTypeD, 1>();
inline constexpr auto kCodedBlockPatternTable = vlc::MakeTable<codes::kCodedBlockPattern, 9>();
inline constexpr auto kMotionCodeTable = vlc::MakeTable<codes::kMotionCode, 11>();
inline constexpr auto kDmVectorTable = vlc::MakeTable<codes::kDmVector, 2>();
inline constexpr auto kDcSizeLumaTable = vlc::MakeTable<codes::kDcSizeLuma, 9>();
inline constexpr auto kDcSizeChromaTable = vlc::MakeTable<codes::kDcSizeChroma, 10>();
inline constexpr auto kCoefficientsZeroTable = vlc::MakeTable<codes::kCoefficientsZero, 9>();
inline constexpr auto kCoefficientsOneTable = vlc::MakeTable<codes::kCoefficientsOne, 9>();

// Scan index -> position in the 8 x 8 block (row * 8 + column).
inline constexpr std::array<uint8_t, 64> kZigzagScan = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
inline constexpr std::array<uint8_t, 64> kAlternateScan = {
    0,  8,  16, 24, 1,  9,  2,  10, 17, 25, 32, 40, 48, 56, 57, 49, 41, 33, 26, 18, 3,  11,
    4,  12, 19, 27, 34, 42, 50, 58, 35, 43, 51, 59, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44,
    52, 60, 37, 45, 53, 61, 22, 30, 7,  15, 23, 31, 38, 46, 54, 62, 39, 47, 55, 63};

// The default intra quantiser matrix in natural order.
inline constexpr std::array<uint8_t, 64> kDefaultIntraMatrix = {
    8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37, 19, 22, 26, 27, 29, 34,
    34, 38, 22, 22, 26, 27, 29, 34, 37, 40, 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32,
    35, 40, 48, 58, 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};

// quantiser_scale for q_scale_type 1, by quantiser_scale_code (0 is forbidden).
inline constexpr std::array<uint8_t, 32> kNonLinearQuantiserScale = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  10, 12, 14, 16, 18, 20,  22,
    24, 28, 32, 36, 40, 44, 48, 52, 56, 64, 72, 80, 88, 96, 104, 112};

} // namespace quorin::decoder
