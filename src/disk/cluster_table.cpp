#include "disk/cluster_table.h"

#include "base/program_log.h"
#include "disk/layout.h"

#include <cerrno>

namespace quorin {

ClusterTable::ClusterTable(const std::string& volumeName, bool& ok) {
    ok = false;
    if (!OpenDrive(volumeName, handle_)) return;
    std::vector<std::uint8_t> table(kTableBytes, 0);
    if (!handle_.Seek(512)) return;
    if (const std::int64_t n = handle_.Read(table); n != kTableBytes) {
        if (n < 0) readError_ = errno;
        return;
    }
    table_ = std::move(table);
    ok = true;
}

ClusterTable::ClusterTable(std::vector<std::uint8_t> tableBytes) {
    if (tableBytes.size() == static_cast<std::size_t>(kTableBytes)) table_ = std::move(tableBytes);
}

std::uint16_t ClusterTable::Link(std::uint32_t cluster) const {
    if (table_.empty() || cluster >= kTableEntries) return kChainEnd;
    std::size_t at = static_cast<std::size_t>(cluster) * 4;
    return static_cast<std::uint16_t>(table_[at] | (table_[at + 1] << 8));
}

std::vector<std::uint32_t> ClusterTable::GetClusterChain(std::uint32_t firstCluster) const {
    std::vector<std::uint32_t> chain;
    if (table_.empty()) return chain; // no table, no chain
    std::uint32_t c = firstCluster;
    while (static_cast<int>(chain.size()) < kMaxChainLength) {
        chain.push_back(c);
        if (c == 0 || c >= kTableEntries) break;
        std::uint16_t link = Link(c);
        if (link == kChainEnd) break;
        c = link;
    }
    return chain;
}

std::uint32_t CutChainLoop(std::vector<std::uint32_t>& chain) {
    std::vector<bool> seen(kTableEntries, false);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const std::uint32_t c = chain[i];
        if (c >= static_cast<std::uint32_t>(kTableEntries)) break;
        if (seen[c]) {
            Log() << "the chain returns to cluster " << c << " after " << i << " clusters" << endl;
            chain.resize(i);
            return c;
        }
        seen[c] = true;
    }
    return 0;
}

void ClusterTable::DumpClusters(std::uint32_t firstCluster,
                                std::vector<std::uint32_t>& list) const {
    Log() << "Dump clusters...";
    Trace() << "Dump clusters...";
    Log() << hex;
    Trace() << hex;
    for (std::uint32_t c : GetClusterChain(firstCluster)) {
        Log() << " " << c;
        Trace() << " " << c;
        list.push_back(c);
    }
    Log() << endl << dec;
    Trace() << endl << dec;
}

void ClusterTable::PrintClusterChain(TextOut& out, std::uint32_t firstCluster) const {
    out << hex;
    for (std::uint32_t c : GetClusterChain(firstCluster))
        out << " " << c;
    out << endl << dec;
}

} // namespace quorin
