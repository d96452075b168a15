// quorin-cli rip: one rip (or raw rip, or backup) of one clip, as the main window's "RIP !" runs
// it, with progress on stderr and Ctrl-C as Cancel.
#include "cli/cli_common.h"
#include "cli/cli_time.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "jobs/job_runner.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "rip/rip_runner.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
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

// Progress on stderr: one updating line per stream on a terminal, a few plain lines otherwise.
class ProgressPrinter {
public:
    ProgressPrinter(RipProgress& audio, RipProgress& video)
        : audio_(audio), video_(video), tty_(::isatty(STDERR_FILENO) == 1) {}

    void Tick() {
        int stage = video_.active ? 1 : (audio_.active ? 0 : -1);
        if (stage != stage_) {
            if (stage_ >= 0)
                Show(stage_, true);
            else if (stage == 1 && audio_.active && !audioShown_)
                Show(0, true); // the audio stage ran between two ticks
            stage_ = stage;
            milestone_ = -1;
        }
        if (stage_ == 0) audioShown_ = true;
        if (stage < 0) {
            if (tty_) {
                std::string status = video_.Status();
                if (status.empty()) status = audio_.Status();
                std::fprintf(stderr, "\r\033[Kanalysing  %s", status.c_str());
                lineOpen_ = true;
                std::fflush(stderr);
            }
            return;
        }
        Show(stage, false);
    }

    void Finish() {
        Tick();
        if (stage_ >= 0)
            Show(stage_, true);
        else if (tty_ && lineOpen_)
            std::fputs("\n", stderr);
        lineOpen_ = false;
        std::fflush(stderr);
    }

private:
    // One stage's line; `final` ends it (its last state).
    void Show(int stage, bool final) {
        RipProgress& b = stage == 1 ? video_ : audio_;
        int percent = Percent(b);
        std::string text = Format("%s %3d%% %6d MB  %s", stage == 1 ? "video" : "audio", percent,
                                  b.megabytes.load(), b.Status().c_str());
        if (tty_) {
            std::fprintf(stderr, "\r\033[K%s%s", text.c_str(), final ? "\n" : "");
            lineOpen_ = !final;
        } else if ((final && text != lastLine_) || percent / 25 > milestone_) {
            milestone_ = percent / 25;
            std::fprintf(stderr, "%s\n", text.c_str());
            lastLine_ = text;
        }
        std::fflush(stderr);
    }

    static int Percent(const RipProgress& b) {
        std::int64_t low = b.rangeLow, high = b.rangeHigh, pos = b.position;
        if (high <= low) return 0;
        std::int64_t p = (pos - low) * 100 / (high - low);
        return static_cast<int>(std::clamp<std::int64_t>(p, 0, 100));
    }

    RipProgress& audio_;
    RipProgress& video_;
    bool tty_;
    int stage_ = -1;
    int milestone_ = -1;
    bool lineOpen_ = false;
    bool audioShown_ = false;
    std::string lastLine_;
};

// The request from the options; an exit code other than kExitOk when a time is not valid.
int BuildRequest(const RipOptions& o, RipRequest& request) {
    auto parse = [](const std::string& text, const char* option, double& value) {
        std::optional<double> v = ParseCliTime(text);
        if (!v) {
            PrintError(std::string("invalid time for ") + option + ": '" + text +
                       "' (seconds, or h:mm:ss.cc)");
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
    return kExitOk;
}

void PrintFiles(const RipReport& report) {
    for (const RipReport::File& f : report.files) {
        std::error_code ec;
        auto size = std::filesystem::file_size(f.name, ec);
        if (ec) continue; // never created after all
        std::printf("file\t%s\t%llu\t%s\n", f.name.c_str(), static_cast<unsigned long long>(size),
                    f.what.c_str());
    }
    if (report.audioMs >= 0)
        std::printf("stage\taudio\t%s s\n", Format("%.3f", report.audioMs / 1000.0).c_str());
    if (report.videoMs >= 0)
        std::printf("stage\tvideo\t%s s\n", Format("%.3f", report.videoMs / 1000.0).c_str());
    std::fflush(stdout);
}

int RunRip(RipOptions o) {
    if (o.noAudio && o.noVideo && !o.backup) {
        PrintError("--no-audio and --no-video leave nothing to rip");
        return kExitUsage;
    }
    o.disk = AbsolutePath(o.disk);
    std::string dir = AbsolutePath(o.out);
    if (!EnterDirectory(dir)) return kExitOutput;

    OpenedDisk disk;
    {
        Activity read("DIR");
        if (int rc = OpenDisk(o.disk, o.firmware190, disk)) return rc;
    }
    CPVRFile* clip = ClipByNumber(disk, o.clip);
    if (!clip) return kExitUsage;

    RipRequest request;
    if (int rc = BuildRequest(o, request)) return rc;

    RipProgress audio, video;
    InterruptGuard interrupts(o.backup);
    RipRunner runner(*clip, audio, video, &InterruptGuard::Flag());
    RipRunReport run;
    if (!runner.Prepare(request, run)) {
        PrintError(run.refusal);
        return kExitNothing;
    }
    {
        Activity rip(Latin1ToUtf8(clip->GetRecord().ClipName()));
        ProgressPrinter progress(audio, video);
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
    }
    const RipReport& report = run.stages;
    const RipOutcome outcome = run.outcome.value_or(RipOutcome::kNothingToRip);

    PrintFiles(report);
    int rc = ExitCodeOf(outcome);
    switch (outcome) {
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
    return rc;
}

} // namespace

void RegisterRipCommands(CLI::App& app, Action& action) {
    static RipOptions o;
    CLI::App* rip = app.add_subcommand(
        "rip", "extract a clip's video and audio elementary streams, whole or cut");
    rip->add_option("--disk", o.disk, "receiver disk: a block device or an image file")->required();
    AddFirmwareOption(*rip, o.firmware190);
    rip->add_option("--clip", o.clip, "clip number as 'list' shows it (from 1)")->required();
    rip->add_option("--begin", o.begin, "where the cut begins: seconds or h:mm:ss.cc (default 0)");
    CLI::Option* length =
        rip->add_option("--length", o.length, "how long the cut is: seconds or h:mm:ss.cc");
    CLI::Option* end = rip->add_option("--end", o.end, "where the cut ends: seconds or h:mm:ss.cc");
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
    rip->callback([&action] { action = [] { return RunRip(o); }; });
}

} // namespace quorin::cli
