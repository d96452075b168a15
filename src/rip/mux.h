// Playable files: the elementary streams of a rip copied into one container (Matroska, MPEG
// program stream or MPEG transport stream) through libavformat, nothing re-encoded, the tracks
// placed by the exact 90 kHz time stamps the rip started at.
#pragma once

#include "rip/extract.h"
#include "rip/rip_driver.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

class RipRun;
struct RipProgress;

// "mkv", "mpg", "ts" (the file extensions); none for anything else.
std::optional<MuxFormat> MuxFormatFromName(std::string_view name);
// The extension of a format ("" for kNone).
std::string_view MuxExtension(MuxFormat format);

struct MuxTrack {
    std::string file;           // the elementary stream; empty: no such track
    std::int64_t startPts = -1; // 90 kHz: the first picture shown / the first audio frame
};

struct MuxMetadata {
    std::string title;       // UTF-8, as the clip or the user names it
    std::string station;     // UTF-8
    std::string recorded;    // "YYYY-MM-DD hh:mm:ss"; empty: unknown
    std::string application; // "Quorin <version>"
};

// A chapter of a Matroska file, in 90 kHz ticks on the video track's own time line.
struct MuxChapter {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::string title;
};

struct MuxJob {
    MuxFormat format = MuxFormat::kMatroska;
    MuxTrack video;
    MuxTrack audio;
    std::string requested; // the container's name before the output naming rule
    MuxMetadata metadata;
    std::vector<MuxChapter> chapters; // Matroska only
};

struct MuxResult {
    RipOutcome result = RipOutcome::kOutputFailed; // kDone, kCancelled or kOutputFailed
    std::string file;                              // the container written (kDone)
    std::string message;                           // why not, libavformat's text included
};

// Writes the container. The track that starts first starts at 0, the other is delayed by the
// difference of the start time stamps. A container that is not finished is removed. progress,
// when given, shows the share of the input read; cancel stops the copy.
MuxResult MuxStreams(const MuxJob& job, RipProgress* progress = nullptr,
                     const std::atomic<bool>* cancel = nullptr);

// The mux stage of a rip: muxes the audio and video files the stages wrote (listed in the
// report) with the start time stamps the engine kept and the clip's metadata, then removes the
// elementary streams and the delay log unless keepStreams. Adds the container ("muxed") and the
// stage time to the report; a failure keeps the streams, sets the report's message and is
// kOutputFailed. Progress and status go to the video block (the audio block for audio only).
RipOutcome RunMuxStage(RipRun& run, MuxFormat format, bool keepStreams, RipReport& report);

} // namespace quorin
