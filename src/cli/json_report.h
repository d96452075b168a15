// quorin-cli's JSON documents (--json): one document on stdout per command, for scripts. Every
// document has "version" (the format's version, raised when fields change meaning; new fields may
// appear without it) and "command". Strings are UTF-8 (disk texts converted from ISO-8859-1).
#pragma once

#include "rip/disk_scan.h"
#include "rip/rip_runner.h"

#include <nlohmann/json.hpp>
#include <string>

namespace quorin {
class CPVRDrive;
class CPVRFile;
} // namespace quorin

namespace quorin::cli {

inline constexpr int kJsonVersion = 1;

// The start of every document.
nlohmann::ordered_json JsonDocument(const std::string& command);

// "list": the drive's label, capacity and free space and every clip.
nlohmann::ordered_json DriveJson(const CPVRDrive& drive);
// One clip of the list: number, station, name, recorded (ISO 8601), length, size estimate,
// checksum and both streams' first cluster and cluster count.
nlohmann::ordered_json ClipJson(const CPVRFile& clip, int number);

// A clip of rip or jobs that did not run (skipped, refused, its record unreadable): every key of
// a rip's object, the files and losses empty, the times null.
nlohmann::ordered_json ClipItemJson(int number, const CPVRFile& clip, const char* outcome,
                                    int status, const std::string& message);

// One rip: the outcome and exit status, the files with size, kind and completeness, the stage
// times, the cut as copied (from the time stamps), the A/V offset and what was lost.
nlohmann::ordered_json RipJson(const CPVRFile& clip, int number, const RipRunReport& run,
                               int status);

// "scan": one object per unreadable range (disk_offset, bytes, clip, what, from, to).
nlohmann::ordered_json ScanJson(const std::vector<ScanHit>& hits);

// The word for an outcome: "done", "nothing to rip", "cancelled", "output failed", "read error".
const char* OutcomeText(RipOutcome outcome);

// Writes the document to stdout (one line, then a line end).
void PrintJson(const nlohmann::ordered_json& document);

} // namespace quorin::cli
