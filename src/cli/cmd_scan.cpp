// quorin-cli scan: reads what a rip would read, writes nothing, lists what is unreadable.
#include "cli/cmd_scan.h"

#include "base/program_log.h"
#include "rip/disk_scan.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace quorin::cli {
namespace {

struct ScanOptions {
    std::string disk;
    bool firmware190 = false;
    int clip = 0;
    std::string onReadError;
};

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
    int shown = -1;
    auto progress = [&shown](std::int64_t done, std::int64_t total) {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (percent == shown) return;
        shown = percent;
        std::fprintf(stderr, "\rscanning: %3d %%", percent);
        if (percent == 100) std::fputc('\n', stderr);
    };
    const bool stop = o.onReadError == "stop";
    const std::vector<ScanHit> hits =
        ScanDisk(o.disk, opened == kExitOk ? disk.drive.get() : nullptr,
                 opened == kExitOk ? disk.table.get() : nullptr, only, progress, nullptr, stop);
    for (const ScanHit& h : hits) {
        std::printf("%s\n", ScanLine(h).c_str());
        LogLine(ScanLine(h));
    }
    if (!hits.empty() && stop) {
        if (shown >= 0 && shown < 100) std::fputc('\n', stderr);
        PrintError("the check stopped at the first unreadable range (--on-read-error stop)");
        return kExitDisk;
    }
    if (!hits.empty()) return kExitLost;
    return opened;
}

} // namespace

void RegisterScanCommand(CLI::App& app, Action& action) {
    static ScanOptions options;
    CLI::App* scan = app.add_subcommand(
        "scan", "check a disk: read the directory and every clip's chains, write nothing");
    scan->add_option("--disk", options.disk, "receiver disk: a block device or an image file")
        ->required();
    AddFirmwareOption(*scan, options.firmware190);
    scan->add_option("--clip", options.clip, "only this clip's chains (number as 'list' shows it)");
    AddReadErrorOption(*scan, options.onReadError);
    scan->callback([&action] { action = [] { return RunScan(options); }; });
}

} // namespace quorin::cli
