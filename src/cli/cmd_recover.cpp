// quorin-cli recover: finds deleted recordings in the clusters no live chain holds, lists them or
// rips them through the runner as "Recovered NN". The disk is only read.
#include "cli/cli_common.h"
#include "cli/cli_mux.h"
#include "cli/json_report.h"
#include "cli/progress.h"

#include "base/format.h"
#include "jobs/job_runner.h"
#include "rip/recover.h"
#include "rip/rip_runner.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <unistd.h>

namespace quorin::cli {
namespace {

using Json = nlohmann::ordered_json;

struct RecoverOptions {
    std::string disk;
    bool firmware190 = false;
    bool list = false;
    int only = 0;
    std::string out;
    bool json = false;
    std::string onReadError;
    MuxOptions mux;
};

// Scan progress on stderr: in place on a terminal, else a line per 10%.
class ScanPrinter {
public:
    explicit ScanPrinter(bool quiet) : quiet_(quiet), tty_(::isatty(STDERR_FILENO) == 1) {}
    void operator()(int done, int total) {
        if (quiet_ || total <= 0) return;
        const int percent = done * 100 / total;
        if (tty_) {
            std::fprintf(stderr, "\rscanning free clusters: %d of %d (%d%%)", done, total, percent);
            open_ = true;
        } else if (percent / 10 > shown_) {
            shown_ = percent / 10;
            std::fprintf(stderr, "scanning free clusters: %d%%\n", shown_ * 10);
        }
    }
    ~ScanPrinter() {
        if (open_) std::fputc('\n', stderr);
    }
    ScanPrinter(const ScanPrinter&) = delete;
    ScanPrinter& operator=(const ScanPrinter&) = delete;

private:
    bool quiet_;
    bool tty_;
    bool open_ = false;
    int shown_ = -1;
};

std::string RecoveredLine(const RecoveredRecording& r) {
    return Format("recovered\t%d\t%d\t%d\t%d\t%s", r.number,
                  static_cast<int>(std::lround(r.seconds)), static_cast<int>(r.video.chain.size()),
                  static_cast<int>(r.audio.chain.size()), r.complete ? "complete" : "partial");
}

Json RecordingJson(const RecoveredRecording& r) {
    return Json{{"number", r.number},
                {"name", RecoveredName(r.number)},
                {"seconds", std::lround(r.seconds)},
                {"video_clusters", r.video.chain.size()},
                {"audio_clusters", r.audio.chain.size()},
                {"complete", r.complete}};
}

// One recording through the runner, with progress on stderr (none when quiet).
RipRunReport RipRecovered(CPVRFile& clip, const RipRequest& request, bool quiet) {
    RipProgress audio, video;
    RipRunner runner(clip, audio, video, &InterruptGuard::Flag());
    RipRunReport run;
    if (!runner.Prepare(request, run)) return run;
    ProgressPrinter progress(audio, video, quiet);
    std::future<RipOutcome> done =
        std::async(std::launch::async, [&] { return runner.Execute(run); });
    do
        progress.Tick();
    while (done.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready);
    done.get();
    progress.Finish(run.outcome != RipOutcome::kDone);
    return run;
}

void PrintFiles(const RipReport& report) {
    for (const RipReport::File& f : report.files) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(f.name, ec);
        if (ec) continue;
        std::printf("file\t%s\t%llu\t%s%s\n", ReportedName(f.name).c_str(),
                    static_cast<unsigned long long>(size), FileKindText(f.kind),
                    f.partial ? "\tpartial" : "");
    }
    PrintLost(report);
    std::fflush(stdout);
}

int RipAll(const RecoverOptions& o, const std::string& volume,
           const std::vector<RecoveredRecording>& found, Json& items) {
    RipRequest request;
    request.postfixes = RunnerOptions::FromSettings(CliSettings()).postfixes;
    request.mux = MuxChoiceOf(o.mux);
    request.outputFolder = AbsolutePath(o.out);
    request.readPolicy = ReadPolicyOf(o.onReadError);
    const bool quiet = o.json && ::isatty(STDERR_FILENO) != 1;
    int worst = kExitOk;
    for (const RecoveredRecording& r : found) {
        if (InterruptGuard::Interrupted()) break;
        if (o.only != 0 && r.number != o.only) continue;
        RecoveredClip recovered(volume, r);
        if (!o.json) std::fprintf(stderr, "%s\n", RecoveredName(r.number).c_str());
        const RipRunReport run = RipRecovered(recovered.Clip(), request, quiet);
        const int status = run.started ? ExitCodeOf(run) : kExitNothing;
        if (run.outcome && *run.outcome != RipOutcome::kDone)
            PrintError(
                RecoveredName(r.number) + ": " +
                (run.stages.message.empty() ? OutcomeText(*run.outcome) : run.stages.message));
        worst = WorseExit(worst, status);
        Json item = RecordingJson(r);
        const Json rip = RipJson(recovered.Clip(), r.number, run, status);
        item["outcome"] = rip.value("outcome", "refused");
        item["status"] = status;
        item["files"] = rip.contains("files") ? rip["files"] : Json::array();
        items.push_back(item);
        if (!o.json) {
            std::printf("%s\n", RecoveredLine(r).c_str());
            PrintFiles(run.stages);
        }
    }
    if (InterruptGuard::Interrupted()) worst = WorseExit(worst, kExitCancelled);
    return worst;
}

int RunRecover(RecoverOptions o) {
    if (o.list == !o.out.empty()) {
        PrintError(o.list ? "--list and --out exclude each other" : "--list or --out is required");
        return kExitUsage;
    }
    if (o.list && o.only != 0) {
        PrintError("--only goes with --out");
        return kExitUsage;
    }
    o.disk = AbsolutePath(o.disk);
    OpenedDisk disk;
    if (int rc = OpenDisk(o.disk, o.firmware190, disk)) return rc;
    InterruptGuard interrupts;
    RecoveryScanReport report;
    {
        ScanPrinter printer(o.json && ::isatty(STDERR_FILENO) != 1);
        report =
            ScanForDeleted(*disk.drive, *disk.table, std::ref(printer), InterruptGuard::Flag());
    }
    if (!report.error.empty()) {
        PrintError(report.error);
        return kExitDisk;
    }
    if (report.cancelled) {
        PrintError("cancelled");
        return kExitCancelled;
    }
    if (report.recordings.empty()) PrintError("no deleted recording found");
    const bool unreadable = report.failedReads > 0;
    if (unreadable)
        PrintError(Format("%lld reads of the disk failed: what they held was left out",
                          static_cast<long long>(report.failedReads)));
    if (o.only > static_cast<int>(report.recordings.size())) {
        PrintError(Format("--only %d: %d recordings were found", o.only,
                          static_cast<int>(report.recordings.size())));
        return kExitUsage;
    }
    Json items = Json::array();
    int status = unreadable ? kExitLost : kExitOk;
    if (o.list) {
        for (const RecoveredRecording& r : report.recordings) {
            items.push_back(RecordingJson(r));
            if (!o.json) std::printf("%s\n", RecoveredLine(r).c_str());
        }
    } else {
        if (!MakeOutputFolder(AbsolutePath(o.out))) return kExitOutput;
        SetReportFolder(AbsolutePath(o.out));
        status = WorseExit(status, RipAll(o, o.disk, report.recordings, items));
    }
    if (o.json) {
        Json doc = JsonDocument("recover");
        doc["status"] = status;
        doc["recordings"] = items;
        PrintJson(doc);
    }
    std::fflush(stdout);
    return status;
}

} // namespace

void RegisterRecoverCommand(CLI::App& app, Action& action) {
    static RecoverOptions o;
    CLI::App* cmd = app.add_subcommand(
        "recover", "find recordings deleted on the receiver whose clusters survive, and rip them");
    cmd->add_option("--disk", o.disk, "receiver disk: a block device or an image file")->required();
    AddFirmwareOption(*cmd, o.firmware190);
    cmd->add_flag("--list", o.list, "list what was found, one 'recovered' line each");
    cmd->add_option("--only", o.only, "with --out: rip only recording N as --list numbers it")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--out", o.out, "rip every recording found into this directory");
    cmd->add_flag("--json", o.json, "print one JSON document instead of the text report");
    AddReadErrorOption(*cmd, o.onReadError);
    AddMuxOptions(*cmd, o.mux);
    cmd->callback([&action] { action = [] { return RunRecover(o); }; });
}

} // namespace quorin::cli
