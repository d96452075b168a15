// Playable files: the elementary streams of a rip copied into one container (Matroska, MPEG
// program stream or MPEG transport stream) by the media layer, nothing re-encoded, the tracks
// placed by the exact 90 kHz time stamps the rip started at.
#pragma once

#include "rip/extract.h"
#include "rip/rip_driver.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorin::media {
class StreamFeed;
}

namespace quorin {

class MuxPipe;
class RipRun;
class StreamTarget;
struct RipProgress;
struct RipRequest;

// "mkv", "mpg", "ts" (the file extensions); none for anything else.
[[nodiscard]] std::optional<MuxFormat> MuxFormatFromName(std::string_view name);
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

// A chapter, in 90 kHz ticks from the video track's first picture.
struct MuxChapter {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::string title;
};

struct MuxJob {
    MuxFormat format = MuxFormat::kMatroska;
    // The video while the rip writes it (video.file then only names it); its start and the
    // chapters come with it.
    media::StreamFeed* videoFeed = nullptr;
    MuxTrack video;
    MuxTrack audio;
    std::string requested; // the container's name before the output naming rule
    MuxMetadata metadata;
    std::vector<MuxChapter> chapters; // Matroska only: the other two have none
};

struct MuxResult {
    RipOutcome result = RipOutcome::kOutputFailed; // kDone, kCancelled or kOutputFailed
    std::string file;                              // the container written (kDone)
    std::string message;                           // why not, libavformat's text included
    std::int64_t videoStart = 0; // 90 kHz: where the video track's first picture lies
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
[[nodiscard]] RipOutcome RunMuxStage(RipRun& run, MuxFormat format, bool keepStreams,
                                     RipReport& report);

// Whether a run muxes alongside its video stage: a stream rip with video whose elementary streams
// are not kept and whose video file is not patched afterwards, when the media module loads (a
// mux that cannot start keeps the streams).
[[nodiscard]] bool MuxesAlongside(const RipRequest& request);

// The mux stage run alongside the video stage: the stage writes the video into memory, from which
// the container writer takes it on a thread of its own, so that no video file is written or read.
// The audio comes from the audio stage's file, written before.
class StreamedMux {
public:
    // Starts the container writer; videoName is what messages call the video stream.
    StreamedMux(RipRun& run, MuxFormat format, const RipReport& report, std::string videoName);
    ~StreamedMux();
    StreamedMux(const StreamedMux&) = delete;
    StreamedMux& operator=(const StreamedMux&) = delete;

    // False when the writer's thread could not be started (the run muxes afterwards then).
    bool Running() const { return thread_.joinable(); }
    // Where the video stage writes.
    StreamTarget& Target();
    // After the video stage: ends the stream (done: the stage finished) or breaks it off, waits
    // for the container and reports it as RunMuxStage does. A container not finished is removed;
    // when the stage failed on its own, its outcome stands and this is kDone.
    [[nodiscard]] RipOutcome Finish(bool done, RipReport& report);

private:
    RipRun& run_;
    MuxJob job_;
    std::unique_ptr<MuxPipe> pipe_;
    MuxResult result_;
    std::thread thread_;
};

} // namespace quorin
