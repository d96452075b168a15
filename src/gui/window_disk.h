// The disk the window has open: its cluster table, its drive object with the clips, and the
// checksum table of its recordings that job lists are matched against.
#pragma once

#include "disk/layout.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorin {

class CPVRDrive;
class ClusterTable;

class WindowDisk {
public:
    WindowDisk();
    ~WindowDisk();
    WindowDisk(const WindowDisk&) = delete;
    WindowDisk& operator=(const WindowDisk&) = delete;

    // Opens the volume (through UDisks2 when the user lacks the rights) and reads its directory,
    // unless it is open already. Empty when it is open; else why not (logged).
    std::string Open(const std::string& volume, RecordLayout layout, const std::string& folder);
    // Lets the drive and its table go (a change of the record layout reads them again).
    void Release();
    // The checksum table, made at the first listing that has clips; it outlives a release.
    void NoteListing();

    CPVRDrive* Drive() const { return drive_.get(); }
    ClusterTable* Table() const { return table_.get(); }
    const std::vector<std::uint32_t>& Checksums() const { return checksums_; }

    // "The record of clip 3 could not be read; ..." when records were unreadable, else empty.
    std::string UnreadableRecordsText() const;
    // The header's problem, when it cannot be a receiver's, else empty.
    std::string HeaderText() const;
    // The other layout's name when the records fit only it, else empty.
    std::string LayoutText(RecordLayout chosen) const;

private:
    std::unique_ptr<ClusterTable> table_;
    std::unique_ptr<CPVRDrive> drive_; // borrows the table, so it goes first
    std::vector<std::uint32_t> checksums_;
};

} // namespace quorin
