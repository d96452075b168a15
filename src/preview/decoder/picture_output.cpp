#include "preview/decoder/picture_output.h"

#include "preview/decoder/decoder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>

namespace quorin::decoder {

namespace {

// Clip table for indices -384..639: every filter and colour result lies in that range.
constexpr int kClipOffset = 384;
constexpr std::array<uint8_t, 1024> MakeClipTable() {
    std::array<uint8_t, 1024> t{};
    for (int i = 0; i < 1024; ++i) {
        const int v = i - kClipOffset;
        t[static_cast<size_t>(i)] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return t;
}
constexpr std::array<uint8_t, 1024> kClip = MakeClipTable();
inline uint8_t Clip(int v) {
    return kClip[static_cast<size_t>(v + kClipOffset)];
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

// Progressive 4:2:0 chroma: each line gives two, with the taps mirrored for the second.
void VerticalProgressive(const uint8_t* src, int stride, int w, int c, uint8_t* dst) {
    auto line = [&](int i) { return src + static_cast<long>(std::clamp(i, 0, c - 1)) * stride; };
    for (int i = 0; i < c; ++i) {
        const uint8_t* m3 = line(i - 3);
        const uint8_t* m2 = line(i - 2);
        const uint8_t* m1 = line(i - 1);
        const uint8_t* l0 = line(i);
        const uint8_t* p1 = line(i + 1);
        const uint8_t* p2 = line(i + 2);
        const uint8_t* p3 = line(i + 3);
        uint8_t* even = dst + static_cast<long>(2 * i) * w;
        uint8_t* odd = even + w;
        for (int x = 0; x < w; ++x) {
            even[x] = Clip((3 * m3[x] - 16 * m2[x] + 67 * m1[x] + 227 * l0[x] - 32 * p1[x] +
                            7 * p2[x] + 128) >>
                           8);
            odd[x] = Clip((3 * p3[x] - 16 * p2[x] + 67 * p1[x] + 227 * l0[x] - 32 * m1[x] +
                           7 * m2[x] + 128) >>
                          8);
        }
    }
}

// Interlaced 4:2:0 chroma: each field is filtered on its own lines (c is even).
void VerticalInterlaced(const uint8_t* src, int stride, int w, int c, uint8_t* dst) {
    auto line = [&](int k) {
        const int parity = k & 1;
        if (k < 0) k = parity;
        if (k > c - 1) k = ((c - 1) & 1) == parity ? c - 1 : c - 2;
        return src + static_cast<long>(k) * stride;
    };
    for (int i = 0; i + 1 < c; i += 2) {
        const uint8_t* t[7] = {line(i - 6), line(i - 4), line(i - 2), line(i),
                               line(i + 2), line(i + 4), line(i + 6)};
        const uint8_t* b[7] = {line(i - 5), line(i - 3), line(i - 1), line(i + 1),
                               line(i + 3), line(i + 5), line(i + 7)};
        uint8_t* o0 = dst + static_cast<long>(2 * i) * w;
        uint8_t* o1 = o0 + w;
        uint8_t* o2 = o1 + w;
        uint8_t* o3 = o2 + w;
        for (int x = 0; x < w; ++x) {
            o0[x] = Clip((t[0][x] - 7 * t[1][x] + 30 * t[2][x] + 248 * t[3][x] - 21 * t[4][x] +
                          5 * t[5][x] + 128) >>
                         8);
            o2[x] = Clip((7 * t[1][x] - 35 * t[2][x] + 194 * t[3][x] + 110 * t[4][x] -
                          24 * t[5][x] + 4 * t[6][x] + 128) >>
                         8);
            o1[x] = Clip((4 * b[0][x] - 24 * b[1][x] + 110 * b[2][x] + 194 * b[3][x] -
                          35 * b[4][x] + 7 * b[5][x] + 128) >>
                         8);
            o3[x] = Clip((5 * b[1][x] - 21 * b[2][x] + 248 * b[3][x] + 30 * b[4][x] - 7 * b[5][x] +
                          b[6][x] + 128) >>
                         8);
        }
    }
}

// One chroma line of w samples to 2 * half samples.
void Horizontal(const uint8_t* l, int w, int half, bool mpeg2, uint8_t* out) {
    auto at = [&](int j) { return static_cast<int>(l[std::clamp(j, 0, w - 1)]); };
    for (int j = 0; j < half; ++j) {
        if (mpeg2) {
            // Chroma sited with the even luma samples.
            out[2 * j] = l[j];
            out[2 * j + 1] = Clip((21 * (at(j - 2) + at(j + 3)) - 52 * (at(j - 1) + at(j + 2)) +
                                   159 * (at(j) + at(j + 1)) + 128) >>
                                  8);
        } else {
            // Chroma sited between the luma samples.
            out[2 * j] = Clip((5 * at(j - 3) - 21 * at(j - 2) + 70 * at(j - 1) + 228 * at(j) -
                               37 * at(j + 1) + 11 * at(j + 2) + 128) >>
                              8);
            out[2 * j + 1] = Clip((5 * at(j + 3) - 21 * at(j + 2) + 70 * at(j + 1) + 228 * at(j) -
                                   37 * at(j - 1) + 11 * at(j - 2) + 128) >>
                                  8);
        }
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

bool PictureOutput::Grow(std::vector<uint8_t>& buf, size_t size) {
    if (buf.size() >= size) return true;
    try {
        std::vector<uint8_t>().swap(buf);
        buf.resize(size);
    } catch (const std::bad_alloc&) {
        std::vector<uint8_t>().swap(buf);
        return false;
    }
    return true;
}

// Cb and Cr at w x h into work_[1] and work_[2]; work_[0] holds the vertically doubled plane.
bool PictureOutput::FullResolutionChroma(const OutputFrame& f, int w, int h) {
    const int cw = ChromaWidth(f);
    const size_t full = static_cast<size_t>(w) * static_cast<size_t>(h);
    if (!Grow(work_[1], full) || !Grow(work_[2], full)) return false;
    if (f.chroma_format == 3) {
        for (int p = 1; p < 3; ++p) {
            for (int y = 0; y < h; ++y) {
                std::memcpy(work_[p].data() + static_cast<size_t>(y) * w,
                            f.planes[p] + static_cast<long>(y) * f.stride[p],
                            static_cast<size_t>(w));
            }
        }
        return true;
    }
    if (f.chroma_format == 1 && !Grow(work_[0], static_cast<size_t>(cw) * h)) return false;
    for (int p = 1; p < 3; ++p) {
        const uint8_t* rows = f.planes[p];
        int stride = f.stride[p];
        if (f.chroma_format == 1) {
            if (f.progressive_frame) {
                VerticalProgressive(f.planes[p], f.stride[p], cw, h / 2, work_[0].data());
            } else {
                VerticalInterlaced(f.planes[p], f.stride[p], cw, h / 2, work_[0].data());
            }
            rows = work_[0].data();
            stride = cw;
        }
        for (int y = 0; y < h; ++y) {
            Horizontal(rows + static_cast<long>(y) * stride, cw, w / 2, f.mpeg2,
                       work_[p].data() + static_cast<size_t>(y) * w);
        }
    }
    return true;
}

size_t PictureOutput::Write(const OutputFrame& f, std::span<uint8_t> out, int& width, int& height,
                            int format, int& error) {
    error = 1;
    if (f.chroma_format < 1 || f.chroma_format > 3) {
        error = -9;
        return 0;
    }
    const bool rgb = format == kFormatBitmap || format == kFormatTga || format == kFormatPpm;
    const bool plane = format == kFormatLuma || format == kFormatCb || format == kFormatCr;
    if (!rgb && !plane && format != kFormatPacked422) {
        error = -3;
        return 0;
    }
    if (plane) {
        const int p = format - kFormatLuma;
        const int w = p == 0 ? f.horizontal_size : ChromaWidth(f);
        const int h =
            (p == 0 || f.chroma_format != 1) ? f.vertical_size : (f.vertical_size + 1) >> 1;
        const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
        if (n == 0 || n > out.size() || h > f.plane_height[p]) {
            error = -3;
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
        error = -3;
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
        error = -3;
        return 0;
    }
    if (!FullResolutionChroma(f, w, h)) {
        error = -5;
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
    for (int y = 0; y < h; ++y) {
        const int out_row = format == kFormatBitmap ? h - 1 - y : y;
        uint8_t* d = o + header + row_bytes * static_cast<size_t>(out_row);
        const uint8_t* luma = f.planes[0] + static_cast<long>(y) * f.stride[0];
        const uint8_t* cb = work_[1].data() + static_cast<size_t>(y) * w;
        const uint8_t* cr = work_[2].data() + static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x, d += 3) {
            const int yy = (luma[x] - 16) * kLumaScale;
            const int u = cb[x] - 128;
            const int v = cr[x] - 128;
            const uint8_t r = Clip((yy + c.crv * v + 32768) >> 16);
            const uint8_t g = Clip((yy - c.cgu * u - c.cgv * v + 32768) >> 16);
            const uint8_t b = Clip((yy + c.cbu * u + 32786) >> 16);
            d[0] = rgb_order ? r : b;
            d[1] = g;
            d[2] = rgb_order ? b : r;
        }
        std::memset(d, 0, row_bytes - static_cast<size_t>(w) * 3);
    }
    return total;
}

size_t PictureOutput::WritePacked(const OutputFrame& f, std::span<uint8_t> out, int w, int h,
                                  int& error) {
    const size_t total = static_cast<size_t>(w) * static_cast<size_t>(h) * 2;
    if (total > out.size()) {
        error = -3;
        return 0;
    }
    const uint8_t* chroma[3] = {nullptr, f.planes[1], f.planes[2]};
    int stride = f.stride[1];
    if (f.chroma_format == 1) {
        const int cw = ChromaWidth(f);
        const size_t size = static_cast<size_t>(cw) * static_cast<size_t>(h);
        if (!Grow(work_[1], size) || !Grow(work_[2], size)) {
            error = -5;
            return 0;
        }
        for (int p = 1; p < 3; ++p) {
            if (f.progressive_frame) {
                VerticalProgressive(f.planes[p], f.stride[p], cw, h / 2, work_[p].data());
            } else {
                VerticalInterlaced(f.planes[p], f.stride[p], cw, h / 2, work_[p].data());
            }
            chroma[p] = work_[p].data();
        }
        stride = cw;
    }
    const int step = f.chroma_format == 3 ? 2 : 1; // 4:4:4 uses every second chroma sample
    uint8_t* d = out.data();
    for (int y = 0; y < h; ++y) {
        const uint8_t* luma = f.planes[0] + static_cast<long>(y) * f.stride[0];
        const uint8_t* cb = chroma[1] + static_cast<long>(y) * stride;
        const uint8_t* cr = chroma[2] + static_cast<long>(y) * stride;
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
