// The search for the start of a cut by presentation time stamp.
#pragma once

#include <cstdint>

namespace quorin {

class RipRun;
class CIBits;

// What one search did, for tests and measurements.
struct StartSearchStats {
    int probes = 0;               // 1 MiB reads of the volume
    int corrections = 0;          // correction steps of the byte-rate search
    int backoffs = 0;             // 1 MiB steps back of the byte-rate search
    bool byteRate = false;        // the byte-rate search placed the reader
    bool clusterShare = false;    // the search from the cluster share ran
    bool rewound = false;         // the search from the cluster share gave up and rewound
    std::int64_t landingByte = 0; // reader position (bytes into the chain) at the end
};

// Places the reader a little before the first packet (in decode order) whose PTS reaches S,
// reading only a few 1 MiB blocks. firstCluster and clusters describe the stream's chain (first
// cluster and `VClusters`/`AClusters`). False only when the volume cannot be opened.
[[nodiscard]] bool SearchForStart(RipRun& run, std::int64_t S, CIBits& reader,
                                  std::uint8_t streamId, std::uint32_t firstCluster,
                                  std::int32_t clusters, StartSearchStats* stats = nullptr);

} // namespace quorin
