// Small hand-built receiver images for the disk-layer tests: only the sectors a test needs are
// written, the rest of the file is a hole.
#pragma once

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace quorin::test {

class DiskImage {
public:
    explicit DiskImage(const std::string& name)
        : path_((std::filesystem::temp_directory_path() /
                 (name + "-" + std::to_string(::getpid()) + ".img"))
                    .string()) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    }
    ~DiskImage() {
        if (fd_ >= 0) ::close(fd_);
        std::filesystem::remove(path_);
    }
    DiskImage(const DiskImage&) = delete;
    DiskImage& operator=(const DiskImage&) = delete;

    const std::string& Path() const { return path_; }

    void Write(std::int64_t offset, const void* data, std::size_t n) {
        if (::pwrite(fd_, data, n, offset) != static_cast<ssize_t>(n)) std::abort();
    }
    void Write(std::int64_t offset, const std::vector<std::uint8_t>& data) {
        Write(offset, data.data(), data.size());
    }
    void Resize(std::int64_t size) {
        if (::ftruncate(fd_, size) != 0) std::abort();
    }
    std::vector<std::uint8_t> Read(std::int64_t offset, std::size_t n) const {
        std::vector<std::uint8_t> out(n);
        if (::pread(fd_, out.data(), n, offset) < 0) std::abort();
        return out;
    }

    // Header: used/free clusters, clip count, label.
    void Header(std::uint16_t used, std::uint16_t free, std::uint8_t clips,
                const std::string& label) {
        std::uint8_t s[512] = {};
        Put16(s + 0x0A, used);
        Put16(s + 0x0C, free);
        s[0x0E] = clips;
        std::memcpy(s + 0x30, label.data(), label.size());
        Write(0, s, sizeof s);
    }
    void Link(std::uint32_t cluster, std::uint16_t next) {
        std::uint8_t e[2];
        Put16(e, next);
        Write(512 + cluster * 4, e, 2);
    }
    void Record(int clip, const std::vector<std::uint8_t>& bytes) {
        Write((10 + clip) * 512LL, bytes);
    }
    static std::int64_t ClusterOffset(std::uint32_t c) {
        return (256 + static_cast<std::int64_t>(c - 1) * 204'800) * 512;
    }

    static void Put16(std::uint8_t* p, std::uint16_t v) {
        p[0] = v & 0xFF;
        p[1] = v >> 8;
    }
    static void Put32(std::uint8_t* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            p[i] = (v >> (8 * i)) & 0xFF;
    }

private:
    std::string path_;
    int fd_ = -1;
};

// A record in the working layout with the fields most tests need.
struct RecordSpec {
    std::string station = "ARD";
    std::string name = "Tatort";
    int year = 2026, month = 12, day = 7, hour = 20, minute = 15, second = 0;
    int lh = 1, lm = 30, ls = 0;
    std::uint16_t vclusters = 20, aclusters = 2;
    std::int32_t vend = 1000, aend = 500;
    std::uint16_t vfirst = 100, afirst = 300;
    std::int32_t vstart = 0, astart = 0;
};

inline std::vector<std::uint8_t> WorkingRecord(const RecordSpec& s, int recordNo) {
    std::vector<std::uint8_t> r(512, 0);
    r[0] = static_cast<std::uint8_t>(recordNo);
    std::memset(&r[0x01], ' ', 17);
    std::memcpy(&r[0x01], s.station.data(), s.station.size());
    std::memcpy(&r[0x13], s.name.data(), std::min<std::size_t>(s.name.size(), 40));
    DiskImage::Put16(&r[0x3C], static_cast<std::uint16_t>(s.year));
    r[0x3E] = s.month;
    r[0x3F] = s.day;
    r[0x40] = s.hour;
    r[0x41] = s.minute;
    r[0x42] = s.second;
    r[0x44] = s.lh;
    r[0x45] = s.lm;
    r[0x46] = s.ls;
    DiskImage::Put16(&r[0x4C], s.vclusters);
    DiskImage::Put16(&r[0x4E], s.aclusters);
    DiskImage::Put32(&r[0x50], s.vend);
    DiskImage::Put32(&r[0x54], s.aend);
    DiskImage::Put16(&r[0x58], s.vfirst);
    DiskImage::Put16(&r[0x5A], s.afirst);
    for (int k = 0; k < 10; ++k)
        DiskImage::Put32(&r[0x5C + 4 * k], 0xFFFFFFFF);
    DiskImage::Put32(&r[0x84], s.vstart);
    DiskImage::Put32(&r[0x88], s.astart);
    return r;
}

// The same clip as the receivers before firmware 190 store it.
inline std::vector<std::uint8_t> OldRecord(const RecordSpec& s, int recordNo) {
    std::vector<std::uint8_t> w = WorkingRecord(s, recordNo);
    std::vector<std::uint8_t> r(512, 0);
    r[0] = w[0];
    std::memset(&r[0x01], ' ', 13);
    std::memcpy(&r[0x01], s.station.data(), std::min<std::size_t>(s.station.size(), 13));
    std::memcpy(&r[0x0F], s.name.data(), std::min<std::size_t>(s.name.size(), 40));
    std::memcpy(&r[0x38], &w[0x3C], 412);
    return r;
}

} // namespace quorin::test
