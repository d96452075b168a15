#include "decoder/picture_output.h"

#include "decoder/decoder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace quorin::decoder {

namespace {

// Every filter and colour result is clipped to 0..255. A clamp gives the same values as a clip
// table and lets the compiler vectorise the loops.
inline uint8_t Clip(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

struct ColourRow {
    int crv, cbu, cgu, cgv;
};
// 16.16 fixed point by matrix_coefficients.
constexpr ColourRow kColourRows[8] = {
    {117504, 138453, 13954, 34903}, {117504, 138453, 13954, 34903}, {104597, 132201, 25675, 53279},
    {104597, 132201, 25675, 53279}, {104448, 132798, 24759, 53109}, {104597, 132201, 25675, 53279},
    {104597, 132201, 25675, 53279}, {117579, 136230, 16907, 35559},
};
constexpr int kLumaScale = 76309;
constexpr int kUnspecifiedMatrix = 2;

constexpr size_t kBitmapHeader = 54;
constexpr size_t kTgaHeader = 18;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

// One output line of a six-tap vertical filter: sum of tap k times line k, rounded, >> 8. The
// taps are template arguments so that the compiler multiplies by constants.
template <int T0, int T1, int T2, int T3, int T4, int T5>
void TapLine(uint8_t* __restrict out, const uint8_t* __restrict l0, const uint8_t* __restrict l1,
             const uint8_t* __restrict l2, const uint8_t* __restrict l3,
             const uint8_t* __restrict l4, const uint8_t* __restrict l5, int w) {
    for (int x = 0; x < w; ++x) {
        out[x] = Clip(
            (T0 * l0[x] + T1 * l1[x] + T2 * l2[x] + T3 * l3[x] + T4 * l4[x] + T5 * l5[x] + 128) >>
            8);
    }
}

// Output line y of a vertically doubled 4:2:0 chroma plane of c lines. A progressive frame
// makes two lines of each chroma line with mirrored taps; an interlaced frame filters each field
// on its own lines, and a line outside the plane is replaced by the nearest of the same field.
void VerticalLine(const uint8_t* src, int stride, int w, int c, bool progressive, int y,
                  uint8_t* out) {
    if (progressive) {
        auto line = [&](int i) {
            return src + static_cast<long>(std::clamp(i, 0, c - 1)) * stride;
        };
        const int i = y / 2;
        const int d = (y & 1) ? -1 : 1; // the second line mirrors the taps
        TapLine<3, -16, 67, 227, -32, 7>(out, line(i - 3 * d), line(i - 2 * d), line(i - d),
                                         line(i), line(i + d), line(i + 2 * d), w);
        return;
    }
    auto line = [&](int k) {
        const int parity = k & 1;
        if (k < 0) k = parity;
        if (k > c - 1) k = ((c - 1) & 1) == parity ? c - 1 : c - 2;
        return src + static_cast<long>(k) * stride;
    };
    const int i = (y / 4) * 2;
    switch (y % 4) {
    case 0: // line 2i: top field lines i-6 .. i+4
        TapLine<1, -7, 30, 248, -21, 5>(out, line(i - 6), line(i - 4), line(i - 2), line(i),
                                        line(i + 2), line(i + 4), w);
        break;
    case 1: // line 2i+1: bottom field lines i-5 .. i+5
        TapLine<4, -24, 110, 194, -35, 7>(out, line(i - 5), line(i - 3), line(i - 1), line(i + 1),
                                          line(i + 3), line(i + 5), w);
        break;
    case 2: // line 2i+2: top field lines i-4 .. i+6
        TapLine<7, -35, 194, 110, -24, 4>(out, line(i - 4), line(i - 2), line(i), line(i + 2),
                                          line(i + 4), line(i + 6), w);
        break;
    default: // line 2i+3: bottom field lines i-3 .. i+7
        TapLine<5, -21, 248, 30, -7, 1>(out, line(i - 3), line(i - 1), line(i + 1), line(i + 3),
                                        line(i + 5), line(i + 7), w);
        break;
    }
}

// The two outputs of chroma sample j: MPEG-2 chroma is sited with the even luma samples, MPEG-1
// chroma between the luma samples. `at(k)` gives sample j + k.
template <typename At> inline void HorizontalPair(At at, bool mpeg2, uint8_t* out) {
    if (mpeg2) {
        out[0] = static_cast<uint8_t>(at(0));
        out[1] = Clip(
            (21 * (at(-2) + at(3)) - 52 * (at(-1) + at(2)) + 159 * (at(0) + at(1)) + 128) >> 8);
    } else {
        out[0] = Clip((5 * at(-3) - 21 * at(-2) + 70 * at(-1) + 228 * at(0) - 37 * at(1) +
                       11 * at(2) + 128) >>
                      8);
        out[1] = Clip(
            (5 * at(3) - 21 * at(2) + 70 * at(1) + 228 * at(0) - 37 * at(-1) + 11 * at(-2) + 128) >>
            8);
    }
}

// One chroma line of w samples to 2 * half samples (indices clamped to 0 .. w - 1). `scratch`
// holds 2 * half bytes.
void Horizontal(const uint8_t* l, int w, int half, bool mpeg2, uint8_t* out, uint8_t* scratch) {
    // Samples 3 .. w - 4 reach no edge: there the taps run over shifted lines, vectorised.
    const int lo = std::min(3, half);
    const int hi = std::max(lo, std::min(half, w - 3));
    uint8_t* even = scratch;
    uint8_t* odd = scratch + half;
    if (hi > lo) {
        const uint8_t* c = l + lo;
        if (mpeg2) {
            std::memcpy(even + lo, c, static_cast<size_t>(hi - lo));
            TapLine<21, -52, 159, 159, -52, 21>(odd + lo, c - 2, c - 1, c, c + 1, c + 2, c + 3,
                                                hi - lo);
        } else {
            TapLine<5, -21, 70, 228, -37, 11>(even + lo, c - 3, c - 2, c - 1, c, c + 1, c + 2,
                                              hi - lo);
            TapLine<11, -37, 228, 70, -21, 5>(odd + lo, c - 2, c - 1, c, c + 1, c + 2, c + 3,
                                              hi - lo);
        }
    }
    for (int j = lo; j < hi; ++j) {
        out[2 * j] = even[j];
        out[2 * j + 1] = odd[j];
    }
    auto edge = [&](int j) {
        HorizontalPair([&](int k) { return static_cast<int>(l[std::clamp(j + k, 0, w - 1)]); },
                       mpeg2, out + 2 * j);
    };
    for (int j = 0; j < lo; ++j)
        edge(j);
    for (int j = hi; j < half; ++j)
        edge(j);
}

// One row of pixels to separate R, G and B rows.
void ConvertRow(const uint8_t* __restrict luma, const uint8_t* __restrict cb,
                const uint8_t* __restrict cr, uint8_t* __restrict red, uint8_t* __restrict green,
                uint8_t* __restrict blue, int w, const ColourRow& c) {
    const int crv = c.crv, cbu = c.cbu, cgu = c.cgu, cgv = c.cgv;
    for (int x = 0; x < w; ++x) {
        const int yy = (luma[x] - 16) * kLumaScale;
        const int u = cb[x] - 128;
        const int v = cr[x] - 128;
        red[x] = Clip((yy + crv * v + 32768) >> 16);
        green[x] = Clip((yy - cgu * u - cgv * v + 32768) >> 16);
        blue[x] = Clip((yy + cbu * u + 32786) >> 16); // 32786 for blue, not 32768
    }
}

int ChromaWidth(const OutputFrame& f) {
    return f.chroma_format == 3 ? f.horizontal_size : (f.horizontal_size + 1) >> 1;
}

// Lines of the 4:2:0 chroma plane that are written: rounded down to even when interlaced.
int ChromaLines420(const OutputFrame& f) {
    int c = f.vertical_size / 2;
    if (!f.progressive_frame) c &= ~1;
    return c;
}

} // namespace

size_t OutputBufferSize(int horizontal_size, int vertical_size) {
    return static_cast<size_t>(horizontal_size + 2) * static_cast<size_t>(vertical_size + 2) * 3 +
           4096;
}

bool PictureOutput::Grow(Work& buf, size_t size) {
    if (buf.size >= size) return true;
    buf.data.reset();
    buf.size = 0;
    try {
        buf.data = std::make_unique_for_overwrite<uint8_t[]>(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    buf.size = size;
    return true;
}

// Chroma line y of plane p at full vertical resolution: the plane's own line, or for 4:2:0 a
// line doubled into `scratch`.
const uint8_t* PictureOutput::ChromaLine(const OutputFrame& f, int p, int y, int lines,
                                         uint8_t* scratch) const {
    if (f.chroma_format != 1) return f.planes[p] + static_cast<long>(y) * f.stride[p];
    VerticalLine(f.planes[p], f.stride[p], ChromaWidth(f), lines, f.progressive_frame, y, scratch);
    return scratch;
}

size_t PictureOutput::Write(const OutputFrame& f, std::span<uint8_t> out, int& width, int& height,
                            int format, int& error) {
    error = 1;
    if (f.chroma_format < 1 || f.chroma_format > 3) {
        error = kResultUnsupported;
        return 0;
    }
    const bool rgb = format == kFormatBitmap || format == kFormatTga || format == kFormatPpm;
    const bool plane = format == kFormatLuma || format == kFormatCb || format == kFormatCr;
    if (!rgb && !plane && format != kFormatPacked422) {
        error = kResultWrongCall;
        return 0;
    }
    if (plane) {
        const int p = format - kFormatLuma;
        const int w = p == 0 ? f.horizontal_size : ChromaWidth(f);
        const int h =
            (p == 0 || f.chroma_format != 1) ? f.vertical_size : (f.vertical_size + 1) >> 1;
        const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
        if (n == 0 || n > out.size() || h > f.plane_height[p]) {
            error = kResultWrongCall;
            return 0;
        }
        for (int y = 0; y < h; ++y) {
            std::memcpy(out.data() + static_cast<size_t>(y) * w,
                        f.planes[p] + static_cast<long>(y) * f.stride[p], static_cast<size_t>(w));
        }
        width = w;
        height = h;
        return n;
    }
    // Full picture size: even width unless 4:4:4 (packed samples always pair pixels); 4:2:0
    // height from the chroma lines.
    const bool even = f.chroma_format != 3 || format == kFormatPacked422;
    const int w = even ? 2 * (f.horizontal_size / 2) : f.horizontal_size;
    const int h = f.chroma_format == 1 ? 2 * ChromaLines420(f) : f.vertical_size;
    if (w <= 0 || h <= 0) {
        error = kResultWrongCall;
        return 0;
    }
    width = w;
    height = h;
    if (format == kFormatPacked422) return WritePacked(f, out, w, h, error);
    return WriteRgb(f, out, w, h, format, error);
}

size_t PictureOutput::WriteRgb(const OutputFrame& f, std::span<uint8_t> out, int w, int h,
                               int format, int& error) {
    char ppm[64];
    size_t header = kTgaHeader;
    size_t row_bytes = static_cast<size_t>(w) * 3;
    if (format == kFormatBitmap) {
        header = kBitmapHeader;
        row_bytes = (row_bytes + 3) & ~size_t{3}; // bitmap rows are padded to 4 bytes
    } else if (format == kFormatPpm) {
        header = static_cast<size_t>(std::snprintf(ppm, sizeof ppm, "P6\n%d %d\n255\n", w, h));
    }
    const size_t total = header + row_bytes * static_cast<size_t>(h);
    if (total > out.size()) {
        error = kResultWrongCall;
        return 0;
    }
    // Row buffers: two doubled chroma lines, two full-width chroma rows, R, G, B and the
    // horizontal filter's scratch.
    const int cw = ChromaWidth(f);
    if (!Grow(work_, 2 * static_cast<size_t>(cw) + 6 * static_cast<size_t>(w))) {
        error = kResultNoMemory;
        return 0;
    }
    uint8_t* o = out.data();
    std::memset(o, 0, header);
    if (format == kFormatBitmap) {
        o[0] = 'B';
        o[1] = 'M';
        Put32(o + 2, static_cast<uint32_t>(total));
        Put32(o + 10, static_cast<uint32_t>(kBitmapHeader));
        Put32(o + 14, 40);
        Put32(o + 18, static_cast<uint32_t>(w));
        Put32(o + 22, static_cast<uint32_t>(h));
        Put16(o + 26, 1);
        Put16(o + 28, 24);
        Put32(o + 34, static_cast<uint32_t>(row_bytes * static_cast<size_t>(h)));
        Put32(o + 38, 200);
        Put32(o + 42, 200);
    } else if (format == kFormatTga) {
        o[2] = 2;
        Put16(o + 12, static_cast<uint32_t>(w));
        Put16(o + 14, static_cast<uint32_t>(h));
        o[16] = 24;
        o[17] = 0x20;
    } else {
        std::memcpy(o, ppm, header);
    }
    const int mc = f.matrix_coefficients;
    const ColourRow& c = kColourRows[mc >= 0 && mc <= 7 ? mc : kUnspecifiedMatrix];
    const bool rgb_order = format == kFormatPpm;
    // One row of each colour first (a loop the compiler vectorises), then the pixels.
    uint8_t* line[3] = {nullptr, work_.get(), work_.get() + cw};
    uint8_t* full[3] = {nullptr, line[2] + cw, line[2] + cw + w};
    uint8_t* red = full[2] + w;
    uint8_t* green = red + w;
    uint8_t* blue = green + w;
    const int lines = ChromaLines420(f);
    for (int y = 0; y < h; ++y) {
        const uint8_t* chroma[3] = {};
        for (int p = 1; p < 3; ++p) {
            chroma[p] = ChromaLine(f, p, y, lines, line[p]);
            if (f.chroma_format != 3) {
                Horizontal(chroma[p], cw, w / 2, f.mpeg2, full[p], blue + w);
                chroma[p] = full[p];
            }
        }
        ConvertRow(f.planes[0] + static_cast<long>(y) * f.stride[0], chroma[1], chroma[2], red,
                   green, blue, w, c);
        const uint8_t* first = rgb_order ? red : blue;
        const uint8_t* last = rgb_order ? blue : red;
        const int out_row = format == kFormatBitmap ? h - 1 - y : y;
        uint8_t* d = o + header + row_bytes * static_cast<size_t>(out_row);
        for (int x = 0; x < w; ++x, d += 3) {
            d[0] = first[x];
            d[1] = green[x];
            d[2] = last[x];
        }
        std::memset(d, 0, row_bytes - static_cast<size_t>(w) * 3);
    }
    return total;
}

size_t PictureOutput::WritePacked(const OutputFrame& f, std::span<uint8_t> out, int w, int h,
                                  int& error) {
    const size_t total = static_cast<size_t>(w) * static_cast<size_t>(h) * 2;
    if (total > out.size()) {
        error = kResultWrongCall;
        return 0;
    }
    const int cw = ChromaWidth(f);
    if (!Grow(work_, 2 * static_cast<size_t>(cw))) {
        error = kResultNoMemory;
        return 0;
    }
    const int lines = ChromaLines420(f);
    const int step = f.chroma_format == 3 ? 2 : 1; // 4:4:4 uses every second chroma sample
    uint8_t* d = out.data();
    for (int y = 0; y < h; ++y) {
        const uint8_t* luma = f.planes[0] + static_cast<long>(y) * f.stride[0];
        const uint8_t* cb = ChromaLine(f, 1, y, lines, work_.get());
        const uint8_t* cr = ChromaLine(f, 2, y, lines, work_.get() + cw);
        for (int k = 0; k < w / 2; ++k, d += 4) {
            d[0] = cb[k * step];
            d[1] = luma[2 * k];
            d[2] = cr[k * step];
            d[3] = luma[2 * k + 1];
        }
    }
    return total;
}

} // namespace quorin::decoder
