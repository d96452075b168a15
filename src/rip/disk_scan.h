// A check of a disk before a long rip: everything a rip would read, read once without writing
// anything, and every unreadable range named with what it hits.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorin {

class CPVRDrive;
class ClusterTable;

struct ScanHit {
    std::int64_t diskByte = 0;
    std::int64_t bytes = 0;
    int clip = 0;     // 1-based; 0 for the directory
    std::string what; // "header", "cluster table", "record", "audio" or "video"
    double from = -1; // seconds into the clip on either side; -1: not known
    double to = -1;
};

// "bad<TAB>DISK_BYTE_OFFSET<TAB>BYTES<TAB>CLIP<TAB>WHAT<TAB>FROM<TAB>TO" (CLIP and the times "-"
// when not known).
std::string ScanLine(const ScanHit& hit);

// Progress: the bytes read so far and in all.
using ScanProgress = std::function<void(std::int64_t done, std::int64_t total)>;

// Reads the header, the cluster table and the records, then both chains of every clip of the
// drive (or of clip `only`, 1-based). Drive and table may be null when they could not be read;
// only the directory is read then. Uses the salvage reads whatever the read policy; stopAtFirst
// ends the check after the read that found the first unreadable range.
std::vector<ScanHit> ScanDisk(const std::string& volume, const CPVRDrive* drive,
                              const ClusterTable* table, std::optional<int> only,
                              const ScanProgress& progress, const std::atomic<bool>* cancel,
                              bool stopAtFirst = false);

} // namespace quorin
