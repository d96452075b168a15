// The one way to run a rip. Every front end (quorin-cli's rip, jobs and preview, the window's
// single rip and queue, the preview dialog and its workers) describes what it wants in a
// RipRequest and hands it to a RipRunner, which applies the cut rules, renames the clip when
// asked, makes the run object and runs the stages through RipStream.
#pragma once

#include "base/run_state.h"
#include "rip/rip_driver.h"
#include "rip/rip_run.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorin {

class CPVRFile;

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
    // The blocks and the flag are the front end's; every run of this runner reports into them.
    // The runner keeps what its runs learn about the clip (ClipAnalysis) for its next runs.
    RipRunner(CPVRFile& clip, RipProgress& audio, RipProgress& video,
              const std::atomic<bool>* cancel, ClipAnalysis analysis = {});
    // A runner that only reads the clip (several may share it across threads): a request to
    // rename is reported as a failed rename.
    RipRunner(const CPVRFile& clip, RipProgress& audio, RipProgress& video,
              const std::atomic<bool>* cancel, ClipAnalysis analysis = {});
    ~RipRunner();
    RipRunner(const RipRunner&) = delete;
    RipRunner& operator=(const RipRunner&) = delete;

    // The steps before the stages: the cut rules, the blocks' displays reset, the run object and,
    // when asked, the rename. False when the request was refused; nothing changed then. A rename
    // that does not reach the disk leaves the old title and is reported in the status texts, the
    // log and the notices; the rip still runs.
    [[nodiscard]] bool Prepare(const RipRequest& request, RipRunReport& report);
    // The stages of a prepared run (a front end may run them on a worker thread).
    RipOutcome Execute(RipRunReport& report);
    // Prepare and Execute in a row.
    RipRunReport Run(const RipRequest& request);

    // A preview rip: the first picture at or after whole seconds into "<name>.<video postfix>" in
    // the folder, video only, nothing raw, no header patch. True when a picture's worth was
    // written; the report (when given) says where it starts.
    bool RipPreview(double seconds, const std::string& folder, const std::string& name,
                    const OutputPostfixes& postfixes, RipReport* report = nullptr);

    const CPVRFile& Clip() const { return clip_; }
    const ClipAnalysis& Analysis() const { return analysis_; }

private:
    const CPVRFile& clip_;
    CPVRFile* writable_ = nullptr; // the same clip, for renames
    RipProgress& audio_;
    RipProgress& video_;
    const std::atomic<bool>* cancel_;
    ClipAnalysis analysis_;
    std::unique_ptr<RipRun> run_; // of the prepared run
};

} // namespace quorin
