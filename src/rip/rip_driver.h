// The one entry point of the extraction engine: one rip (or backup) of one clip.
#pragma once

#include "rip/rip_run.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quorin {

// What a file of a run holds.
enum class FileKind {
    kAudio,
    kVideo,
    kDelayLog,
    kRawAudio,
    kRawVideo,
    kBackup,
    kMap,
    kMuxed,
    kNfo,    // a media library's description of the recording
    kPoster, // a media library's pictures
    kFanart,
    kEdl, // the break marks as a skip list
};
// "audio", "video", "delay log", "raw audio", "raw video", "backup", "map", "muxed", "nfo",
// "poster", "fanart", "edl".
const char* FileKindText(FileKind kind);

// What a run wrote, for front ends that list it (quorin-cli).
struct RipReport {
    struct File {
        std::string name; // as created (in the run's output folder)
        FileKind kind = FileKind::kVideo;
        bool partial =
            false; // its stage stopped before the end (cancelled, a failed write or read)
    };
    std::vector<File> files;
    std::int64_t audioMs = -1; // stage times in milliseconds; -1 when the stage did not run
    std::int64_t videoMs = -1;
    std::int64_t muxMs = -1;
    std::string message; // why the run did not end as done (the text the status showed)
    // Damaged stretches of the disk the outputs lack (bridged in stream rips, zeros in raw rips
    // and backups). A run that is done but lost something ends with exit status 6 in quorin-cli.
    using Lost = LostStretch;
    std::vector<Lost> lost;
    // What the run found out about the clip and where its files start.
    ClipAnalysis analysis;
    std::int64_t firstPts = PTS_NONE;      // the reference of the run's times
    std::int64_t videoStartPts = PTS_NONE; // the first picture the video file shows
    std::int64_t audioStartPts = PTS_NONE; // the first audio frame written
    std::int64_t ripStartPts = PTS_NONE;   // the packet that reached the begin
    std::int64_t ripPicturePts = PTS_NONE; // the first picture the video stage wrote
    double aspect = 4.0 / 3.0;             // of the sequence header the video began with
    std::int64_t videoInContainer = 0;     // 90 kHz: where the first picture lies in a container
    // The ranges of a ranged rip as written, in seconds of the clip (output: of the output).
    struct Segment {
        double from = 0;
        double to = 0;
        double outputFrom = 0;
    };
    std::vector<Segment> segments;
    std::vector<std::string> notices; // joints that fell back to their picture group
    // The seconds of the clip the losses span (those with both sides known).
    double LostSeconds() const;
};

// "lost<TAB>audio|video<TAB>DISK_BYTE_OFFSET<TAB>BYTES<TAB>FROM<TAB>TO", the times as h:mm:ss.cc
// or "-".
std::string LostLine(const RipReport::Lost& lost);
// h:mm:ss.cc, or "-" for a negative time.
std::string ClipTimeText(double seconds);

// Runs the stages of one rip: audio first, then video, each into its own file named after the
// run's base path, then the mux stage when one is asked for. The request, the progress blocks and
// the cancel flag come with the run.
RipOutcome RipStream(RipRun& run, RipReport& report);

} // namespace quorin
