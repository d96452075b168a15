#include "cli/progress.h"

#include "base/format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace quorin::cli {
namespace {

// The engine's status texts as a line of ours: single spaces, no line ends.
std::string Tidy(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::string out;
    for (char c : text)
        if (c != ' ' || out.empty() || out.back() != ' ') out += c;
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string Duration(double seconds) {
    const long long s = std::llround(seconds);
    return s >= 3600 ? Format("%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60)
                     : Format("%lld:%02lld", s / 60, s % 60);
}

} // namespace

ProgressPrinter::ProgressPrinter(RipProgress& audio, RipProgress& video, bool quiet)
    : audio_(audio), video_(video), tty_(::isatty(STDERR_FILENO) == 1), quiet_(quiet),
      stageStart_(std::chrono::steady_clock::now()) {}

int ProgressPrinter::Percent(const RipProgress& b) {
    const std::int64_t low = b.rangeLow, high = b.rangeHigh, pos = b.position;
    if (high <= low) return 0;
    const std::int64_t p = (pos - low) * 100 / (high - low);
    return static_cast<int>(std::clamp<std::int64_t>(p, 0, 100));
}

void ProgressPrinter::Tick() {
    if (quiet_) return;
    const bool muxing = video_.muxing || audio_.muxing;
    const int stage = muxing ? 2 : video_.active ? 1 : (audio_.active ? 0 : -1);
    if (stage != stage_) {
        if (stage == 2)
            EnterMux();
        else if (stage_ >= 0)
            Show(stage_, true);
        else if (stage == 1 && audio_.active && !audioShown_)
            Show(0, true); // the audio stage ran between two ticks
        stage_ = stage;
        milestone_ = -1;
        stageStart_ = std::chrono::steady_clock::now();
        stageStartMegabytes_ = stage >= 0 ? Block(stage).megabytes.load() : 0;
        stageStartPercent_ = stage >= 0 ? Percent(Block(stage)) : 0;
    }
    if (stage_ == 0) audioShown_ = true;
    if (stage < 0) {
        if (tty_) {
            std::string status = video_.Status();
            if (status.empty()) status = audio_.Status();
            std::fprintf(stderr, "\r\033[Kanalysing  %s", Tidy(status).c_str());
            lineOpen_ = true;
            std::fflush(stderr);
        }
        return;
    }
    Show(stage, false);
}

void ProgressPrinter::Finish(bool stopped) {
    if (quiet_) return;
    Tick();
    stopped_ = stopped;
    if (stage_ >= 0)
        Show(stage_, true);
    else if (tty_ && lineOpen_)
        std::fputs("\n", stderr);
    lineOpen_ = false;
    std::fflush(stderr);
}

const RipProgress& ProgressPrinter::Block(int stage) const {
    return stage == 1 || (stage == 2 && video_.muxing) ? video_ : audio_;
}

// The mux stage takes over the block of the last stream stage, whose figures are gone then: that
// stage's line ends as done.
void ProgressPrinter::EnterMux() {
    const bool videoRan = video_.muxing;
    const bool endShown = !tty_ && milestone_ >= 10 && stage_ == (videoRan ? 1 : 0);
    if (videoRan && stage_ != 1 && audio_.active && (stage_ == 0 || !audioShown_))
        Show(0, true); // the audio block is the audio stage's still
    if (!endShown)
        std::fprintf(stderr, "%s%s 100%%\n", tty_ ? "\r\033[K" : "", videoRan ? "video" : "audio");
    lineOpen_ = false;
}

std::string ProgressPrinter::Line(int stage, bool final) const {
    static constexpr const char* kNames[] = {"audio", "video", "mux  "};
    const RipProgress& b = Block(stage);
    const int percent = Percent(b);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stageStart_).count();
    const int megabytes = b.megabytes.load();
    // The speed since the stage was first seen: a stage seen only at its end shows none.
    const int moved = megabytes - stageStartMegabytes_;
    // The last line of a stage that failed or was cancelled says so instead of a percentage
    // (what was read is no measure of what was written then).
    std::string line = final && stopped_
                           ? Format("%s stopped %6d MB", kNames[stage], megabytes)
                           : Format("%s %3d%% %6d MB", kNames[stage], percent, megabytes);
    if (seconds >= 0.1 && moved > 0) {
        line += Format("  %.1f MB/s", moved / seconds);
        if (percent > stageStartPercent_ && percent < 100 && !final)
            line += "  " + Duration(seconds * (100 - percent) / (percent - stageStartPercent_)) +
                    " left";
    }
    const std::string status = Tidy(b.Status());
    if (!status.empty()) line += "  " + status;
    return line;
}

// One stage's line; `final` ends it (its last state).
void ProgressPrinter::Show(int stage, bool final) {
    const RipProgress& b = Block(stage);
    const int percent = Percent(b);
    const std::string text = Line(stage, final);
    if (tty_) {
        std::fprintf(stderr, "\r\033[K%s%s", text.c_str(), final ? "\n" : "");
        lineOpen_ = !final;
    } else if (final ? milestone_ < 10 : percent / 10 > milestone_ && percent < 100) {
        // 100% comes only with the stage's end, once.
        milestone_ = final ? 10 : percent / 10;
        std::fprintf(stderr, "%s\n", text.c_str());
        lastLine_ = text;
    }
    std::fflush(stderr);
}

} // namespace quorin::cli
