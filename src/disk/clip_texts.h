// The texts a clip list shows for a drive and its clips (UTF-8, C-locale numbers).
#pragma once

#include "disk/clip_record.h"

#include <array>
#include <string>

namespace quorin {

class CPVRDrive;

// "No.", station, clip name, "hh:mm:ss / x.x GB", "dd.mm.yyyy", "hh:mm".
std::array<std::string, 6> ClipRowTexts(const ClipRecord& record, int clipNumber);

struct DriveTexts {
    std::string name;     // label before its first run of three spaces, or "No Drive"
    std::string capacity; // "Capacity: %.1f GB"
    std::string free;     // "Free: %.1f GB"
};
DriveTexts DriveSummaryTexts(const CPVRDrive& drive);

} // namespace quorin
