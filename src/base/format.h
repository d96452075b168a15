// printf-style formatting that always uses the C locale, whatever the process locale is
// (the GUI toolkit sets the process locale from the environment).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace quorin {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

// "h:mm:ss.cc" of a time in hundredths of a second; a negative time gets a leading "-".
std::string FormatHundredths(std::int64_t hundredths);

} // namespace quorin
