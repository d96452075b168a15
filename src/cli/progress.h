// Progress of a rip on stderr (audio, video, mux). On a terminal: one line that updates in place
// with the stage, its
// percentage, the bytes written, the speed and the time left. Otherwise (a log, a pipe): one
// plain line per 10% of each stage, so logs stay readable.
#pragma once

#include "base/run_state.h"

#include <chrono>
#include <string>

namespace quorin::cli {

class ProgressPrinter {
public:
    // quiet: nothing is printed (--json with stderr not a terminal asks for no bar).
    ProgressPrinter(RipProgress& audio, RipProgress& video, bool quiet = false);

    void Tick();
    // The last lines; stopped: the run failed or was cancelled in its last stage.
    void Finish(bool stopped = false);

    // Percentage of a block's range (0 to 100).
    static int Percent(const RipProgress& block);

private:
    void Show(int stage, bool final);
    std::string Line(int stage, bool final) const;
    void EnterMux();
    // The block of a stage: 0 audio, 1 video, 2 mux (on the block of the last stream stage).
    const RipProgress& Block(int stage) const;

    RipProgress& audio_;
    RipProgress& video_;
    bool tty_;
    bool quiet_;
    int stage_ = -1;
    int milestone_ = -1;
    bool lineOpen_ = false;
    bool audioShown_ = false;
    bool stopped_ = false;
    std::string lastLine_;
    std::chrono::steady_clock::time_point stageStart_;
    int stageStartMegabytes_ = 0; // the stage's figures when it was first seen
    int stageStartPercent_ = 0;
};

} // namespace quorin::cli
