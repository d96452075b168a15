// The receiver's disk structures: header sector, cluster table, clip records,
// and the choice of cluster chains.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "bytes.h"
#include "testdisk.h"

namespace quorin::testdisk::detail {

using Sector = std::array<std::uint8_t, kSectorBytes>;

struct Extent {
    int clusters = 0;
    std::int32_t endSector = 0;
};

// Clusters and end offset of `bytes` bytes written from `startSector` of the
// first cluster; a partial last sector counts as a whole one.
Extent ExtentOf(std::uint64_t bytes, std::int32_t startSector);

// What the allocation needs to know about one stream.
struct ChainRequest {
    int clusters = 0;           // needed
    std::vector<int> requested; // explicit chain; empty: automatic
    std::string what;           // for messages, e.g. "clips[1].video"
    int clip = 0;               // a chain may reuse clusters of an earlier clip that was deleted
    Deletion deleted = Deletion::None;
    bool scatter = false;
};

struct Allocation {
    std::vector<std::vector<int>> chains; // one per request, same order
    int usedClusters = 0;
    int freeClusters = 0;
    std::vector<int> unchained; // clusters 1 to used + free in no chain
};

Expected<Allocation> AllocateChains(const std::vector<ChainRequest>& requests,
                                    const DiskSpec& desc);

Sector BuildHeader(const DiskSpec& desc, int used, int free, int clips);

// Links in request order, so a later chain's entries replace those of a deleted one it reuses;
// a chain deleted with cleared entries leaves zeros.
std::vector<std::uint8_t> BuildClusterTable(const std::vector<ChainRequest>& requests,
                                            const std::vector<std::vector<int>>& chains);

struct RecordFields {
    int clipNo = 0;
    int lengthSeconds = 0;
    const StreamLayout* video = nullptr;
    const StreamLayout* audio = nullptr;
};

Expected<Sector> BuildRecord(const ClipSpec& clip, const RecordFields& fields);

} // namespace quorin::testdisk::detail
