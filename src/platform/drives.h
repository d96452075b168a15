// Candidate receiver disks for the window's drive list.
//
// The receiver formats its disk with a layout of its own, so a candidate is a whole-disk block
// device that carries neither a file system nor a partition table. The udev database answers
// that without rights on the device; where it has no data, the device itself is probed.
#pragma once

#include <string>
#include <vector>

namespace quorin {

// What is known about one block device.
struct BlockDeviceFacts {
    std::string sysName;       // kernel name, e.g. "sdb"
    std::string devType;       // "disk" or "partition"
    bool optical = false;      // ID_CDROM, or an "sr" device
    long long sizeSectors = 0; // the kernel's size in 512-byte sectors
    bool probed = false;       // true when the facts below are known (udev data or a probe)
    bool hasFileSystem = false;
    bool hasPartitionTable = false;
};

// Whether the device may be a receiver disk: a whole disk with media, not a virtual, RAID,
// mapper or optical device, and known to hold neither a file system nor a partition table.
bool IsCandidateDrive(const BlockDeviceFacts& facts);

// Probes a device or image file with libblkid. Returns false when it cannot be opened or read;
// otherwise blank tells whether nothing (no file system, no partition table) was found.
[[nodiscard]] bool ProbeBlank(const std::string& path, bool& blank);

// Device nodes of every candidate (e.g. "/dev/sdb"), sorted.
std::vector<std::string> FindCandidateDrives();

} // namespace quorin
