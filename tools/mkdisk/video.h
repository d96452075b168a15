// MPEG-1/MPEG-2 video elementary streams: coded pictures and their timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "testdisk.h"

namespace quorin::testdisk::detail {

// One coded picture with the headers in front of it (sequence header, GOP
// header, extensions and user data) and its slices.
struct CodedPicture {
    std::size_t begin = 0;                // first byte of the unit (a start code)
    std::size_t end = 0;                  // one past its last byte
    std::vector<std::size_t> slices;      // offsets of the slice start codes
    std::optional<std::size_t> gopHeader; // offset of the GOP header, if any
    bool sequenceHeader = false;          // unit begins with a sequence header
    int temporalReference = 0;
    char type = '?';
    std::int64_t displayIndex = 0; // within one pass of the stream
};

struct VideoStreamInfo {
    bool mpeg2 = false;
    std::int64_t rateNum = 25; // frames per second = rateNum / rateDen
    std::int64_t rateDen = 1;
    std::vector<CodedPicture> pictures; // decode order
    std::int64_t reorderDelay = 0;      // pictures the decoding runs ahead of display
};

Expected<VideoStreamInfo> ParseVideo(std::span<const std::uint8_t> es);

// 90 kHz ticks of n pictures at the stream's rate.
std::int64_t PictureTicks(const VideoStreamInfo& info, std::int64_t pictures);

} // namespace quorin::testdisk::detail
