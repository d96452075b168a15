#include "platform/volume.h"

#include "base/program_log.h"
#include "base/run_state.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace quorin {

struct FaultState {
    explicit FaultState(VolumeFaults f)
        : faults(std::move(f)), tripped(faults.onceFailingReads.size()) {}
    const VolumeFaults faults;
    std::mutex mutex;
    std::vector<bool> tripped; // which once-failing ranges have failed already
    VolumeReadCounts counts;
};

// The missing ranges of one volume, shared by all its handles; adjacent ranges of one kind merge.
class MissingSectors {
public:
    void Add(std::int64_t begin, std::int64_t end, bool skipped) {
        std::lock_guard lock(mutex_);
        // Only what is not known yet is added, so a failed sector stays failed, not skipped.
        std::int64_t at = begin;
        while (at < end) {
            auto next = ranges_.upper_bound(at);
            if (next != ranges_.begin()) {
                auto prev = std::prev(next);
                if (prev->second.end > at) {
                    at = prev->second.end;
                    continue;
                }
            }
            const std::int64_t stop = next == ranges_.end() ? end : std::min(end, next->first);
            Insert({at, stop, skipped});
            at = stop;
        }
    }
    std::vector<MissingRange> In(std::int64_t begin, std::int64_t end) const {
        std::lock_guard lock(mutex_);
        std::vector<MissingRange> out;
        auto it = ranges_.upper_bound(begin);
        if (it != ranges_.begin()) --it;
        for (; it != ranges_.end() && it->first < end; ++it) {
            if (it->second.end <= begin) continue;
            out.push_back(
                {std::max(begin, it->first), std::min(end, it->second.end), it->second.skipped});
        }
        return out;
    }
    // The first known range that ends after at and begins before end.
    bool First(std::int64_t at, std::int64_t end, MissingRange& found) const {
        auto in = In(at, end);
        if (in.empty()) return false;
        found = in.front();
        return true;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        ranges_.clear();
    }

private:
    void Insert(MissingRange r) {
        auto next = ranges_.lower_bound(r.begin);
        if (next != ranges_.begin()) {
            auto prev = std::prev(next);
            if (prev->second.end == r.begin && prev->second.skipped == r.skipped) {
                r.begin = prev->first;
                ranges_.erase(prev);
            }
        }
        next = ranges_.find(r.end);
        if (next != ranges_.end() && next->second.skipped == r.skipped) {
            r.end = next->second.end;
            ranges_.erase(next);
        }
        ranges_[r.begin] = r;
    }

    mutable std::mutex mutex_;
    std::map<std::int64_t, MissingRange> ranges_;
};

namespace {

constexpr std::int64_t kDeadRun = 65'536;
constexpr std::int64_t kMaxStep = 8 * 1'048'576;

struct VolumeRegistry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<FaultState>> faults;
    std::map<std::string, std::pair<int, bool>> descriptors;
};

VolumeRegistry& Registry() {
    static VolumeRegistry registry;
    return registry;
}

bool Touches(const std::vector<VolumeFaults::Range>& ranges, std::int64_t begin, std::int64_t end,
             std::int64_t* firstStart) {
    bool hit = false;
    for (const auto& r : ranges) {
        if (r.begin < end && begin < r.end) {
            if (!hit || r.begin < *firstStart) *firstStart = r.begin;
            hit = true;
        }
    }
    return hit;
}

} // namespace

void SetVolumeFaults(const std::string& volumeName, VolumeFaults faults) {
    std::lock_guard lock(Registry().mutex);
    Registry().faults[volumeName] = std::make_shared<FaultState>(std::move(faults));
}

VolumeReadCounts ReadCounts(const std::string& volumeName) {
    std::shared_ptr<FaultState> state;
    {
        std::lock_guard lock(Registry().mutex);
        auto f = Registry().faults.find(volumeName);
        if (f == Registry().faults.end()) return {};
        state = f->second;
    }
    std::lock_guard lock(state->mutex);
    return state->counts;
}

std::shared_ptr<MissingSectors> NewMissingSectors() {
    return std::make_shared<MissingSectors>();
}

void ClearVolumeFaults() {
    std::lock_guard lock(Registry().mutex);
    Registry().faults.clear();
}

void RegisterVolumeDescriptor(const std::string& volumeName, int fd, bool readOnly) {
    std::lock_guard lock(Registry().mutex);
    // A new path has no descriptor to close (a default slot would name descriptor 0).
    auto [slot, added] = Registry().descriptors.try_emplace(volumeName, -1, readOnly);
    if (!added && slot->second.first >= 0 && slot->second.first != fd) ::close(slot->second.first);
    slot->second = {fd, readOnly};
}

void ForgetVolumeDescriptors() {
    std::lock_guard lock(Registry().mutex);
    for (auto& [name, entry] : Registry().descriptors)
        ::close(entry.first);
    Registry().descriptors.clear();
}

long VolumeHandle::Transfer(void* data, std::size_t n, std::int64_t offset, bool write) const {
    if (faults_) {
        const VolumeFaults& faults = faults_->faults;
        std::int64_t end = offset + static_cast<std::int64_t>(n);
        std::int64_t start = 0;
        if (write && faults.failWrites) {
            errno = EIO;
            return -1;
        }
        if (!write) {
            std::lock_guard lock(faults_->mutex);
            ++faults_->counts.reads;
            bool fails = Touches(faults.failingReads, offset, end, &start);
            for (std::size_t i = 0; i < faults.onceFailingReads.size(); ++i) {
                const auto& r = faults.onceFailingReads[i];
                if (r.begin < end && offset < r.end && !faults_->tripped[i]) {
                    faults_->tripped[i] = true;
                    fails = true;
                }
            }
            if (fails) {
                ++faults_->counts.failed;
                errno = EIO;
                return -1;
            }
        }
        if (!write && Touches(faults.shortReads, offset, end, &start))
            n = static_cast<std::size_t>(std::max<std::int64_t>(0, start - offset));
        if (!write && faults.deviceEnd >= 0)
            n = static_cast<std::size_t>(std::clamp<std::int64_t>(faults.deviceEnd - offset, 0,
                                                                  static_cast<std::int64_t>(n)));
        if (n == 0) return 0;
    }
    return write ? ::pwrite(fd_, data, n, offset) : ::pread(fd_, data, n, offset);
}

VolumeHandle::~VolumeHandle() {
    Close();
}

VolumeHandle::VolumeHandle(VolumeHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), readOnly_(other.readOnly_), pos_(other.pos_),
      faults_(std::move(other.faults_)), missing_(std::move(other.missing_)),
      deadEnd_(other.deadEnd_), deadBytes_(other.deadBytes_), step_(other.step_),
      ahead_(other.ahead_) {}

VolumeHandle& VolumeHandle::operator=(VolumeHandle&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        readOnly_ = other.readOnly_;
        pos_ = other.pos_;
        faults_ = std::move(other.faults_);
        missing_ = std::move(other.missing_);
        deadEnd_ = other.deadEnd_;
        deadBytes_ = other.deadBytes_;
        step_ = other.step_;
        ahead_ = other.ahead_;
    }
    return *this;
}

VolumeHandle VolumeHandle::FromDescriptor(int fd, bool readOnly) {
    VolumeHandle h;
    h.fd_ = fd;
    h.readOnly_ = readOnly;
    return h;
}

bool VolumeHandle::Seek(std::int64_t byteOffset) {
    if (!IsValid()) {
        errno = EBADF;
        return false;
    }
    if (byteOffset < 0) {
        errno = EINVAL;
        return false;
    }
    pos_ = byteOffset;
    return true;
}

std::int64_t VolumeHandle::Read(std::span<std::uint8_t> buffer) {
    if (!IsValid()) {
        errno = EBADF;
        return -1;
    }
    std::size_t done = 0;
    while (done < buffer.size()) {
        long n = Transfer(buffer.data() + done, buffer.size() - done,
                          pos_ + static_cast<std::int64_t>(done), false);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done == 0) return -1;
            break;
        }
        if (n == 0) break; // end of the device or image
        done += static_cast<std::size_t>(n);
    }
    pos_ += static_cast<std::int64_t>(done);
    return static_cast<std::int64_t>(done);
}

long VolumeHandle::ReadOnce(std::uint8_t* data, std::int64_t n, std::int64_t offset) const {
    long got;
    do
        got = Transfer(data, static_cast<std::size_t>(n), offset, false);
    while (got < 0 && errno == EINTR);
    return got;
}

bool VolumeHandle::InDeadStretch(std::int64_t at) const {
    return at == deadEnd_ && deadBytes_ >= kDeadRun;
}

void VolumeHandle::NoteMissing(std::int64_t begin, std::int64_t end, bool skipped) {
    missing_->Add(begin, end, skipped);
    if (!skipped)
        Log() << "unreadable: bytes " << begin << " to " << end << " of the volume" << endl;
}

std::int64_t VolumeHandle::ReadSectors(std::uint8_t* data, std::int64_t at, std::int64_t end,
                                       bool& ended) {
    const std::int64_t base = at;
    while (at < end && !InDeadStretch(at)) {
        const std::int64_t n = std::min(kSectorSize, end - at);
        long got = ReadOnce(data + (at - base), n, at);
        if (got < 0) {
            std::memset(data + (at - base), 0, static_cast<std::size_t>(n));
            NoteMissing(at, at + n, false);
            deadBytes_ = at == deadEnd_ ? deadBytes_ + n : n;
            deadEnd_ = at + n;
            at += n;
            continue;
        }
        deadBytes_ = 0;
        step_ = 0;
        at += got;
        if (got < n) {
            ended = true; // the device ends inside this sector
            break;
        }
    }
    return at;
}

void VolumeHandle::StepOverDeadStretch(std::int64_t at) {
    step_ = step_ == 0 ? kDeadRun : std::min(step_ * 2, kMaxStep);
    const std::int64_t probe = at + step_;
    std::uint8_t sector[kSectorSize];
    long got = ReadOnce(sector, kSectorSize, probe);
    if (got <= 0) {
        NoteMissing(at, probe, true);
        if (got < 0) NoteMissing(probe, probe + kSectorSize, false);
        deadEnd_ = probe + kSectorSize;
        deadBytes_ += step_ + kSectorSize;
        return;
    }
    // Readable again: the first readable sector of the step, assuming the dead part is one piece.
    std::int64_t lo = at, hi = probe;
    while (hi - lo > kSectorSize) {
        const std::int64_t mid = lo + (hi - lo) / (2 * kSectorSize) * kSectorSize;
        if (ReadOnce(sector, kSectorSize, mid) > 0) {
            hi = mid;
        } else {
            NoteMissing(mid, mid + kSectorSize, false);
            lo = mid + kSectorSize;
        }
    }
    if (hi > lo && ReadOnce(sector, kSectorSize, lo) > 0)
        hi = lo;
    else if (hi > lo)
        NoteMissing(lo, hi, false);
    NoteMissing(at, hi, true);
    deadBytes_ = 0;
    step_ = 0;
}

// The kernel reads ahead of sequential reads by itself, but many disks allow it only 128 KiB:
// then a stream read in blocks reaches the disk in small requests with pauses between them, and
// takes much longer than a copy in large blocks. A run of data reads of 1 MiB or more (a stream,
// not a probe) keeps the next 4 to 8 MiB asked for.
void VolumeHandle::HintAhead(std::int64_t begin, std::int64_t end) {
    constexpr std::int64_t kRun = 1 << 20;
    constexpr std::int64_t kAheadStep = 4 << 20;
    if (begin != ahead_.lastEnd) ahead_.runStart = begin;
    ahead_.lastEnd = end;
    if (end - ahead_.runStart < kRun || ahead_.off) {
        ahead_.advisedTo = end;
        return;
    }
    if (ahead_.advisedTo - end >= kAheadStep) return;
    const std::int64_t from = std::max(ahead_.advisedTo, end);
    // Asking costs a walk over the pages even when all are in memory: the last one is looked at
    // first, without waiting for the disk (block devices always refuse that: they are asked).
    std::uint8_t last = 0;
    iovec at{&last, 1};
    if (::preadv2(fd_, &at, 1, from + kAheadStep - 1, RWF_NOWAIT) != 1)
        static_cast<void>(::posix_fadvise(fd_, from, kAheadStep, POSIX_FADV_WILLNEED));
    ahead_.advisedTo = from + kAheadStep;
}

std::int64_t VolumeHandle::ReadData(std::span<std::uint8_t> buffer) {
    if (!IsValid()) {
        errno = EBADF;
        return -1;
    }
    const std::int64_t begin = pos_;
    const std::int64_t end = begin + static_cast<std::int64_t>(buffer.size());
    HintAhead(begin, end);
    if (!missing_) return Read(buffer);
    std::uint8_t* data = buffer.data();
    std::int64_t at = begin;
    bool ended = false;
    while (at < end && !ended) {
        MissingRange known{};
        std::int64_t stop = end;
        if (missing_->First(at, end, known)) {
            if (known.begin <= at) {
                std::memset(data + (at - begin), 0, static_cast<std::size_t>(known.end - at));
                at = known.end;
                continue;
            }
            stop = known.begin;
        }
        if (InDeadStretch(at)) {
            StepOverDeadStretch(at);
            continue;
        }
        long got = ReadOnce(data + (at - begin), stop - at, at);
        if (got > 0) {
            deadBytes_ = 0;
            step_ = 0;
            at += got;
        } else if (got == 0) {
            ended = true;
        } else {
            ahead_.off = true; // a damaged disk is not asked for more than is read
            at = ReadSectors(data + (at - begin), at, stop, ended);
        }
    }
    pos_ = at;
    return at - begin;
}

std::vector<MissingRange> VolumeHandle::MissingIn(std::int64_t begin, std::int64_t end) const {
    if (!missing_) return {};
    return missing_->In(begin, end);
}

std::int64_t VolumeHandle::Write(std::span<const std::uint8_t> data) {
    if (!IsValid()) {
        errno = EBADF;
        return -1;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        long n = Transfer(const_cast<std::uint8_t*>(data.data()) + done, data.size() - done,
                          pos_ + static_cast<std::int64_t>(done), true);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done == 0) return -1;
            break;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    pos_ += static_cast<std::int64_t>(done);
    return static_cast<std::int64_t>(done);
}

void VolumeHandle::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    faults_.reset();
    missing_.reset();
}

bool VolumeOpensReadOnly(const std::string& volumeName) {
    VolumeHandle h;
    return OpenDrive(volumeName, h) && h.IsReadOnly();
}

bool OpenDrive(const std::string& volumeName, VolumeHandle& handle) {
    handle.Close();
    if (volumeName.empty()) {
        errno = ENOENT;
        return false;
    }
    std::shared_ptr<FaultState> faults;
    // Each handle remembers what it found missing until its user shares a memory of its own.
    std::shared_ptr<MissingSectors> missing = NewMissingSectors();
    {
        std::lock_guard lock(Registry().mutex);
        auto f = Registry().faults.find(volumeName);
        if (f != Registry().faults.end()) faults = f->second;
        auto d = Registry().descriptors.find(volumeName);
        if (d != Registry().descriptors.end()) {
            int fd = ::fcntl(d->second.first, F_DUPFD_CLOEXEC, 0);
            if (fd < 0) return false;
            handle = VolumeHandle::FromDescriptor(fd, d->second.second);
            handle.faults_ = faults;
            handle.missing_ = missing;
            return true;
        }
    }
    int fd = ::open(volumeName.c_str(), O_RDWR | O_CLOEXEC);
    bool readOnly = false;
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd = ::open(volumeName.c_str(), O_RDONLY | O_CLOEXEC);
        readOnly = true;
    }
    if (fd < 0) return false;
    handle = VolumeHandle::FromDescriptor(fd, readOnly);
    handle.faults_ = std::move(faults);
    handle.missing_ = std::move(missing);
    return true;
}

bool SetToPhysicalSector(VolumeHandle& handle, std::int64_t sector) {
    if (handle.Seek(sector * kSectorSize)) return true;
    int error = errno;
    LogLine(SystemErrorText(error));
    Log() << "SetToPhysicalSector(" << handle.Value() << ", " << sector << ") failed" << endl;
    return false;
}

std::string SystemErrorText(int error) {
    char buf[256];
    // GNU strerror_r returns the text, which may not be in buf.
    const char* text = strerror_r(error, buf, sizeof buf);
    return text ? std::string(text) : std::string("error ") + std::to_string(error);
}

} // namespace quorin
