#include "disk/clip_texts.h"

#include "base/format.h"
#include "disk/pvr_drive.h"
#include "platform/text.h"

namespace quorin {

std::array<std::string, 6> ClipRowTexts(const ClipRecord& r, int clipNumber) {
    return {
        Format("%02d", clipNumber + 1),
        Latin1ToUtf8(r.Station()),
        Latin1ToUtf8(r.ClipName()),
        Format("%02d:%02d:%02d / %1.1f GB", r.LengthHours(), r.LengthMinutes(), r.LengthSeconds(),
               (r.VClusters() + r.AClusters()) * 0.1),
        Format("%02d.%02d.%04d", r.Day(), r.Month(), r.Year()),
        Format("%02d:%02d", r.Hour(), r.Minute()),
    };
}

DriveTexts DriveSummaryTexts(const CPVRDrive& drive) {
    int used = drive.GetUsedClusters();
    int free = drive.GetFreeClusters();
    return {Latin1ToUtf8(DriveNameFromLabel(drive.GetDriveLabel())),
            Format("Capacity: %.1f GB", (used + free) * 0.1), Format("Free: %.1f GB", free * 0.1)};
}

} // namespace quorin
