#include "gui/disk_check.h"

#include "base/format.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "platform/text.h"
#include "rip/rip_driver.h"

namespace quorin {

std::function<void()> DiskCheck::Task(const CPVRDrive& drive, const ClusterTable& table,
                                      const std::atomic<bool>& cancel) {
    done_.store(0);
    total_.store(0);
    hits_.clear();
    return [this, &drive, &table, &cancel] {
        hits_ = ScanDisk(
            drive.DriveName(), &drive, &table, std::nullopt,
            [this](std::int64_t done, std::int64_t total) {
                total_.store(total);
                done_.store(done);
            },
            &cancel);
    };
}

int DiskCheck::Percent() const {
    const std::int64_t total = total_.load();
    return total > 0 ? static_cast<int>(done_.load() * 100 / total) : 0;
}

int DamagedClips(const std::vector<ScanHit>& hits) {
    int count = 0, last = 0;
    for (const ScanHit& h : hits)
        if (h.clip > 0 && h.clip != last) {
            ++count;
            last = h.clip;
        }
    return count;
}

std::string HitText(const ScanHit& hit, const CPVRDrive& drive) {
    const std::string where = Format("%lld bytes at byte %lld", static_cast<long long>(hit.bytes),
                                     static_cast<long long>(hit.diskByte));
    const CPVRFile* clip = hit.clip > 0 ? drive.GetFile(hit.clip - 1) : nullptr;
    if (!clip) return "The " + hit.what + ": " + where;
    std::string text = Format("Clip %d \"", hit.clip) + Latin1ToUtf8(clip->GetRecord().ClipName()) +
                       "\": " + hit.what;
    if (hit.from >= 0 || hit.to >= 0)
        text += " " + ClipTimeText(hit.from) + " to " + ClipTimeText(hit.to);
    return text + ", " + where;
}

} // namespace quorin
