// Separable fast transform, rows then columns, with the factors 2048 * sqrt(2) * cos(k * pi / 16)
// and 181 / 256 for 1 / sqrt(2). Intermediates are 64-bit: coefficients out of the range a valid
// stream produces must not overflow, and row results can exceed 16 bits.
#include "decoder/idct.h"

#include <algorithm>
#include <cstdlib>

namespace quorin::decoder {

namespace {

constexpr int64_t W1 = 2841;
constexpr int64_t W2 = 2676;
constexpr int64_t W3 = 2408;
constexpr int64_t W5 = 1609;
constexpr int64_t W6 = 1108;
constexpr int64_t W7 = 565;

int16_t ClipIdct(int64_t v) {
    return static_cast<int16_t>(std::clamp<int64_t>(v, -256, 255));
}

// Magnitude bits of v: below 2^k exactly when -2^k <= v < 2^k.
inline int32_t MagnitudeBits(int32_t v) {
    return v ^ (v >> 31);
}

// Returns the OR of the magnitude bits of the eight results.
int32_t RowPass(const int16_t* in, int32_t* out) {
    int64_t x1 = int64_t{in[4]} << 11;
    int64_t x2 = in[6], x3 = in[2], x4 = in[1], x5 = in[7], x6 = in[5], x7 = in[3];
    if (!(x1 | x2 | x3 | x4 | x5 | x6 | x7)) {
        std::fill(out, out + 8, int32_t{in[0]} * 8);
        return MagnitudeBits(int32_t{in[0]} * 8);
    }
    int64_t x0 = (int64_t{in[0]} << 11) + 128;
    int64_t x8 = W7 * (x4 + x5);
    x4 = x8 + (W1 - W7) * x4;
    x5 = x8 - (W1 + W7) * x5;
    x8 = W3 * (x6 + x7);
    x6 = x8 - (W3 - W5) * x6;
    x7 = x8 - (W3 + W5) * x7;
    x8 = x0 + x1;
    x0 -= x1;
    x1 = W6 * (x3 + x2);
    x2 = x1 - (W2 + W6) * x2;
    x3 = x1 + (W2 - W6) * x3;
    x1 = x4 + x6;
    x4 -= x6;
    x6 = x5 + x7;
    x5 -= x7;
    x7 = x8 + x3;
    x8 -= x3;
    x3 = x0 + x2;
    x0 -= x2;
    x2 = (181 * (x4 + x5) + 128) >> 8;
    x4 = (181 * (x4 - x5) + 128) >> 8;
    out[0] = static_cast<int32_t>((x7 + x1) >> 8);
    out[1] = static_cast<int32_t>((x3 + x2) >> 8);
    out[2] = static_cast<int32_t>((x0 + x4) >> 8);
    out[3] = static_cast<int32_t>((x8 + x6) >> 8);
    out[4] = static_cast<int32_t>((x8 - x6) >> 8);
    out[5] = static_cast<int32_t>((x0 - x4) >> 8);
    out[6] = static_cast<int32_t>((x3 - x2) >> 8);
    out[7] = static_cast<int32_t>((x7 - x1) >> 8);
    int32_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= MagnitudeBits(out[i]);
    return bits;
}

void ColumnPass(const int32_t* in, int16_t* out) {
    int64_t x1 = int64_t{in[8 * 4]} << 8;
    int64_t x2 = in[8 * 6], x3 = in[8 * 2], x4 = in[8 * 1], x5 = in[8 * 7], x6 = in[8 * 5],
            x7 = in[8 * 3];
    if (!(x1 | x2 | x3 | x4 | x5 | x6 | x7)) {
        int16_t v = ClipIdct((int64_t{in[0]} + 32) >> 6);
        for (int i = 0; i < 8; ++i)
            out[8 * i] = v;
        return;
    }
    int64_t x0 = (int64_t{in[0]} << 8) + 8192;
    int64_t x8 = W7 * (x4 + x5) + 4;
    x4 = (x8 + (W1 - W7) * x4) >> 3;
    x5 = (x8 - (W1 + W7) * x5) >> 3;
    x8 = W3 * (x6 + x7) + 4;
    x6 = (x8 - (W3 - W5) * x6) >> 3;
    x7 = (x8 - (W3 + W5) * x7) >> 3;
    x8 = x0 + x1;
    x0 -= x1;
    x1 = W6 * (x3 + x2) + 4;
    x2 = (x1 - (W2 + W6) * x2) >> 3;
    x3 = (x1 + (W2 - W6) * x3) >> 3;
    x1 = x4 + x6;
    x4 -= x6;
    x6 = x5 + x7;
    x5 -= x7;
    x7 = x8 + x3;
    x8 -= x3;
    x3 = x0 + x2;
    x0 -= x2;
    x2 = (181 * (x4 + x5) + 128) >> 8;
    x4 = (181 * (x4 - x5) + 128) >> 8;
    out[8 * 0] = ClipIdct((x7 + x1) >> 14);
    out[8 * 1] = ClipIdct((x3 + x2) >> 14);
    out[8 * 2] = ClipIdct((x0 + x4) >> 14);
    out[8 * 3] = ClipIdct((x8 + x6) >> 14);
    out[8 * 4] = ClipIdct((x8 - x6) >> 14);
    out[8 * 5] = ClipIdct((x0 - x4) >> 14);
    out[8 * 6] = ClipIdct((x3 - x2) >> 14);
    out[8 * 7] = ClipIdct((x7 - x1) >> 14);
}

uint8_t ClipPixel(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// The column pass for all eight columns at once in 32-bit lanes, for row results within
// -kNarrowLimit .. kNarrowLimit - 1: then no intermediate leaves 32 bits and the results equal
// those of ColumnPass (whose all-zero-AC shortcut gives what the full formula gives).
constexpr int32_t kNarrowLimit = 8192;

void NarrowColumns(const int32_t* __restrict in, int16_t* __restrict out) {
    for (int c = 0; c < 8; ++c) {
        int32_t x1 = in[8 * 4 + c] * 256;
        int32_t x2 = in[8 * 6 + c], x3 = in[8 * 2 + c], x4 = in[8 * 1 + c], x5 = in[8 * 7 + c],
                x6 = in[8 * 5 + c], x7 = in[8 * 3 + c];
        int32_t x0 = in[c] * 256 + 8192;
        int32_t x8 = 565 * (x4 + x5) + 4;
        x4 = (x8 + (2841 - 565) * x4) >> 3;
        x5 = (x8 - (2841 + 565) * x5) >> 3;
        x8 = 2408 * (x6 + x7) + 4;
        x6 = (x8 - (2408 - 1609) * x6) >> 3;
        x7 = (x8 - (2408 + 1609) * x7) >> 3;
        x8 = x0 + x1;
        x0 -= x1;
        x1 = 1108 * (x3 + x2) + 4;
        x2 = (x1 - (2676 + 1108) * x2) >> 3;
        x3 = (x1 + (2676 - 1108) * x3) >> 3;
        x1 = x4 + x6;
        x4 -= x6;
        x6 = x5 + x7;
        x5 -= x7;
        x7 = x8 + x3;
        x8 -= x3;
        x3 = x0 + x2;
        x0 -= x2;
        x2 = (181 * (x4 + x5) + 128) >> 8;
        x4 = (181 * (x4 - x5) + 128) >> 8;
        auto clip = [](int32_t v) { return static_cast<int16_t>(std::clamp(v, -256, 255)); };
        out[8 * 0 + c] = clip((x7 + x1) >> 14);
        out[8 * 1 + c] = clip((x3 + x2) >> 14);
        out[8 * 2 + c] = clip((x0 + x4) >> 14);
        out[8 * 3 + c] = clip((x8 + x6) >> 14);
        out[8 * 4 + c] = clip((x8 - x6) >> 14);
        out[8 * 5 + c] = clip((x0 - x4) >> 14);
        out[8 * 6 + c] = clip((x3 - x2) >> 14);
        out[8 * 7 + c] = clip((x7 - x1) >> 14);
    }
}

} // namespace

void InverseDct(int16_t* block) {
    int32_t rows[64];
    int32_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= RowPass(block + 8 * i, rows + 8 * i);
    if (bits < kNarrowLimit) {
        NarrowColumns(rows, block);
        return;
    }
    for (int i = 0; i < 8; ++i)
        ColumnPass(rows + i, block + i);
}

void InverseDctDcOnly(int16_t* block) {
    // Row 0 becomes DC << 3 and every column then takes the column shortcut.
    int16_t v = ClipIdct(((int64_t{block[0]} << 3) + 32) >> 6);
    std::fill(block, block + 64, v);
}

void StoreIntraBlock(const int16_t* __restrict block, uint8_t* __restrict dst, int stride) {
    for (int y = 0; y < 8; ++y, dst += stride, block += 8) {
        for (int x = 0; x < 8; ++x)
            dst[x] = ClipPixel(block[x] + 128);
    }
}

void AddBlock(const int16_t* __restrict block, uint8_t* __restrict dst, int stride) {
    for (int y = 0; y < 8; ++y, dst += stride, block += 8) {
        for (int x = 0; x < 8; ++x)
            dst[x] = ClipPixel(dst[x] + block[x]);
    }
}

} // namespace quorin::decoder
