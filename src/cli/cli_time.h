// Times on the command line: seconds ("90", "12.5") or the window's time text ("1:02:03.50").
#pragma once

#include <optional>
#include <string_view>

namespace quorin::cli {

// A plain number is seconds; a text holding ":" is h:mm:ss.cc read as the main window reads its
// time fields (minutes, seconds and hundredths take at most two digits each, parts missing at the
// end count 0). Nothing for an empty, negative or malformed text.
std::optional<double> ParseCliTime(std::string_view text);

} // namespace quorin::cli
