#include "disk/plausibility.h"

#include "base/format.h"
#include "disk/clip_record.h"
#include "disk/layout.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"

#include <array>

namespace quorin {
namespace {

struct FieldRange {
    const char* name;
    std::int64_t low;
    std::int64_t high;
    std::int64_t (*read)(const ClipRecord&);
};

// Receivers with a hard disk date from the late 1990s; a year far outside says the bytes are
// something else.
const std::array<FieldRange, 17> kFields{{
    {"year", 1990, 2099, [](const ClipRecord& r) -> std::int64_t { return r.Year(); }},
    {"month", 1, 12, [](const ClipRecord& r) -> std::int64_t { return r.Month(); }},
    {"day", 1, 31, [](const ClipRecord& r) -> std::int64_t { return r.Day(); }},
    {"hour", 0, 23, [](const ClipRecord& r) -> std::int64_t { return r.Hour(); }},
    {"minute", 0, 59, [](const ClipRecord& r) -> std::int64_t { return r.Minute(); }},
    {"second", 0, 59, [](const ClipRecord& r) -> std::int64_t { return r.Second(); }},
    {"length hours", 0, 99, [](const ClipRecord& r) -> std::int64_t { return r.LengthHours(); }},
    {"length minutes", 0, 59,
     [](const ClipRecord& r) -> std::int64_t { return r.LengthMinutes(); }},
    {"length seconds", 0, 59,
     [](const ClipRecord& r) -> std::int64_t { return r.LengthSeconds(); }},
    {"video cluster count", 0, kMaxChainLength,
     [](const ClipRecord& r) -> std::int64_t { return r.VClusters(); }},
    {"audio cluster count", 0, kMaxChainLength,
     [](const ClipRecord& r) -> std::int64_t { return r.AClusters(); }},
    {"video start offset", 0, kClusterSectors - 1,
     [](const ClipRecord& r) -> std::int64_t { return r.VideoStart(); }},
    {"audio start offset", 0, kClusterSectors - 1,
     [](const ClipRecord& r) -> std::int64_t { return r.AudioStart(); }},
    {"video end offset", 0, kClusterSectors,
     [](const ClipRecord& r) -> std::int64_t { return r.VideoEnd(); }},
    {"audio end offset", 0, kClusterSectors,
     [](const ClipRecord& r) -> std::int64_t { return r.AudioEnd(); }},
    // A stream without clusters has no first cluster to check.
    {"first video cluster", 1, kTableEntries - 1,
     [](const ClipRecord& r) -> std::int64_t {
         return r.VClusters() == 0 ? 1 : r.VideoFirstCluster();
     }},
    {"first audio cluster", 1, kTableEntries - 1,
     [](const ClipRecord& r) -> std::int64_t {
         return r.AClusters() == 0 ? 1 : r.AudioFirstCluster();
     }},
}};

bool AllFit(const CPVRDrive& drive, int layoutFlag, int& read) {
    read = 0;
    for (int i = 0; i < drive.GetFileCount(); ++i) {
        const CPVRFile& clip = *drive.GetFile(i);
        if (!clip.RecordRead()) continue;
        ++read;
        const ClipRecord& raw = clip.GetRawRecord();
        if (!RecordImplausibility(layoutFlag == 1 ? raw : ConvertOldLayout(raw)).empty())
            return false;
    }
    return true;
}

} // namespace

std::string RecordImplausibility(const ClipRecord& working) {
    for (const FieldRange& f : kFields) {
        const std::int64_t v = f.read(working);
        if (v < f.low || v > f.high) return std::string(f.name) + " " + std::to_string(v);
    }
    return {};
}

std::string LayoutName(int layoutFlag) {
    return layoutFlag == 1 ? "the layout of firmware 190 and later"
                           : "the layout before firmware 190";
}

int DetectLayout(const CPVRDrive& drive) {
    int read = 0;
    const bool working = AllFit(drive, 1, read);
    const bool old = AllFit(drive, 0, read);
    if (read == 0 || working == old) return -1;
    return working ? 1 : 0;
}

std::vector<std::string> HeaderImplausibilities(const CPVRDrive& drive) {
    std::vector<std::string> why;
    const int used = drive.GetUsedClusters();
    const int unused = drive.GetFreeClusters();
    if (used + unused > kMaxChainLength)
        why.push_back(Format("used (%d) and free (%d) clusters add up to %d, more than the %d "
                             "clusters a disk holds",
                             used, unused, used + unused, kMaxChainLength));
    if (drive.DeviceEndsBeforeCapacity())
        why.push_back(
            Format("a capacity of %.1f GB is beyond the device's size", (used + unused) * 0.1));
    if (drive.HeaderFileCount() > kMaxClips)
        why.push_back(Format("the clip count %d is above the %d records the directory holds",
                             drive.HeaderFileCount(), kMaxClips));
    return why;
}

} // namespace quorin
