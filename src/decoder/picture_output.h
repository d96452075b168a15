// Turns a decoded frame into the bytes of a picture file: bitmap, TGA, PPM, packed 4:2:2 or a
// raw plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quorin::decoder {

struct OutputFrame {
    const uint8_t* planes[3] = {};
    int stride[3] = {};
    int plane_height[3] = {}; // lines available in each plane
    int horizontal_size = 0;
    int vertical_size = 0;
    int chroma_format = 1;
    int matrix_coefficients = 0;
    bool mpeg2 = false;
    bool progressive_frame = true;
};

// Bytes a buffer needs for any format of a frame of this size.
size_t OutputBufferSize(int horizontal_size, int vertical_size);

class PictureOutput {
public:
    // Writes the frame in the given format code into `out`. Returns the number of bytes, or 0
    // with `error` set (-3 unknown format or buffer too small, -5 no memory, -9 unknown chroma
    // format). `width` and `height` receive the size of the picture written.
    size_t Write(const OutputFrame& frame, std::span<uint8_t> out, int& width, int& height,
                 int format, int& error);

private:
    size_t WriteRgb(const OutputFrame& frame, std::span<uint8_t> out, int w, int h, int format,
                    int& error);
    size_t WritePacked(const OutputFrame& frame, std::span<uint8_t> out, int w, int h, int& error);
    const uint8_t* ChromaLine(const OutputFrame& frame, int p, int y, int lines,
                              uint8_t* scratch) const;
    // The working buffer, a few rows, allocated without clearing (every byte is written before
    // it is read) and grown when a larger picture needs more.
    struct Work {
        std::unique_ptr<uint8_t[]> data;
        size_t size = 0;
        uint8_t* get() { return data.get(); }
    };
    bool Grow(Work& buf, size_t size);

    Work work_;
};

} // namespace quorin::decoder
