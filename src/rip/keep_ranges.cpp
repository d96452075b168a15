#include "rip/keep_ranges.h"

#include "base/format.h"
#include "disk/clip_record.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace quorin {
namespace {

std::string TimeText(double seconds) {
    return FormatHundredths(std::llround(seconds * 100));
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        const std::size_t from = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i > from) words.push_back(line.substr(from, i - from));
    }
    return words;
}

// Digits with an optional fraction; no sign, no exponent.
std::optional<double> Seconds(std::string_view s) {
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
        }))
        return std::nullopt;
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::fixed);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

struct Removal {
    double from;
    double to;
};

// What the sorted, merged removals leave of the clip.
KeepRanges Complement(std::vector<Removal> removals, double clipSeconds) {
    std::sort(removals.begin(), removals.end(),
              [](const Removal& a, const Removal& b) { return a.from < b.from; });
    KeepRanges kept;
    double at = 0;
    for (const Removal& r : removals) {
        if (r.from > at) kept.push_back({at, r.from});
        at = std::max(at, r.to);
    }
    if (at < clipSeconds) kept.push_back({at, std::nullopt});
    return kept;
}

} // namespace

std::optional<std::string> CheckRangeOrder(const KeepRanges& ranges) {
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const KeepRange& r = ranges[i];
        const std::string name = Format("range %zu (", i + 1) + RangeText(r) + ")";
        if (r.to && r.from >= *r.to) return name + " does not end after it begins";
        if (i + 1 == ranges.size()) break;
        const KeepRange& next = ranges[i + 1];
        const std::string nextName = Format("range %zu (", i + 2) + RangeText(next) + ")";
        if (next.from < r.from) return nextName + " begins before " + name + ": out of order";
        if (!r.to || next.from < *r.to) return name + " and " + nextName + " overlap";
    }
    return std::nullopt;
}

KeepRanges JoinTouching(const KeepRanges& ranges) {
    KeepRanges joined;
    for (const KeepRange& r : ranges) {
        if (!joined.empty() && joined.back().to && *joined.back().to == r.from)
            joined.back().to = r.to;
        else
            joined.push_back(r);
    }
    return joined;
}

SettledRanges SettleRanges(const KeepRanges& ranges, double clipSeconds) {
    SettledRanges settled;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        KeepRange r = ranges[i];
        if (r.from >= clipSeconds) {
            settled.wrongRange = static_cast<int>(i + 1);
            settled.ranges.clear();
            return settled;
        }
        if (!r.to || *r.to > clipSeconds) r.to = clipSeconds;
        settled.ranges.push_back(r);
    }
    return settled;
}

EdlResult ParseEdl(std::string_view text, double clipSeconds) {
    EdlResult result;
    std::vector<Removal> removals;
    for (int lineNo = 1; !text.empty(); ++lineNo) {
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> w = Words(line);
        if (w.empty() || w[0].front() == '#') continue;
        auto fail = [&](const std::string& why) {
            result.error = Format("line %d: ", lineNo) + why;
            result.ranges.clear();
            return result;
        };
        if (w.size() != 3)
            return fail(Format("%zu fields where START END ACTION were expected", w.size()));
        const std::optional<double> from = Seconds(w[0]);
        const std::optional<double> to = Seconds(w[1]);
        if (!from) return fail("the start '" + std::string(w[0]) + "' is not a time in seconds");
        if (!to) return fail("the end '" + std::string(w[1]) + "' is not a time in seconds");
        if (w[2].size() != 1 || w[2][0] < '0' || w[2][0] > '3')
            return fail("the action '" + std::string(w[2]) + "' is not 0, 1, 2 or 3");
        if (*to < *from) return fail("the end lies before the start");
        if (w[2][0] == '0' || w[2][0] == '3') removals.push_back({*from, *to});
    }
    result.ranges = Complement(std::move(removals), clipSeconds);
    if (result.ranges.empty()) result.error = "the list removes the whole clip";
    return result;
}

MarksResult RangesFromMarks(const ClipRecord& record) {
    MarksResult result;
    const double d = record.LengthInSeconds();
    std::vector<Removal> pairs; // kept, despite the name: merged the same way
    for (int k = 0; k < 10; ++k) {
        const SkipPair pair = record.Skip(k);
        if (pair.start == 0xFFFF || pair.stop == 0xFFFF) continue;
        const auto start = static_cast<std::int16_t>(pair.start);
        const auto stop = static_cast<std::int16_t>(pair.stop);
        if (start < 0 || stop <= start) {
            result.error = Format("the cut mark pair x%d (%d, %d) is not a range", k, start, stop);
            return result;
        }
        pairs.push_back({d * start * 0.001, d * stop * 0.001});
    }
    if (pairs.empty()) {
        result.error = "the clip has no cut marks";
        return result;
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const Removal& a, const Removal& b) { return a.from < b.from; });
    for (const Removal& p : pairs) {
        if (!result.ranges.empty() && p.from <= *result.ranges.back().to)
            result.ranges.back().to = std::max(*result.ranges.back().to, p.to);
        else
            result.ranges.push_back({p.from, p.to});
    }
    return result;
}

std::string RangeText(const KeepRange& range) {
    return TimeText(range.from) + "-" + (range.to ? TimeText(*range.to) : std::string());
}

} // namespace quorin
