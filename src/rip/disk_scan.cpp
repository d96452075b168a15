#include "rip/disk_scan.h"

#include "base/format.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "platform/volume.h"
#include "rip/rip_driver.h"

#include <algorithm>

namespace quorin {
namespace {

constexpr std::int64_t kDirectoryBytes = 256 * 512;

void ScanDirectory(const std::string& volume, const std::shared_ptr<MissingSectors>& missing,
                   std::vector<ScanHit>& hits) {
    VolumeHandle h;
    if (!OpenDrive(volume, h)) return;
    h.ShareMissing(missing);
    std::vector<std::uint8_t> buf(kDirectoryBytes);
    h.ReadData(buf);
    for (const MissingRange& m : h.MissingIn(0, kDirectoryBytes)) {
        // Split along the directory's parts: header, table, one record per clip.
        for (std::int64_t at = m.begin; at < m.end;) {
            const std::int64_t sector = at / 512;
            ScanHit hit;
            hit.diskByte = at;
            std::int64_t end = m.end;
            if (sector == 0) {
                hit.what = "header";
                end = std::min<std::int64_t>(end, 512);
            } else if (sector < 10) {
                hit.what = "cluster table";
                end = std::min<std::int64_t>(end, 10 * 512);
            } else {
                hit.what = "record";
                hit.clip = static_cast<int>(sector - 10 + 1);
                end = std::min<std::int64_t>(end, (sector + 1) * 512);
            }
            hit.bytes = end - at;
            hits.push_back(hit);
            at = end;
        }
    }
}

// Time stamps along a stream: (stream byte, PTS) of every packet header whose PTS the block holds.
void NotePts(std::span<const std::uint8_t> b, std::int64_t at,
             std::vector<std::pair<std::int64_t, std::int64_t>>& stamps) {
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
        stamps.emplace_back(at + static_cast<std::int64_t>(i), pts);
    }
}

struct StreamScan {
    const char* what;
    std::uint32_t first;
    int clusters;
    std::int32_t endSectors;
};

// Reads one chain to its end; returns the first time stamp seen (for the clip's times).
void ScanStream(const std::string& volume, const ClusterTable* table,
                const std::shared_ptr<MissingSectors>& missing, int clip, const StreamScan& s,
                std::int64_t& firstPts, std::vector<ScanHit>& hits, std::int64_t& done,
                std::int64_t total, const ScanProgress& progress, const std::atomic<bool>* cancel,
                bool stopAtFirst) {
    if (s.clusters <= 0) return;
    CIBits reader(volume, table, s.first, missing);
    const std::int64_t endByte = (std::int64_t{s.clusters} - 1) * kClusterBytes +
                                 std::clamp<std::int64_t>(s.endSectors, 0, kClusterSectors) * 512;
    std::vector<std::pair<std::int64_t, std::int64_t>> stamps;
    std::int64_t at = 0;
    while (!reader.IsEOF() && at < endByte && !(cancel && cancel->load())) {
        std::span<const std::uint8_t> b = reader.BufferedBytes();
        if (b.empty()) break;
        NotePts(b, at, stamps);
        at += static_cast<std::int64_t>(b.size());
        done += static_cast<std::int64_t>(b.size());
        reader.ConsumeBuffered(static_cast<std::int32_t>(b.size()));
        if (stopAtFirst && reader.DamageFrom(0)) break;
        if (progress && at % (16 * CIBits::kBlockBytes) == 0) progress(done, total);
    }
    if (firstPts < 0 && !stamps.empty()) firstPts = stamps.front().second;
    auto seconds = [firstPts](std::int64_t pts) {
        return std::max<double>(0, static_cast<double>(pts - firstPts) / 90'000);
    };
    for (const CIBits::Damage& d : reader.DamageIn(0, endByte)) {
        ScanHit hit{d.diskByte, std::min(d.end, endByte) - d.begin, clip, s.what, -1, -1};
        auto after =
            std::lower_bound(stamps.begin(), stamps.end(), std::make_pair(d.end, std::int64_t{0}));
        if (after != stamps.begin() && firstPts >= 0) hit.from = seconds(std::prev(after)->second);
        if (after != stamps.end() && firstPts >= 0) hit.to = seconds(after->second);
        hits.push_back(hit);
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
    ScanDirectory(volume, missing, hits);
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
