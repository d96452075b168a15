// Builds small MPEG-2 streams with the coding tools ffmpeg's encoder never uses: field pictures,
// 16x8 and dual-prime prediction, 4:4:4 chroma, concealment vectors, skipped macroblocks in field
// pictures. The oracle decoders then say what the pictures must look like.
#pragma once

#include <cstdint>
#include <vector>

namespace quorin::decoder::test {

struct SyntheticOptions {
    int width = 64;
    int height = 64;
    int chroma_format = 1;
    bool field_pictures = true; // else interlaced frame pictures
    bool top_field_first = true;
    bool alternate_scan = false;
    bool intra_vlc = false;
    bool concealment = false;
    bool single_field = false; // only the first field of the first frame
    // Levels and quantiser scales large enough that coefficients saturate at -2048 / 2047.
    bool saturating_levels = false;
    uint32_t seed = 1;
};

// Coded order: an I frame (for field pictures an I field and a P field), a P frame and a B
// frame between them in display order.
std::vector<uint8_t> MakeSyntheticStream(const SyntheticOptions& options);

// An MPEG-1 stream of one D picture (DC coefficients only) of a smooth pattern.
std::vector<uint8_t> MakeDPictureStream(int width, int height);

} // namespace quorin::decoder::test
