// Times on the command line, in the convention of media tools: SS[.cc], M:SS[.cc] or
// H:MM:SS[.cc] ("90", "1:30", "1:02:03.5").
#pragma once

#include <optional>
#include <string_view>

namespace CLI {
class Validator;
}

namespace quorin::cli {

// Seconds with an optional decimal fraction, preceded by minutes ("M:") or by hours and minutes
// ("H:MM:"). With a colon the seconds take two digits and stay below 60, and so do the minutes
// after hours; the first field takes any number of digits. Nothing for an empty, negative or
// malformed text.
std::optional<double> ParseCliTime(std::string_view text);

// Refuses an empty text for a time option ("--length ''"), as for any other malformed time.
CLI::Validator NonEmptyTime();

} // namespace quorin::cli
