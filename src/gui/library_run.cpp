#include "gui/library_run.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/pvr_drive.h"
#include "jobs/archive_rip.h"
#include "jobs/job_runner.h"
#include "platform/settings.h"

namespace quorin {

RipRequest LibraryRequest(const Settings& settings, const std::string& folder) {
    const RunnerOptions options = RunnerOptions::FromSettings(settings);
    RipRequest request;
    request.postfixes = options.postfixes;
    request.readPolicy = options.readPolicy;
    request.mux.format = MuxFormat::kMatroska;
    request.outputFolder = folder;
    return request;
}

std::function<void()> LibraryRun::Task(CPVRDrive& drive, RipRequest request,
                                       const std::atomic<bool>& cancel) {
    outcome_ = {};
    clip_.store(0);
    clips_.store(drive.GetFileCount());
    return
        [this, &drive, request = std::move(request), &cancel] { RipAll(drive, request, cancel); };
}

void LibraryRun::RipAll(CPVRDrive& drive, const RipRequest& request,
                        const std::atomic<bool>& cancel) {
    RipArchive archive(request.outputFolder);
    if (!archive.Error().empty()) {
        outcome_.error = archive.Error();
        return;
    }
    const auto fail = [this](int number, const std::string& why) {
        ++outcome_.failed;
        outcome_.failures.push_back(Format("clip %d: ", number) + why);
        LogLine(outcome_.failures.back());
    };
    for (int number = 1; number <= drive.GetFileCount(); ++number) {
        if (cancel.load()) {
            outcome_.cancelled = true;
            return;
        }
        clip_.store(number);
        CPVRFile& clip = *drive.GetFile(number - 1);
        if (!clip.RecordRead()) {
            fail(number, "its record could not be read");
            continue;
        }
        const ArchivedRun archived =
            RipIntoArchive(archive, clip, number, request, TargetOf(clip, number, {}, true), true,
                           true, [this, &cancel](CPVRFile& c, const RipRequest& q) {
                               return RipRunner(c, audio_, video_, &cancel).Run(q);
                           });
        const RipRunReport& run = archived.run;
        if (archived.skipped)
            ++outcome_.present;
        else if (!archived.failure.empty())
            fail(number, archived.failure);
        else if (!run.started)
            fail(number, run.refusal);
        else if (run.outcome == RipOutcome::kDone)
            ++outcome_.ripped;
        else if (run.outcome == RipOutcome::kCancelled)
            outcome_.cancelled = true;
        else
            fail(number, run.stages.message.empty() ? "the rip failed" : run.stages.message);
    }
}

std::string LibrarySummary(const LibraryOutcome& outcome) {
    if (!outcome.error.empty()) return "Library: " + outcome.error;
    std::string text =
        Format("Library: %d ripped, %d there already", outcome.ripped, outcome.present);
    if (outcome.failed > 0) text += Format(", %d failed", outcome.failed);
    if (outcome.cancelled) text += "; cancelled";
    return text;
}

} // namespace quorin
