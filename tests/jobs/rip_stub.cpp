// Stands in for the extraction engine while src/rip/rip_driver.cpp does not exist yet: records
// what it was given, as the engine does first, and finds nothing to rip.
#include "disk/pvr_file.h"
#include "rip/rip_driver.h"

namespace quorin {

__attribute__((weak)) RipOutcome RipStream(CPVRFile& clip, double begin, double length) {
    clip.m_Engine.m_dBegin = begin;
    clip.m_Engine.m_dLength = length;
    return RipOutcome::kNothingToRip;
}

} // namespace quorin
