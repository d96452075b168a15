#include "rip/rip_runner.h"

#include "base/program_log.h"
#include "disk/pvr_file.h"
#include "platform/text.h"
#include "platform/volume.h"
#include "rip/extract.h"
#include "rip/range_rip.h"

#include <cstdio>
#include <filesystem>

namespace quorin {

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
                     const std::atomic<bool>* cancel, ClipAnalysis analysis)
    : clip_(clip), writable_(&clip), audio_(audio), video_(video), cancel_(cancel),
      analysis_(analysis) {}

RipRunner::RipRunner(const CPVRFile& clip, RipProgress& audio, RipProgress& video,
                     const std::atomic<bool>* cancel, ClipAnalysis analysis)
    : clip_(clip), audio_(audio), video_(video), cancel_(cancel), analysis_(analysis) {}

RipRunner::~RipRunner() = default;

bool RipRunner::Prepare(const RipRequest& request, RipRunReport& report) {
    report = RipRunReport{};
    run_.reset();
    const std::optional<RipCut> cut =
        ApplyCutRules(clip_.GetRecord().LengthInSeconds(), request.begin, request.length);
    if (!cut) {
        report.refusal = "wrong offset";
        return false;
    }
    report.cut = *cut;
    RipRequest asked = request;
    if (!asked.keep.empty()) {
        SettledRanges settled = SettleRanges(asked.keep, clip_.GetRecord().LengthInSeconds());
        if (settled.wrongRange > 0) {
            report.refusal = "wrong offset";
            return false;
        }
        asked.keep = std::move(settled.ranges);
    }
    if (asked.mux.format != MuxFormat::kNone &&
        (asked.backup || asked.rawAudio || asked.rawVideo)) {
        const std::string text =
            "raw rips and backups are copies as recorded and are never muxed: the output "
            "format is ignored";
        LogLine(text);
        report.notices.push_back(text);
        asked.mux.format = MuxFormat::kNone;
    }
    audio_.enabled = asked.audio;
    video_.enabled = asked.video;
    audio_.ResetProgress();
    video_.ResetProgress();
    if (asked.outputName && asked.rename) {
        const std::string oldTitle = Latin1ToUtf8(clip_.GetRecord().ClipName());
        if (!writable_ || !writable_->Rename(*asked.outputName)) {
            // The record kept its old title; the files are still named as asked.
            std::string text = "could not write the title \"" + *asked.outputName +
                               "\" to the disk; the clip keeps its title \"" + oldTitle + "\"";
            if (VolumeOpensReadOnly(clip_.DriveName())) text += " (the disk is open read-only)";
            LogLine(text);
            audio_.SetStatus(text);
            video_.SetStatus(text);
            report.renameFailed = true;
            report.notices.push_back(text);
        }
    }
    run_ = std::make_unique<RipRun>(clip_, std::move(asked), &audio_, &video_, cancel_, analysis_);
    run_->State().m_dBegin = cut->begin;
    run_->State().m_dLength = EngineLength(cut->length);
    report.started = true;
    return true;
}

RipOutcome RipRunner::Execute(RipRunReport& report) {
    if (!run_) return RipOutcome::kNothingToRip;
    const RipOutcome outcome = run_->Request().keep.empty() ? RipStream(*run_, report.stages)
                                                            : RipRanges(*run_, report.stages);
    analysis_ = report.stages.analysis;
    report.outcome = outcome;
    run_.reset();
    return outcome;
}

RipRunReport RipRunner::Run(const RipRequest& request) {
    RipRunReport report;
    if (Prepare(request, report)) Execute(report);
    return report;
}

bool RipRunner::RipPreview(double seconds, const std::string& folder, const std::string& name,
                           const OutputPostfixes& postfixes, RipReport* report) {
    RipRequest request;
    request.begin = seconds;
    request.length = 0.0;
    request.audio = false;
    request.outputName = name;
    request.outputFolder = folder;
    request.postfixes = postfixes;
    RipRun run(clip_, request, &audio_, &video_, cancel_, analysis_);
    run.State().m_dBegin = seconds;
    run.State().m_dLength = 0.0;
    const std::string file = run.BasePath() + "." + postfixes.video;
    // A rip that finds nothing must not leave an old file to decode; an old delay log would make
    // the rip take a numbered name.
    std::remove(file.c_str());
    std::remove(DelayLogName(file).c_str());
    RipReport local;
    RipReport& rep = report ? *report : local;
    audio_.enabled = false;
    video_.enabled = true;
    const RipOutcome outcome = RipStream(run, rep);
    analysis_ = rep.analysis;
    std::error_code ec;
    return outcome == RipOutcome::kDone && std::filesystem::file_size(file, ec) > 4 && !ec;
}

} // namespace quorin
