// The receiver's cluster allocation table and the chains it links.
#pragma once

#include "base/text_out.h"
#include "platform/volume.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quorin {

class ClusterTable {
public:
    // Reads the table from sectors 1 to 9; ok is true only when all 4,608 bytes were read.
    ClusterTable(const std::string& volumeName, bool& ok);
    // A table held in memory (4,608 bytes as on the disk), for chains no disk table links.
    explicit ClusterTable(std::vector<std::uint8_t> tableBytes);
    ~ClusterTable() = default;
    ClusterTable(const ClusterTable&) = delete;
    ClusterTable& operator=(const ClusterTable&) = delete;

    bool HasTable() const { return !table_.empty(); }
    // Why the table could not be read: the system's error number of a failed read, 0 when the
    // volume simply ended inside it (or could not be opened).
    int ReadError() const { return readError_; }

    // The chain from the first cluster, in order, without the 0xFFFF terminator. A link of 0 or
    // out of range ends the chain after being emitted; at most 1,151 numbers are emitted.
    std::vector<std::uint32_t> GetClusterChain(std::uint32_t firstCluster) const;
    // Appends the chain to the list and writes it in hexadecimal to the log and the trace.
    void DumpClusters(std::uint32_t firstCluster, std::vector<std::uint32_t>& list) const;
    // Writes " <cluster>" for each cluster in hexadecimal, then ends the line.
    void PrintClusterChain(TextOut& out, std::uint32_t firstCluster) const;

    // The link stored for a cluster (0xFFFF ends a chain).
    std::uint16_t Link(std::uint32_t cluster) const;

private:
    VolumeHandle handle_;
    std::vector<std::uint8_t> table_;
    int readError_ = 0;
};

// Ends a chain before the first cluster it returns to (no stream holds a cluster twice); returns
// that cluster, or 0 when the chain does not loop.
std::uint32_t CutChainLoop(std::vector<std::uint32_t>& chain);

} // namespace quorin
