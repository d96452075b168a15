#include "decoder/motion.h"

#include <algorithm>

namespace quorin::decoder {

namespace {

constexpr int kMaxArea = 16;
constexpr int kEdgeStride = kMaxArea + 1;

// Sample kernels for the four half-sample cases; `Avg` averages into the destination.
template <bool Avg> inline void Put(uint8_t* d, int v) {
    if constexpr (Avg) {
        *d = static_cast<uint8_t>((*d + v + 1) >> 1);
    } else {
        *d = static_cast<uint8_t>(v);
    }
}

template <bool Avg>
void Predict(uint8_t* dst, int ds, const uint8_t* s, int ss, int hx, int hy, int w, int h) {
    for (int y = 0; y < h; ++y, dst += ds, s += ss) {
        if (!hy) {
            if (!hx) {
                for (int x = 0; x < w; ++x)
                    Put<Avg>(dst + x, s[x]);
            } else {
                for (int x = 0; x < w; ++x)
                    Put<Avg>(dst + x, (s[x] + s[x + 1] + 1) >> 1);
            }
            continue;
        }
        const uint8_t* n = s + ss; // the next line exists: the caller checked h + hy lines
        if (!hx) {
            for (int x = 0; x < w; ++x)
                Put<Avg>(dst + x, (s[x] + n[x] + 1) >> 1);
        } else {
            for (int x = 0; x < w; ++x) {
                Put<Avg>(dst + x, (s[x] + s[x + 1] + n[x] + n[x + 1] + 2) >> 2);
            }
        }
    }
}

} // namespace

void PredictArea(uint8_t* dst, int dst_stride, const PlaneView& ref, int x, int y, int mvx, int mvy,
                 int w, int h, bool average) {
    if (ref.data == nullptr || ref.width <= 0 || ref.height <= 0) return;
    w = std::min(w, kMaxArea);
    h = std::min(h, kMaxArea);
    const int hx = mvx & 1;
    const int hy = mvy & 1;
    const int ix = x + (mvx >> 1);
    const int iy = y + (mvy >> 1);
    const uint8_t* src = nullptr;
    int src_stride = ref.stride;
    uint8_t edge[kEdgeStride * kEdgeStride];
    if (ix < 0 || iy < 0 || ix + w + hx > ref.width || iy + h + hy > ref.height) {
        // The vector leaves the reference: work on a copy with clamped coordinates.
        for (int r = 0; r < h + hy; ++r) {
            const uint8_t* row =
                ref.data + static_cast<long>(std::clamp(iy + r, 0, ref.height - 1)) * ref.stride;
            for (int c = 0; c < w + hx; ++c) {
                edge[r * kEdgeStride + c] = row[std::clamp(ix + c, 0, ref.width - 1)];
            }
        }
        src = edge;
        src_stride = kEdgeStride;
    } else {
        src = ref.data + static_cast<long>(iy) * ref.stride + ix;
    }
    if (average) {
        Predict<true>(dst, dst_stride, src, src_stride, hx, hy, w, h);
    } else {
        Predict<false>(dst, dst_stride, src, src_stride, hx, hy, w, h);
    }
}

} // namespace quorin::decoder
