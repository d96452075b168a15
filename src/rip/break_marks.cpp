#include "rip/break_marks.h"

#include "base/format.h"
#include "rip/obits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorin {
namespace {

constexpr double kTicksPerSecond = 90'000;

struct Span {
    std::int64_t from = 0; // ticks from the first picture
    std::int64_t to = 0;
    bool isBreak = false;
};

std::int64_t Ticks(double seconds) {
    return std::llround(seconds * kTicksPerSecond);
}

std::vector<Span> SpansOf(const BreakMarks& marks, std::int64_t first, std::int64_t end) {
    std::vector<Span> spans;
    std::int64_t at = first;
    auto add = [&](std::int64_t to, bool isBreak) {
        if (to > at) spans.push_back({at - first, to - first, isBreak});
        at = std::max(at, to);
    };
    std::vector<BreakMarks::Stretch> sorted = marks.breaks;
    std::ranges::sort(sorted, {}, &BreakMarks::Stretch::from);
    bool any = false;
    for (const BreakMarks::Stretch& b : sorted) {
        const std::int64_t from = std::clamp(Ticks(b.from), at, std::max(at, end));
        const std::int64_t to = std::clamp(Ticks(b.to), from, std::max(from, end));
        if (to <= from) continue;
        add(from, false);
        add(to, true);
        any = true;
    }
    if (!any) return {};
    add(end, false);
    return spans;
}

// The run's file on the video's clock: its first picture and its end; false without marks.
bool WindowOf(const RipRun& run, std::int64_t& first, std::int64_t& end) {
    const RipState& e = run.State();
    const RipRequest& q = run.Request();
    if (!q.marks || !q.video || q.rawVideo || q.backup) return false;
    const std::int64_t clipFirst = run.Analysis().videoFirstPts;
    if (clipFirst == PTS_NONE || e.m_i64VideoStartPTS == PTS_NONE) return false;
    first = e.m_i64VideoStartPTS - clipFirst;
    end = Ticks(std::min(q.marks->end, e.m_dBegin + e.m_dLength));
    return true;
}

} // namespace

std::vector<MuxChapter> ChaptersOf(const BreakMarks& marks, std::int64_t firstTick,
                                   std::int64_t endTick) {
    std::vector<MuxChapter> chapters;
    int parts = 0, breaks = 0;
    for (const Span& s : SpansOf(marks, firstTick, endTick))
        chapters.push_back(
            {s.from, s.to, s.isBreak ? Format("Break %d", ++breaks) : Format("Part %d", ++parts)});
    return chapters;
}

std::vector<MuxChapter> BreakChapters(const RipRun& run) {
    std::int64_t first = 0, end = 0;
    return WindowOf(run, first, end) ? ChaptersOf(*run.Request().marks, first, end)
                                     : std::vector<MuxChapter>{};
}

std::string EdlText(const std::vector<BreakMarks::Stretch>& breaks) {
    std::string text;
    for (const BreakMarks::Stretch& b : breaks)
        text += Format("%.2f %.2f 3\n", b.from, b.to);
    return text;
}

RipOutcome WriteBreakList(RipRun& run, RipReport& report) {
    std::int64_t first = 0, end = 0;
    if (!WindowOf(run, first, end)) return RipOutcome::kDone;
    std::vector<BreakMarks::Stretch> list;
    for (const Span& s : SpansOf(*run.Request().marks, first, end))
        if (s.isBreak)
            list.push_back({static_cast<double>(s.from + report.videoInContainer) / kTicksPerSecond,
                            static_cast<double>(s.to + report.videoInContainer) / kTicksPerSecond});
    const std::string text = EdlText(list);
    OutputFile file(run.BasePath() + ".edl", OutputFile::Preview::kNumbered);
    const bool created = file.IsOpen();
    bool ok =
        created && file.Write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    file.Close();
    if (!ok || file.WriteFailed()) {
        const std::string why = std::string(created ? "could not write " : "could not create ") +
                                run.Shown(file.Name()) + ": " + OutputErrorText(file.Error());
        if (created) std::remove(file.Name().c_str());
        run.StatusMessage(why + "\n", true);
        if (report.message.empty()) report.message = why;
        return RipOutcome::kOutputFailed;
    }
    report.files.push_back({file.Name(), FileKind::kEdl});
    return RipOutcome::kDone;
}

} // namespace quorin
