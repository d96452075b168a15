#include "rip/disk_scan.h"

#include "base/format.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "platform/volume.h"
#include "rip/rip_driver.h"

#include <algorithm>
#include <string_view>

namespace quorin {
namespace {

constexpr std::int64_t kDirectoryBytes = 256 * 512;

// The parts of the directory a hit names: header, table, one record per clip.
void DirectoryHits(const MissingRange& m, std::vector<ScanHit>& hits) {
    for (std::int64_t at = m.begin; at < m.end;) {
        const std::int64_t sector = at / 512;
        ScanHit hit;
        hit.diskByte = at;
        std::int64_t end = m.end;
        if (sector == 0) {
            hit.what = "header";
            end = std::min<std::int64_t>(end, 512);
        } else if (sector < kRecordStartSector) {
            hit.what = "cluster table";
            end = std::min<std::int64_t>(end, kRecordStartSector * 512);
        } else {
            hit.what = "record";
            hit.clip = static_cast<int>(sector - kRecordStartSector + 1);
            end = std::min<std::int64_t>(end, (sector + 1) * 512);
        }
        hit.bytes = end - at;
        hits.push_back(hit);
        at = end;
    }
}

// Reads the directory; the records the opening of the disk could not read are not tried again.
void ScanDirectory(const std::string& volume, const CPVRDrive* drive,
                   const std::shared_ptr<MissingSectors>& missing, std::vector<ScanHit>& hits) {
    VolumeHandle h;
    if (!OpenDrive(volume, h)) return;
    h.ShareMissing(missing);
    std::vector<MissingRange> known;
    for (int i = 0; drive && i < drive->GetFileCount(); ++i)
        if (!drive->GetFile(i)->RecordRead())
            known.push_back({(kRecordStartSector + i) * 512, (kRecordStartSector + i + 1) * 512});
    std::vector<std::uint8_t> buf(kDirectoryBytes);
    std::vector<MissingRange> found;
    std::int64_t at = 0;
    for (std::size_t k = 0; k <= known.size() && at < kDirectoryBytes; ++k) {
        const std::int64_t stop = k < known.size() ? known[k].begin : kDirectoryBytes;
        if (stop > at &&
            (!h.Seek(at) ||
             h.ReadData(std::span(buf.data(), static_cast<std::size_t>(stop - at))) < stop - at))
            break; // the volume ends inside the directory
        if (k < known.size()) found.push_back(known[k]);
        at = k < known.size() ? known[k].end : stop;
    }
    for (const MissingRange& m : h.MissingIn(0, kDirectoryBytes))
        found.push_back(m);
    std::sort(found.begin(), found.end(),
              [](const MissingRange& a, const MissingRange& b) { return a.begin < b.begin; });
    for (const MissingRange& m : found)
        DirectoryHits(m, hits);
}

// A packet header of a stream: where it lies, its time stamp, and whether its payload begins a
// sequence or a group of pictures (where a rip can show pictures again after damage).
struct Stamp {
    std::int64_t byte;
    std::int64_t pts;
    bool resumes;
    bool operator<(std::int64_t b) const { return byte < b; }
};

// Time stamps along a stream: every packet header whose PTS the block holds.
void NotePts(std::span<const std::uint8_t> b, std::int64_t at, std::vector<Stamp>& stamps) {
    for (std::size_t i = 0; i + 14 <= b.size(); ++i) {
        if (b[i + 2] != 1 || b[i + 1] != 0 || b[i] != 0) continue;
        const std::uint8_t id = b[i + 3];
        if (!((id >= 0xC0 && id <= 0xEF) || id == 0xBD)) continue;
        if ((b[i + 6] & 0xC0) != 0x80 || (b[i + 7] & 0x80) == 0 || (b[i + 9] & 0x21) != 0x21)
            continue;
        const std::int64_t pts = (std::int64_t{b[i + 9] & 0x0E} << 29) |
                                 (std::int64_t{b[i + 10]} << 22) |
                                 (std::int64_t{b[i + 11] & 0xFE} << 14) |
                                 (std::int64_t{b[i + 12]} << 7) | (b[i + 13] >> 1);
        const std::size_t payload = i + 9 + b[i + 8];
        const bool resumes = payload + 4 <= b.size() && b[payload] == 0 && b[payload + 1] == 0 &&
                             b[payload + 2] == 1 &&
                             (b[payload + 3] == 0xB3 || b[payload + 3] == 0xB8);
        stamps.push_back({at + static_cast<std::int64_t>(i), pts, resumes});
    }
}

// The times a stretch [begin, end) of a stream takes out of the clip, as PTS (PTS_NONE when not
// known). Audio: the packets on either side. Video is stored in decode order, so the packet before
// the damage may be a picture shown after some that follow it: the loss runs from the earliest of
// those to the picture a rip shows again, the first that begins a sequence or group after it.
std::pair<std::int64_t, std::int64_t> LossTimes(const std::vector<Stamp>& stamps,
                                                std::int64_t begin, std::int64_t end, bool video) {
    auto after = std::lower_bound(stamps.begin(), stamps.end(), end);
    std::int64_t from = after != stamps.begin() && std::prev(after)->byte < begin
                            ? std::prev(after)->pts
                            : PTS_NONE;
    if (!video) return {from, after != stamps.end() ? after->pts : PTS_NONE};
    for (; after != stamps.end() && !after->resumes; ++after)
        from = from == PTS_NONE ? after->pts : std::min(from, after->pts);
    return {from, after != stamps.end() ? after->pts : PTS_NONE};
}

struct StreamScan {
    const char* what;
    std::uint32_t first;
    int clusters;
    std::int32_t endSectors;
};

// Reads one chain to its end; returns the first time stamp seen (for the clip's times). The part
// of a chain that lies past the device's end is damage like an unreadable stretch.
void ScanStream(const std::string& volume, const ClusterTable* table,
                const std::shared_ptr<MissingSectors>& missing, int clip, const StreamScan& s,
                std::int64_t& firstPts, std::vector<ScanHit>& hits, std::int64_t& done,
                std::int64_t total, const ScanProgress& progress, const std::atomic<bool>* cancel,
                bool stopAtFirst) {
    if (s.clusters <= 0) return;
    CIBits reader(volume, table, s.first, missing);
    const std::int64_t endByte = (std::int64_t{s.clusters} - 1) * kClusterBytes +
                                 std::clamp<std::int64_t>(s.endSectors, 0, kClusterSectors) * 512;
    std::vector<Stamp> stamps;
    std::vector<CIBits::Damage> beyond;
    std::int64_t at = 0;
    while (at < endByte && !(cancel && cancel->load())) {
        if (reader.IsEOF()) {
            // The volume may end inside the stream's last sector.
            if (reader.LastEnd() != CIBits::EndReason::kDeviceEnd || endByte - at < 512) break;
            const std::int64_t next = std::min(endByte, (at / kClusterBytes + 1) * kClusterBytes);
            beyond.push_back({at, next, reader.DiskByte(at)});
            done += next - at;
            at = next;
            reader.ClearEOF();
            if (stopAtFirst || at >= endByte) break;
            reader.SeekBitPosition(at * 8);
            continue;
        }
        std::span<const std::uint8_t> b = reader.BufferedBytes();
        if (b.empty()) break;
        NotePts(b, at, stamps);
        at += static_cast<std::int64_t>(b.size());
        done += static_cast<std::int64_t>(b.size());
        reader.ConsumeBuffered(static_cast<std::int32_t>(b.size()));
        if (stopAtFirst && reader.DamageFrom(0)) break;
        if (progress && at % (16 * CIBits::kBlockBytes) == 0) progress(done, total);
    }
    if (firstPts < 0 && !stamps.empty()) firstPts = stamps.front().pts;
    auto seconds = [firstPts](std::int64_t pts) {
        if (pts == PTS_NONE || firstPts < 0) return -1.0;
        return std::max<double>(0, static_cast<double>(pts - firstPts) / 90'000);
    };
    std::vector<CIBits::Damage> damage = reader.DamageIn(0, endByte);
    damage.insert(damage.end(), beyond.begin(), beyond.end());
    std::sort(damage.begin(), damage.end(),
              [](const CIBits::Damage& a, const CIBits::Damage& b) { return a.begin < b.begin; });
    const bool video = std::string_view(s.what) == "video";
    for (const CIBits::Damage& d : damage) {
        const auto [from, to] = LossTimes(stamps, d.begin, d.end, video);
        hits.push_back({d.diskByte, std::min(d.end, endByte) - d.begin, clip, s.what, seconds(from),
                        seconds(to)});
    }
}

} // namespace

std::string ScanLine(const ScanHit& h) {
    return Format("bad\t%lld\t%lld\t", static_cast<long long>(h.diskByte),
                  static_cast<long long>(h.bytes)) +
           (h.clip > 0 ? std::to_string(h.clip) : "-") + "\t" + h.what + "\t" +
           ClipTimeText(h.from) + "\t" + ClipTimeText(h.to);
}

std::vector<ScanHit> ScanDisk(const std::string& volume, const CPVRDrive* drive,
                              const ClusterTable* table, std::optional<int> only,
                              const ScanProgress& progress, const std::atomic<bool>* cancel,
                              bool stopAtFirst) {
    // A scan reads past every bad sector, and tries none of them twice.
    const std::shared_ptr<MissingSectors> missing = NewMissingSectors();
    std::vector<ScanHit> hits;
    ScanDirectory(volume, drive, missing, hits);
    if (!drive || !table || (stopAtFirst && !hits.empty())) return hits;
    std::vector<int> clips;
    for (int i = 0; i < drive->GetFileCount(); ++i)
        if (!only || *only == i + 1) clips.push_back(i);
    std::int64_t total = 0, done = 0;
    for (int i : clips) {
        const ClipRecord& r = drive->GetFile(i)->GetRecord();
        total += (std::int64_t{r.VClusters()} + r.AClusters()) * kClusterBytes;
    }
    for (int i : clips) {
        const ClipRecord& r = drive->GetFile(i)->GetRecord();
        std::int64_t firstPts = -1;
        const StreamScan streams[] = {
            {"video", r.VideoFirstCluster(), r.VClusters(), r.VideoEnd()},
            {"audio", r.AudioFirstCluster(), r.AClusters(), r.AudioEnd()}};
        for (const StreamScan& s : streams) {
            ScanStream(volume, table, missing, i + 1, s, firstPts, hits, done, total, progress,
                       cancel, stopAtFirst);
            if (stopAtFirst && !hits.empty()) return hits;
        }
    }
    if (progress) progress(total, total);
    return hits;
}

} // namespace quorin
