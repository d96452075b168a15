// RGB pictures into JPEG files, through libjpeg.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorin {

struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb; // rows top to bottom, 3 bytes a pixel
};

// The picture resampled (bilinear) to width x height.
RgbPicture Resized(const RgbPicture& picture, int width, int height);

// Writes the picture as a baseline JPEG. False, with the reason, when it could not.
bool WriteJpeg(const RgbPicture& picture, const std::string& file, int quality, std::string* error);

} // namespace quorin
