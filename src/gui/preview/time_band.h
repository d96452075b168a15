// A stretch of a clip drawn over the trackbar and the filmstrip: a range kept by the cut, or an
// advert break found (drawn apart, with its confidence in its text).
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace quorin {

struct TimeBand {
    std::int64_t from = 0; // hundredths from the start of the clip
    std::int64_t to = 0;
    bool isBreak = false;
    bool selected = false;
    QString text; // tooltip
};
using TimeBands = std::vector<TimeBand>;

// The text of the band at a position, the last drawn (topmost) first; empty when none.
inline QString BandTextAt(const TimeBands& bands, std::int64_t position) {
    for (auto it = bands.rbegin(); it != bands.rend(); ++it)
        if (it->from <= position && position <= it->to) return it->text;
    return {};
}

} // namespace quorin
