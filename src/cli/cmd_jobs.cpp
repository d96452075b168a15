// quorin-cli jobs: runs a job list file as the main window's "Load" and "RIP !" would.
#include "cli/cli_common.h"
#include "cli/cli_mux.h"
#include "cli/json_report.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "jobs/clip_time.h"
#include "jobs/job_runner.h"
#include "jobs/jobs.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>

namespace quorin::cli {

void RegisterRenameCommand(CLI::App& app, Action& action);

namespace {

struct JobsOptions {
    std::string disk;
    bool firmware190 = false;
    std::string file;
    std::string out;
    bool rawVideo = false;
    bool patchSequenceHeader = false;
    bool renameClips = false;
    bool dryRun = false;
    bool json = false;
    std::string onReadError;
    MuxOptions mux;
};

void PrintMessages(const Messages& messages) {
    for (const UserMessage& m : messages)
        PrintError(m.caption + ": " + m.text);
}

// Jobs that were refused while loading make the batch fail even if the rest runs.
int LoadStatus(const Messages& messages) {
    for (const UserMessage& m : messages)
        if (m.caption != kNotFoundCaption) return kExitUsage;
    return kExitOk;
}

void PrintQueue(const JobQueue& queue, std::span<const std::uint32_t> checksums,
                const RunnerOptions& options) {
    const auto& jobs = queue.Jobs();
    for (auto it = jobs.rbegin(); it != jobs.rend(); ++it) {
        const RipRequest r = RequestForJob(*it, options);
        const std::size_t i = static_cast<std::size_t>(it->clipIndex);
        std::printf("%d\t%s\t%s\t%s\t%d\t%d\t%d\t%d\t%08X\n", it->clipIndex + 1, it->name.c_str(),
                    FormatClipTime(it->begin).c_str(),
                    FormatClipTime(it->begin + it->length).c_str(), r.audio ? 1 : 0,
                    r.video ? 1 : 0, r.rawAudio ? 1 : 0, r.rawVideo ? 1 : 0,
                    i < checksums.size() ? checksums[i] : 0u);
    }
}

void PrintStatus(const char* stream, const RipProgress& block) {
    const std::string status = block.Status();
    if (block.enabled && !status.empty())
        std::fprintf(stderr, "  %s: %s\n", stream, status.c_str());
}

int RunOneJob(const RipJob& job, CPVRFile& clip, const RunnerOptions& options, int number,
              int total, nlohmann::ordered_json* json, std::set<std::string>& said) {
    std::fprintf(stderr, "job %d of %d: clip %d, %s\n", number, total, job.clipIndex + 1,
                 job.name.c_str());
    RipProgress audio, video;
    RipRunReport report =
        RunRip(clip, RequestForJob(job, options), options, audio, video, &InterruptGuard::Flag());
    PrintMessages(RefusalMessages(report));
    for (const std::string& notice : report.notices)
        if (said.insert(notice).second) PrintError(notice);
    const char* result = "wrong offset";
    if (report.outcome) {
        result = OutcomeText(*report.outcome);
        PrintStatus("audio", audio);
        PrintStatus("video", video);
    }
    const int rc = ExitCodeOf(report);
    if (json) {
        nlohmann::ordered_json item = RipJson(clip, job.clipIndex + 1, report, rc);
        item["job"] = job.name;
        json->push_back(item);
        return rc;
    }
    PrintLost(report.stages);
    std::printf("%d\t%s\t%s\n", job.clipIndex + 1, TextField(job.name).c_str(), result);
    std::fflush(stdout);
    return rc;
}

int RunJobs(const JobsOptions& o) {
    const std::string diskPath = AbsolutePath(o.disk);
    const std::string listPath = AbsolutePath(o.file);
    const std::string outDir = AbsolutePath(o.out.empty() ? "." : o.out);
    // The disk is read from DIR, as its "driveheader.rec" belongs to the outputs there.
    if (!MakeOutputFolder(outDir)) return kExitOutput;
    SetReportFolder(outDir);
    OpenedDisk disk;
    if (Globals().log) OpenLog("DIR", true);
    int rc = OpenDisk(diskPath, o.firmware190, disk, o.renameClips, outDir);
    CloseLog();
    if (rc != kExitOk) return rc;

    // A queue that renames writes to the disk: a disk whose header does not look like a
    // receiver's is refused before any job runs.
    if (o.renameClips && !disk.drive->HeaderProblem().empty()) {
        PrintError("refused to rename clips on " + diskPath + ": " + disk.drive->HeaderProblem());
        return kExitDisk;
    }
    const std::vector<std::uint32_t> checksums = BuildChecksumTable(*disk.drive);
    JobQueue queue;
    Messages messages;
    const JobListContext context{*disk.drive, checksums, CliSettings().rawAudioList};
    const bool loaded = LoadJobList(listPath, context, queue, messages);
    PrintMessages(messages);
    if (!loaded) return kExitUsage;
    int worst = LoadStatus(messages);

    RunnerOptions options = RunnerOptions::FromSettings(CliSettings());
    options.ripStreamRaw = o.rawVideo;
    options.patchSequenceHeader = o.patchSequenceHeader;
    options.renameInQueue = o.renameClips;
    options.mux = MuxChoiceOf(o.mux);
    options.openLog = Globals().log;
    options.logPerActivity = true;
    if (o.dryRun) {
        PrintQueue(queue, checksums, options);
        return worst;
    }
    options.outputFolder = outDir;
    options.readPolicy = ReadPolicyOf(o.onReadError);
    InterruptGuard interrupt;
    nlohmann::ordered_json jobs = nlohmann::ordered_json::array();
    const int total = queue.Count();
    RipJob job;
    std::set<std::string> said; // notices, each printed once in the batch
    for (int n = 1; queue.TakeNext(job) && !InterruptGuard::Interrupted(); ++n) {
        // Loading refused every job whose clip is not on the disk.
        CPVRFile* clip = disk.drive->GetFile(job.clipIndex);
        worst = WorseExit(
            worst, clip ? RunOneJob(job, *clip, options, n, total, o.json ? &jobs : nullptr, said)
                        : kExitUsage);
    }
    if (InterruptGuard::Interrupted()) worst = WorseExit(worst, kExitCancelled);
    if (o.json) {
        nlohmann::ordered_json doc = JsonDocument("jobs");
        doc["status"] = worst;
        doc["jobs"] = jobs;
        PrintJson(doc);
    }
    return worst;
}

} // namespace

void RegisterJobCommands(CLI::App& app, Action& action) {
    static JobsOptions o;
    CLI::App* cmd = app.add_subcommand(
        "jobs", "run the jobs of a job list file (last line first, as the window's queue does)");
    cmd->add_option("--disk", o.disk, "receiver disk: a block device or an image file")->required();
    AddFirmwareOption(*cmd, o.firmware190);
    cmd->add_option("file", o.file, "job list file (QUORIN_Joblist.csv)")->required();
    cmd->add_option("--out", o.out, "output directory (created if needed; default: current)");
    cmd->add_flag("--raw-video", o.rawVideo,
                  "\"Rip Stream Raw\": rip video raw, and every job's audio raw too");
    cmd->add_flag("--patch-seqhdr", o.patchSequenceHeader, "\"Patch  1st sequence header\"");
    cmd->add_flag("--rename-clips", o.renameClips,
                  "rename each job's clip on the disk to the job's name, as the window does");
    cmd->add_flag("--dry-run", o.dryRun, "print the queue in run order without ripping");
    cmd->add_flag("--json", o.json,
                  "print one JSON document of the jobs' results instead of the text");
    AddReadErrorOption(*cmd, o.onReadError);
    AddMuxOptions(*cmd, o.mux);
    cmd->callback([&action] { action = [] { return RunJobs(o); }; });
    RegisterRenameCommand(app, action);
}

} // namespace quorin::cli
