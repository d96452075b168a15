// The picture files: sizes, headers, row order and padding, chroma filters and the colour
// matrices.
#include "decoder/decoder.h"
#include "decoder/picture_output.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace quorin::decoder {
namespace {

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}
uint32_t Le16(const uint8_t* p) {
    return p[0] | p[1] << 8;
}

// A frame of flat planes, or planes filled by a function of (plane, x, y).
struct TestFrame {
    std::vector<uint8_t> planes[3];
    OutputFrame frame;

    TestFrame(int w, int h, int chroma_format, int y, int cb, int cr) {
        const int cw = chroma_format == 3 ? w : (w + 1) / 2;
        const int ch = chroma_format == 1 ? (h + 1) / 2 : h;
        const int values[3] = {y, cb, cr};
        for (int p = 0; p < 3; ++p) {
            const int pw = p ? cw : w, ph = p ? ch : h;
            planes[p].assign(static_cast<size_t>(pw * ph), static_cast<uint8_t>(values[p]));
            frame.planes[p] = planes[p].data();
            frame.stride[p] = pw;
            frame.plane_height[p] = ph;
        }
        frame.horizontal_size = w;
        frame.vertical_size = h;
        frame.chroma_format = chroma_format;
        frame.mpeg2 = true;
    }
};

struct Written {
    std::vector<uint8_t> bytes;
    int width = 0, height = 0, error = 0;
};

Written Write(const OutputFrame& f, int format) {
    Written w;
    std::vector<uint8_t> buffer(OutputBufferSize(f.horizontal_size, f.vertical_size));
    PictureOutput out;
    const size_t n = out.Write(f, buffer, w.width, w.height, format, w.error);
    buffer.resize(n);
    w.bytes = std::move(buffer);
    return w;
}

// The colour formulas, written out independently of the decoder.
std::array<int, 3> ExpectedRgb(int y, int cb, int cr, int matrix) {
    static const int rows[8][4] = {{117504, 138453, 13954, 34903}, {117504, 138453, 13954, 34903},
                                   {104597, 132201, 25675, 53279}, {104597, 132201, 25675, 53279},
                                   {104448, 132798, 24759, 53109}, {104597, 132201, 25675, 53279},
                                   {104597, 132201, 25675, 53279}, {117579, 136230, 16907, 35559}};
    const int* c = rows[matrix];
    const long yy = (y - 16) * 76309L;
    const int u = cb - 128, v = cr - 128;
    auto clip = [](long x) { return static_cast<int>(std::clamp(x, 0L, 255L)); };
    return {clip((yy + c[0] * v + 32768) >> 16), clip((yy - c[2] * u - c[3] * v + 32768) >> 16),
            clip((yy + c[1] * u + 32786) >> 16)};
}

// The pixel at (x, y) (top-left origin) of a bitmap, as R, G, B.
std::array<int, 3> BitmapPixel(const Written& w, int x, int y) {
    const size_t row = (static_cast<size_t>(w.width) * 3 + 3) & ~size_t{3};
    const uint8_t* p = w.bytes.data() + 54 + row * static_cast<size_t>(w.height - 1 - y) + 3 * x;
    return {p[2], p[1], p[0]};
}

TEST(PictureOutput, BlackAndWhite) {
    for (int matrix = 0; matrix < 8; ++matrix) {
        TestFrame black(16, 16, 1, 16, 128, 128);
        black.frame.matrix_coefficients = matrix;
        EXPECT_EQ(BitmapPixel(Write(black.frame, kFormatBitmap), 5, 5),
                  (std::array<int, 3>{0, 0, 0}));
        TestFrame white(16, 16, 1, 235, 128, 128);
        white.frame.matrix_coefficients = matrix;
        EXPECT_EQ(BitmapPixel(Write(white.frame, kFormatBitmap), 5, 5),
                  (std::array<int, 3>{255, 255, 255}));
    }
}

TEST(PictureOutput, EveryMatrixRowGivesTheFormulaColours) {
    const int colours[][3] = {{81, 90, 240},   {145, 54, 34}, {41, 240, 110}, {170, 166, 16},
                              {106, 202, 222}, {30, 20, 250}, {240, 250, 5}};
    for (int matrix = 0; matrix < 8; ++matrix) {
        for (const auto& c : colours) {
            for (int chroma_format = 1; chroma_format <= 3; ++chroma_format) {
                TestFrame t(24, 20, chroma_format, c[0], c[1], c[2]);
                t.frame.matrix_coefficients = matrix;
                const Written w = Write(t.frame, kFormatBitmap);
                ASSERT_GT(w.bytes.size(), 54u);
                EXPECT_EQ(BitmapPixel(w, 7, 9), ExpectedRgb(c[0], c[1], c[2], matrix))
                    << "matrix " << matrix << " colour " << c[0] << "," << c[1] << "," << c[2];
            }
        }
    }
}

TEST(PictureOutput, UnknownMatrixUsesTheUnspecifiedRow) {
    TestFrame t(16, 16, 1, 81, 90, 240);
    t.frame.matrix_coefficients = 200;
    EXPECT_EQ(BitmapPixel(Write(t.frame, kFormatBitmap), 3, 3), ExpectedRgb(81, 90, 240, 2));
}

TEST(PictureOutput, BitmapOfA720x576Frame) {
    TestFrame t(720, 576, 1, 100, 110, 120);
    t.frame.progressive_frame = false;
    const Written w = Write(t.frame, kFormatBitmap);
    ASSERT_EQ(w.bytes.size(), 54u + 1244160u);
    const uint8_t* h = w.bytes.data();
    EXPECT_EQ(h[0], 'B');
    EXPECT_EQ(h[1], 'M');
    EXPECT_EQ(Le32(h + 2), 54u + 1244160u);
    EXPECT_EQ(Le32(h + 6), 0u);
    EXPECT_EQ(Le32(h + 10), 54u);
    EXPECT_EQ(Le32(h + 14), 40u);
    EXPECT_EQ(Le32(h + 18), 720u);
    EXPECT_EQ(Le32(h + 22), 576u);
    EXPECT_EQ(Le16(h + 26), 1u);
    EXPECT_EQ(Le16(h + 28), 24u);
    EXPECT_EQ(Le32(h + 30), 0u);
    EXPECT_EQ(Le32(h + 34), 1244160u);
    EXPECT_EQ(Le32(h + 38), 200u);
    EXPECT_EQ(Le32(h + 42), 200u);
    EXPECT_EQ(Le32(h + 46), 0u);
    EXPECT_EQ(Le32(h + 50), 0u);
    EXPECT_EQ(w.width, 720);
    EXPECT_EQ(w.height, 576);
}

TEST(PictureOutput, BitmapRowsArePaddedToFourBytes) {
    // 3 x 10 = 30 bytes of pixels per row, stored as 32.
    TestFrame t(10, 6, 1, 235, 128, 128);
    const Written w = Write(t.frame, kFormatBitmap);
    ASSERT_EQ(w.bytes.size(), 54u + 32u * 6u);
    EXPECT_EQ(Le32(w.bytes.data() + 2), 54u + 32u * 6u);
    EXPECT_EQ(Le32(w.bytes.data() + 34), 32u * 6u);
    for (int row = 0; row < 6; ++row) {
        const uint8_t* r = w.bytes.data() + 54 + 32 * row;
        EXPECT_EQ(r[29], 255);
        EXPECT_EQ(r[30], 0);
        EXPECT_EQ(r[31], 0);
    }
}

TEST(PictureOutput, BitmapRowsAreStoredBottomUpTgaAndPpmTopDown) {
    TestFrame t(16, 16, 3, 16, 128, 128);
    std::fill(t.planes[0].begin(), t.planes[0].begin() + 16, 235); // top row white
    const Written bmp = Write(t.frame, kFormatBitmap);
    EXPECT_EQ(bmp.bytes[54 + 15 * 48], 255); // last stored row is the top one
    EXPECT_EQ(bmp.bytes[54], 0);

    const Written tga = Write(t.frame, kFormatTga);
    ASSERT_EQ(tga.bytes.size(), 18u + 3u * 16u * 16u);
    const uint8_t header[12] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(tga.bytes.data(), header, 12), 0);
    EXPECT_EQ(Le16(tga.bytes.data() + 12), 16u);
    EXPECT_EQ(Le16(tga.bytes.data() + 14), 16u);
    EXPECT_EQ(tga.bytes[16], 24);
    EXPECT_EQ(tga.bytes[17], 0x20);
    EXPECT_EQ(tga.bytes[18], 255);
    EXPECT_EQ(tga.bytes[18 + 16 * 3], 0);

    const Written ppm = Write(t.frame, kFormatPpm);
    const std::string head = "P6\n16 16\n255\n";
    ASSERT_EQ(ppm.bytes.size(), head.size() + 3u * 16u * 16u);
    EXPECT_EQ(std::string(ppm.bytes.begin(), ppm.bytes.begin() + 13), head);
    EXPECT_EQ(ppm.bytes[head.size()], 255);
}

TEST(PictureOutput, RgbOrderOfEachFormat) {
    TestFrame t(8, 8, 3, 81, 90, 240); // a red
    const auto rgb = ExpectedRgb(81, 90, 240, 0);
    const Written tga = Write(t.frame, kFormatTga);
    EXPECT_EQ(tga.bytes[18], rgb[2]);
    EXPECT_EQ(tga.bytes[20], rgb[0]);
    const Written ppm = Write(t.frame, kFormatPpm);
    const size_t at = ppm.bytes.size() - 3 * 64;
    EXPECT_EQ(ppm.bytes[at], rgb[0]);
    EXPECT_EQ(ppm.bytes[at + 2], rgb[2]);
}

TEST(PictureOutput, PictureSizeRules) {
    struct Case {
        int w, h, chroma_format;
        bool progressive;
        int out_w, out_h;
    };
    for (const Case c : {Case{11, 16, 1, true, 10, 16}, Case{16, 10, 1, false, 16, 8},
                         Case{16, 10, 1, true, 16, 10}, Case{16, 11, 1, true, 16, 10},
                         Case{16, 14, 1, false, 16, 12}, Case{13, 9, 2, false, 12, 9},
                         Case{13, 9, 3, false, 13, 9}}) {
        TestFrame t(c.w, c.h, c.chroma_format, 100, 100, 100);
        t.frame.progressive_frame = c.progressive;
        const Written w = Write(t.frame, kFormatTga);
        EXPECT_EQ(w.width, c.out_w) << c.w << "x" << c.h;
        EXPECT_EQ(w.height, c.out_h) << c.w << "x" << c.h;
        EXPECT_EQ(w.bytes.size(), 18u + 3u * static_cast<size_t>(c.out_w * c.out_h));
    }
}

TEST(PictureOutput, PlanesAtTheirOwnResolution) {
    TestFrame t(13, 9, 1, 1, 2, 3);
    Written y = Write(t.frame, kFormatLuma);
    EXPECT_EQ(y.bytes.size(), 13u * 9u);
    EXPECT_EQ(y.width, 13);
    Written cb = Write(t.frame, kFormatCb);
    EXPECT_EQ(cb.bytes.size(), 7u * 5u);
    EXPECT_TRUE(std::all_of(cb.bytes.begin(), cb.bytes.end(), [](uint8_t v) { return v == 2; }));
    Written cr = Write(t.frame, kFormatCr);
    EXPECT_EQ(cr.bytes.size(), 7u * 5u);
    EXPECT_EQ(cr.bytes[0], 3);
}

TEST(PictureOutput, PackedSamplesCbY0CrY1) {
    TestFrame t(8, 4, 2, 0, 0, 0);
    for (int i = 0; i < 32; ++i)
        t.planes[0][static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    for (int i = 0; i < 16; ++i) {
        t.planes[1][static_cast<size_t>(i)] = static_cast<uint8_t>(100 + i);
        t.planes[2][static_cast<size_t>(i)] = static_cast<uint8_t>(200 + i);
    }
    const Written w = Write(t.frame, kFormatPacked422);
    ASSERT_EQ(w.bytes.size(), 2u * 8u * 4u);
    // Row 1, pixel pair 2.
    const uint8_t* p = w.bytes.data() + 16 * 1 + 4 * 2;
    EXPECT_EQ(p[0], 100 + 4 + 2);
    EXPECT_EQ(p[1], 8 + 4);
    EXPECT_EQ(p[2], 200 + 4 + 2);
    EXPECT_EQ(p[3], 8 + 5);

    TestFrame full(8, 2, 3, 50, 0, 0);
    for (int i = 0; i < 16; ++i)
        full.planes[1][static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    const Written packed = Write(full.frame, kFormatPacked422);
    EXPECT_EQ(packed.bytes[4], 2); // every second Cb sample of 4:4:4
}

TEST(PictureOutput, ChromaFiltersKeepCositedSamplesAndFollowTheTaps) {
    // One chroma line 0, 0, 0, 255, 255, 255 of an MPEG-2 4:2:2 picture.
    TestFrame t(12, 1, 2, 128, 0, 128);
    for (int j = 3; j < 6; ++j)
        t.planes[1][static_cast<size_t>(j)] = 255;
    t.frame.matrix_coefficients = 1;
    // With Y = 128 and Cr = 128 blue follows Cb alone, so the upsampled Cb can be read back.
    const Written w = Write(t.frame, kFormatPpm);
    const size_t at = w.bytes.size() - 3 * 12;
    auto blue = [&](int x) { return w.bytes[at + 3 * static_cast<size_t>(x) + 2]; };
    auto blue_of = [](int cb) { return ExpectedRgb(128, cb, 128, 1)[2]; };
    EXPECT_EQ(blue(4), blue_of(0));   // out[4] = L[2]
    EXPECT_EQ(blue(6), blue_of(255)); // out[6] = L[3]
    // out[5] = (21 (L0 + L5) - 52 (L1 + L4) + 159 (L2 + L3) + 128) >> 8
    const int mid = (21 * (0 + 255) - 52 * (0 + 255) + 159 * (0 + 255) + 128) >> 8;
    EXPECT_EQ(blue(5), blue_of(mid));
}

TEST(PictureOutput, InterlacedVerticalFilterUsesEachFieldsOwnLines) {
    // Top-field chroma lines 200, bottom-field lines 50: an interlaced frame keeps them apart.
    TestFrame t(16, 16, 1, 128, 128, 128);
    for (int y = 0; y < 8; ++y) {
        std::fill_n(t.planes[1].begin() + y * 8, 8, static_cast<uint8_t>(y % 2 ? 50 : 200));
    }
    t.frame.progressive_frame = false;
    t.frame.matrix_coefficients = 1;
    const Written w = Write(t.frame, kFormatPpm);
    const size_t at = w.bytes.size() - 3 * 256;
    for (int y = 0; y < 16; ++y) {
        const int expected = ExpectedRgb(128, (y % 2) ? 50 : 200, 128, 1)[2];
        EXPECT_EQ(w.bytes[at + 3 * 16 * static_cast<size_t>(y) + 2], expected) << y;
    }
}

TEST(PictureOutput, RefusesUnknownFormatsAndChroma) {
    TestFrame t(16, 16, 1, 100, 100, 100);
    for (int format : {3, 4, 9, -1}) {
        const Written w = Write(t.frame, format);
        EXPECT_TRUE(w.bytes.empty());
        EXPECT_EQ(w.error, -3);
    }
    t.frame.chroma_format = 0;
    const Written w = Write(t.frame, kFormatBitmap);
    EXPECT_TRUE(w.bytes.empty());
    EXPECT_EQ(w.error, -9);
}

TEST(PictureOutput, TooSmallABufferIsRefused) {
    TestFrame t(16, 16, 1, 100, 100, 100);
    std::vector<uint8_t> small(100);
    PictureOutput out;
    int w = 0, h = 0, error = 0;
    EXPECT_EQ(out.Write(t.frame, small, w, h, kFormatBitmap, error), 0u);
    EXPECT_EQ(error, -3);
}

} // namespace
} // namespace quorin::decoder
