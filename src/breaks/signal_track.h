// What one pass over a clip's streams collects for the break search: per picture, per audio
// frame, the mode changes and the corners for the logo. Times are seconds on the video's clock.
#pragma once

#include <cstdint>
#include <vector>

namespace quorin::breaks {

struct PictureSample {
    double time = 0;
    float luma = 0;   // mean, 0-255
    float spread = 0; // standard deviation
    float change = 0; // mean difference to the picture before
};

struct LevelSample {
    double time = 0;
    double duration = 0;
    float db = -120; // RMS below full scale
};

// A value that holds from its time on (aspect code of the sequence header, AC-3 coding mode).
struct ModeMark {
    double time = 0;
    int value = 0;
};

// Edges of the corners of some pictures: bit i set when pixel i of the four corners (each
// width x height, as the analyser cut them) lies on a strong luma edge.
struct CornerEdges {
    // Index into pictures (while the pass runs: the picture's time stamp).
    std::int64_t picture = 0;
    std::vector<std::uint64_t> bits;
};

struct SignalTrack {
    std::vector<PictureSample> pictures; // display order
    std::vector<LevelSample> levels;     // empty: no audio
    std::vector<ModeMark> aspect;
    std::vector<ModeMark> audioMode;
    std::vector<CornerEdges> corners;
    int cornerWidth = 0;
    int cornerHeight = 0;
    double frameSeconds = 0.04;
    // Time after the last picture.
    double End() const { return pictures.empty() ? 0 : pictures.back().time + frameSeconds; }
};

// Sets the edge bits of four corners of luma samples (each w x h).
std::vector<std::uint64_t> EdgeBits(const std::vector<std::uint8_t>& corners, int w, int h);

} // namespace quorin::breaks
