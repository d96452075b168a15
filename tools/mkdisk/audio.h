// MPEG audio and AC-3 elementary streams: frame boundaries and durations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "testdisk.h"

namespace quorin::testdisk::detail {

struct AudioFrame {
    std::size_t offset = 0;
    std::size_t size = 0;
};

struct AudioStreamInfo {
    AudioCodec codec = AudioCodec::Auto;
    int sampleRate = 48'000;
    int samplesPerFrame = 1152;
    std::vector<AudioFrame> frames;
};

// Splits a stream of whole frames; a truncated last frame or bytes between
// frames are errors.
Expected<AudioStreamInfo> ParseAudio(std::span<const std::uint8_t> es, AudioCodec codec);

} // namespace quorin::testdisk::detail
