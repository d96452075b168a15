#include "decoder/output_name.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace quorin::decoder {

namespace {

constexpr size_t kMaxDigits = 2; // width and precision are kept short

// End (index after the conversion character) of the integer conversion that starts at
// p[i] == '%', or 0 when it is not one.
size_t ConversionEnd(const std::string& p, size_t i) {
    size_t j = i + 1;
    while (j < p.size() && std::strchr("-+ #0", p[j]) != nullptr)
        ++j;
    for (int part = 0; part < 2; ++part) { // width, then precision after a '.'
        if (part == 1) {
            if (j >= p.size() || p[j] != '.') break;
            ++j;
        }
        size_t digits = 0;
        while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j]))) {
            if (++digits > kMaxDigits) return 0;
            ++j;
        }
    }
    while (j < p.size() && std::strchr("hljzt", p[j]) != nullptr)
        ++j;
    if (j >= p.size() || std::strchr("diuoxX", p[j]) == nullptr) return 0;
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
        const size_t next = ConversionEnd(pattern, i);
        if (next == 0 || ++conversions > 1) return pattern;
        // The conversion without its length modifier: the argument is a plain int.
        std::string conversion;
        for (size_t k = i; k < next; ++k) {
            if (std::strchr("hljzt", pattern[k]) == nullptr) conversion.push_back(pattern[k]);
        }
        char text[128];
        std::snprintf(text, sizeof text, conversion.c_str(), number);
        result += text;
        i = next;
    }
    return result;
}

} // namespace quorin::decoder
