// Checks that tell a receiver's directory from other data, and one record layout from the
// other, before anything is written to the disk.
#pragma once

#include <string>
#include <vector>

namespace quorin {

class ClipRecord;
class CPVRDrive;

// The first field of a record (in the working layout) that no receiver stores, as
// "<field> <value>", or an empty text when every checked field is in range.
std::string RecordImplausibility(const ClipRecord& working);

// "the layout of firmware 190 and later" (flag 1) or "the layout before firmware 190" (flag 0).
std::string LayoutName(int layoutFlag);

// The layout flag in which every record read fits while some record does not fit the other
// layout; -1 when the records do not tell.
int DetectLayout(const CPVRDrive& drive);

// Why the header sector cannot be a receiver's (empty when nothing is wrong): capacity beyond
// the device's end, used and free clusters beyond the table, clip count above the directory.
std::vector<std::string> HeaderImplausibilities(const CPVRDrive& drive);

} // namespace quorin
