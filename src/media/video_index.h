// The picture index of an MPEG-1/2 video elementary stream: its sequence parameters, its picture
// groups and its frames (a frame picture or a pair of field pictures) with their byte ranges,
// types and display order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorin::media {

struct SequenceInfo {
    bool mpeg2 = false;
    int width = 0;
    int height = 0;
    int aspectCode = 0;       // aspect_ratio_information
    int frameRateCode = 0;    // frame_rate_code
    std::int64_t bitRate = 0; // bits per second (0: variable / not given)
    std::int64_t vbvBits = 0; // vbv_buffer_size in bits
    bool constrained = false; // MPEG-1 constrained parameters
    int profileLevel = 0;     // MPEG-2 profile_and_level_indication
    bool progressiveSequence = true;
    int chromaFormat = 1; // 1 4:2:0, 2 4:2:2, 3 4:4:4
    // 90 kHz ticks per frame.
    std::int64_t FrameTicks() const;
};

struct FrameEntry {
    std::int64_t offset = 0; // the first picture start code
    std::int64_t end = 0;    // the next picture, group or sequence header (or the data's end)
    std::vector<std::int64_t> pictures; // picture start codes (two for a field pair)
    int type = 0;                       // 1 I, 2 P, 3 B (of the first field)
    int temporalReference = 0;
    std::int64_t display = 0; // display index over the stream
    int gop = 0;
};

struct GopEntry {
    std::int64_t offset = 0;          // its first header (sequence or group)
    std::int64_t gopHeader = -1;      // the group header; -1 when there is none
    std::int64_t firstPicture = 0;    // where its header bytes end
    std::int64_t sequenceHeader = -1; // its own sequence header, or -1
    bool closed = false;
    bool brokenLink = false;
    int firstFrame = 0;
    int frames = 0;
};

struct VideoIndex {
    SequenceInfo sequence;
    std::int64_t sequenceOffset = -1; // the first sequence header and its extensions
    std::int64_t sequenceLength = 0;
    std::vector<GopEntry> gops;
    std::vector<FrameEntry> frames; // decode order
    std::int64_t size = 0;          // bytes of the stream (a trailing end code included)
    std::int64_t dataEnd = 0;       // before a trailing sequence end code
    // The display index of the first intra picture: what the stream's first time stamp names.
    std::int64_t FirstShown() const;
};

// Reads the index of an elementary stream file; error says why when it holds no picture.
struct IndexResult {
    VideoIndex index;
    std::string error;
};
IndexResult IndexVideoFile(const std::string& path);
// The same over bytes in memory.
IndexResult IndexVideoBytes(const std::vector<std::uint8_t>& bytes);

} // namespace quorin::media
