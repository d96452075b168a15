// Helpers of the reliability tests: a factory disk whose streams lie at known places, faults
// attached for one scope, the program log of a scope, output file size limits.
#pragma once

#include "rip_fixture.h"

#include "base/format.h"
#include "base/program_log.h"
#include "platform/volume.h"
#include "rip/rip_driver.h"

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

namespace quorin::reliability {

using namespace riptest;

// The byte of the image where a stream's data begins (its first cluster and start offset).
inline std::int64_t StreamStart(const td::StreamLayout& s) {
    return td::ClusterByteOffset(s.chain.front()) + std::int64_t{s.startSector} * 512;
}

// The byte of the image that holds byte `at` of a one-cluster stream.
inline std::int64_t StreamByte(const td::StreamLayout& s, double fraction) {
    return StreamStart(s) +
           static_cast<std::int64_t>(static_cast<double>(s.stream.bytes.size()) * fraction);
}

inline VolumeFaults FailingRead(std::int64_t begin, std::int64_t end) {
    VolumeFaults f;
    f.failingReads.push_back({begin, end});
    return f;
}
inline VolumeFaults ShortRead(std::int64_t begin, std::int64_t end) {
    VolumeFaults f;
    f.shortReads.push_back({begin, end});
    return f;
}
inline VolumeFaults DeviceEnd(std::int64_t end) {
    VolumeFaults f;
    f.deviceEnd = end;
    return f;
}
inline VolumeFaults FailingWrites() {
    VolumeFaults f;
    f.failWrites = true;
    return f;
}

// A one-cluster stream's data as the image holds it, up to its end offset (the padding of the
// last sector included).
inline std::vector<std::uint8_t> StreamData(const std::string& image, const td::StreamLayout& s) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(s.endSector - s.startSector) * 512);
    std::ifstream in(image, std::ios::binary);
    in.seekg(StreamStart(s));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

// Whether `part` is a contiguous copy of some of `whole`.
inline bool CopiedFrom(const std::vector<std::uint8_t>& part,
                       const std::vector<std::uint8_t>& whole) {
    return !part.empty() &&
           std::search(whole.begin(), whole.end(), part.begin(), part.end()) != whole.end();
}

// Faults on a volume for the life of the object; the registry is cleared afterwards.
class FaultScope {
public:
    FaultScope(const std::string& volume, VolumeFaults faults) {
        SetVolumeFaults(volume, std::move(faults));
    }
    ~FaultScope() { ClearVolumeFaults(); }
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
};

// The program log of a scope as "Quorin.log" in the current directory; Text() closes it.
class LogScope {
public:
    // In the current directory, whatever folder an earlier command line in this process chose.
    LogScope() {
        SetLogFolder("");
        OpenLog("reliability", false);
    }
    ~LogScope() { CloseLog(); }
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;
    std::string Text() {
        CloseLog();
        return ReadText("Quorin.log");
    }
};

// Output files may grow to `bytes` only (writes beyond fail with EFBIG, SIGXFSZ ignored).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        handler_ = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old_;
        small.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit old_ {};
    void (*handler_)(int) = nullptr;
};

// Whether `part` is `whole` cut short: a proper prefix (never bytes that are not the stream's).
inline ::testing::AssertionResult CutShort(const std::vector<std::uint8_t>& part,
                                           const std::vector<std::uint8_t>& whole) {
    if (part.size() >= whole.size())
        return ::testing::AssertionFailure()
               << part.size() << " bytes are not fewer than " << whole.size();
    auto diff = std::mismatch(part.begin(), part.end(), whole.begin());
    if (diff.first != part.end())
        return ::testing::AssertionFailure()
               << "differs at byte " << (diff.first - part.begin()) << " of " << part.size();
    return ::testing::AssertionSuccess();
}

// The file without the sequence end code the driver appends to every video file.
inline std::vector<std::uint8_t> WithoutEndCode(std::vector<std::uint8_t> v) {
    static const std::uint8_t code[] = {0x00, 0x00, 0x01, 0xB7};
    if (v.size() >= 4 && std::equal(v.end() - 4, v.end(), code)) v.resize(v.size() - 4);
    return v;
}

// A clip of two loops of the 4:3 sample with MP2 audio, each stream in one cluster: audio in
// cluster 2, video in cluster 4 (the last data of the image).
inline td::ClipSpec FaultClip(const std::string& name = "Film") {
    td::ClipSpec c = SampleClip(name, "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 2);
    c.layout = td::RecordLayout::Working;
    c.audioClusters = {2};
    c.videoClusters = {4};
    c.videoStartSector = 16;
    return c;
}

inline td::DiskSpec OneClip(const td::ClipSpec& c, bool shortImage = false) {
    td::DiskSpec desc;
    desc.shortImage = shortImage;
    desc.clips.push_back(c);
    return desc;
}

struct Ripped {
    RipOutcome outcome = RipOutcome::kDone;
    RipReport report;
};

inline Ripped Rip(TestDisk& disk, double begin, double length, int clip = 0) {
    Ripped r;
    r.outcome = disk.Rip(clip, begin, length, &r.report);
    return r;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace quorin::reliability
