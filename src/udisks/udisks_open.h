// Opening a receiver disk the user may not open directly: UDisks2 opens the block device on the
// user's behalf (polkit asks for authorisation) and passes the descriptor over D-Bus. The
// descriptor is registered with the volume layer, so every later OpenDrive of the path gets its
// own dup of it.
//
// The bus is the system bus; QUORIN_UDISKS_BUS_ADDRESS names another one (tests use a private
// bus with a mocked service).
#pragma once

#include <string>

namespace quorin::udisks {

enum class Access {
    kRead,      // Block.OpenForBackup: reading only
    kReadWrite, // Block.OpenDevice("rw"): only for writing a clip's title
};

// A failed open for lack of rights (EACCES, EPERM): the case UDisks2 can help with.
bool IsPermissionError(int error);

// Asks UDisks2 to open the block device at `path` and registers the descriptor for `path`.
// On failure returns false with a message for the user; nothing is opened or registered.
bool OpenThroughUDisks(const std::string& path, Access access, std::string& message);

// Before a write to the volume: when it opens only read-only and is a block device (or was
// opened through UDisks2), asks UDisks2 for read-write access. True when it now opens
// read-write; otherwise false, with a message when UDisks2 was asked and refused.
bool EnsureWritable(const std::string& path, std::string& message);

} // namespace quorin::udisks
