// The mux stage: the container's file by the output naming rule, written by the media layer.
#include "rip/mux.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/pvr_file.h"
#include "media/container_writer.h"
#include "media/loader/media_loader.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "rip/break_marks.h"
#include "rip/mux_pipe.h"
#include "rip/obits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

namespace quorin {
namespace {

// The container's file, gathered into large blocks that are written behind the muxer's back.
class FileSink : public media::ByteSink {
public:
    explicit FileSink(OutputFile& file) : file_(file), behind_(file) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            if (block_.empty() && !Allocate()) return file_.Write(bytes);
            const std::size_t n = std::min(bytes.size(), block_.size() - used_);
            std::memcpy(block_.data() + used_, bytes.data(), n);
            used_ += n;
            bytes = bytes.subspan(n);
            if (used_ == block_.size() && !HandOn()) return false;
        }
        return true;
    }
    std::int64_t Seek(std::int64_t offset, int whence) override {
        if (!Finish()) return -1;
        return file_.Seek(offset, whence);
    }
    int Error() const override { return file_.Error(); }
    // Everything in the file; false when a write failed.
    bool Finish() { return HandOn() && behind_.Wait(); }

private:
    static constexpr std::size_t kBlock = 1 << 20;

    bool Allocate() {
        try {
            block_.resize(kBlock);
        } catch (...) {
            return false;
        }
        return true;
    }
    bool HandOn() {
        if (used_ == 0) return behind_.Wait();
        const std::size_t n = std::exchange(used_, 0);
        if (!behind_.Wait()) return false;
        if (behind_.Hand(block_, n)) return true;
        return file_.Write(std::span<const std::uint8_t>(block_.data(), n));
    }

    OutputFile& file_;
    WriteBehind behind_;
    std::vector<std::uint8_t> block_;
    std::size_t used_ = 0;
};

media::ContainerFormat ContainerOf(MuxFormat format) {
    switch (format) {
    case MuxFormat::kProgramStream:
        return media::ContainerFormat::kProgramStream;
    case MuxFormat::kTransportStream:
        return media::ContainerFormat::kTransportStream;
    default:
        return media::ContainerFormat::kMatroska;
    }
}

media::ContainerJob ContainerJobOf(const MuxJob& job) {
    media::ContainerJob c;
    c.format = ContainerOf(job.format);
    c.videoFeed = job.videoFeed;
    c.video = {job.video.file, job.video.startPts};
    c.audio = {job.audio.file, job.audio.startPts};
    c.tags = {job.metadata.title, job.metadata.station, job.metadata.recorded,
              job.metadata.application};
    for (const MuxChapter& chapter : job.chapters)
        c.chapters.push_back({chapter.start, chapter.end, chapter.title});
    return c;
}

void StartProgress(RipProgress* progress, std::int64_t total) {
    if (!progress) return;
    progress->rangeLow = 0;
    progress->rangeHigh = static_cast<std::int32_t>(total >> 10);
    progress->position = 0;
    progress->megabytes = 0;
    progress->active = true;
    progress->rangeChanged = true;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

MuxMetadata MetadataOf(const RipRun& run) {
    const ClipRecord& rec = run.Clip().GetRecord();
    const std::optional<std::string>& name = run.Request().outputName;
    MuxMetadata m;
    m.title = name && !name->empty() ? *name : Latin1ToUtf8(rec.ClipName());
    m.station = Trimmed(Latin1ToUtf8(rec.Station()));
    if (rec.Year() > 0 && rec.Month() >= 1 && rec.Month() <= 12 && rec.Day() >= 1)
        m.recorded = Format("%04d-%02d-%02d %02d:%02d:%02d", rec.Year(), rec.Month(), rec.Day(),
                            rec.Hour(), rec.Minute(), rec.Second());
    m.application = std::string("Quorin ") + QUORIN_VERSION;
    return m;
}

// Texts name the run's files by their names in its folder, as the stages do.
std::string InFolderText(const RipRun& run, std::string text) {
    if (const std::string folder = run.InFolder(""); !folder.empty())
        for (std::size_t at; (at = text.find(folder)) != std::string::npos;)
            text.erase(at, folder.size());
    return text;
}

// The container's file done: the stage's files it holds go unless kept.
void Muxed(RipRun& run, const MuxResult& r, const MuxJob& job, bool keepStreams,
           const std::string& delayLog, RipReport& report) {
    run.StatusMessage("muxed into " + run.Shown(r.file) + "\n", true);
    if (!keepStreams) {
        std::erase_if(report.files, [&](const RipReport::File& f) {
            const bool stream =
                f.name == job.video.file || f.name == job.audio.file || f.name == delayLog;
            if (stream) std::remove(f.name.c_str());
            return stream;
        });
    }
    report.files.push_back({r.file, FileKind::kMuxed});
    report.videoInContainer = r.videoStart;
}

// The video stage's bytes stay cuttable for salvage this long; the writer holds at most this many.
constexpr std::size_t kHoldBack = 4 << 20;
constexpr std::size_t kPipeBytes = 8 << 20;

} // namespace

std::optional<MuxFormat> MuxFormatFromName(std::string_view name) {
    if (name == "mkv") return MuxFormat::kMatroska;
    if (name == "mpg") return MuxFormat::kProgramStream;
    if (name == "ts") return MuxFormat::kTransportStream;
    return std::nullopt;
}

std::string_view MuxExtension(MuxFormat format) {
    switch (format) {
    case MuxFormat::kMatroska:
        return "mkv";
    case MuxFormat::kProgramStream:
        return "mpg";
    case MuxFormat::kTransportStream:
        return "ts";
    case MuxFormat::kNone:
        break;
    }
    return "";
}

MuxResult MuxStreams(const MuxJob& job, RipProgress* progress, const std::atomic<bool>* cancel) {
    MuxResult r;
    if (job.format == MuxFormat::kNone) {
        r.message = "no container format";
        return r;
    }
    auto log = [](std::string_view text) { LogLine(std::string(text)); };
    const std::unique_ptr<media::ContainerWriter> writer =
        media::OpenContainerWriter(ContainerJobOf(job), log, r.message);
    if (!writer) return r;
    OutputFile file(job.requested, OutputFile::Preview::kNumbered);
    if (!file.IsOpen()) {
        r.message = "could not create " + file.Name() + ": " + OutputErrorText(file.Error());
        return r;
    }
    StartProgress(progress, writer->InputBytes());
    media::ContainerProgress shown;
    shown.cancel = cancel;
    if (progress)
        shown.update = [progress](std::int64_t read, std::int64_t) {
            progress->position = static_cast<std::int32_t>(read >> 10);
            progress->megabytes = static_cast<std::int32_t>(read >> 20);
        };
    media::ContainerOutcome outcome;
    {
        FileSink sink(file);
        outcome = writer->Write(sink, file.Name(), shown, r.message);
        static_cast<void>(sink.Finish());
    }
    file.Close();
    if (outcome == media::ContainerOutcome::kDone && file.WriteFailed()) {
        r.message = "could not write " + file.Name() + ": " + OutputErrorText(file.Error());
    } else if (outcome == media::ContainerOutcome::kDone) {
        r.result = RipOutcome::kDone;
        r.file = file.Name();
        r.videoStart = writer->VideoStart();
        return r;
    } else if (outcome == media::ContainerOutcome::kCancelled) {
        r.result = RipOutcome::kCancelled;
    }
    // A container that is not finished is not left behind.
    std::remove(file.Name().c_str());
    return r;
}

RipOutcome RunMuxStage(RipRun& run, MuxFormat format, bool keepStreams, RipReport& report) {
    MuxJob job;
    job.format = format;
    std::string delayLog;
    for (const RipReport::File& f : report.files) {
        if (f.kind == FileKind::kVideo) job.video.file = f.name;
        if (f.kind == FileKind::kAudio) job.audio.file = f.name;
        if (f.kind == FileKind::kDelayLog) delayLog = f.name;
    }
    if (job.video.file.empty() && job.audio.file.empty()) return RipOutcome::kDone;
    job.video.startPts = run.State().m_i64VideoStartPTS;
    job.audio.startPts = run.State().m_i64AudioStartPTS;
    job.requested = run.BasePath() + "." + std::string(MuxExtension(format));
    job.metadata = MetadataOf(run);
    // A ranged rip's chapters are its ranges; otherwise the breaks marked, if any.
    for (const RipReport::Segment& s : report.segments) {
        const auto ticks = [](double t) {
            return static_cast<std::int64_t>(std::llround(t * 90'000));
        };
        job.chapters.push_back({ticks(s.outputFrom), ticks(s.outputFrom + s.to - s.from),
                                ClipTimeText(s.from) + "-" + ClipTimeText(s.to)});
    }
    if (job.chapters.empty()) job.chapters = BreakChapters(run);

    RipProgress& block = job.video.file.empty() ? run.AudioProgress() : run.VideoProgress();
    run.SetVideoActive(!job.video.file.empty());
    run.StatusMessage("muxing...\n", true);
    block.muxing = true;
    const std::int64_t t0 = TickCountMs();
    MuxResult r = MuxStreams(job, &block, run.CancelFlag());
    r.message = InFolderText(run, r.message);
    report.muxMs = TickCountMs() - t0;
    if (r.result != RipOutcome::kDone) {
        run.StatusMessage(r.message + "\n", true);
        if (report.message.empty()) report.message = r.message;
        return r.result == RipOutcome::kCancelled ? RipOutcome::kCancelled
                                                  : RipOutcome::kOutputFailed;
    }
    block.position = block.rangeHigh.load();
    Muxed(run, r, job, keepStreams, delayLog, report);
    return RipOutcome::kDone;
}

bool MuxesAlongside(const RipRequest& request) {
    return request.mux.format != MuxFormat::kNone && request.video && !request.rawVideo &&
           !request.rawAudio && !request.mux.keepStreams && !request.patchSequenceHeader &&
           !request.backup && media::ModuleAvailable();
}

StreamedMux::StreamedMux(RipRun& run, MuxFormat format, const RipReport& report,
                         std::string videoName)
    : run_(run) {
    job_.format = format;
    job_.video.file = std::move(videoName);
    for (const RipReport::File& f : report.files)
        if (f.kind == FileKind::kAudio) job_.audio.file = f.name;
    job_.audio.startPts = run.State().m_i64AudioStartPTS;
    job_.requested = run.BasePath() + "." + std::string(MuxExtension(format));
    job_.metadata = MetadataOf(run);
    // Asked on the video stage's thread, whose state it reads.
    auto start = [&run](MuxPipe::Opening& s) {
        s.pts = run.State().m_i64VideoStartPTS;
        s.chapters.clear();
        for (const MuxChapter& c : BreakChapters(run))
            s.chapters.push_back({c.start, c.end, c.title});
        return s.pts != PTS_NONE;
    };
    pipe_ = std::make_unique<MuxPipe>(start, kHoldBack, kPipeBytes);
    job_.videoFeed = pipe_.get();
    try {
        thread_ = std::thread([this] {
            result_ = MuxStreams(job_, nullptr, run_.CancelFlag());
            if (result_.result != RipOutcome::kDone) pipe_->Fail();
        });
    } catch (const std::system_error& e) {
        LogLine(std::string("could not start the container writer's thread: ") + e.what());
    }
}

StreamedMux::~StreamedMux() {
    if (!thread_.joinable()) return;
    pipe_->Abort("the rip ended");
    thread_.join();
}

StreamTarget& StreamedMux::Target() {
    return *pipe_;
}

RipOutcome StreamedMux::Finish(bool done, RipReport& report) {
    // The stream broke before the stage ended: the writer failed, or the stage cut back too far.
    const bool broke = pipe_->Failed();
    RipProgress& block = run_.VideoProgress();
    const std::int64_t t0 = TickCountMs();
    if (done) {
        run_.StatusMessage("muxing...\n", true);
        StartProgress(&block, 1 << 10);
        block.muxing = true;
        pipe_->Close();
    } else {
        pipe_->Abort("the video stage did not finish");
    }
    thread_.join();
    report.muxMs = TickCountMs() - t0;
    LogLine(Format("mux: at most %zu KiB of the video held", pipe_->Peak() >> 10));
    if (!done && !broke) return RipOutcome::kDone;
    if (result_.result != RipOutcome::kDone) {
        const std::string why = InFolderText(run_, result_.message);
        run_.StatusMessage(why + "\n", true);
        if (report.message.empty()) report.message = why;
        return result_.result == RipOutcome::kCancelled ? RipOutcome::kCancelled
                                                        : RipOutcome::kOutputFailed;
    }
    block.position = block.rangeHigh.load();
    std::string delayLog;
    for (const RipReport::File& f : report.files)
        if (f.kind == FileKind::kDelayLog) delayLog = f.name;
    Muxed(run_, result_, job_, false, delayLog, report);
    return RipOutcome::kDone;
}

} // namespace quorin
