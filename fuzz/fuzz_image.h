// Fuzz inputs become receiver images: the engine only reads volumes by path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace quorin::fuzz {

// A scratch image file for one process, rewritten for every input.
class ScratchImage {
public:
    explicit ScratchImage(const char* tag) {
        const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ =
            std::string(dir) + "/quorin-fuzz-" + tag + "-" + std::to_string(::getpid()) + ".img";
    }
    ~ScratchImage() { ::unlink(path_.c_str()); }
    ScratchImage(const ScratchImage&) = delete;
    ScratchImage& operator=(const ScratchImage&) = delete;

    // Writes the pieces at their offsets into a fresh file of the given size (sparse).
    bool Begin(std::int64_t size) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        return fd_ >= 0 && ::ftruncate(fd_, size) == 0;
    }
    bool Put(std::int64_t offset, const std::uint8_t* data, std::size_t n) {
        return n == 0 || ::pwrite(fd_, data, n, offset) == static_cast<ssize_t>(n);
    }
    void End() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

} // namespace quorin::fuzz
