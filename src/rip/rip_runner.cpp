#include "rip/rip_runner.h"

#include "rip/extract.h"

#include "base/program_log.h"
#include "disk/pvr_file.h"
#include "platform/text.h"
#include "platform/volume.h"

#include <cstdio>
#include <filesystem>

namespace quorin {
namespace {

bool VolumeIsReadOnly(const std::string& volumeName) {
    VolumeHandle h;
    return OpenDrive(volumeName, h) && h.IsReadOnly();
}

void FillBlocks(const RipRequest& request, RipProgress& audio, RipProgress& video) {
    video.patchSequenceHeader = request.patchSequenceHeader;
    audio.patchSequenceHeader = false;
    audio.raw = request.rawAudio;
    audio.enabled = request.audio;
    video.raw = request.rawVideo;
    video.backup = request.backup;
    audio.backup = false;
    video.enabled = request.video;
    audio.postfix = request.postfixes.audio;
    audio.rawPostfix = request.postfixes.rawAudio;
    video.postfix = request.postfixes.video;
    video.rawPostfix = request.postfixes.rawVideo;
    audio.ResetProgress();
    video.ResetProgress();
}

} // namespace

std::optional<RipCut> ApplyCutRules(double clipSeconds, double begin,
                                    std::optional<double> length) {
    if (clipSeconds < begin) return std::nullopt;
    RipCut cut{begin, length.value_or(clipSeconds - begin)};
    if (clipSeconds < cut.begin + cut.length) cut.length = clipSeconds - cut.begin;
    return cut;
}

double EngineLength(double length) {
    return length > 0 ? length : 0.1;
}

RipRunner::RipRunner(CPVRFile& clip, RipProgress& audio, RipProgress& video,
                     const std::atomic<bool>* cancel)
    : clip_(clip), audio_(audio), video_(video), previousAudio_(clip.m_pAudioProgress),
      previousVideo_(clip.m_pVideoProgress), previousCancel_(clip.m_pCancel) {
    clip_.m_pAudioProgress = &audio_;
    clip_.m_pVideoProgress = &video_;
    clip_.m_pCancel = cancel;
}

RipRunner::~RipRunner() {
    clip_.m_pAudioProgress = previousAudio_;
    clip_.m_pVideoProgress = previousVideo_;
    clip_.m_pCancel = previousCancel_;
}

bool RipRunner::Prepare(const RipRequest& request, RipRunReport& report) {
    report = RipRunReport{};
    const std::optional<RipCut> cut =
        ApplyCutRules(clip_.GetRecord().LengthInSeconds(), request.begin, request.length);
    if (!cut) {
        report.refusal = "wrong offset";
        return false;
    }
    report.cut = *cut;
    FillBlocks(request, audio_, video_);
    mux_ = request.mux;
    if (mux_.format != MuxFormat::kNone &&
        (request.backup || request.rawAudio || request.rawVideo)) {
        const std::string text =
            "raw rips and backups are copies as recorded and are never muxed: the output "
            "format is ignored";
        LogLine(text);
        report.notices.push_back(text);
        mux_.format = MuxFormat::kNone;
    }
    if (!request.outputName) {
        clip_.SetOutputName(std::nullopt, false);
    } else {
        const std::string oldTitle = Latin1ToUtf8(clip_.GetRecord().ClipName());
        if (!clip_.SetOutputName(*request.outputName, request.rename)) {
            // The record kept its old title; the files are still named as asked.
            std::string text = "could not write the title \"" + *request.outputName +
                               "\" to the disk; the clip keeps its title \"" + oldTitle + "\"";
            if (VolumeIsReadOnly(clip_.DriveName())) text += " (the disk is open read-only)";
            LogLine(text);
            audio_.SetStatus(text);
            video_.SetStatus(text);
            report.renameFailed = true;
            report.notices.push_back(text);
        }
    }
    report.started = true;
    return true;
}

RipOutcome RipRunner::Execute(RipRunReport& report) {
    const RipOutcome outcome =
        RipStream(clip_, report.cut.begin, EngineLength(report.cut.length), &report.stages, mux_);
    report.outcome = outcome;
    return outcome;
}

RipRunReport RipRunner::Run(const RipRequest& request) {
    RipRunReport report;
    if (Prepare(request, report)) Execute(report);
    return report;
}

bool RipRunner::RipPreview(double seconds, const std::string& name,
                           const OutputPostfixes& postfixes) {
    audio_.enabled = false;
    audio_.raw = false;
    audio_.backup = false;
    video_.enabled = true;
    video_.raw = false;
    video_.backup = false;
    video_.patchSequenceHeader = false;
    video_.postfix = postfixes.video;
    audio_.postfix = postfixes.audio;
    clip_.SetOutputName(name, false);
    const std::string file = clip_.OutputBasePath() + "." + postfixes.video;
    // A rip that finds nothing must not leave an old file to decode; an old delay log would make
    // the rip take a numbered name.
    std::remove(file.c_str());
    std::remove(DelayLogName(file).c_str());
    const RipOutcome outcome = RipStream(clip_, seconds, 0.0);
    std::error_code ec;
    return outcome == RipOutcome::kDone && std::filesystem::file_size(file, ec) > 4 && !ec;
}

} // namespace quorin
