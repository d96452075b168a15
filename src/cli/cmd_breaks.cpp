// quorin-cli breaks: the advert breaks of a clip, as marks (lines, JSON or an EDL file).
#include "cli/cli_common.h"
#include "cli/json_report.h"
#include "cli/progress.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "breaks/break_search.h"
#include "platform/text.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace quorin::cli {
namespace {

struct BreaksOptions {
    std::string disk;
    bool firmware190 = false;
    int clip = 0;
    bool json = false;
    std::string edl;
    std::string onReadError;
};

// The search on a worker thread, its progress on stderr as a rip's video stage.
BreakSearchReport Search(const CPVRFile& clip, const BreakSearchOptions& options, bool quiet) {
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
    printer.Finish();
    return report;
}

int ExitOf(const BreakSearchReport& report) {
    switch (report.outcome) {
    case BreakSearchOutcome::kDone:
        return report.lost.empty() ? kExitOk : kExitLost;
    case BreakSearchOutcome::kNothingFound:
        return kExitNothing;
    case BreakSearchOutcome::kCancelled:
        return kExitCancelled;
    case BreakSearchOutcome::kReadError:
        return kExitDisk;
    }
    return kExitOk;
}

// The EDL players skip with: one "FROM TO 3" line per break, in seconds.
bool WriteEdl(const std::string& path, const std::vector<breaks::Break>& found) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    for (const breaks::Break& b : found)
        std::fprintf(f, "%.2f %.2f 3\n", b.from, b.to);
    return std::fclose(f) == 0;
}

nlohmann::ordered_json BreaksJson(const BreakSearchReport& report, int clip, int status) {
    nlohmann::ordered_json doc = JsonDocument("breaks");
    doc["status"] = status;
    doc["clip"] = clip;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const breaks::Break& b : report.breaks)
        list.push_back({{"from", std::round(b.from * 100) / 100},
                        {"to", std::round(b.to * 100) / 100},
                        {"confidence", b.confidence},
                        {"signals", b.signals}});
    doc["breaks"] = list;
    nlohmann::ordered_json lost = nlohmann::ordered_json::array();
    for (const RipReport::Lost& l : report.lost)
        lost.push_back({{"stream", l.Stream()},
                        {"disk_offset", l.diskByte},
                        {"bytes", l.bytes},
                        {"from", l.from},
                        {"to", l.to}});
    doc["lost"] = lost;
    if (status != kExitOk && status != kExitLost) doc["message"] = report.message;
    return doc;
}

int RunBreaks(BreaksOptions o) {
    o.disk = AbsolutePath(o.disk);
    if (!o.edl.empty()) o.edl = AbsolutePath(o.edl);
    OpenedDisk disk;
    if (int rc = OpenDisk(o.disk, o.firmware190, disk)) return rc;
    CPVRFile* clip = ClipByNumber(disk, o.clip);
    if (!clip) return kExitUsage;
    InterruptGuard interrupts;
    if (Globals().log) OpenLog("BREAKS.LOG", true);
    BreakSearchOptions options;
    options.stopOnReadError = o.onReadError == "stop";
    const BreakSearchReport report = Search(*clip, options, o.json && ::isatty(STDERR_FILENO) != 1);
    CloseLog();
    int rc = ExitOf(report);
    if (rc != kExitOk && rc != kExitLost) {
        PrintError(rc == kExitCancelled ? "cancelled" : report.message);
    } else if (!o.edl.empty() && !WriteEdl(o.edl, report.breaks)) {
        PrintError("cannot write " + o.edl);
        rc = kExitOutput;
    }
    if (o.json) {
        PrintJson(BreaksJson(report, o.clip, rc));
        return rc;
    }
    for (const breaks::Break& b : report.breaks)
        std::printf("break\t%s\t%s\t%.2f\n", ClipTimeText(b.from).c_str(),
                    ClipTimeText(b.to).c_str(), b.confidence);
    std::fflush(stdout);
    RipReport lost;
    lost.lost = report.lost;
    PrintLost(lost);
    return rc;
}

} // namespace

void RegisterBreaksCommand(CLI::App& app, Action& action) {
    static BreaksOptions o;
    CLI::App* cmd = app.add_subcommand("breaks", "find the advert breaks of a clip");
    cmd->add_option("--disk", o.disk, "receiver disk: a block device or an image file")->required();
    AddFirmwareOption(*cmd, o.firmware190);
    cmd->add_option("--clip", o.clip, "clip number as 'list' shows it (from 1)")->required();
    cmd->add_flag("--json", o.json, "print one JSON document instead of the lines");
    cmd->add_option("--edl", o.edl,
                    "also write the breaks as an edit decision list players skip (replaced if "
                    "it exists)");
    AddReadErrorOption(*cmd, o.onReadError);
    cmd->callback([&action] { action = [] { return RunBreaks(o); }; });
}

} // namespace quorin::cli
