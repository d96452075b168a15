// The picture file name: the output name used as a format for the picture number.
#pragma once

#include <string>

namespace quorin::decoder {

// Formats `pattern` with `number` when it holds exactly one integer conversion (d, i, u, o, x or
// X with optional flags, width and precision; a length modifier is ignored) besides "%%"
// escapes. Any other use of "%" leaves the pattern as it is, so no name can make the formatting
// read arguments that are not there.
std::string FormatOutputName(const std::string& pattern, int number);

} // namespace quorin::decoder
