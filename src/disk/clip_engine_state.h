// Per-clip state that the extraction engine keeps between and during rips of one clip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorin {

// A missing presentation time stamp.
inline constexpr std::int64_t PTS_NONE = -1;

// A damaged stretch of the disk that a rip could not take into its output: where it lies, how
// long it is and the time stamps of the stream on either side of what was dropped.
struct LostStretch {
    bool video = false;
    std::int64_t diskByte = 0;
    std::int64_t bytes = 0;
    std::int64_t fromPts = PTS_NONE;
    std::int64_t toPts = PTS_NONE;
};

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
    // The exact starts of the current rip's files (after the wrap rule): the first picture the
    // video file can show and the first audio frame written; PTS_NONE until a stage writes one.
    std::int64_t m_i64VideoStartPTS = PTS_NONE;
    std::int64_t m_i64AudioStartPTS = PTS_NONE;
    // PTS of the packet holding the sequence header the last video rip began with: the time of
    // the first picture it wrote (m_i64RipStartPTS is the packet that reached the start).
    std::int64_t m_i64RipPicturePTS = PTS_NONE;
    double m_dAspectRatio = 4.0 / 3.0;
    double m_dBegin = 0;
    double m_dLength = 0;
    std::vector<std::uint8_t> m_vecLastPayload;
    std::vector<LostStretch> m_vecLost; // of the current rip
    // The base name every file of the current run takes (claimed for all of them at once); empty
    // outside a run, when the clip's output base name is used.
    std::string m_strRunBase;
    // Stream markers: stream ids found by the analysis; -1 before any.
    std::int32_t m_lVideoId = -1;
    std::int32_t m_lAudioId = -1;
    std::int32_t m_lVideoMarker = -1;
    std::int32_t m_lAudioMarker = -1;
};

} // namespace quorin
