#include "jobs/clip_time.h"

#include "base/format.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>

namespace quorin {
namespace {

void SkipSpace(std::string_view& s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
}

// Reads an integer of at most maxWidth characters (sign included) as scanf's "%Nd" does.
std::optional<long long> ScanInt(std::string_view& s, std::size_t maxWidth) {
    SkipSpace(s);
    std::size_t n = 0;
    bool negative = false;
    if (n < s.size() && (s[n] == '+' || s[n] == '-')) negative = s[n++] == '-';
    std::size_t digitsFrom = n;
    while (n < s.size() && n < maxWidth && n < digitsFrom + 18 &&
           std::isdigit(static_cast<unsigned char>(s[n])))
        ++n;
    if (n == digitsFrom) return std::nullopt;
    long long value = 0;
    std::from_chars(s.data() + digitsFrom, s.data() + n, value);
    s.remove_prefix(n);
    return negative ? -value : value;
}

bool ScanLiteral(std::string_view& s, char c) {
    if (s.empty() || s.front() != c) return false;
    s.remove_prefix(1);
    return true;
}

// The leading decimal number of a text as strtod reads it in the C locale; 0 without one.
double LeadingNumber(std::string_view s) {
    SkipSpace(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    double value = 0;
    auto [ptr, err] = std::from_chars(s.data(), s.data() + s.size(), value);
    (void)ptr;
    if (err != std::errc() || !std::isfinite(value)) return 0;
    return value;
}

// "%d:%02d:%02d.%02d": the fields that were read, the rest 0.
double ParseColonForm(std::string_view s) {
    long long part[4] = {0, 0, 0, 0};
    static constexpr std::size_t kWidth[4] = {18, 2, 2, 2};
    static constexpr char kSeparator[4] = {0, ':', ':', '.'};
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && !ScanLiteral(s, kSeparator[i])) break;
        auto v = ScanInt(s, kWidth[i]);
        if (!v) break;
        part[i] = *v;
    }
    // The hours may have 18 digits: multiplied as doubles, they cannot overflow.
    return static_cast<double>(part[0]) * 3600.0 + static_cast<double>(part[1] * 60 + part[2]) +
           static_cast<double>(part[3]) / 100.0;
}

} // namespace

long long Hundredths(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return 0;
    // Caps far beyond any clip (the receiver stores at most 127 hours) keep the cast defined.
    if (seconds > 1e12) seconds = 1e12;
    return static_cast<long long>(std::floor(seconds * 100.0 + 1e-6));
}

std::string FormatClipTime(double seconds) {
    return (seconds < 0 ? "-" : "") + FormatHundredths(Hundredths(std::fabs(seconds)));
}

double ParseClipTime(std::string_view text) {
    double seconds = 0;
    if (text.find(':') != std::string_view::npos) {
        seconds = ParseColonForm(text);
    } else {
        const long long n = Hundredths(LeadingNumber(text));
        seconds = static_cast<double>((n / 1'000'000 % 100) * 3600 + (n / 10'000 % 100) * 60 +
                                      n / 100 % 100) +
                  static_cast<double>(n % 100) / 100.0;
    }
    return seconds > 0 ? seconds : 0;
}

double ParseJobListTime(std::string_view text) {
    const long long n = Hundredths(LeadingNumber(text));
    const long long whole = n / 100; // hhmmss
    const long long seconds = whole / 10'000 * 3600 + whole / 100 % 100 * 60 + whole % 100;
    return static_cast<double>(seconds) + static_cast<double>(n % 100) / 100.0;
}

std::string FormatJobListTime(double seconds) {
    const long long h = Hundredths(seconds);
    const long long whole = h / 100;
    return Format("%lld.%02lld", whole / 3600 * 10'000 + whole / 60 % 60 * 100 + whole % 60,
                  h % 100);
}

void CutFields::UpdateTexts() {
    begin = FormatClipTime(offset);
    end = FormatClipTime(offset + time);
}

void CutFields::CheckOffset(double clipLength) {
    if (offset + time >= clipLength) time = std::max(0.0, clipLength - offset - 1);
    UpdateTexts();
}

CutFields CutFields::ForClip(double clipLength) {
    CutFields f;
    f.time = clipLength;
    f.CheckOffset(clipLength);
    return f;
}

void CutFields::SetBegin(std::string_view text, double clipLength) {
    offset = ParseClipTime(text);
    CheckOffset(clipLength);
}

void CutFields::SetEnd(std::string_view text, double clipLength) {
    time = ParseClipTime(text) - offset;
    CheckOffset(clipLength);
}

} // namespace quorin
