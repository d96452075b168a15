#include "rip/range_rip.h"

#include "base/format.h"
#include "base/program_log.h"
#include "media/audio_plan.h"
#include "media/video_splice.h"
#include "platform/clock.h"
#include "rip/audio_frames.h"
#include "rip/extract.h"
#include "rip/mux.h"
#include "rip/obits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quorin {
namespace {

namespace fs = std::filesystem;

// Before the first range and after the last the stretch ripped reaches a little further, so that
// the groups around each end and the audio of the first picture are in it.
constexpr double kMarginSeconds = 2.0;
constexpr std::int64_t kTicks = 90'000;

std::int64_t Ticks(double seconds) {
    return static_cast<std::int64_t>(std::llround(seconds * kTicks));
}
double Seconds(std::int64_t ticks) {
    return static_cast<double>(ticks) / kTicks;
}

// A folder of this run beside its output, removed with what is left in it. The run holds a lock
// on a file in it, which the system drops when the process ends however it ends: folders whose
// lock nobody holds are left over from runs that were killed and are removed by the next one.
class StretchFolder {
public:
    explicit StretchFolder(const std::string& in) {
        const std::string folder = in.empty() ? std::string(".") : in;
        RemoveLeftOvers(folder);
        std::string pattern = folder + "/" + std::string(kPrefix) + "XXXXXX";
        if (!::mkdtemp(pattern.data())) return;
        path_ = pattern;
        // Locked before it gets its name, so that no other run finds it unlocked.
        const std::string pending = path_ + "/.lock-pending";
        lock_ = ::open(pending.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock_ >= 0 && ::flock(lock_, LOCK_EX | LOCK_NB) == 0)
            (void)::rename(pending.c_str(), (path_ + "/" + kLock).c_str());
    }
    ~StretchFolder() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
        if (lock_ >= 0) ::close(lock_);
    }
    StretchFolder(const StretchFolder&) = delete;
    StretchFolder& operator=(const StretchFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    static constexpr std::string_view kPrefix = ".quorin-ranges-";
    static constexpr const char* kLock = ".lock";

    static void RemoveLeftOvers(const std::string& folder) {
        std::error_code ec;
        for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
            if (!e.path().filename().string().starts_with(kPrefix)) continue;
            const int fd = ::open((e.path() / kLock).c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0) continue; // not ours, or not yet locked
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                LogLine("removing " + e.path().string() + ", left by a run that ended early");
                fs::remove_all(e.path(), ec);
            }
            ::close(fd);
        }
    }

    std::string path_;
    int lock_ = -1;
};

class Ranges {
public:
    Ranges(RipRun& run, RipReport& report) : run_(run), q_(run.Request()), report_(report) {}

    RipOutcome Go() {
        StretchFolder folder(q_.outputFolder);
        if (folder.Path().empty())
            return Fail(RipOutcome::kOutputFailed,
                        "could not create a working folder in the output "
                        "folder");
        RipReport stretch;
        const RipOutcome ripped = RipStretch(folder.Path(), stretch);
        report_.lost = stretch.lost;
        report_.analysis = stretch.analysis;
        report_.audioMs = stretch.audioMs;
        report_.videoMs = stretch.videoMs;
        report_.firstPts = stretch.firstPts;
        report_.aspect = stretch.aspect;
        run_.Analysis() = stretch.analysis;
        if (ripped != RipOutcome::kDone) {
            report_.message = stretch.message;
            return ripped;
        }
        if (run_.IsCancelled()) return Fail(RipOutcome::kCancelled, "cancelled");
        std::string video, audio;
        for (const RipReport::File& f : stretch.files) {
            if (f.kind == FileKind::kVideo) video = f.name;
            if (f.kind == FileKind::kAudio) audio = f.name;
        }
        Claim(audio);
        const std::int64_t t0 = TickCountMs();
        std::vector<media::SegmentWritten> segments;
        if (!video.empty()) {
            if (!Video(video, stretch, segments)) return outcome_;
        } else {
            for (const KeepRange& r : q_.keep)
                segments.push_back(
                    {Ticks(r.from), Ticks(*r.to),
                     segments.empty()
                         ? 0
                         : segments.back().outputFrom + segments.back().to - segments.back().from,
                     0});
        }
        std::int64_t delay = 0;
        if (!audio.empty() && !Audio(audio, stretch, segments, delay)) return outcome_;
        if (!video.empty()) DelayLog(delay);
        const std::int64_t start = stretch.firstPts + (segments.empty() ? 0 : segments[0].from);
        run_.State().m_i64FirstPTS = stretch.firstPts;
        run_.State().m_i64VideoStartPTS = video.empty() ? PTS_NONE : start;
        run_.State().m_i64AudioStartPTS = audio.empty() ? PTS_NONE : start - delay;
        report_.videoStartPts = run_.State().m_i64VideoStartPTS;
        report_.audioStartPts = run_.State().m_i64AudioStartPTS;
        report_.ripPicturePts = report_.videoStartPts;
        for (const media::SegmentWritten& s : segments)
            report_.segments.push_back({Seconds(s.from), Seconds(s.to), Seconds(s.outputFrom)});
        LogLine(Format("joined %zu ranges in %lld ms", segments.size(),
                       static_cast<long long>(TickCountMs() - t0)));
        if (q_.mux.format != MuxFormat::kNone && !run_.IsCancelled())
            outcome_ =
                Worse(outcome_, RunMuxStage(run_, q_.mux.format, q_.mux.keepStreams, report_));
        if (run_.IsCancelled()) return Fail(RipOutcome::kCancelled, "cancelled");
        return outcome_;
    }

    void Finish() {
        if (claim_)
            for (const RipReport::File& f : report_.files)
                claim_->Keep(f.name);
        claim_.reset();
    }

private:
    // The stretch from the first range to the last, as one cut, into the folder.
    RipOutcome RipStretch(const std::string& folder, RipReport& stretch) {
        RipRequest cut = q_;
        cut.keep.clear();
        cut.exact = false;
        cut.mux = {};
        cut.rename = false;
        cut.patchSequenceHeader = false;
        cut.outputFolder = folder;
        cut.outputName = "stretch";
        const double clip = run_.Clip().GetRecord().LengthInSeconds();
        const double begin = std::max(0.0, q_.keep.front().from - kMarginSeconds);
        const double end = std::min(clip, *q_.keep.back().to + kMarginSeconds);
        RipRun stretchRun(run_.Clip(), cut, &run_.AudioProgress(), &run_.VideoProgress(),
                          run_.CancelFlag(), run_.Analysis());
        stretchRun.State().m_dBegin = begin;
        stretchRun.State().m_dLength = std::max(0.1, end - begin);
        return RipStream(stretchRun, stretch);
    }

    void Claim(const std::string& audio) {
        std::vector<std::string> suffixes;
        if (!audio.empty()) suffixes.push_back(fs::path(audio).extension().string());
        if (q_.video) {
            suffixes.push_back("." + q_.postfixes.video);
            suffixes.push_back(" delay.log");
        }
        if (q_.mux.format != MuxFormat::kNone)
            suffixes.push_back(std::string(".").append(MuxExtension(q_.mux.format)));
        claim_ = std::make_unique<OutputNameClaim>(run_.BasePath(), suffixes);
        base_ = claim_->Base();
        run_.SetBasePath(base_);
    }

    bool Video(const std::string& source, const RipReport& stretch,
               std::vector<media::SegmentWritten>& segments) {
        run_.SetVideoActive(true);
        run_.StatusMessage(q_.exact ? "joining the ranges at their exact pictures...\n"
                                    : "joining the ranges...\n",
                           true);
        std::vector<media::TimeRange> ranges;
        for (const KeepRange& r : q_.keep)
            ranges.push_back({Ticks(r.from), Ticks(*r.to)});
        media::SpliceOptions options;
        options.exact = q_.exact;
        options.log = [](std::string_view text) { LogLine(std::string(text)); };
        const std::string joined = source + ".joined";
        if (stretch.videoStartPts == PTS_NONE)
            return Fail(RipOutcome::kNothingToRip, "no picture in the ranges"), false;
        const std::int64_t firstShown = stretch.videoStartPts - stretch.firstPts;
        media::SpliceResult r = media::SpliceVideo(source, joined, firstShown, ranges, options);
        if (!r.error.empty()) return Fail(RipOutcome::kOutputFailed, r.error), false;
        if (r.segments.empty())
            return Fail(RipOutcome::kNothingToRip, "no picture in the ranges"), false;
        report_.notices = r.notices;
        segments = r.segments;
        if (q_.exact && r.reencoded > 0)
            LogLine(Format("%d pictures re-encoded, PSNR min %.1f dB mean %.1f dB", r.reencoded,
                           r.minPsnr, r.meanPsnr));
        const std::string target = base_ + "." + q_.postfixes.video;
        if (!Place(joined, target, FileKind::kVideo)) return false;
        if (q_.patchSequenceHeader) PatchSequenceHeader(run_, target);
        return true;
    }

    bool Audio(const std::string& source, const RipReport& stretch,
               const std::vector<media::SegmentWritten>& segments, std::int64_t& delay) {
        run_.SetVideoActive(false);
        const AudioFrames frames = ScanAudioFrames(source);
        const std::string target = base_ + fs::path(source).extension().string();
        const std::string joined = source + ".joined";
        if (!frames.error.empty()) {
            // No whole frame: an empty audio file, as a rip of no audio writes.
            delay = 0;
            if (std::FILE* f = std::fopen(joined.c_str(), "wb")) std::fclose(f);
            return Place(joined, target, FileKind::kAudio);
        }
        const std::int64_t audioStart = stretch.audioStartPts - stretch.firstPts;
        const media::AudioPlan plan =
            media::PlanAudio(segments, audioStart, frames.frameTicks, frames.Count());
        delay = plan.delay;
        if (!CopyFrames(source, joined, frames, plan))
            return Fail(RipOutcome::kOutputFailed, "could not write " + run_.Shown(target)), false;
        return Place(joined, target, FileKind::kAudio);
    }

    static bool CopyFrames(const std::string& from, const std::string& to,
                           const AudioFrames& frames, const media::AudioPlan& plan) {
        using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
        File in(std::fopen(from.c_str(), "rb"), &std::fclose);
        File out(std::fopen(to.c_str(), "wbx"), &std::fclose);
        if (!in || !out) return false;
        std::vector<std::uint8_t> bytes;
        for (const media::AudioSpan& span : plan.spans) {
            for (std::int64_t i = span.firstFrame; i < span.firstFrame + span.frames; ++i) {
                const auto k = static_cast<std::size_t>(i);
                bytes.resize(static_cast<std::size_t>(frames.sizes[k]));
                if (fseeko(in.get(), frames.offsets[k], SEEK_SET) != 0 ||
                    std::fread(bytes.data(), 1, bytes.size(), in.get()) != bytes.size() ||
                    std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size())
                    return false;
            }
        }
        return std::fclose(out.release()) == 0;
    }

    // The offset of the whole file, in the delay log beside the video.
    void DelayLog(std::int64_t delay) {
        const std::string name = DelayLogName(base_ + "." + q_.postfixes.video);
        if (std::FILE* f = std::fopen(name.c_str(), "w")) {
            std::fprintf(f, "Delay: %.0f ms", static_cast<double>(delay) / 90);
            if (std::fclose(f) == 0) report_.files.push_back({name, FileKind::kDelayLog});
        }
    }

    // A joined file takes its claimed name (an empty file of this run until then).
    bool Place(const std::string& joined, const std::string& target, FileKind kind) {
        std::error_code ec;
        fs::rename(joined, target, ec);
        if (ec)
            return Fail(RipOutcome::kOutputFailed,
                        "could not write " + run_.Shown(target) + ": " + ec.message()),
                   false;
        report_.files.push_back({target, kind});
        return true;
    }

    RipOutcome Fail(RipOutcome o, const std::string& why) {
        run_.StatusMessage(why + "\n", true);
        if (report_.message.empty()) report_.message = why;
        outcome_ = Worse(outcome_, o);
        return outcome_;
    }

    RipRun& run_;
    const RipRequest& q_;
    RipReport& report_;
    std::unique_ptr<OutputNameClaim> claim_;
    std::string base_;
    RipOutcome outcome_ = RipOutcome::kDone;
};

} // namespace

RipOutcome RipRanges(RipRun& run, RipReport& report) {
    report = RipReport{};
    Ranges ranges(run, report);
    const RipOutcome outcome = ranges.Go();
    ranges.Finish();
    return outcome;
}

} // namespace quorin
