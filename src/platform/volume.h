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
struct FaultState;
class MissingSectors;

// Part of a volume that could not be read: sectors whose own read failed, or sectors a read
// stepped over inside a dead stretch without trying them (skipped).
struct MissingRange {
    std::int64_t begin; // byte offsets, end exclusive
    std::int64_t end;
    bool skipped = false;
    bool operator==(const MissingRange&) const = default;
};

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
    [[nodiscard]] std::int64_t Read(std::span<std::uint8_t> buffer);
    // Reads for the data of a stream, a raw rip or a backup. Without a memory of missing sectors
    // (the stop policy, see ShareMissing) this is Read. With one, a block read that fails is read
    // again sector by sector: every readable sector is delivered, every unreadable one (and every
    // one already known to be missing) is delivered as zeros and remembered for the volume, so no
    // later read of any handle tries it again. After 64 KiB of consecutive missing sectors the read
    // steps ahead in growing steps (64 KiB, doubling, at most 8 MiB), probing one sector after each
    // step; the first readable probe ends the stretch and a bisection of the last step finds where
    // readable sectors begin again; everything stepped over counts as missing. A dead stretch of N
    // bytes thus costs at most 1 + 128 + ceil(log2(N / 64 KiB)) + 15 failed reads (N up to 16 MiB;
    // one more per further 8 MiB), and no sector fails twice. Returns the count delivered (less
    // only at the end of the device), -1 when the handle is not open.
    [[nodiscard]] std::int64_t ReadData(std::span<std::uint8_t> buffer);
    // The memory of missing sectors this handle's data reads use and add to: shared by every
    // handle of one run, so no sector fails twice in it. Null turns salvage off (the stop
    // policy). A handle opens with a memory of its own.
    void ShareMissing(std::shared_ptr<MissingSectors> missing) { missing_ = std::move(missing); }
    // What is known to be missing in [begin, end) of the volume, clipped to it, in order.
    std::vector<MissingRange> MissingIn(std::int64_t begin, std::int64_t end) const;
    // Writes the bytes at the position; returns the count written or -1 (errno set).
    [[nodiscard]] std::int64_t Write(std::span<const std::uint8_t> data);
    void Close();

    static VolumeHandle FromDescriptor(int fd, bool readOnly);

private:
    friend bool OpenDrive(const std::string&, VolumeHandle&);
    long Transfer(void* data, std::size_t n, std::int64_t offset, bool write) const;
    long ReadOnce(std::uint8_t* data, std::int64_t n, std::int64_t offset) const;
    // Reads [at, end) sector by sector after a failed block read; returns where it stopped.
    [[nodiscard]] std::int64_t ReadSectors(std::uint8_t* data, std::int64_t at, std::int64_t end,
                                           bool& ended);
    void StepOverDeadStretch(std::int64_t at);
    // Tells the volume which bytes a run of block reads wants next.
    void HintAhead(std::int64_t begin, std::int64_t end);
    void NoteMissing(std::int64_t begin, std::int64_t end, bool skipped);
    bool InDeadStretch(std::int64_t at) const;

    int fd_ = -1;
    bool readOnly_ = false;
    std::int64_t pos_ = 0;
    std::shared_ptr<FaultState> faults_;
    std::shared_ptr<MissingSectors> missing_;
    // The dead stretch the reads are in: where its missing sectors end, how long it is so far and
    // the last step taken.
    std::int64_t deadEnd_ = -1;
    std::int64_t deadBytes_ = 0;
    std::int64_t step_ = 0;
    // Where the running sequence of data reads began and where its last read ended, and up to
    // where the volume was told to read ahead; no hints once a read failed.
    struct Ahead {
        std::int64_t runStart = 0;
        std::int64_t lastEnd = -1;
        std::int64_t advisedTo = 0;
        bool off = false;
    } ahead_;
};

// Faults a test can attach to a volume path: every handle opened on that path afterwards
// behaves like a failing device.
struct VolumeFaults {
    struct Range {
        std::int64_t begin; // byte offsets, end exclusive
        std::int64_t end;
    };
    std::vector<Range> failingReads;     // a read touching a range fails (EIO)
    std::vector<Range> shortReads;       // a read touching a range delivers only up to its start
    std::vector<Range> onceFailingReads; // the first read touching a range fails, later ones read
    std::int64_t deviceEnd = -1;         // the device ends here (reads beyond deliver nothing)
    bool failWrites = false;             // every write fails (EIO)
};
void SetVolumeFaults(const std::string& volumeName, VolumeFaults faults);
void ClearVolumeFaults();
// Reads of a faulted volume since its faults were set: all of them and those that failed.
struct VolumeReadCounts {
    std::int64_t reads = 0;
    std::int64_t failed = 0;
};
VolumeReadCounts ReadCounts(const std::string& volumeName);

// A fresh memory of missing sectors, for the handles of one run or scan to share.
std::shared_ptr<MissingSectors> NewMissingSectors();

// A descriptor obtained elsewhere (for example from a disk-access service) for a path that the
// process may not open itself. Every later OpenDrive of that path gets its own dup of it.
void RegisterVolumeDescriptor(const std::string& volumeName, int fd, bool readOnly);
void ForgetVolumeDescriptors();

// Whether the volume opens only for reading (so a rename cannot reach it).
bool VolumeOpensReadOnly(const std::string& volumeName);

// Opens the volume read-write, or read-only when write access is refused. Fails when the path
// does not exist or cannot be opened at all; the reason is left in errno.
[[nodiscard]] bool OpenDrive(const std::string& volumeName, VolumeHandle& handle);

// Positions the handle at sector * 512. On failure logs the system's error text and
// "SetToPhysicalSector(<handle>, <sector>) failed".
[[nodiscard]] bool SetToPhysicalSector(VolumeHandle& handle, std::int64_t sector);

// The system's text for an error number.
std::string SystemErrorText(int error);

} // namespace quorin
