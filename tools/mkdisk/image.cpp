// Builds a disk image: packetises every clip's streams, lays them into
// cluster chains and writes header, table, records and data sparsely.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "bytes.h"
#include "damage.h"
#include "layout.h"
#include "testdisk.h"

namespace quorin::testdisk {
namespace {

using detail::Ok;
using detail::Status;

// An owned file descriptor.
class FileHandle {
public:
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileHandle& operator=(FileHandle&&) = delete;
    ~FileHandle() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now, reporting what close() says (delayed write errors).
    bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

std::string SystemError(const std::string& what, const std::filesystem::path& file) {
    return what + " " + file.string() + ": " + std::strerror(errno);
}

Status WriteAt(int fd, std::int64_t offset, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t n = ::pwrite(fd, data.data(), data.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Error{std::string("write failed: ") + std::strerror(errno)};
        data = data.subspan(static_cast<std::size_t>(n));
        offset += n;
    }
    return Ok();
}

Status ReadAt(int fd, std::int64_t offset, std::span<std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t n = ::pread(fd, data.data(), data.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error{std::string("read failed: ") + std::strerror(errno)};
        if (n == 0) return Error{"the image ends at byte " + std::to_string(offset)};
        data = data.subspan(static_cast<std::size_t>(n));
        offset += n;
    }
    return Ok();
}

// Visits the pieces of a stream of `bytes` bytes along its chain: for each,
// the image offset, the stream offset and the length.
template <class Visit>
Status ForEachPiece(std::span<const int> chain, std::int32_t startSector, std::uint64_t bytes,
                    Visit visit) {
    std::uint64_t done = 0;
    std::int64_t inCluster = std::int64_t{startSector} * kSectorBytes;
    for (int c : chain) {
        if (done == bytes) break;
        const auto n = std::min<std::uint64_t>(bytes - done, kClusterBytes - inCluster);
        if (auto st = visit(ClusterByteOffset(c) + inCluster, done, n); !st) return st;
        done += n;
        inCluster = 0;
    }
    if (done < bytes) return Error{"the chain is too short for the stream"};
    return Ok();
}

Expected<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return Error{SystemError("cannot open", file)};
    std::vector<std::uint8_t> data(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!in) return Error{SystemError("cannot read", file)};
    return data;
}

// Sample files, read once per build however often clips use them.
class SourceCache {
public:
    Expected<const std::vector<std::uint8_t>*> Get(const std::filesystem::path& file) {
        auto it = files_.find(file);
        if (it == files_.end()) {
            auto data = ReadWholeFile(file);
            if (!data) return Error{data.error()};
            it = files_.emplace(file, std::move(*data)).first;
        }
        return &it->second;
    }

private:
    std::map<std::filesystem::path, std::vector<std::uint8_t>> files_;
};

Expected<StreamLayout> MakeStream(const ClipSpec& clip, StreamKind kind, SourceCache& sources) {
    const bool video = kind == StreamKind::Video;
    StreamLayout s;
    s.startSector = video ? clip.videoStartSector : clip.audioStartSector;
    if (s.startSector < 0 || s.startSector >= kClusterSectors)
        return Error{"start offset must lie inside the first cluster"};
    const auto& file = video ? clip.videoFile : clip.audioFile;
    if (file.empty()) return s;
    auto es = sources.Get(file);
    if (!es) return Error{es.error()};
    auto packets = video ? PacketiseVideo(**es, {clip.firstPts, clip.loops})
                         : PacketiseAudio(**es, {clip.firstPts + clip.audioOffsetTicks, clip.loops,
                                                 clip.audioCodec});
    if (!packets) return Error{file.string() + ": " + packets.error()};
    s.stream = std::move(*packets);
    if (auto st = detail::ApplyDamage(s.stream, clip.damage, kind); !st) return Error{st.error()};
    return s;
}

std::string ClipName(std::size_t index, const ClipSpec& clip) {
    return "clips[" + std::to_string(index) + "] (" + clip.name + ")";
}

Expected<ClipResult> PrepareClip(std::size_t index, const ClipSpec& clip, SourceCache& sources) {
    ClipResult r;
    r.layout = clip.layout;
    auto video = MakeStream(clip, StreamKind::Video, sources);
    if (!video) return Error{ClipName(index, clip) + ": video: " + video.error()};
    auto audio = MakeStream(clip, StreamKind::Audio, sources);
    if (!audio) return Error{ClipName(index, clip) + ": audio: " + audio.error()};
    r.video = std::move(*video);
    r.audio = std::move(*audio);
    const auto& timed = clip.videoFile.empty() ? r.audio : r.video;
    r.lengthSeconds =
        clip.lengthSeconds.value_or(static_cast<int>(timed.stream.durationTicks / kPtsClock));
    return r;
}

std::vector<detail::ChainRequest> ChainRequests(const DiskSpec& desc,
                                                std::vector<ClipResult>& clips) {
    std::vector<detail::ChainRequest> requests;
    for (std::size_t i = 0; i < clips.size(); ++i) {
        for (bool video : {true, false}) {
            StreamLayout& s = video ? clips[i].video : clips[i].audio;
            const auto extent = detail::ExtentOf(s.stream.bytes.size(), s.startSector);
            s.endSector = extent.endSector;
            const auto& wanted = video ? desc.clips[i].videoClusters : desc.clips[i].audioClusters;
            requests.push_back({extent.clusters, wanted,
                                ClipName(i, desc.clips[i]) + (video ? ".video" : ".audio"),
                                static_cast<int>(i), desc.clips[i].deleted, desc.clips[i].scatter});
        }
    }
    return requests;
}

// Everything but the image file: streams, chains, records, header, table.
Expected<DiskResult> Plan(const DiskSpec& desc) {
    if (desc.clips.size() > static_cast<std::size_t>(kMaxClips))
        return Error{"at most " + std::to_string(kMaxClips) + " clips"};
    DiskResult disk;
    SourceCache sources;
    for (std::size_t i = 0; i < desc.clips.size(); ++i) {
        auto clip = PrepareClip(i, desc.clips[i], sources);
        if (!clip) return Error{clip.error()};
        disk.clips.push_back(std::move(*clip));
    }
    const auto requests = ChainRequests(desc, disk.clips);
    auto alloc = detail::AllocateChains(requests, desc);
    if (!alloc) return Error{alloc.error()};
    int live = 0;
    for (std::size_t i = 0; i < disk.clips.size(); ++i) {
        ClipResult& c = disk.clips[i];
        c.deleted = desc.clips[i].deleted;
        c.video.chain = alloc->chains[2 * i];
        c.audio.chain = alloc->chains[2 * i + 1];
        auto record =
            detail::BuildRecord(desc.clips[i], {live, c.lengthSeconds, &c.video, &c.audio});
        if (!record) return Error{ClipName(i, desc.clips[i]) + ": " + record.error()};
        c.record = *record;
        if (c.deleted == Deletion::None) ++live;
    }
    disk.usedClusters = alloc->usedClusters;
    disk.freeClusters = alloc->freeClusters;
    disk.unchained = alloc->unchained;
    disk.header = detail::BuildHeader(desc, alloc->usedClusters, alloc->freeClusters, live);
    disk.clusterTable = detail::BuildClusterTable(requests, alloc->chains);
    return disk;
}

// Writes everything but the data; returns the end of the last record.
Expected<std::int64_t> WriteDirectory(int fd, const DiskResult& disk) {
    if (auto st = WriteAt(fd, 0, disk.header); !st) return Error{st.error()};
    if (auto st = WriteAt(fd, kSectorBytes, disk.clusterTable); !st) return Error{st.error()};
    std::int64_t end = kSectorBytes + static_cast<std::int64_t>(disk.clusterTable.size());
    std::int64_t n = 0;
    for (const ClipResult& clip : disk.clips) {
        if (clip.deleted != Deletion::None) continue;
        end = (kRecordSector + n++) * kSectorBytes;
        if (auto st = WriteAt(fd, end, clip.record); !st) return Error{st.error()};
        end += kSectorBytes;
    }
    return end;
}

// Writes one stream along its chain; returns the end of its last byte.
Expected<std::int64_t> WriteStream(int fd, const StreamLayout& s) {
    std::int64_t last = 0;
    const std::span<const std::uint8_t> bytes = s.stream.bytes;
    auto st = ForEachPiece(s.chain, s.startSector, bytes.size(),
                           [&](std::int64_t at, std::uint64_t from, std::uint64_t n) {
                               last = std::max(last, at + static_cast<std::int64_t>(n));
                               return WriteAt(fd, at, bytes.subspan(from, n));
                           });
    if (!st) return Error{st.error()};
    return last;
}

// Noise or zeros in the clusters no chain holds (whole, or their first and last `bytes`).
Expected<std::int64_t> FillUnchained(int fd, const DiskSpec& desc,
                                     const std::vector<int>& clusters) {
    if (desc.freeFill == FreeFill::None || clusters.empty()) return std::int64_t{0};
    const std::int64_t part =
        std::clamp<std::int64_t>(desc.freeFillBytes.value_or(kClusterBytes), 0, kClusterBytes / 2);
    const bool whole = !desc.freeFillBytes || part == kClusterBytes / 2;
    std::vector<std::uint8_t> block(1 << 20);
    std::int64_t last = 0;
    for (int c : clusters) {
        std::mt19937 rng(desc.seed * 7919u + static_cast<std::uint32_t>(c));
        auto write = [&](std::int64_t from, std::int64_t bytes) -> Status {
            for (std::int64_t done = 0; done < bytes;) {
                const auto n =
                    static_cast<std::size_t>(std::min<std::int64_t>(bytes - done, block.size()));
                for (std::size_t i = 0; i < n; ++i)
                    block[i] =
                        desc.freeFill == FreeFill::Noise ? static_cast<std::uint8_t>(rng()) : 0;
                if (auto st = WriteAt(fd, from + done, std::span(block).first(n)); !st) return st;
                done += static_cast<std::int64_t>(n);
            }
            last = std::max(last, from + bytes);
            return Ok();
        };
        const std::int64_t at = ClusterByteOffset(c);
        if (auto st = whole ? write(at, kClusterBytes) : write(at, part); !st)
            return Error{st.error()};
        if (!whole)
            if (auto st = write(at + kClusterBytes - part, part); !st) return Error{st.error()};
    }
    return last;
}

Expected<std::uint64_t> WriteImage(const DiskResult& disk, const DiskSpec& desc,
                                   const std::filesystem::path& image) {
    const bool shortImage = desc.shortImage;
    FileHandle file(::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.get() < 0) return Error{SystemError("cannot create", image)};
    auto end = WriteDirectory(file.get(), disk);
    if (!end) return Error{image.string() + ": " + end.error()};
    auto filled = FillUnchained(file.get(), desc, disk.unchained);
    if (!filled) return Error{image.string() + ": " + filled.error()};
    std::int64_t last = std::max(*end, *filled);
    for (const auto& clip : disk.clips) {
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            auto streamEnd = WriteStream(file.get(), *s);
            if (!streamEnd) return Error{image.string() + ": " + streamEnd.error()};
            last = std::max(last, *streamEnd);
        }
    }
    const int total = disk.usedClusters + disk.freeClusters;
    const std::int64_t counted = ClusterByteOffset(total + 1);
    const std::int64_t size = shortImage ? last : std::max(last, counted);
    if (::ftruncate(file.get(), size) != 0) return Error{SystemError("cannot size", image)};
    if (!file.Close()) return Error{SystemError("cannot write", image)};
    return static_cast<std::uint64_t>(size);
}

} // namespace

Expected<DiskResult> BuildImage(const DiskSpec& desc, const std::filesystem::path& image,
                                const BuildOptions& options) try {
    auto plan = Plan(desc);
    if (!plan) return Error{plan.error()};
    auto size = WriteImage(*plan, desc, image);
    if (!size) return Error{size.error()};
    DiskResult disk = std::move(*plan);
    disk.imageBytes = *size;
    if (!options.keepStreamBytes) {
        for (auto& clip : disk.clips) {
            clip.video.stream.bytes = {};
            clip.audio.stream.bytes = {};
        }
    }
    return disk;
} catch (const std::exception& e) {
    return Error{std::string("building the image failed: ") + e.what()};
}

Expected<std::vector<std::uint8_t>> ReadChain(const std::filesystem::path& image,
                                              std::span<const int> chain, std::int32_t startSector,
                                              std::uint64_t bytes) try {
    FileHandle file(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return Error{SystemError("cannot open", image)};
    std::vector<std::uint8_t> out(bytes);
    auto st = ForEachPiece(chain, startSector, bytes,
                           [&](std::int64_t at, std::uint64_t from, std::uint64_t n) {
                               return ReadAt(file.get(), at, std::span(out).subspan(from, n));
                           });
    if (!st) return Error{st.error()};
    return out;
} catch (const std::exception& e) {
    return Error{std::string("reading the chain failed: ") + e.what()};
}

} // namespace quorin::testdisk
