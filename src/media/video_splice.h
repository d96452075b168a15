// Joins ranges of an MPEG-1/2 video elementary stream into one stream: whole picture groups are
// copied, and with exact cuts the pictures between a joint and the next group that can be copied
// (and, at an out-point, those that refer past it) are decoded and re-encoded at the source's
// parameters, then checked against the source's own decoding.
#pragma once

#include "media/picture_codec.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorin::media {

// 90 kHz ticks on the stream's clock: the pictures with from <= t < to.
struct TimeRange {
    std::int64_t from = 0;
    std::int64_t to = 0;
};

struct SpliceOptions {
    bool exact = true;
    double minPsnr = 35; // below it a joint falls back to its picture group
    LogFn log = [](std::string_view) {};
};

struct SegmentWritten {
    std::int64_t from = 0;       // time of the first picture written
    std::int64_t to = 0;         // time of the last one plus a picture's duration
    std::int64_t outputFrom = 0; // where it begins in the output, ticks from its start
    int reencoded = 0;
};

struct SpliceResult {
    std::string error; // empty when the output is whole
    std::vector<SegmentWritten> segments;
    std::vector<std::string> notices;
    int reencoded = 0;
    double minPsnr = 99;
    double meanPsnr = 99;
    std::int64_t pictures = 0;
    std::int64_t frameTicks = 3600;
};

// firstTime is the time of the input's first intra picture. The output file must not exist.
SpliceResult SpliceVideo(const std::string& input, const std::string& output,
                         std::int64_t firstTime, std::span<const TimeRange> ranges,
                         const SpliceOptions& options);

} // namespace quorin::media
