// The receiver's disk layout: sector 0 header, sectors 1-9 cluster table, one directory record
// per clip from sector 10, data area of 100 MiB clusters from sector 256.
#pragma once

#include <cstdint>

namespace quorin {

// How the receiver stores its directory records: the layout before firmware 190 (converted on
// reading) or the working layout of firmware 190 and later (taken as stored).
enum class RecordLayout { kOld, kFirmware190 };

inline constexpr std::int64_t kClusterSectors = 204'800;
inline constexpr std::int64_t kClusterBytes = kClusterSectors * 512; // 104,857,600
inline constexpr std::int64_t kClusterBits = kClusterBytes * 8;      // 838,860,800
inline constexpr std::int64_t kDataStartSector = 256;
inline constexpr std::int64_t kRecordStartSector = 10;
inline constexpr int kTableEntries = 1152;
inline constexpr int kTableBytes = kTableEntries * 4; // 4,608
inline constexpr std::uint32_t kChainEnd = 0xFFFF;
// Records of clips from this number on would lie in the data area.
inline constexpr int kMaxClips = static_cast<int>(kDataStartSector - kRecordStartSector); // 246
// A chain walk emits at most this many cluster numbers, so a cyclic table cannot hang it.
inline constexpr int kMaxChainLength = kTableEntries - 1; // 1,151

// The numbers a chain may name: 0 would lie in the directory, 1,152 and up beyond the data area.
inline constexpr bool IsDataCluster(std::int64_t cluster) {
    return cluster >= 1 && cluster < kTableEntries;
}

inline constexpr std::int64_t ClusterStartSector(std::int64_t cluster) {
    return kDataStartSector + (cluster - 1) * kClusterSectors;
}

} // namespace quorin
