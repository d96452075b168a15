// The map file of a backup from a failing disk, in GNU ddrescue's mapfile format: positions are
// byte offsets on the disk, so its bad areas can be retried later with the usual tools.
#pragma once

#include "platform/volume.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quorin {

struct DiskArea {
    std::int64_t begin; // byte offsets on the disk, end exclusive
    std::int64_t end;
};

// The map text: the areas read are finished ('+') but for the missing sectors in them (bad
// sectors '-', sectors stepped over untried '?'); everything else is untried ('?').
std::string RescueMapText(std::vector<DiskArea> read, const std::vector<MissingRange>& missing);

} // namespace quorin
