// Per-clip state that the extraction engine keeps between and during rips of one clip.
#pragma once

#include <cstdint>
#include <vector>

namespace quorin {

// A missing presentation time stamp.
inline constexpr std::int64_t PTS_NONE = -1;

struct ClipEngineState {
    std::int32_t m_lSkipSectors = 0; // start offset (sectors) of the stream being processed
    std::int32_t m_lEndSectors = 0;  // end offset (sectors) of that stream in its last cluster
    std::int32_t m_lVideoSkip = 0;
    std::int32_t m_lAudioSkip = 0;
    std::int64_t m_i64AudioFirstPTS = PTS_NONE; // cached across rips of the clip
    std::int64_t m_i64VideoFirstPTS = PTS_NONE;
    std::int64_t m_i64FirstPTS = PTS_NONE; // reference of the current rip
    bool m_bPTSWrapped = false;
    std::int64_t m_i64VideoEndBit = 0;
    std::int64_t m_i64AudioEndBit = 0;
    std::int64_t m_i64RipStartPTS = 0;
    // PTS of the packet holding the sequence header the last video rip began with: the time of
    // the first picture it wrote (m_i64RipStartPTS is the packet that reached the start).
    std::int64_t m_i64RipPicturePTS = PTS_NONE;
    double m_dAspectRatio = 4.0 / 3.0;
    double m_dBegin = 0;
    double m_dLength = 0;
    std::vector<std::uint8_t> m_vecLastPayload;
    // Stream markers: stream ids found by the analysis; -1 before any.
    std::int32_t m_lVideoId = -1;
    std::int32_t m_lAudioId = -1;
    std::int32_t m_lVideoMarker = -1;
    std::int32_t m_lAudioMarker = -1;
};

} // namespace quorin
