// "Rip new recordings into the library": every clip of the open disk ripped whole into the media
// library folder, as quorin-cli's rip --all --library DIR --skip-existing does it (the same
// archive and library files), as a task for the window's worker.
#pragma once

#include "base/run_state.h"
#include "rip/rip_runner.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace quorin {

class CPVRDrive;
struct Settings;

// How the run went, clip by clip counted.
struct LibraryOutcome {
    int ripped = 0;
    int present = 0; // in the library from an earlier run: not read again
    int failed = 0;
    bool cancelled = false;
    std::vector<std::string> failures; // "clip 3: why"
    std::string error;                 // the folder could not be used: nothing ran
};

// The request of a library rip: the whole recording with its picture into an mkv, the postfixes
// and the read policy of the settings.
RipRequest LibraryRequest(const Settings& settings, const std::string& folder);

class LibraryRun {
public:
    // The task: each clip of the drive in turn, until done or cancelled. The drive's clips are
    // only read.
    std::function<void()> Task(CPVRDrive& drive, RipRequest request,
                               const std::atomic<bool>& cancel);

    RipProgress& Audio() { return audio_; }
    RipProgress& Video() { return video_; }
    int Clip() const { return clip_.load(); } // 1-based, 0 before the first
    int Clips() const { return clips_.load(); }
    // Once the task has ended.
    LibraryOutcome TakeOutcome() { return std::move(outcome_); }

private:
    void RipAll(CPVRDrive& drive, const RipRequest& request, const std::atomic<bool>& cancel);

    RipProgress audio_;
    RipProgress video_;
    std::atomic<int> clip_{0};
    std::atomic<int> clips_{0};
    LibraryOutcome outcome_;
};

// "2 recordings ripped into the library, 3 were there already" and the like.
std::string LibrarySummary(const LibraryOutcome& outcome);

} // namespace quorin
