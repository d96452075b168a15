#include "gui/window_queue.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/pvr_drive.h"
#include "jobs/job_runner.h"

namespace quorin {
namespace {

Messages OneBoxForRefusedLines(const Messages& messages) {
    Messages shown;
    UserMessage refused{kNotQueuedCaption, ""};
    for (const UserMessage& m : messages) {
        if (m.caption != kNotQueuedCaption) {
            shown.push_back(m);
            continue;
        }
        if (!refused.text.empty()) refused.text += "\n";
        refused.text += m.text;
    }
    if (!refused.text.empty()) shown.push_back(refused);
    return shown;
}

} // namespace

std::optional<RipJob> WindowQueue::TakeRunnable(const CPVRDrive* drive, std::string* status) {
    RipJob job;
    while (queue_.TakeNext(job)) {
        const CPVRFile* clip = drive ? drive->GetFile(job.clipIndex) : nullptr;
        if (!clip) {
            // A job for a clip this disk does not have: say so and go on with the next one.
            *status = Format("job \"%s\" skipped: the disk has no clip %d", job.name.c_str(),
                             job.clipIndex + 1);
            LogLine(*status);
            continue;
        }
        // A rename the disk refuses (it does not look like a receiver's) stops that job.
        if (const std::string why = clip->WriteRefusal();
            RunnerOptions{}.renameInQueue && !why.empty()) {
            *status = Format("job \"%s\" not run: %s", job.name.c_str(), why.c_str());
            LogLine(*status);
            continue;
        }
        return job;
    }
    return std::nullopt;
}

Messages WindowQueue::Add(RipJob job) {
    Messages messages;
    queue_.Add(std::move(job), messages);
    return messages;
}

Messages WindowQueue::AppendCutJobs(const std::vector<RipJob>& jobs, const RipJob** last) {
    Messages messages;
    *last = nullptr;
    for (const RipJob& job : jobs)
        if (queue_.Append(job, messages)) *last = &job;
    if (messages.size() > 1)
        messages = {
            {kQueueFullCaption, Format("The queue holds %d jobs; %d cut jobs are not added.",
                                       kMaxJobs, static_cast<int>(messages.size()))}};
    return messages;
}

Messages WindowQueue::Load(const std::string& path, const JobListContext& context) {
    Messages messages;
    LoadJobList(path, context, queue_, messages);
    return OneBoxForRefusedLines(messages);
}

Messages WindowQueue::Save(const std::string& path,
                           const std::vector<std::uint32_t>& checksums) const {
    Messages messages;
    SaveJobList(path, queue_.Jobs(), checksums, messages);
    return messages;
}

} // namespace quorin
