// The frames of an MPEG audio or AC-3 elementary stream: where each begins, and how long one
// lasts, read from the frame headers alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorin {

struct AudioFrames {
    std::vector<std::int64_t> offsets; // each frame's first byte
    std::vector<int> sizes;            // and its length
    std::int64_t frameTicks = 0;       // 90 kHz ticks per frame (of the first frame)
    std::string error;                 // why there is no frame
    std::int64_t Count() const { return static_cast<std::int64_t>(offsets.size()); }
};

// Bytes that are no frame header are skipped up to the next header that is followed by another.
AudioFrames ScanAudioFrames(const std::string& path);

// The length and ticks of the frame whose header starts at h (at least 8 bytes); 0 when none.
struct FrameHeader {
    int bytes = 0;
    std::int64_t ticks = 0;
};
FrameHeader ParseAudioHeader(const std::uint8_t* h);

} // namespace quorin
