// A rip of several ranges of a clip, joined into one set of files: the stretch from the first
// range to the last is ripped as a single cut into a scratch folder beside the output, then the
// ranges are taken out of it (the video by whole picture groups, or at the exact picture with the
// pictures at joints re-encoded; the audio by whole frames kept in sync at every joint), and the
// mux stage runs on the joined streams.
#pragma once

#include "rip/rip_driver.h"

namespace quorin {

// Runs a request with ranges (request.keep settled against the clip, each with an end).
RipOutcome RipRanges(RipRun& run, RipReport& report);

} // namespace quorin
