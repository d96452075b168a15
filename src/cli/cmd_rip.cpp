// quorin-cli rip: one rip (or raw rip, or backup) of one clip, as the main window's "RIP !" runs
// it, with progress on stderr and Ctrl-C as Cancel.
#include "cli/cli_common.h"
#include "cli/cli_mux.h"
#include "cli/cli_time.h"
#include "cli/json_report.h"
#include "cli/progress.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/pvr_drive.h"
#include "jobs/job_runner.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "rip/keep_ranges.h"
#include "rip/mux.h"
#include "rip/rip_runner.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace quorin::cli {
namespace {

struct RipOptions {
    std::string disk;
    bool firmware190 = false;
    int clip = 0;
    std::string begin = "0";
    std::string length;
    std::string end;
    std::string out = ".";
    bool noAudio = false;
    bool noVideo = false;
    bool patchSeqHdr = false;
    std::string name;
    bool rawAudio = false;
    bool rawVideo = false;
    bool backup = false;
    bool all = false;
    bool skipExisting = false;
    bool json = false;
    std::string onReadError;
    MuxOptions mux;
    std::vector<std::string> keep;
    std::string edl;
    bool marks = false;
    bool exact = false;
    bool timesGiven = false; // --begin, --length or --end
};

// Runs the rip inside the program log of its activity when --log is given.
class Activity {
public:
    explicit Activity(const std::string& name) {
        if (Globals().log) OpenLog(name, true);
    }
    ~Activity() { CloseLog(); }
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;
};

// The request from the options; an exit code other than kExitOk when a time is not valid.
int BuildRequest(const RipOptions& o, RipRequest& request) {
    auto parse = [](const std::string& text, const char* option, double& value) {
        std::optional<double> v = ParseCliTime(text);
        if (!v) {
            PrintError(std::string("invalid time for ") + option + ": '" + text +
                       "' (SS[.cc], M:SS[.cc] or H:MM:SS[.cc])");
            return false;
        }
        value = *v;
        return true;
    };
    double length = 0, end = 0;
    if (!parse(o.begin, "--begin", request.begin)) return kExitUsage;
    if (!o.length.empty()) {
        if (!parse(o.length, "--length", length)) return kExitUsage;
        request.length = length;
    }
    if (!o.end.empty()) {
        if (!parse(o.end, "--end", end)) return kExitUsage;
        if (end < request.begin) {
            PrintError("the end lies before the begin");
            return kExitUsage;
        }
        request.length = end - request.begin;
    }
    request.audio = !o.noAudio;
    request.video = !o.noVideo;
    request.rawAudio = o.rawAudio;
    request.rawVideo = o.rawVideo;
    request.backup = o.backup;
    request.patchSequenceHeader = o.patchSeqHdr;
    if (!o.name.empty()) request.outputName = o.name;
    request.postfixes = RunnerOptions::FromSettings(CliSettings()).postfixes;
    request.mux = MuxChoiceOf(o.mux);
    return kExitOk;
}

void PrintFiles(const RipReport& report) {
    for (const RipReport::File& f : report.files) {
        std::error_code ec;
        auto size = std::filesystem::file_size(f.name, ec);
        if (ec) continue; // never created after all
        std::printf("file\t%s\t%llu\t%s%s\n", f.name.c_str(), static_cast<unsigned long long>(size),
                    f.what.c_str(), f.partial ? "\tpartial" : "");
    }
    if (report.audioMs >= 0)
        std::printf("stage\taudio\t%s s\n", Format("%.3f", report.audioMs / 1000.0).c_str());
    if (report.videoMs >= 0)
        std::printf("stage\tvideo\t%s s\n", Format("%.3f", report.videoMs / 1000.0).c_str());
    if (report.muxMs >= 0)
        std::printf("stage\tmux\t%s s\n", Format("%.3f", report.muxMs / 1000.0).c_str());
    std::fflush(stdout);
}

// Says on stderr how a run ended when it did not end as done, and which files are incomplete.
void PrintEnd(const RipRunReport& run) {
    const RipReport& report = run.stages;
    switch (run.outcome.value_or(RipOutcome::kNothingToRip)) {
    case RipOutcome::kDone:
        break;
    case RipOutcome::kNothingToRip:
        PrintError("can't go on... (" + report.message + ")");
        break;
    case RipOutcome::kCancelled:
        PrintError("cancelled");
        break;
    case RipOutcome::kOutputFailed:
    case RipOutcome::kReadError:
        PrintError(report.message.empty() ? std::string("the rip failed") : report.message);
        break;
    }
    std::string incomplete;
    for (const RipReport::File& f : report.files)
        if (f.partial && std::filesystem::exists(f.name))
            incomplete += (incomplete.empty() ? "" : ", ") + f.name;
    if (!incomplete.empty()) PrintError("incomplete: " + incomplete);
}

// "wrong offset", and why: a begin past the clip's end.
std::string RefusalText(const CPVRFile& clip, double begin) {
    const int length = clip.GetRecord().LengthInSeconds();
    return "wrong offset: the begin " + FormatHundredths(std::llround(begin * 100)) +
           " lies past the end of the clip (" + FormatHundredths(std::int64_t{length} * 100) + ")";
}

// One clip through the runner, with progress on stderr (none when quiet).
RipRunReport RipClip(CPVRFile& clip, const RipRequest& request, bool quiet) {
    RipProgress audio, video;
    RipRunner runner(clip, audio, video, &InterruptGuard::Flag());
    RipRunReport run;
    if (!runner.Prepare(request, run)) return run;
    // Said once per command, not per clip of --all.
    static std::set<std::string> said;
    for (const std::string& notice : run.notices)
        if (said.insert(notice).second) PrintError(notice);
    Activity rip(Latin1ToUtf8(clip.GetRecord().ClipName()));
    ProgressPrinter progress(audio, video, quiet);
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        runner.Execute(run);
        finished = true;
    });
    while (!finished) {
        progress.Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    worker.join();
    progress.Finish();
    return run;
}

// The file a whole rip of the clip is known by: its container when muxed, its video (or backup)
// file, else its audio file.
bool OutputsExist(const std::string& base, const RipRequest& request) {
    std::vector<std::string> names;
    const bool raw = request.backup || request.rawAudio || request.rawVideo;
    if (request.mux.format != MuxFormat::kNone && !raw)
        names = {base + "." + std::string(MuxExtension(request.mux.format))};
    else if (request.backup)
        names = {base + ".pva"};
    else if (request.video)
        names = {base + "." +
                 (request.rawVideo ? request.postfixes.rawVideo : request.postfixes.video)};
    else
        names = {base + "." +
                     (request.rawAudio ? request.postfixes.rawAudio : request.postfixes.audio),
                 base + ".ac3"};
    for (const std::string& n : names)
        if (std::filesystem::exists(n)) return true;
    return false;
}

// The names of every clip for --all: its own, with the clip number added where two clips of the
// disk would share one (so a second run finds the same names).
std::vector<std::string> AllNames(const CPVRDrive& drive) {
    std::vector<std::string> names;
    std::map<std::string, int> seen;
    for (int i = 0; i < drive.GetFileCount(); ++i)
        ++seen[drive.GetFile(i)->GetOutputBaseName()];
    for (int i = 0; i < drive.GetFileCount(); ++i) {
        const std::string base = drive.GetFile(i)->GetOutputBaseName();
        names.push_back(seen[base] > 1 || base.empty() ? Format("%s_%02d", base.c_str(), i + 1)
                                                       : base);
    }
    return names;
}

int RipAll(const RipOptions& o, OpenedDisk& disk, const RipRequest& whole) {
    const std::vector<std::string> names = AllNames(*disk.drive);
    const bool quiet = o.json && ::isatty(STDERR_FILENO) != 1;
    nlohmann::ordered_json clips = nlohmann::ordered_json::array();
    int worst = kExitOk;
    for (int i = 0; i < disk.drive->GetFileCount() && !InterruptGuard::Interrupted(); ++i) {
        CPVRFile& clip = *disk.drive->GetFile(i);
        RipRequest request = whole;
        request.outputName = names[static_cast<std::size_t>(i)];
        int status = kExitOk;
        nlohmann::ordered_json item;
        if (!clip.RecordRead()) {
            status = kExitDisk;
            item = {{"clip", i + 1}, {"outcome", "unreadable record"}, {"status", status}};
        } else if (o.skipExisting && OutputsExist(*request.outputName, request)) {
            item = {{"clip", i + 1},
                    {"name", *request.outputName},
                    {"outcome", "skipped"},
                    {"status", status}};
        } else {
            if (!o.json) std::fprintf(stderr, "clip %d: %s\n", i + 1, request.outputName->c_str());
            const RipRunReport run = RipClip(clip, request, quiet);
            status = run.started ? ExitCodeOf(run) : kExitNothing;
            if (!run.started) PrintError("clip " + std::to_string(i + 1) + ": " + run.refusal);
            if (!o.json) {
                PrintFiles(run.stages);
                PrintLost(run.stages);
            }
            if (run.started) PrintEnd(run);
            item = RipJson(clip, i + 1, run, status);
        }
        worst = WorseExit(worst, status);
        if (!o.json)
            std::printf("clip\t%d\t%s\t%s\n", i + 1, item.value("name", std::string()).c_str(),
                        item["outcome"].get<std::string>().c_str());
        std::fflush(stdout);
        clips.push_back(item);
    }
    if (InterruptGuard::Interrupted()) worst = WorseExit(worst, kExitCancelled);
    if (o.json) {
        nlohmann::ordered_json doc = JsonDocument("rip");
        doc["status"] = worst;
        doc["clips"] = clips;
        PrintJson(doc);
    }
    return worst;
}

bool RangesAsked(const RipOptions& o) {
    return !o.keep.empty() || !o.edl.empty() || o.marks;
}

// "FROM-TO", TO empty for the clip's end.
std::optional<KeepRange> ParseKeep(const std::string& text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) return std::nullopt;
    const std::optional<double> from = ParseCliTime(text.substr(0, dash));
    const std::string toText = text.substr(dash + 1);
    if (!from) return std::nullopt;
    KeepRange range{*from, std::nullopt};
    if (!toText.empty()) {
        range.to = ParseCliTime(toText);
        if (!range.to) return std::nullopt;
    }
    return range;
}

// The range options' usage rules, and the --keep ranges read, checked and joined.
int CheckRangeOptions(const RipOptions& o, KeepRanges& ranges) {
    const int sources = (o.keep.empty() ? 0 : 1) + (o.edl.empty() ? 0 : 1) + (o.marks ? 1 : 0);
    if (sources > 1) {
        PrintError("--keep, --edl and --marks exclude each other");
        return kExitUsage;
    }
    if (sources == 1 && o.timesGiven) {
        PrintError("--keep, --edl and --marks exclude --begin, --length and --end");
        return kExitUsage;
    }
    if ((sources == 1 || o.exact) && (o.rawAudio || o.rawVideo || o.backup)) {
        PrintError("raw rips and backups are copies as recorded: they take no ranges and no "
                   "--exact");
        return kExitUsage;
    }
    if (sources == 1 && o.all) {
        PrintError("--all rips every clip whole: --keep, --edl and --marks do not apply");
        return kExitUsage;
    }
    for (const std::string& text : o.keep) {
        std::optional<KeepRange> range = ParseKeep(text);
        if (!range) {
            PrintError("invalid range for --keep: '" + text +
                       "' (FROM-TO or FROM-, times as SS[.cc], M:SS[.cc] or H:MM:SS[.cc])");
            return kExitUsage;
        }
        ranges.push_back(*range);
    }
    if (std::optional<std::string> why = CheckRangeOrder(ranges)) {
        PrintError(*why);
        return kExitUsage;
    }
    ranges = JoinTouching(ranges);
    return kExitOk;
}

// The ranges of --edl or --marks, then all of them settled against the clip; the request gets
// the first range's cut.
int SettleRangeOptions(const RipOptions& o, const CPVRFile& clip, KeepRanges& ranges,
                       RipRequest& request) {
    const double clipSeconds = clip.GetRecord().LengthInSeconds();
    if (!o.edl.empty()) {
        std::ifstream in(o.edl, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in) {
            PrintError("cannot read the edit decision list " + o.edl);
            return kExitUsage;
        }
        EdlResult edl = ParseEdl(text.str(), clipSeconds);
        if (!edl.error.empty()) {
            PrintError(o.edl + ": " + edl.error);
            return edl.ranges.empty() && edl.error.starts_with("line ") ? kExitUsage : kExitNothing;
        }
        ranges = edl.ranges;
    }
    if (o.marks) {
        MarksResult marks = RangesFromMarks(clip.GetRecord());
        if (!marks.error.empty()) {
            PrintError("clip " + std::to_string(o.clip) + ": " + marks.error);
            return kExitNothing;
        }
        ranges = JoinTouching(marks.ranges);
    }
    SettledRanges settled = SettleRanges(ranges, clipSeconds);
    if (settled.wrongRange > 0) {
        const KeepRange& wrong = ranges[static_cast<std::size_t>(settled.wrongRange - 1)];
        PrintError(Format("wrong offset: range %d (", settled.wrongRange) + RangeText(wrong) +
                   ") lies past the end of the clip (" +
                   FormatHundredths(std::int64_t{clip.GetRecord().LengthInSeconds()} * 100) + ")");
        return kExitNothing;
    }
    ranges = settled.ranges;
    request.begin = ranges.front().from;
    request.length = *ranges.front().to - ranges.front().from;
    if (ranges.size() > 1 || o.exact) {
        PrintError("several ranges and cuts at the exact picture are not ripped yet");
        return kExitUsage;
    }
    return kExitOk;
}

int RunRip(RipOptions o) {
    if (o.noAudio && o.noVideo && !o.backup) {
        PrintError("--no-audio and --no-video leave nothing to rip");
        return kExitUsage;
    }
    if (o.backup && (o.begin != "0" || !o.length.empty() || !o.end.empty())) {
        PrintError("a backup is always the whole clip: --begin, --length and --end do not apply");
        return kExitUsage;
    }
    if (o.all == (o.clip != 0)) {
        PrintError(o.all ? "--all and --clip exclude each other" : "--clip or --all is required");
        return kExitUsage;
    }
    if (o.all && (!o.name.empty() || o.begin != "0" || !o.length.empty() || !o.end.empty())) {
        PrintError("--all rips every clip whole under its own name: --name, --begin, --length "
                   "and --end do not apply");
        return kExitUsage;
    }
    if (o.skipExisting && !o.all) {
        PrintError("--skip-existing goes with --all");
        return kExitUsage;
    }
    KeepRanges ranges;
    if (int rc = CheckRangeOptions(o, ranges)) return rc;
    RipRequest request;
    if (int rc = BuildRequest(o, request)) return rc;
    o.disk = AbsolutePath(o.disk);
    std::string dir = AbsolutePath(o.out);
    if (!EnterDirectory(dir)) return kExitOutput;

    OpenedDisk disk;
    {
        Activity read("DIR");
        if (int rc = OpenDisk(o.disk, o.firmware190, disk)) return rc;
    }
    ApplyReadErrorOption(o.onReadError);
    InterruptGuard interrupts(o.backup);
    if (o.all) return RipAll(o, disk, request);

    CPVRFile* clip = ClipByNumber(disk, o.clip);
    if (!clip) return kExitUsage;
    if (RangesAsked(o)) {
        if (int rc = SettleRangeOptions(o, *clip, ranges, request)) return rc;
    }
    const RipRunReport run = RipClip(*clip, request, o.json && ::isatty(STDERR_FILENO) != 1);
    if (!run.started) {
        PrintError(RefusalText(*clip, request.begin));
        if (o.json) {
            nlohmann::ordered_json doc = JsonDocument("rip");
            doc["status"] = kExitNothing;
            doc["clips"] = {RipJson(*clip, o.clip, run, kExitNothing)};
            PrintJson(doc);
        }
        return kExitNothing;
    }
    const int rc = ExitCodeOf(run);
    if (o.json) {
        nlohmann::ordered_json doc = JsonDocument("rip");
        doc["status"] = rc;
        doc["clips"] = {RipJson(*clip, o.clip, run, rc)};
        PrintJson(doc);
    } else {
        PrintFiles(run.stages);
        PrintLost(run.stages);
    }
    PrintEnd(run);
    return rc;
}

} // namespace

void RegisterRipCommands(CLI::App& app, Action& action) {
    static RipOptions o;
    CLI::App* rip = app.add_subcommand(
        "rip", "extract a clip's video and audio elementary streams, whole or cut");
    rip->add_option("--disk", o.disk, "receiver disk: a block device or an image file")->required();
    AddFirmwareOption(*rip, o.firmware190);
    rip->add_option("--clip", o.clip, "clip number as 'list' shows it (from 1)");
    rip->add_flag("--all", o.all,
                  "rip every clip whole, one after another, each under its own name");
    rip->add_flag("--skip-existing", o.skipExisting,
                  "with --all: leave out clips whose output files already exist");
    rip->add_flag("--json", o.json, "print one JSON document instead of the text report");
    rip->add_option("--begin", o.begin,
                    "where the cut begins: SS[.cc], M:SS[.cc] or H:MM:SS[.cc] (default 0)")
        ->check(NonEmptyTime());
    CLI::Option* length = rip->add_option("--length", o.length,
                                          "how long the cut is: SS[.cc], M:SS[.cc] or H:MM:SS[.cc]")
                              ->check(NonEmptyTime());
    CLI::Option* end =
        rip->add_option("--end", o.end, "where the cut ends: SS[.cc], M:SS[.cc] or H:MM:SS[.cc]")
            ->check(NonEmptyTime());
    length->excludes(end);
    rip->add_option("--out", o.out, "output directory, created if needed (default: current)");
    rip->add_flag("--no-audio", o.noAudio, "do not rip the audio stream");
    rip->add_flag("--no-video", o.noVideo, "do not rip the video stream");
    rip->add_flag("--patch-seqhdr", o.patchSeqHdr,
                  "patch the first sequence headers (standard width, measured bit rate)");
    rip->add_option("--name", o.name,
                    "name of the output files (the clip keeps its name on the disk)");
    rip->add_flag("--raw-audio", o.rawAudio, "copy the audio packets as recorded (raw)");
    rip->add_flag("--raw-video", o.rawVideo, "copy the video packets as recorded (raw)");
    rip->add_flag("--backup", o.backup,
                  "back up the whole clip: its record and both streams as recorded");
    rip->add_option("--keep", o.keep,
                    "keep FROM-TO (TO empty: to the clip's end); repeat for several ranges, "
                    "in order, joined in the output");
    rip->add_option("--edl", o.edl,
                    "keep what an edit decision list (START END ACTION in seconds) leaves");
    rip->add_flag("--marks", o.marks, "keep the ranges between the clip's own cut marks");
    rip->add_flag("--exact", o.exact, "cut at the exact picture (re-encodes a few at each joint)");
    AddReadErrorOption(*rip, o.onReadError);
    AddMuxOptions(*rip, o.mux);
    rip->callback([&action, rip] {
        o.timesGiven = rip->count("--begin") + rip->count("--length") + rip->count("--end") > 0;
        action = [] { return RunRip(o); };
    });
}

} // namespace quorin::cli
