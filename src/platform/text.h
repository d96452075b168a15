// Conversions of texts stored on the receiver disk (8-bit ISO-8859-1) and of file names.
#pragma once

#include <string>
#include <string_view>

namespace quorin {

std::string Latin1ToUtf8(std::string_view latin1);
// Characters outside ISO-8859-1 (and malformed sequences) become '?': one character, one byte.
std::string Utf8ToLatin1(std::string_view utf8);
bool IsValidUtf8(std::string_view text);
// Count of characters (code points) in a UTF-8 text.
std::size_t Utf8Length(std::string_view utf8);

} // namespace quorin
