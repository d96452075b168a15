// quorin-cli rip: one rip (or raw rip, or backup) of one clip, as the main window's "RIP !" runs
// it, with progress on stderr and Ctrl-C as Cancel.
#include "cli/cli_common.h"
#include "cli/cli_drop_breaks.h"
#include "cli/cli_marks.h"
#include "cli/cli_mux.h"
#include "cli/cli_time.h"
#include "cli/json_report.h"
#include "cli/progress.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "breaks/break_confidence.h"
#include "disk/pvr_drive.h"
#include "jobs/archive_rip.h"
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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <sstream>
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
    std::string library;
    bool json = false;
    std::string onReadError;
    MuxOptions mux;
    bool markBreaks = false;
    bool noBreaks = false;
    // Marked by --mark-breaks, and in a library unless --no-breaks.
    bool Marks() const { return markBreaks || (!library.empty() && !noBreaks); }
    std::vector<std::string> keep;
    std::string edl;
    bool marks = false;
    bool exact = false;
    bool dropBreaks = false;
    double minConfidence = kDropBreakConfidence;
    bool timesGiven = false; // --begin, --length or --end
    bool confidenceGiven = false;
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
        std::printf("file\t%s\t%llu\t%s%s\n", ReportedName(f.name).c_str(),
                    static_cast<unsigned long long>(size), FileKindText(f.kind),
                    f.partial ? "\tpartial" : "");
    }
    for (std::size_t i = 0; i < report.segments.size(); ++i) {
        const RipReport::Segment& s = report.segments[i];
        std::printf("segment\t%zu\t%s\t%s\n", i + 1, ClipTimeText(s.from).c_str(),
                    ClipTimeText(s.to).c_str());
    }
    for (const std::string& notice : report.notices)
        std::printf("notice\t%s\n", TextField(notice).c_str());
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
            incomplete += (incomplete.empty() ? "" : ", ") + ReportedName(f.name);
    if (!incomplete.empty()) PrintError("incomplete: " + incomplete);
}

// "wrong offset", and why: a begin past the clip's end.
std::string RefusalText(const CPVRFile& clip, double begin) {
    const int length = clip.GetRecord().LengthInSeconds();
    return "wrong offset: the begin " + FormatHundredths(std::llround(begin * 100)) +
           " lies past the end of the clip (" + FormatHundredths(std::int64_t{length} * 100) + ")";
}

// For tests: QUORIN_TEST_HOLD_RIP=N holds the rip until the N-th Ctrl-C, so that a rip can be
// interrupted before it ends however fast the machine is ("held" on stderr says it waits).
void HoldForTest() {
    const char* hold = std::getenv("QUORIN_TEST_HOLD_RIP");
    if (!hold) return;
    const int signals = std::atoi(hold);
    std::fputs("held\n", stderr);
    while (InterruptGuard::Count() < signals)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
    HoldForTest();
    ProgressPrinter progress(audio, video, quiet);
    std::future<RipOutcome> done =
        std::async(std::launch::async, [&] { return runner.Execute(run); });
    // The display refreshes five times a second; the end of the rip wakes the wait at once.
    do
        progress.Tick();
    while (done.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready);
    done.get();
    progress.Finish(run.outcome != RipOutcome::kDone);
    return run;
}

// The names of every clip for --all: its own, with the clip number added where two clips of the
// disk would share one, and again until no other clip's name is the same.
std::vector<std::string> AllNames(const CPVRDrive& drive) {
    std::vector<std::string> names;
    std::map<std::string, int> seen;
    for (int i = 0; i < drive.GetFileCount(); ++i)
        ++seen[drive.GetFile(i)->OutputBaseName()];
    for (int i = 0; i < drive.GetFileCount(); ++i) {
        std::string name = drive.GetFile(i)->OutputBaseName();
        if (seen[name] > 1 || name.empty()) {
            do
                name += Format("_%02d", i + 1);
            while (seen.contains(name));
            seen[name] = 1;
        }
        names.push_back(name);
    }
    return names;
}

// A run stopped by Ctrl-C before its stages.
RipRunReport CancelledRun() {
    RipRunReport run;
    run.started = true;
    run.outcome = RipOutcome::kCancelled;
    return run;
}

// One clip of --all or --library through the archive folder.
nlohmann::ordered_json ArchiveClip(const RipOptions& o, RipArchive& archive, CPVRFile& clip,
                                   int number, const RipRequest& request,
                                   const ArchiveTarget& target, int& status) {
    const bool quiet = o.json && ::isatty(STDERR_FILENO) != 1;
    std::vector<breaks::Break> marked;
    const ArchivedRun archived =
        RipIntoArchive(archive, clip, number, request, target, !o.library.empty(), o.skipExisting,
                       [&](CPVRFile& c, const RipRequest& q) {
                           if (!o.json)
                               std::fprintf(stderr, "clip %d: %s\n", number, target.base.c_str());
                           RipRequest asked = q;
                           if (o.Marks() && !MarkBreaks(c, asked, quiet, marked))
                               return CancelledRun();
                           return RipClip(c, asked, quiet);
                       });
    status = kExitOk;
    if (archived.skipped) {
        nlohmann::ordered_json item = ClipItemJson(number, clip, "skipped", status, {});
        item["name"] = target.base;
        return item;
    }
    if (!archived.failure.empty()) {
        PrintError(archived.failure);
        status = kExitOutput;
        nlohmann::ordered_json item =
            ClipItemJson(number, clip, "output failed", status, archived.failure);
        item["name"] = target.base;
        return item;
    }
    const RipRunReport& run = archived.run;
    status = run.started ? ExitCodeOf(run) : kExitNothing;
    if (!run.started) PrintError("clip " + std::to_string(number) + ": " + run.refusal);
    if (!o.json) {
        PrintFiles(run.stages);
        PrintBreaks(marked);
        PrintLost(run.stages);
    }
    if (run.started) PrintEnd(run);
    nlohmann::ordered_json item = RipJson(clip, number, run, status);
    item["name"] = target.base;
    if (o.Marks()) item["breaks"] = BreaksArray(marked);
    return item;
}

// Every clip of the list through the archive folder (the current directory).
int RipAll(const RipOptions& o, OpenedDisk& disk, const RipRequest& whole,
           const std::vector<int>& numbers) {
    const std::vector<std::string> names = AllNames(*disk.drive);
    RipArchive archive(whole.outputFolder);
    if (!archive.Error().empty()) {
        PrintError(archive.Error());
        return kExitOutput;
    }
    nlohmann::ordered_json clips = nlohmann::ordered_json::array();
    int worst = kExitOk;
    for (int number : numbers) {
        if (InterruptGuard::Interrupted()) break;
        CPVRFile& clip = *disk.drive->GetFile(number - 1);
        int status = kExitOk;
        nlohmann::ordered_json item;
        if (!clip.RecordRead()) {
            status = kExitDisk;
            item = ClipItemJson(number, clip, "unreadable record", status,
                                "could not read the record of clip " + std::to_string(number) +
                                    (clip.ReadFailure().empty() ? "" : ": " + clip.ReadFailure()));
        } else {
            const ArchiveTarget target = TargetOf(
                clip, number, names[static_cast<std::size_t>(number - 1)], !o.library.empty());
            item = ArchiveClip(o, archive, clip, number, whole, target, status);
        }
        worst = WorseExit(worst, status);
        if (!o.json)
            std::printf("clip\t%d\t%s\t%s\n", number,
                        TextField(item["name"].get<std::string>()).c_str(),
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
    return !o.keep.empty() || !o.edl.empty() || o.marks || o.dropBreaks;
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
    const int sources = (o.keep.empty() ? 0 : 1) + (o.edl.empty() ? 0 : 1) + (o.marks ? 1 : 0) +
                        (o.dropBreaks ? 1 : 0);
    if (sources > 1) {
        PrintError("--keep, --edl, --marks and --drop-breaks exclude each other");
        return kExitUsage;
    }
    if (sources == 1 && o.timesGiven) {
        PrintError("--keep, --edl, --marks and --drop-breaks exclude --begin, --length and --end");
        return kExitUsage;
    }
    if (o.confidenceGiven && !o.dropBreaks) {
        PrintError("--min-confidence goes with --drop-breaks");
        return kExitUsage;
    }
    if ((sources == 1 || o.exact) && (o.rawAudio || o.rawVideo || o.backup)) {
        PrintError("raw rips and backups are copies as recorded: they take no ranges and no "
                   "--exact");
        return kExitUsage;
    }
    if ((sources == 1 || o.exact) && (o.all || !o.library.empty())) {
        PrintError("--all and --library rip whole recordings: --keep, --edl, --marks and --exact "
                   "do not apply");
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
    if (o.dropBreaks) {
        const bool quiet = o.json && ::isatty(STDERR_FILENO) != 1;
        if (int rc =
                RangesWithoutBreaks(clip, o.minConfidence, o.onReadError == "stop", quiet, ranges))
            return rc;
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
    request.keep = settled.ranges;
    request.begin = request.keep.front().from;
    request.length = *request.keep.back().to - request.begin;
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
    const bool library = !o.library.empty();
    if (library && (o.backup || o.rawAudio || o.rawVideo || o.noVideo || !o.name.empty() ||
                    o.begin != "0" || !o.length.empty() || !o.end.empty())) {
        PrintError("--library holds whole recordings with their picture, named after them: "
                   "--backup, --raw-audio, --raw-video, --no-video, --name, --begin, --length "
                   "and --end do not apply");
        return kExitUsage;
    }
    if (library && (RangesAsked(o) || o.exact)) {
        PrintError("--library holds whole recordings: --keep, --edl, --marks, --drop-breaks and "
                   "--exact do not apply");
        return kExitUsage;
    }
    if (o.markBreaks && (RangesAsked(o) || o.exact)) {
        PrintError("--mark-breaks marks a whole or cut rip: --keep, --edl, --marks, --drop-breaks "
                   "and --exact do not go with it");
        return kExitUsage;
    }
    if (o.Marks() && (o.noVideo || o.rawVideo || o.backup)) {
        PrintError("breaks are marked on the picture of a stream rip: --no-video, --raw-video and "
                   "--backup do not apply");
        return kExitUsage;
    }
    if (o.skipExisting && !o.all && !library) {
        PrintError("--skip-existing goes with --all or --library");
        return kExitUsage;
    }
    KeepRanges ranges;
    if (int rc = CheckRangeOptions(o, ranges)) return rc;
    RipRequest request;
    if (int rc = BuildRequest(o, request)) return rc;
    request.exact = o.exact;
    if (library && request.mux.format == MuxFormat::kNone)
        request.mux.format = MuxFormat::kMatroska;
    o.disk = AbsolutePath(o.disk);
    request.outputFolder = AbsolutePath(library ? o.library : o.out);
    if (!MakeOutputFolder(request.outputFolder)) return kExitOutput;
    SetReportFolder(request.outputFolder);

    OpenedDisk disk;
    {
        Activity read("DIR");
        if (int rc = OpenDisk(o.disk, o.firmware190, disk, false, request.outputFolder)) return rc;
    }
    request.readPolicy = ReadPolicyOf(o.onReadError);
    InterruptGuard interrupts(o.backup);
    if (o.all || library) {
        std::vector<int> numbers;
        if (o.all)
            for (int i = 1; i <= disk.drive->GetFileCount(); ++i)
                numbers.push_back(i);
        else if (!ClipByNumber(disk, o.clip))
            return kExitUsage;
        else
            numbers.push_back(o.clip);
        return RipAll(o, disk, request, numbers);
    }

    CPVRFile* clip = ClipByNumber(disk, o.clip);
    if (!clip) return kExitUsage;
    if (int rc = UnreadableRecord(*clip)) return rc;
    if (RangesAsked(o)) {
        if (int rc = SettleRangeOptions(o, *clip, ranges, request)) return rc;
    } else if (o.exact) {
        request.keep = {{request.begin, request.length
                                            ? std::optional(request.begin + *request.length)
                                            : std::nullopt}};
    }
    const bool quiet = o.json && ::isatty(STDERR_FILENO) != 1;
    std::vector<breaks::Break> marked;
    const RipRunReport run = o.Marks() && !MarkBreaks(*clip, request, quiet, marked)
                                 ? CancelledRun()
                                 : RipClip(*clip, request, quiet);
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
        nlohmann::ordered_json item = RipJson(*clip, o.clip, run, rc);
        if (o.Marks()) item["breaks"] = BreaksArray(marked);
        doc["clips"] = {item};
        PrintJson(doc);
    } else {
        PrintFiles(run.stages);
        PrintBreaks(marked);
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
    AddClipOption(*rip, o.clip, "clip number as 'list' shows it (from 1)");
    rip->add_flag("--all", o.all,
                  "rip every clip whole, one after another, each under its own name");
    rip->add_flag("--skip-existing", o.skipExisting,
                  "with --all or --library: leave out recordings whose files an earlier run "
                  "finished in the folder");
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
    CLI::Option* out =
        rip->add_option("--out", o.out, "output directory, created if needed (default: current)");
    rip->add_option("--library", o.library,
                    "media library folder: each recording in its own folder with an NFO and "
                    "pictures (implies --mux mkv)")
        ->excludes(out);
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
    rip->add_flag("--drop-breaks", o.dropBreaks,
                  "find the advert breaks and keep the rest of the clip, joined");
    rip->add_option("--min-confidence", o.minConfidence,
                    "with --drop-breaks: the least confidence of a break dropped (default 0.8)")
        ->check(CLI::Range(0.0, 1.0));
    AddReadErrorOption(*rip, o.onReadError);
    AddMuxOptions(*rip, o.mux);
    CLI::Option* mark = rip->add_flag(
        "--mark-breaks", o.markBreaks,
        "find the advert breaks first and mark them, cutting nothing: chapters in an mkv and "
        "NAME.edl beside the output");
    rip->add_flag("--no-breaks", o.noBreaks, "with --library: leave the break marks out")
        ->excludes(mark);
    rip->callback([&action, rip] {
        o.timesGiven = rip->count("--begin") + rip->count("--length") + rip->count("--end") > 0;
        o.confidenceGiven = rip->count("--min-confidence") > 0;
        action = [] { return RunRip(o); };
    });
}

} // namespace quorin::cli
