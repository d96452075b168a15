// The one way to run a rip. Every front end (quorin-cli's rip, jobs and preview, the window's
// single rip and queue, the preview dialog) describes what it wants in a RipRequest and hands it
// to a RipRunner, which applies the cut rules, lends the progress blocks and the cancel flag to
// the clip for the run, names the outputs and runs the stages through RipStream.
#pragma once

#include "base/run_state.h"
#include "rip/rip_driver.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace quorin {

class CPVRFile;

// The extensions of the output files (the settings file's four postfixes).
struct OutputPostfixes {
    std::string video = "m2v";
    std::string audio = "mp2";
    std::string rawVideo = "pva";
    std::string rawAudio = "mpp";
};

struct RipRequest {
    double begin = 0;             // seconds from the clip's start
    std::optional<double> length; // seconds; none: to the clip's end
    bool audio = true;
    bool video = true;
    bool rawAudio = false;
    bool rawVideo = false;
    bool backup = false;
    bool patchSequenceHeader = false;
    std::optional<std::string> outputName; // none: the clip's own name names the files
    bool rename = false;                   // the output name also becomes the clip's title
    OutputPostfixes postfixes;
    MuxChoice mux; // the container a stream rip ends in; raw rips and backups ignore it
};

// A cut after the rules, in seconds.
struct RipCut {
    double begin = 0;
    double length = 0;
};

// The cut rules: a begin beyond the clip's end is refused (none returned, "wrong offset"); no
// length, or a length reaching past the end, ends at the clip's end.
std::optional<RipCut> ApplyCutRules(double clipSeconds, double begin, std::optional<double> length);

// The length the engine is given for a cut: a cut of no length (or less) still yields its first
// picture, as 0.1 s.
double EngineLength(double length);

struct RipRunReport {
    bool started = false; // false: refused before anything changed (see refusal)
    std::string refusal;  // "wrong offset"
    RipCut cut;
    std::optional<RipOutcome> outcome; // set once the stages ran
    RipReport stages;                  // files written, stage times, the failure message
    bool renameFailed = false;
    std::vector<std::string> notices; // said in the status texts and the log, no box
};

class RipRunner {
public:
    // The blocks and the flag are lent to the clip for the runner's life; the clip gets back
    // whatever it had before (a runner may live inside another's, as the preview dialog's does).
    RipRunner(CPVRFile& clip, RipProgress& audio, RipProgress& video,
              const std::atomic<bool>* cancel);
    ~RipRunner();
    RipRunner(const RipRunner&) = delete;
    RipRunner& operator=(const RipRunner&) = delete;

    // The steps before the stages: the cut rules, the blocks' options (their displays reset),
    // the output name and, when asked, the rename. False when the request was refused; nothing
    // changed then. A rename that does not reach the disk leaves the old title and is reported
    // in the status texts, the log and the notices; the rip still runs.
    bool Prepare(const RipRequest& request, RipRunReport& report);
    // The stages of a prepared run (a front end may run them on a worker thread).
    RipOutcome Execute(RipRunReport& report);
    // Prepare and Execute in a row.
    RipRunReport Run(const RipRequest& request);

    // A preview rip: the first picture at or after whole seconds into "<name>.<video postfix>",
    // video only, nothing raw, no header patch. True when a picture's worth was written.
    bool RipPreview(double seconds, const std::string& name, const OutputPostfixes& postfixes);

    CPVRFile& Clip() { return clip_; }

private:
    CPVRFile& clip_;
    RipProgress& audio_;
    RipProgress& video_;
    RipProgress* previousAudio_;
    RipProgress* previousVideo_;
    const std::atomic<bool>* previousCancel_;
    MuxChoice mux_; // of the prepared run
};

} // namespace quorin
