// Raw access to a receiver volume: a whole-disk block device or a byte-for-byte image file.
//
// Every user opens its own handle. A handle keeps its own position and transfers with
// pread/pwrite, so handles never disturb one another, even when several share one descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quorin {

inline constexpr std::int64_t kSectorSize = 512;

struct VolumeFaults;

class VolumeHandle {
public:
    VolumeHandle() = default;
    ~VolumeHandle();
    VolumeHandle(VolumeHandle&& other) noexcept;
    VolumeHandle& operator=(VolumeHandle&& other) noexcept;
    VolumeHandle(const VolumeHandle&) = delete;
    VolumeHandle& operator=(const VolumeHandle&) = delete;

    bool IsValid() const { return fd_ >= 0; }
    // The handle value as logs show it (the descriptor number, -1 when invalid).
    int Value() const { return fd_; }
    bool IsReadOnly() const { return readOnly_; }

    // Absolute byte position; fails (with errno) for a negative offset.
    bool Seek(std::int64_t byteOffset);
    std::int64_t Position() const { return pos_; }
    // Reads up to buffer.size() bytes at the position; returns the count delivered (0 at the
    // end, -1 on an error with errno set) and advances by it.
    std::int64_t Read(std::span<std::uint8_t> buffer);
    // Writes the bytes at the position; returns the count written or -1 (errno set).
    std::int64_t Write(std::span<const std::uint8_t> data);
    void Close();

    static VolumeHandle FromDescriptor(int fd, bool readOnly);

private:
    friend bool OpenDrive(const std::string&, VolumeHandle&);
    long Transfer(void* data, std::size_t n, std::int64_t offset, bool write) const;

    int fd_ = -1;
    bool readOnly_ = false;
    std::int64_t pos_ = 0;
    std::shared_ptr<const VolumeFaults> faults_;
};

// Faults a test can attach to a volume path: every handle opened on that path afterwards
// behaves like a failing device.
struct VolumeFaults {
    struct Range {
        std::int64_t begin; // byte offsets, end exclusive
        std::int64_t end;
    };
    std::vector<Range> failingReads; // a read touching a range fails (EIO)
    std::vector<Range> shortReads;   // a read touching a range delivers only up to its start
    std::int64_t deviceEnd = -1;     // the device ends here (reads beyond deliver nothing)
    bool failWrites = false;         // every write fails (EIO)
};
void SetVolumeFaults(const std::string& volumeName, VolumeFaults faults);
void ClearVolumeFaults();

// A descriptor obtained elsewhere (for example from a disk-access service) for a path that the
// process may not open itself. Every later OpenDrive of that path gets its own dup of it.
void RegisterVolumeDescriptor(const std::string& volumeName, int fd, bool readOnly);
void ForgetVolumeDescriptors();

// Opens the volume read-write, or read-only when write access is refused. Fails when the path
// does not exist or cannot be opened at all; the reason is left in errno.
bool OpenDrive(const std::string& volumeName, VolumeHandle& handle);

// Positions the handle at sector * 512. On failure logs the system's error text and
// "SetToPhysicalSector(<handle>, <sector>) failed".
bool SetToPhysicalSector(VolumeHandle& handle, std::int64_t sector);

// The system's text for an error number.
std::string SystemErrorText(int error);

} // namespace quorin
