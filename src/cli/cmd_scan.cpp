// quorin-cli scan: reads what a rip would read, writes nothing, lists what is unreadable.
#include "cli/cmd_scan.h"
#include "cli/json_report.h"

#include "base/program_log.h"
#include "rip/disk_scan.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <unistd.h>

namespace quorin::cli {
namespace {

struct ScanOptions {
    std::string disk;
    bool firmware190 = false;
    int clip = 0;
    bool json = false;
    std::string onReadError;
};

// Progress on stderr: a line updated in place on a terminal, else one line per 10%.
class ScanPercent {
public:
    void operator()(std::int64_t done, std::int64_t total) {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (tty_ ? percent == shown_ : percent / 10 == shown_ / 10) return;
        shown_ = percent;
        if (tty_)
            std::fprintf(stderr, "\rscanning: %3d %%%s", percent, percent == 100 ? "\n" : "");
        else
            std::fprintf(stderr, "scanning: %3d %%\n", percent / 10 * 10);
    }
    // Ends an open line of a check that stopped early.
    void End() const {
        if (tty_ && shown_ >= 0 && shown_ < 100) std::fputc('\n', stderr);
    }

private:
    bool tty_ = ::isatty(STDERR_FILENO) == 1;
    int shown_ = -10;
};

int Finish(const ScanOptions& o, const std::vector<ScanHit>& hits, int status) {
    if (o.json) {
        nlohmann::ordered_json doc = JsonDocument("scan");
        doc["status"] = status;
        doc["bad"] = ScanJson(hits);
        PrintJson(doc);
    }
    return status;
}

int RunScan(const ScanOptions& o) {
    OpenedDisk disk;
    const int opened = OpenDisk(o.disk, o.firmware190, disk);
    VolumeHandle probe;
    // A disk whose directory cannot be read is still checked as far as it can be.
    if (opened != kExitOk && !OpenDrive(o.disk, probe)) return kExitDisk;
    probe.Close();
    std::optional<int> only;
    if (o.clip > 0) {
        if (opened != kExitOk) return kExitDisk;
        if (!ClipByNumber(disk, o.clip)) return kExitUsage;
        only = o.clip;
    }
    ScanPercent percent;
    auto progress = [&percent](std::int64_t done, std::int64_t total) { percent(done, total); };
    const bool stop = o.onReadError == "stop";
    const std::vector<ScanHit> hits =
        ScanDisk(o.disk, opened == kExitOk ? disk.drive.get() : nullptr,
                 opened == kExitOk ? disk.table.get() : nullptr, only, progress, nullptr, stop);
    for (const ScanHit& h : hits) {
        if (!o.json) std::printf("%s\n", ScanLine(h).c_str());
        LogLine(ScanLine(h));
    }
    if (!hits.empty() && stop) {
        percent.End();
        PrintError("the check stopped at the first unreadable range (--on-read-error stop)");
        return Finish(o, hits, kExitDisk);
    }
    return Finish(o, hits, hits.empty() ? opened : kExitLost);
}

} // namespace

void RegisterScanCommand(CLI::App& app, Action& action) {
    static ScanOptions options;
    CLI::App* scan = app.add_subcommand(
        "scan", "check a disk: read the directory and every clip's chains, write nothing");
    scan->add_option("--disk", options.disk, "receiver disk: a block device or an image file")
        ->required();
    AddFirmwareOption(*scan, options.firmware190);
    AddClipOption(*scan, options.clip, "only this clip's chains (number as 'list' shows it)");
    scan->add_flag("--json", options.json, "print one JSON document instead of the 'bad' lines");
    AddReadErrorOption(*scan, options.onReadError);
    scan->callback([&action] { action = [] { return RunScan(options); }; });
}

} // namespace quorin::cli
