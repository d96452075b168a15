#include "cli/cli_time.h"

#include "jobs/clip_time.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace quorin::cli {
namespace {

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// h ":" m [":" s ["." cc]], with m, s and cc of one or two digits.
bool IsClockText(std::string_view s) {
    std::size_t colon = s.find(':');
    if (!AllDigits(s.substr(0, colon))) return false;
    s.remove_prefix(colon + 1);
    std::size_t next = s.find(':');
    std::string_view minutes = s.substr(0, next);
    if (!AllDigits(minutes) || minutes.size() > 2) return false;
    if (next == std::string_view::npos) return true;
    s.remove_prefix(next + 1);
    std::size_t dot = s.find('.');
    std::string_view seconds = s.substr(0, dot);
    if (!AllDigits(seconds) || seconds.size() > 2) return false;
    if (dot == std::string_view::npos) return true;
    std::string_view hundredths = s.substr(dot + 1);
    return AllDigits(hundredths) && hundredths.size() <= 2;
}

} // namespace

std::optional<double> ParseCliTime(std::string_view text) {
    text = Trim(text);
    if (text.empty()) return std::nullopt;
    if (text.find(':') != std::string_view::npos) {
        if (!IsClockText(text)) return std::nullopt;
        return ParseClipTime(text);
    }
    // Seconds: digits with an optional fraction, nothing else (no sign, no exponent).
    std::size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction =
        dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (!whole.empty() && !AllDigits(whole)) return std::nullopt;
    if (dot != std::string_view::npos && !fraction.empty() && !AllDigits(fraction))
        return std::nullopt;
    if (whole.empty() && fraction.empty()) return std::nullopt;
    double value = 0;
    auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace quorin::cli
