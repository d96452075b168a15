// Advert breaks marked in a stream rip's outputs: chapters for a Matroska container and an edit
// decision list (one "FROM TO 3" line per break, seconds, which players skip) beside the files,
// both on the output's own clock.
#pragma once

#include "rip/mux.h"
#include "rip/rip_driver.h"

#include <string>
#include <vector>

namespace quorin {

// The stretches of a file whose first picture lies at `first` and whose end at `end` (seconds on
// the video's clock): programme parts and breaks one after another, in 90 kHz ticks from the
// first picture. Breaks outside the file are left out, those across its edges cut there; no
// chapters at all when no break lies in the file.
std::vector<MuxChapter> ChaptersOf(const BreakMarks& marks, std::int64_t firstTick,
                                   std::int64_t endTick);

// The chapters of a run that marks breaks (none when it does not), from its first picture.
std::vector<MuxChapter> BreakChapters(const RipRun& run);

// "FROM TO 3" lines, seconds with two decimals.
std::string EdlText(const std::vector<BreakMarks::Stretch>& breaks);

// Writes BASE.edl for a run that marks breaks: the breaks of its chapters, on the container's
// clock (or the video file's, when nothing was muxed). Adds it to the report.
RipOutcome WriteBreakList(RipRun& run, RipReport& report);

} // namespace quorin
