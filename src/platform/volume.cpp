#include "platform/volume.h"

#include "base/program_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace quorin {
namespace {

struct VolumeRegistry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const VolumeFaults>> faults;
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
    Registry().faults[volumeName] = std::make_shared<const VolumeFaults>(std::move(faults));
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
        std::int64_t end = offset + static_cast<std::int64_t>(n);
        std::int64_t start = 0;
        if (write && faults_->failWrites) {
            errno = EIO;
            return -1;
        }
        if (!write && Touches(faults_->failingReads, offset, end, &start)) {
            errno = EIO;
            return -1;
        }
        if (!write && Touches(faults_->shortReads, offset, end, &start))
            n = static_cast<std::size_t>(std::max<std::int64_t>(0, start - offset));
        if (!write && faults_->deviceEnd >= 0)
            n = static_cast<std::size_t>(std::clamp<std::int64_t>(faults_->deviceEnd - offset, 0,
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
      faults_(std::move(other.faults_)) {}

VolumeHandle& VolumeHandle::operator=(VolumeHandle&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        readOnly_ = other.readOnly_;
        pos_ = other.pos_;
        faults_ = std::move(other.faults_);
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
}

bool OpenDrive(const std::string& volumeName, VolumeHandle& handle) {
    handle.Close();
    if (volumeName.empty()) {
        errno = ENOENT;
        return false;
    }
    std::shared_ptr<const VolumeFaults> faults;
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
