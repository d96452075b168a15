// The window-level options of a run and how a queued job becomes a rip request. The rip itself
// goes through the rip runner (rip/rip_runner.h).
#pragma once

#include "jobs/jobs.h"
#include "rip/rip_runner.h"

#include <atomic>
#include <string>

namespace quorin {

class CPVRFile;
struct RipProgress;
struct Settings;

struct RunnerOptions {
    bool ripStreamRaw = false;        // "Rip Stream Raw": video raw; a job's audio raw too
    bool patchSequenceHeader = false; // "Patch  1st sequence header"
    bool renameInQueue = true;        // a queued job's name becomes its clip's title on the disk
    OutputPostfixes postfixes;
    MuxChoice mux;              // the output format and "Keep the elementary streams"
    bool openLog = false;       // open the program log for the rip, named after the clip
    bool logPerActivity = true; // "Write Log File"
    std::string outputFolder;   // where the files go; empty: the current directory
    ReadPolicy readPolicy = ReadPolicy::kSalvage;

    // The four postfixes, the output format and the keep choice of the settings file; everything
    // else at its default.
    static RunnerOptions FromSettings(const Settings& settings);
};

// The request for a queued job: its own cut and boxes, audio raw whenever "Rip Stream Raw" is
// on, and the job's name for the files (and the clip's title when the options rename).
RipRequest RequestForJob(const RipJob& job, const RunnerOptions& options);

// The message boxes of a refused run.
Messages RefusalMessages(const RipRunReport& report);

// One whole run of a request with the options' log: the runner's Prepare and Execute.
RipRunReport RunRip(CPVRFile& clip, const RipRequest& request, const RunnerOptions& options,
                    RipProgress& audio, RipProgress& video, const std::atomic<bool>* cancel);

} // namespace quorin
