// Check Disk's bookkeeping: the disk check of quorin-cli scan as a task for the window's worker,
// the bytes it has read so far and in all, and what it found.
#pragma once

#include "rip/disk_scan.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorin {

class CPVRDrive;
class ClusterTable;

class DiskCheck {
public:
    // The task: reads every sector of the directory and the clips, writing nothing. The drive and
    // the table are only read.
    std::function<void()> Task(const CPVRDrive& drive, const ClusterTable& table,
                               const std::atomic<bool>& cancel);
    int Percent() const;
    // Once the task has ended: what it found.
    std::vector<ScanHit> TakeHits() { return std::move(hits_); }

private:
    std::atomic<std::int64_t> done_{0};
    std::atomic<std::int64_t> total_{0};
    std::vector<ScanHit> hits_;
};

// How many clips the hits name.
int DamagedClips(const std::vector<ScanHit>& hits);
// "Clip 2 "Krimi": video 0:01:02.40 to 0:01:03.00, 1536 bytes at byte 123456789" or, for the
// directory, "The cluster table: 512 bytes at byte 1024".
std::string HitText(const ScanHit& hit, const CPVRDrive& drive);

} // namespace quorin
