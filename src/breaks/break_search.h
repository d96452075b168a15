// Finding the advert breaks of a clip: one pass over its video and audio as a rip reads them,
// then the breaks scored from black pictures with silence, the station logo, aspect and audio
// mode changes and loudness.
#pragma once

#include "breaks/break_detector.h"
#include "rip/rip_driver.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace quorin {

class CPVRFile;

struct BreakSearchOptions {
    bool stopOnReadError = false; // else: go on over what cannot be read, noting it as lost
};

enum class BreakSearchOutcome { kDone, kNothingFound, kCancelled, kReadError };

struct BreakSearchReport {
    BreakSearchOutcome outcome = BreakSearchOutcome::kNothingFound;
    std::string message; // why it did not end as done
    std::vector<breaks::Break> breaks;
    std::vector<RipReport::Lost> lost;
    double seconds = 0; // the video's length on its clock
};

// Fraction done (0 to 1) and the bytes read so far.
using BreakProgress = std::function<void(double, std::int64_t)>;

// Reads the clip with handles of its own (the clip itself is not changed).
BreakSearchReport FindClipBreaks(const CPVRFile& clip, const BreakSearchOptions& options,
                                 const BreakProgress& progress, const std::atomic<bool>& cancel);

} // namespace quorin
