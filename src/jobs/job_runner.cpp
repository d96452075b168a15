#include "jobs/job_runner.h"

#include "base/program_log.h"
#include "disk/pvr_file.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "rip/mux.h"

namespace quorin {

RunnerOptions RunnerOptions::FromSettings(const Settings& settings) {
    RunnerOptions o;
    o.postfixes.video = settings.prefixVideo;
    o.postfixes.audio = settings.prefixAudio;
    o.postfixes.rawVideo = settings.prefixRawVideo;
    o.postfixes.rawAudio = settings.prefixRawAudio;
    o.mux.format = MuxFormatFromName(settings.outputFormat).value_or(MuxFormat::kNone);
    o.mux.keepStreams = settings.keepStreams;
    o.readPolicy = settings.stopOnReadError ? ReadPolicy::kStop : ReadPolicy::kSalvage;
    return o;
}

RipRequest RequestForJob(const RipJob& job, const RunnerOptions& options) {
    RipRequest r;
    r.begin = job.begin;
    r.length = job.length;
    r.audio = job.audio != 0;
    r.video = job.video != 0;
    r.rawAudio = job.rawAudio != 0 || options.ripStreamRaw;
    r.rawVideo = options.ripStreamRaw;
    r.patchSequenceHeader = options.patchSequenceHeader;
    r.backup = job.backup != 0;
    r.outputName = job.name;
    r.rename = options.renameInQueue;
    r.postfixes = options.postfixes;
    r.mux = options.mux;
    r.outputFolder = options.outputFolder;
    r.readPolicy = options.readPolicy;
    for (const auto& [from, to] : job.ranges)
        r.keep.push_back({from, to});
    r.exact = job.exact != 0;
    if (r.exact && r.keep.empty()) r.keep.push_back({job.begin, job.begin + job.length});
    return r;
}

Messages RefusalMessages(const RipRunReport& report) {
    if (report.started || report.refusal.empty()) return {};
    return {{"ERROR from RipStream", report.refusal}};
}

RipRunReport RunRip(CPVRFile& clip, const RipRequest& request, const RunnerOptions& options,
                    RipProgress& audio, RipProgress& video, const std::atomic<bool>* cancel) {
    RipRunner runner(clip, audio, video, cancel);
    RipRunReport report;
    // The log opens only for a run that is not refused, and before the rename it may record.
    const bool logs = options.openLog && ApplyCutRules(clip.GetRecord().LengthInSeconds(),
                                                       request.begin, request.length);
    if (logs) OpenLog(Latin1ToUtf8(clip.GetRecord().ClipName()), options.logPerActivity);
    if (runner.Prepare(request, report)) runner.Execute(report);
    if (logs) CloseLog();
    return report;
}

} // namespace quorin
