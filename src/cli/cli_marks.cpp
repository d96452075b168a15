#include "cli/cli_marks.h"

#include "cli/cli_common.h"
#include "cli/progress.h"

#include "base/run_state.h"
#include "disk/pvr_file.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace quorin::cli {

BreakSearchReport SearchBreaks(const CPVRFile& clip, const BreakSearchOptions& options,
                               bool quiet) {
    RipProgress audio, video;
    video.rangeLow = 0;
    video.rangeHigh = 1000;
    video.active = true;
    ProgressPrinter printer(audio, video, quiet);
    std::atomic<bool> finished{false};
    BreakSearchReport report;
    std::thread worker([&] {
        report = FindClipBreaks(
            clip, options,
            [&video](double fraction, std::int64_t bytes) {
                video.position = static_cast<std::int32_t>(fraction * 1000);
                if (bytes >= 0) video.megabytes = static_cast<std::int32_t>(bytes >> 20);
            },
            InterruptGuard::Flag());
        finished = true;
    });
    while (!finished) {
        printer.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    worker.join();
    printer.Finish(report.outcome != BreakSearchOutcome::kDone);
    return report;
}

bool MarkBreaks(const CPVRFile& clip, RipRequest& request, bool quiet,
                std::vector<breaks::Break>& marked) {
    marked.clear();
    BreakSearchOptions options;
    options.stopOnReadError = request.readPolicy == ReadPolicy::kStop;
    const BreakSearchReport report = SearchBreaks(clip, options, quiet);
    if (report.outcome == BreakSearchOutcome::kCancelled) return false;
    if (report.outcome != BreakSearchOutcome::kDone) {
        PrintError("no breaks marked: " + report.message);
        return true;
    }
    const double begin = request.begin;
    const double end = request.length ? begin + *request.length : report.seconds;
    BreakMarks marks;
    marks.end = report.seconds;
    for (const breaks::Break& b : report.breaks) {
        if (b.confidence < kMarkConfidence) continue;
        marks.breaks.push_back({b.from, b.to});
        if (b.to > begin && b.from < end) marked.push_back(b);
    }
    request.marks = marks;
    return true;
}

void PrintBreaks(const std::vector<breaks::Break>& found) {
    for (const breaks::Break& b : found)
        std::printf("break\t%s\t%s\t%.2f\n", ClipTimeText(b.from).c_str(),
                    ClipTimeText(b.to).c_str(), b.confidence);
    std::fflush(stdout);
}

nlohmann::ordered_json BreaksArray(const std::vector<breaks::Break>& found) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const breaks::Break& b : found)
        list.push_back({{"from", std::round(b.from * 100) / 100},
                        {"to", std::round(b.to * 100) / 100},
                        {"confidence", b.confidence},
                        {"signals", b.signals}});
    return list;
}

} // namespace quorin::cli
