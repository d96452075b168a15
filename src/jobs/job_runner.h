// Runs one rip of a clip the way "RIP !" does: a single rip with the window's fields, or the next
// job of the queue. No threads here: the window prepares on its own thread and hands the rest to
// its worker; quorin-cli does both in a row.
#pragma once

#include "jobs/jobs.h"
#include "rip/rip_driver.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace quorin {

class CPVRFile;
struct RipProgress;
struct Settings;

// The window-level options of a run.
struct RunnerOptions {
    bool ripStreamRaw = false;        // "Rip Stream Raw": video raw; a job's audio raw too
    bool patchSequenceHeader = false; // "Patch  1st sequence header"
    bool renameInQueue = true;        // a queued job's name becomes its clip's title on the disk
    std::string postfixVideo = "m2v";
    std::string postfixAudio = "mp2";
    std::string postfixRawVideo = "pva";
    std::string postfixRawAudio = "mpp";
    bool openLog = false;       // open the program log for the rip, named after the clip
    bool logPerActivity = true; // "Write Log File"

    // The four postfixes of the settings file; everything else at its default.
    static RunnerOptions FromSettings(const Settings& settings);
};

// One rip as the window's fields describe it.
struct RipRequest {
    double begin = 0;  // Offset, seconds
    double length = 0; // Time, seconds
    bool audio = true;
    bool video = true;
    bool rawAudio = false; // "Rip Audio Raw"
    bool backup = false;
    std::optional<std::string> outputName; // none: the clip's own name names the files
    bool rename = false;                   // the output name also becomes the clip's title
};

// The request for a queued job: its own cut and boxes, audio raw whenever "Rip Stream Raw" is
// on, and the job's name for the files (and the clip's title when the options rename).
RipRequest RequestForJob(const RipJob& job, const RunnerOptions& options);

// What happened to one rip.
struct RunReport {
    bool started = false; // false: refused ("wrong offset"); nothing changed
    double begin = 0;
    double length = 0; // after shortening to the clip's end (0 rips 0.1 s)
    bool renameFailed = false;
    std::optional<RipOutcome> outcome; // set once the engine ran
    Messages messages;                 // message boxes
    std::vector<std::string> notices;  // reported in the status texts and the log, no box
};

// The steps before the worker starts: refuses a begin beyond the clip ("wrong offset"),
// shortens a length reaching past the end, lends the progress blocks and the cancel flag to the
// clip, fills the blocks' options and resets their displays, opens the log when asked and sets
// the output name. A rename that does not reach the disk leaves the old title and is reported
// in the status texts, the log and the notices; the rip still runs.
bool PrepareRip(CPVRFile& clip, const RipRequest& request, const RunnerOptions& options,
                RipProgress& audio, RipProgress& video, const std::atomic<bool>* cancel,
                RunReport& report);

// The worker's part: a length of 0 (or less) rips 0.1 s; then the engine.
RipOutcome ExecuteRip(CPVRFile& clip, RunReport& report);

// Readies the clip for preview rips: points its progress pointers at the two blocks and sets them
// for a preview (audio off, video on, no raw, no backup, no header patch).
void PrepareClipForPreview(CPVRFile& clip, RipProgress& audio, RipProgress& video);

// PrepareRip and ExecuteRip in a row; closes the log it opened.
RunReport RunRip(CPVRFile& clip, const RipRequest& request, const RunnerOptions& options,
                 RipProgress& audio, RipProgress& video, const std::atomic<bool>* cancel);

} // namespace quorin
