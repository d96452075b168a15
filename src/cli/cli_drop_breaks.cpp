#include "cli/cli_drop_breaks.h"

#include "cli/cli_common.h"
#include "cli/cli_marks.h"

#include "base/format.h"
#include "base/program_log.h"
#include "breaks/break_search.h"
#include "rip/rip_driver.h"

#include <algorithm>

namespace quorin::cli {

int RangesWithoutBreaks(const CPVRFile& clip, double minConfidence, bool stopOnReadError,
                        bool quiet, KeepRanges& ranges) {
    BreakSearchOptions options;
    options.stopOnReadError = stopOnReadError;
    const BreakSearchReport report = SearchBreaks(clip, options, quiet);
    switch (report.outcome) {
    case BreakSearchOutcome::kDone:
        break;
    case BreakSearchOutcome::kNothingFound:
        PrintError("the break search found nothing to read: " + report.message);
        return kExitNothing;
    case BreakSearchOutcome::kCancelled:
        PrintError("cancelled");
        return kExitCancelled;
    case BreakSearchOutcome::kReadError:
        PrintError(report.message);
        return kExitDisk;
    }
    ranges.clear();
    double at = 0;
    for (const breaks::Break& b : report.breaks) {
        if (b.confidence < minConfidence) continue;
        LogLine("dropping the break " + ClipTimeText(b.from) + "-" + ClipTimeText(b.to) +
                Format(" (confidence %.2f)", b.confidence));
        if (b.from > at) ranges.push_back({at, b.from});
        at = std::max(at, b.to);
    }
    // A break that reaches the video's end leaves nothing after it.
    if (at < report.seconds - 0.04) ranges.push_back({at, std::nullopt});
    if (ranges.empty()) {
        PrintError("the breaks found cover the whole clip: nothing is left to rip");
        return kExitNothing;
    }
    return kExitOk;
}

} // namespace quorin::cli
