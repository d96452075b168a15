// Half-sample motion-compensated prediction of one rectangular area of one plane.
#pragma once

#include <cstdint>

namespace quorin::decoder {

// A frame or a field of one reference plane.
struct PlaneView {
    const uint8_t* data = nullptr;
    int stride = 0;
    int width = 0;
    int height = 0;
};

// Predicts the w x h area (w, h <= 16) whose top-left sample is at (x, y) in the reference
// view's coordinates, displaced by the vector (mvx, mvy) in half samples. Samples the vector
// reaches outside the view repeat its edge samples. With `average` the prediction is averaged
// into what dst holds: (p + q + 1) >> 1.
void PredictArea(uint8_t* dst, int dst_stride, const PlaneView& ref, int x, int y, int mvx, int mvy,
                 int w, int h, bool average);

} // namespace quorin::decoder
