// One whole clip ripped through an archive folder (rip/rip_archive.h): skipped when an earlier
// run finished it, else ripped in its staging folder and moved into place when done, with the
// library's own files added first. Shared by quorin-cli and the window.
#pragma once

#include "jobs/rip_archive.h"
#include "rip/rip_runner.h"

#include <functional>
#include <string>

namespace quorin {

class CPVRFile;

// Where a clip lands inside the archive folder.
struct ArchiveTarget {
    std::string subfolder; // empty: the folder itself
    std::string base;
};

// The target of clip `number` (from 1): its --all name, or its library folder and name.
ArchiveTarget TargetOf(const CPVRFile& clip, int number, const std::string& allName, bool library);

struct ArchivedRun {
    bool skipped = false;
    std::string failure; // the staging folder could not be made (nothing ran)
    RipRunReport run;    // its file names relative to the archive's folder
};

// Runs the prepared request on the clip (the front end's progress and cancel flag around it).
using ClipRipper = std::function<RipRunReport(CPVRFile&, const RipRequest&)>;

ArchivedRun RipIntoArchive(RipArchive& archive, CPVRFile& clip, int number, RipRequest request,
                           const ArchiveTarget& target, bool library, bool skipExisting,
                           const ClipRipper& rip);

} // namespace quorin
