// The mux stage: the container's file by the output naming rule, written by the media layer.
#include "rip/mux.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/pvr_file.h"
#include "media/container_writer.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "rip/break_marks.h"
#include "rip/obits.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>

namespace quorin {
namespace {

class FileSink : public media::ByteSink {
public:
    explicit FileSink(OutputFile& file) : file_(file) {}
    bool Write(std::span<const std::uint8_t> bytes) override { return file_.Write(bytes); }
    std::int64_t Seek(std::int64_t offset, int whence) override {
        return file_.Seek(offset, whence);
    }
    int Error() const override { return file_.Error(); }

private:
    OutputFile& file_;
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
    FileSink sink(file);
    const media::ContainerOutcome outcome = writer->Write(sink, file.Name(), shown, r.message);
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
    // Texts name the run's files by their names in its folder, as the stages do.
    if (const std::string folder = run.InFolder(""); !folder.empty())
        for (std::size_t at; (at = r.message.find(folder)) != std::string::npos;)
            r.message.erase(at, folder.size());
    report.muxMs = TickCountMs() - t0;
    if (r.result != RipOutcome::kDone) {
        run.StatusMessage(r.message + "\n", true);
        if (report.message.empty()) report.message = r.message;
        return r.result == RipOutcome::kCancelled ? RipOutcome::kCancelled
                                                  : RipOutcome::kOutputFailed;
    }
    block.position = block.rangeHigh.load();
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
    return RipOutcome::kDone;
}

} // namespace quorin
