// Decoding MPEG audio (layers 1 to 3) and AC-3 elementary streams to 16-bit samples.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace quorin::media {

using LogSink = std::function<void(std::string_view)>;

struct DecodedAudio {
    int rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples; // interleaved
};

// The frames of the stream; empty (with a log line) when none can be decoded.
DecodedAudio DecodeAudio(std::span<const std::uint8_t> stream, const LogSink& log);

} // namespace quorin::media
