// The bookkeeping of the window's rip: the progress blocks the run reports into, its runner and
// its report. The window prepares it, runs Execute on its worker and takes the report at the end.
#pragma once

#include "base/run_state.h"
#include "rip/rip_runner.h"

#include <atomic>
#include <memory>

namespace quorin {

class CPVRFile;

class WindowRip {
public:
    // The cut rules and the rename of the request; false when it was refused (the report says
    // why) and nothing runs.
    [[nodiscard]] bool Prepare(CPVRFile& clip, const RipRequest& request,
                               const std::atomic<bool>& cancel, RipRunReport& report);
    // The stages of the prepared run, on the worker.
    void Execute();
    // Once the worker has ended: the run's report; the runner is let go.
    RipRunReport Finish();

    RipProgress& Audio() { return audio_; }
    RipProgress& Video() { return video_; }

private:
    RipProgress audio_;
    RipProgress video_;
    std::unique_ptr<RipRunner> runner_; // lends the blocks and the cancel flag to the run
    RipRunReport report_;
};

} // namespace quorin
