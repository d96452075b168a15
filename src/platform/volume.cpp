#include "platform/volume.h"

#include "app/state/program_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace quorin {

VolumeHandle::~VolumeHandle() {
    Close();
}

VolumeHandle::VolumeHandle(VolumeHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), readOnly_(other.readOnly_), pos_(other.pos_) {}

VolumeHandle& VolumeHandle::operator=(VolumeHandle&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        readOnly_ = other.readOnly_;
        pos_ = other.pos_;
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
        ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done, pos_ + done);
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
        ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, pos_ + done);
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
}

bool OpenDrive(const std::string& volumeName, VolumeHandle& handle) {
    handle.Close();
    if (volumeName.empty()) {
        errno = ENOENT;
        return false;
    }
    int fd = ::open(volumeName.c_str(), O_RDWR | O_CLOEXEC);
    bool readOnly = false;
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd = ::open(volumeName.c_str(), O_RDONLY | O_CLOEXEC);
        readOnly = true;
    }
    if (fd < 0) return false;
    handle = VolumeHandle::FromDescriptor(fd, readOnly);
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
