#include "jobs/job_runner.h"

#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/pvr_file.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "platform/volume.h"

namespace quorin {
namespace {

bool VolumeIsReadOnly(const std::string& volumeName) {
    VolumeHandle h;
    return OpenDrive(volumeName, h) && h.IsReadOnly();
}

void FillBlocks(const RipRequest& request, const RunnerOptions& options, RipProgress& audio,
                RipProgress& video) {
    video.patchSequenceHeader = options.patchSequenceHeader;
    audio.patchSequenceHeader = false;
    audio.raw = request.rawAudio;
    audio.enabled = request.audio;
    video.raw = options.ripStreamRaw;
    video.backup = request.backup;
    audio.backup = false;
    video.enabled = request.video;
    audio.postfix = options.postfixAudio;
    audio.rawPostfix = options.postfixRawAudio;
    video.postfix = options.postfixVideo;
    video.rawPostfix = options.postfixRawVideo;
    audio.ResetProgress();
    video.ResetProgress();
}

void SetOutputName(CPVRFile& clip, const RipRequest& request, RipProgress& audio,
                   RipProgress& video, RunReport& report) {
    if (!request.outputName) {
        clip.SetOutputName(std::nullopt, false);
        return;
    }
    const std::string oldTitle = Latin1ToUtf8(clip.GetRecord().ClipName());
    if (clip.SetOutputName(*request.outputName, request.rename)) return;
    // The record kept its old title; the files are still named after the job.
    std::string text = "could not write the title \"" + *request.outputName +
                       "\" to the disk; the clip keeps its title \"" + oldTitle + "\"";
    if (VolumeIsReadOnly(clip.DriveName())) text += " (the disk is open read-only)";
    LogLine(text);
    audio.SetStatus(text);
    video.SetStatus(text);
    report.renameFailed = true;
    report.notices.push_back(text);
}

} // namespace

RunnerOptions RunnerOptions::FromSettings(const Settings& settings) {
    RunnerOptions o;
    o.postfixVideo = settings.prefixVideo;
    o.postfixAudio = settings.prefixAudio;
    o.postfixRawVideo = settings.prefixRawVideo;
    o.postfixRawAudio = settings.prefixRawAudio;
    return o;
}

RipRequest RequestForJob(const RipJob& job, const RunnerOptions& options) {
    RipRequest r;
    r.begin = job.begin;
    r.length = job.length;
    r.audio = job.audio != 0;
    r.video = job.video != 0;
    r.rawAudio = job.rawAudio != 0 || options.ripStreamRaw;
    r.backup = job.backup != 0;
    r.outputName = job.name;
    r.rename = options.renameInQueue;
    return r;
}

bool PrepareRip(CPVRFile& clip, const RipRequest& request, const RunnerOptions& options,
                RipProgress& audio, RipProgress& video, const std::atomic<bool>* cancel,
                RunReport& report) {
    report = RunReport{};
    const double clipLength = clip.GetRecord().LengthInSeconds();
    if (clipLength < request.begin) {
        report.messages.push_back({"ERROR from RipStream", "wrong offset"});
        return false;
    }
    report.begin = request.begin;
    report.length = request.length;
    if (clipLength < report.begin + report.length) report.length = clipLength - report.begin;
    if (options.openLog) OpenLog(Latin1ToUtf8(clip.GetRecord().ClipName()), options.logPerActivity);
    clip.m_pAudioProgress = &audio;
    clip.m_pVideoProgress = &video;
    clip.m_pCancel = cancel;
    FillBlocks(request, options, audio, video);
    SetOutputName(clip, request, audio, video, report);
    report.started = true;
    return true;
}

RipOutcome ExecuteRip(CPVRFile& clip, RunReport& report) {
    // A cut of no length still yields the first picture; a negative one means the same.
    const double length = report.length > 0 ? report.length : 0.1;
    const RipOutcome outcome = RipStream(clip, report.begin, length);
    report.outcome = outcome;
    return outcome;
}

RunReport RunRip(CPVRFile& clip, const RipRequest& request, const RunnerOptions& options,
                 RipProgress& audio, RipProgress& video, const std::atomic<bool>* cancel) {
    RunReport report;
    if (!PrepareRip(clip, request, options, audio, video, cancel, report)) return report;
    ExecuteRip(clip, report);
    if (options.openLog) CloseLog();
    return report;
}

void PrepareClipForPreview(CPVRFile& clip, RipProgress& audio, RipProgress& video) {
    clip.m_pAudioProgress = &audio;
    clip.m_pVideoProgress = &video;
    audio.enabled = false;
    audio.raw = false;
    audio.backup = false;
    video.enabled = true;
    video.raw = false;
    video.backup = false;
    video.patchSequenceHeader = false;
}

} // namespace quorin
