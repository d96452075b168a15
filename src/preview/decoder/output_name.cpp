#include "preview/decoder/output_name.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace quorin::decoder {

namespace {

constexpr size_t kMaxDigits = 2; // width and precision are kept short

// Parses the conversion that starts at pattern[i] == '%'. On success appends its text (length
// modifiers dropped) to `spec` and returns the index after it; returns 0 if it is not a valid
// integer conversion.
size_t ParseConversion(const std::string& p, size_t i, std::string& spec) {
    size_t j = i + 1;
    spec = "%";
    while (j < p.size() && std::strchr("-+ #0", p[j]) != nullptr)
        spec += p[j++];
    size_t digits = 0;
    while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j]))) {
        if (++digits > kMaxDigits) return 0;
        spec += p[j++];
    }
    if (j < p.size() && p[j] == '.') {
        spec += p[j++];
        digits = 0;
        while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j]))) {
            if (++digits > kMaxDigits) return 0;
            spec += p[j++];
        }
    }
    while (j < p.size() && std::strchr("hljzt", p[j]) != nullptr)
        ++j;
    if (j >= p.size() || std::strchr("diuoxX", p[j]) == nullptr) return 0;
    spec += p[j];
    return j + 1;
}

} // namespace

std::string FormatOutputName(const std::string& pattern, int number) {
    std::string result;
    int conversions = 0;
    for (size_t i = 0; i < pattern.size();) {
        if (pattern[i] != '%') {
            result += pattern[i++];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            result += '%';
            i += 2;
            continue;
        }
        std::string spec;
        const size_t next = ParseConversion(pattern, i, spec);
        if (next == 0 || ++conversions > 1) return pattern;
        char text[128];
        std::snprintf(text, sizeof text, spec.c_str(), number);
        result += text;
        i = next;
    }
    return result;
}

} // namespace quorin::decoder
