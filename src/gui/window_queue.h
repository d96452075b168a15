// The window's job queue and what it does with it: picking the next job the open disk can run,
// adding the window's cut and the preview dialog's cut jobs, loading and saving job lists. The
// messages come back as data for the window to show.
#pragma once

#include "jobs/jobs.h"

#include <optional>
#include <string>
#include <vector>

namespace quorin {

class CPVRDrive;

class WindowQueue {
public:
    const JobQueue& Jobs() const { return queue_; }
    int Count() const { return queue_.Count(); }
    double TotalSize() const { return queue_.TotalSize(); }
    bool Empty() const { return queue_.Empty(); }
    bool QueueMode() const { return queue_.QueueMode(); }
    void EndQueueMode() { queue_.SetQueueMode(false); }
    void Clear() { queue_.Clear(); }

    // Takes jobs until one names a clip of the drive that may run; a job passed over is said in
    // *status (and the log).
    std::optional<RipJob> TakeRunnable(const CPVRDrive* drive, std::string* status);
    Messages Add(RipJob job);
    // The preview dialog's cut jobs; jobs past the queue's limit are refused with one message.
    // *last: the last job added, if any.
    Messages AppendCutJobs(const std::vector<RipJob>& jobs, const RipJob** last);
    // The lines a load refused come in one message, one line each.
    Messages Load(const std::string& path, const JobListContext& context);
    Messages Save(const std::string& path, const std::vector<std::uint32_t>& checksums) const;

private:
    JobQueue queue_;
};

} // namespace quorin
