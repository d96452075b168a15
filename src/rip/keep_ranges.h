// The parts of a clip a rip keeps: ranges on the video's clock, from the user's --keep options,
// an edit decision list or the receiver's cut marks, checked and settled against the clip.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

class ClipRecord;

// Seconds from the video stream's first time stamp; no end: to the clip's end.
struct KeepRange {
    double from = 0;
    std::optional<double> to;
    bool operator==(const KeepRange&) const = default;
};
using KeepRanges = std::vector<KeepRange>;

// Ranges as the user gave them must be in order and apart (touching is fine), each ending after
// it begins, and only the last may run to the clip's end. Returns why not, naming the ranges
// (1-based), or nothing when they are good.
std::optional<std::string> CheckRangeOrder(const KeepRanges& ranges);

// Ranges that touch become one (a range to the clip's end swallows nothing after it: the order
// check refuses that before).
KeepRanges JoinTouching(const KeepRanges& ranges);

// The ranges settled against the clip's length: a range reaching past the end ends there, a
// range beginning at or past it is refused (wrongRange names it, 1-based).
struct SettledRanges {
    KeepRanges ranges; // every one with an end
    int wrongRange = 0;
};
SettledRanges SettleRanges(const KeepRanges& ranges, double clipSeconds);

// An edit decision list: lines "START END ACTION" in seconds; actions 0 (cut) and 3 (commercial
// break) remove their range, 1 (mute) and 2 (scene marker) are ignored; blank lines and lines
// beginning with '#' too. The kept ranges are what the removals leave of the clip (overlapping
// removals merge). A bad line gives error "line N: why" and no ranges.
struct EdlResult {
    KeepRanges ranges;
    std::string error;
};
EdlResult ParseEdl(std::string_view text, double clipSeconds);

// The clip's cut mark pairs as ranges (thousandths of the clip's length, in order, overlaps
// merged); error says why when there are none or a pair is not a range.
struct MarksResult {
    KeepRanges ranges;
    std::string error;
};
MarksResult RangesFromMarks(const ClipRecord& record);

// "1:02:03.50-1:04:00.00", the end left empty when the range runs to the clip's end.
std::string RangeText(const KeepRange& range);

} // namespace quorin
