#include "cli/cli_time.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <vector>

namespace quorin::cli {
namespace {

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// Digits with an optional fraction, nothing else (no sign, no exponent).
std::optional<double> Decimal(std::string_view s) {
    const std::size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : s.substr(dot + 1);
    if (!whole.empty() && !AllDigits(whole)) return std::nullopt;
    if (!fraction.empty() && !AllDigits(fraction)) return std::nullopt;
    if (whole.empty() && fraction.empty()) return std::nullopt;
    double value = 0;
    auto [end, ec] =
        std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::vector<std::string_view> SplitColons(std::string_view s) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = s.find(':');
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

} // namespace

std::optional<double> ParseCliTime(std::string_view text) {
    const std::vector<std::string_view> parts = SplitColons(Trim(text));
    if (parts.size() > 3) return std::nullopt;
    std::optional<double> seconds = Decimal(parts.back());
    if (!seconds) return std::nullopt;
    if (parts.size() == 1) return seconds;
    const std::string_view ss = parts.back().substr(0, parts.back().find('.'));
    if (ss.size() != 2 || *seconds >= 60) return std::nullopt;
    double total = *seconds;
    double scale = 60;
    for (std::size_t i = parts.size() - 1; i-- > 0;) {
        const std::string_view field = parts[i];
        const bool first = i == 0;
        if (!AllDigits(field) || field.size() > 18 || (!first && field.size() != 2))
            return std::nullopt;
        long long v = 0;
        std::from_chars(field.data(), field.data() + field.size(), v);
        if (!first && v >= 60) return std::nullopt;
        total += static_cast<double>(v) * scale;
        scale *= 60;
    }
    return total;
}

CLI::Validator NonEmptyTime() {
    return CLI::Validator(
        [](std::string& text) {
            return text.empty()
                       ? std::string("a time is needed (SS[.cc], M:SS[.cc] or H:MM:SS[.cc])")
                       : std::string();
        },
        "TIME");
}

} // namespace quorin::cli
