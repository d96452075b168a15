// rip --drop-breaks: the advert breaks of a clip found first, the rest of the clip kept.
#pragma once

#include "rip/keep_ranges.h"

namespace quorin {
class CPVRFile;
}

namespace quorin::cli {

// Searches the clip's breaks (progress on stderr unless quiet) and sets the ranges between those
// of at least minConfidence. An exit status other than kExitOk when the search failed (said on
// stderr).
int RangesWithoutBreaks(const CPVRFile& clip, double minConfidence, bool stopOnReadError,
                        bool quiet, KeepRanges& ranges);

} // namespace quorin::cli
