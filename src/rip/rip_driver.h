// The one entry point of the extraction engine: one rip (or backup) of one clip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorin {

class CPVRFile;

// How a run ended, for front ends that report it (the window shows the status texts instead).
enum class RipOutcome {
    kDone,         // every enabled stage ran to its end
    kNothingToRip, // a stream id or first time stamp was not found ("can't go on...")
    kCancelled,    // the cancel flag stopped a stage
    kOutputFailed, // an output file could not be created or written
    kReadError,    // the disk could not be read where a stage needed it
};

// Rips the clip from begin for length seconds: audio first, then video, each into its own
// file in the current directory. Options and progress go through clip.m_pAudioProgress and
// clip.m_pVideoProgress, the cancel flag through clip.m_pCancel; the caller sets all three.
RipOutcome RipStream(CPVRFile& clip, double begin, double length);

// What a run wrote, for front ends that list it (quorin-cli).
struct RipReport {
    struct File {
        std::string name; // as created in the current directory
        std::string what; // "audio", "video", "delay log", "raw audio", "raw video", "backup"
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
    struct Lost {
        std::string stream;    // "audio" or "video"
        std::int64_t diskByte; // where the stretch begins on the disk
        std::int64_t bytes;
        double from = -1; // seconds into the clip on either side; -1: not known
        double to = -1;
    };
    std::vector<Lost> lost;
    // The seconds of the clip the losses span (those with both sides known).
    double LostSeconds() const;
};

// "lost<TAB>audio|video<TAB>DISK_BYTE_OFFSET<TAB>BYTES<TAB>FROM<TAB>TO", the times as h:mm:ss.cc
// or "-".
std::string LostLine(const RipReport::Lost& lost);
// h:mm:ss.cc, or "-" for a negative time.
std::string ClipTimeText(double seconds);

// The same run, reporting the files written and the stage times.
RipOutcome RipStream(CPVRFile& clip, double begin, double length, RipReport* report);

// The container a stream rip ends in (rip/mux.h writes it); kNone: the elementary streams.
enum class MuxFormat { kNone, kMatroska, kProgramStream, kTransportStream };

struct MuxChoice {
    MuxFormat format = MuxFormat::kNone;
    bool keepStreams = false; // keep the elementary streams and the delay log after a mux
};

// The same run, ending in the chosen container when every stage is done. The container's name is
// claimed with the streams', so all files of the run share one number. Raw rips and backups are
// never muxed.
RipOutcome RipStream(CPVRFile& clip, double begin, double length, RipReport* report,
                     const MuxChoice& mux);

} // namespace quorin
