#include "disk/ibits.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/layout.h"

#include <cerrno>
#include <cstring>

namespace quorin {

std::string ReadFailureText(const std::string& volume, std::int64_t diskByte, int error) {
    const auto at = static_cast<long long>(diskByte);
    if (error != 0)
        return Format("read error at byte %lld of ", at) + volume + ": " + SystemErrorText(error);
    return Format("read error: no data from byte %lld of ", at) + volume +
           " on, the disk ends before the end of the stream";
}

std::string ChainShortText(std::size_t clusters, std::uint32_t loopCluster) {
    if (loopCluster != 0)
        return Format("the cluster chain returns to cluster %u after %zu clusters, before the end "
                      "of the stream",
                      loopCluster, clusters);
    return Format("the cluster chain ends after %zu clusters, before the end of the stream",
                  clusters);
}

std::string BadClusterText(std::uint32_t cluster) {
    return Format("the cluster chain leads to cluster %u, which is not a data cluster", cluster);
}

CIBits::CIBits(const std::string& driveName, const ClusterTable* table, std::uint32_t firstCluster)
    : CIBits(driveName, table, firstCluster, NewMissingSectors()) {}

CIBits::CIBits(const std::string& driveName, const ClusterTable* table, std::uint32_t firstCluster,
               std::shared_ptr<MissingSectors> missing)
    : m_strDriveName(driveName) {
    // The buffer always exists, so that a reader without a volume reads a harmless zero; its
    // extra last byte is where the position rests after the end of a full block.
    m_Buffer.assign(kBlockBytes + 1, 0);
    if (!OpenDrive(driveName, m_hDrive)) {
        NoteEnd(EndReason::kReadError, 0, -1, errno);
        m_bEOF = true;
        return;
    }
    m_hDrive.ShareMissing(std::move(missing));
    if (table) table->DumpClusters(firstCluster, m_lvecClusters);
    m_lLoopCluster = CutChainLoop(m_lvecClusters);
    Rewind();
}

bool CIBits::Rewind() {
    LogLine("CIBits::Rewind()\n");
    if (m_lvecClusters.empty()) NoteEnd(EndReason::kEndOfChain, 0, -1);
    if (!m_lvecClusters.empty() && m_hDrive.IsValid() && CheckCluster(m_lvecClusters.front(), 0) &&
        SetToPhysicalSector(m_hDrive, ClusterStartSector(m_lvecClusters.front()))) {
        m_lClusterIndex = 0;
        m_lBlockIndex = 0;
        m_lBytePos = 0;
        m_lBitsLeft = 8;
        if (RefillBuffer()) {
            m_bEOF = false;
            LogLine("end of CIBits::Rewind()\n");
            return true;
        }
        LogLine("RefillBuffer() failed\n");
    }
    m_bEOF = true;
    return false;
}

bool CIBits::RefillBuffer() {
    if (!m_hDrive.IsValid()) return false;
    if (static_cast<std::int64_t>(m_lBlockIndex) * kBlockSectors == kClusterSectors) {
        ++m_lClusterIndex;
        if (m_lClusterIndex >= static_cast<std::int32_t>(m_lvecClusters.size())) {
            Log() << "RefillBuffer() - m_lClusterIndex = " << m_lClusterIndex
                  << " >= (long) m_lvecClusters.size() = " << m_lvecClusters.size() << " failed"
                  << endl;
            NoteEnd(EndReason::kEndOfChain, std::int64_t{m_lClusterIndex} * kClusterBytes, -1);
            return false;
        }
        std::uint32_t cluster = m_lvecClusters[static_cast<std::size_t>(m_lClusterIndex)];
        Log() << "goto next cluster " << m_lClusterIndex << "/" << cluster << endl;
        m_lBlockIndex = 0;
        if (!CheckCluster(cluster, m_lClusterIndex)) return false;
        if (!SetToPhysicalSector(m_hDrive, ClusterStartSector(cluster))) return false;
    }
    const std::int64_t diskByte = m_hDrive.Position();
    std::int64_t n = m_hDrive.ReadData(std::span(m_Buffer.data(), kBlockBytes));
    for (const MissingRange& m :
         m_hDrive.MissingIn(diskByte, diskByte + std::max<std::int64_t>(n, 0))) {
        Damage d{BlockStreamByte() + (m.begin - diskByte), 0, m.begin};
        d.end = d.begin + (m.end - m.begin);
        // A stretch that goes on from the previous block is one stretch.
        if (auto prev = m_mapDamage.find(d.begin);
            prev != m_mapDamage.end() &&
            prev->second.diskByte + (d.begin - prev->second.begin) == m.begin) {
            d.begin = prev->second.begin;
            d.diskByte = prev->second.diskByte;
            m_mapDamage.erase(prev);
        }
        m_mapDamage[d.end] = d;
    }
    if (n <= 0) {
        NoteEnd(n < 0 ? EndReason::kReadError : EndReason::kDeviceEnd, BlockStreamByte(), diskByte,
                n < 0 ? errno : 0);
        return false;
    }
    m_lBytesInBuffer = static_cast<std::int32_t>(n);
    m_lBitsLeft = 8;
    m_lBytePos = 0;
    ++m_lBlockIndex;
    return true;
}

void CIBits::EndOfBlock() {
    // The position stays one past the last byte (at most the spare byte) once the end is seen.
    if (m_lBytesInBuffer != kBlockBytes) {
        m_bEOF = true; // the last read was short: end of the device
        NoteEnd(EndReason::kDeviceEnd, BlockStreamByte() - kBlockBytes + m_lBytesInBuffer,
                m_hDrive.Position());
        return;
    }
    if (!RefillBuffer()) m_bEOF = true;
}

bool CIBits::SeekBitPosition(std::int64_t p) {
    if (m_bEOF) return false;
    if (p < 0) {
        m_bEOF = true;
        return false;
    }
    std::int64_t c = p / kClusterBits;
    if (c >= static_cast<std::int64_t>(m_lvecClusters.size())) {
        NoteEnd(EndReason::kEndOfChain,
                static_cast<std::int64_t>(m_lvecClusters.size()) * kClusterBytes, -1);
        m_bEOF = true;
        return false;
    }
    std::int64_t r = p - c * kClusterBits;
    std::int64_t b = r / kBlockBits;
    std::int64_t q = r - b * kBlockBits;
    if (!(b == m_lBlockIndex - 1 && c == m_lClusterIndex)) {
        std::uint32_t cluster = m_lvecClusters[static_cast<std::size_t>(c)];
        if (!CheckCluster(cluster, static_cast<std::int32_t>(c)) ||
            !SetToPhysicalSector(m_hDrive, ClusterStartSector(cluster) + b * kBlockSectors)) {
            m_bEOF = true;
            return false;
        }
        m_lClusterIndex = static_cast<std::int32_t>(c);
        m_lBlockIndex = static_cast<std::int32_t>(b);
        if (!RefillBuffer()) {
            m_bEOF = true;
            return false;
        }
    }
    std::int32_t bytePos = static_cast<std::int32_t>(q / 8);
    if (bytePos >= m_lBytesInBuffer) {
        // Inside a short block but beyond what the device delivered.
        NoteEnd(EndReason::kDeviceEnd, BlockStreamByte() - kBlockBytes + m_lBytesInBuffer,
                m_hDrive.Position());
        m_bEOF = true;
        return false;
    }
    m_lBytePos = bytePos;
    m_lBitsLeft = 8 - static_cast<std::int32_t>(q % 8);
    return true;
}

std::uint32_t CIBits::ReadBit() {
    std::uint32_t bit = (m_Buffer[m_lBytePos] >> (m_lBitsLeft - 1)) & 1u;
    if (--m_lBitsLeft == 0) {
        m_lBitsLeft = 8;
        AdvanceByte();
    }
    return bit;
}

std::uint32_t CIBits::ReadBits(int n) {
    std::uint32_t value = 0;
    if (!IsByteAligned() || n % 8 != 0) {
        for (int i = 0; i < n; ++i)
            value = (value << 1) | ReadBit();
        return value;
    }
    for (int i = 0; i < n / 8; ++i) {
        if (m_bEOF) break;
        value = (value << 8) | ReadByte();
    }
    return value;
}

std::uint32_t CIBits::PeekBits(int n) {
    std::int64_t pos = GetBitPosition();
    std::uint32_t value = ReadBits(n);
    SeekBitPosition(pos);
    return value;
}

void CIBits::SkipBytes(std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i)
        SkipByte();
}

std::uint32_t CIBits::Peek32() {
    // Fast path: all four bytes in the current block.
    if (!m_bEOF && m_lBytePos + 4 <= m_lBytesInBuffer) {
        const std::uint8_t* p = m_Buffer.data() + m_lBytePos;
        return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
               (std::uint32_t{p[2]} << 8) | p[3];
    }
    std::int64_t pos = GetBitPosition();
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | ReadByte();
    SeekBitPosition(pos);
    return value;
}

namespace {

// Index of the first 01 byte in block that ends a 00 00 01 prefix, the bytes before the block
// being the low two bytes of last; -1 if the block holds none.
std::int64_t FindPrefixEnd(std::span<const std::uint8_t> block, std::uint32_t last) {
    const std::uint8_t* p = block.data();
    const std::size_t n = block.size();
    for (std::size_t from = 0; from < n;) {
        const void* hit = std::memchr(p + from, 0x01, n - from);
        if (!hit) return -1;
        const std::size_t k = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
        const std::uint8_t b1 = k >= 1 ? p[k - 1] : static_cast<std::uint8_t>(last);
        const std::uint8_t b2 = k >= 2   ? p[k - 2]
                                : k == 1 ? static_cast<std::uint8_t>(last)
                                         : static_cast<std::uint8_t>(last >> 8);
        if (b1 == 0 && b2 == 0) return static_cast<std::int64_t>(k);
        from = k + 1;
    }
    return -1;
}

} // namespace

bool CIBits::NextStartCode() {
    while (!IsByteAligned())
        ReadBit();
    std::uint32_t w = ReadBits(24); // the last three bytes read
    while (w != 0x000001) {
        if (m_bEOF) return false;
        std::span<const std::uint8_t> block = BufferedBytes();
        if (block.empty()) {
            w = ((w & 0xFFFF) << 8) | ReadByte();
            continue;
        }
        // Long stretches without a start code (padding, zeroed or damaged sectors) are common:
        // jump from one 01 byte of the block to the next instead of stepping byte by byte.
        const std::int64_t at = FindPrefixEnd(block, w);
        const std::size_t used = at < 0 ? block.size() : static_cast<std::size_t>(at) + 1;
        for (std::size_t i = used > 3 ? used - 3 : 0; i < used; ++i)
            w = ((w & 0xFFFF) << 8) | block[i];
        ConsumeBuffered(static_cast<std::int32_t>(used));
    }
    return SeekBitPosition(GetBitPosition() - 24);
}

bool CIBits::NextStartCodeWithin(std::int64_t n) {
    while (!IsByteAligned())
        ReadBit();
    std::uint32_t w = ReadBits(24);
    std::int64_t budget = n - 2;
    if (budget <= 0) return false;
    do {
        --budget;
        if (w == 0x000001) return SeekBitPosition(GetBitPosition() - 24);
        if (m_bEOF) return false;
        w = ((w & 0xFFFF) << 8) | ReadByte();
    } while (budget != 0);
    return false;
}

std::span<const std::uint8_t> CIBits::BufferedBytes() const {
    if (m_bEOF || !IsByteAligned() || m_lBytePos >= m_lBytesInBuffer) return {};
    return std::span<const std::uint8_t>(m_Buffer.data() + m_lBytePos,
                                         static_cast<std::size_t>(m_lBytesInBuffer - m_lBytePos));
}

void CIBits::ConsumeBuffered(std::int32_t n) {
    // Step over n - 1 bytes in place, then advance normally so block ends are handled once.
    if (n <= 0) return;
    m_lBytePos += n - 1;
    AdvanceByte();
}

const CIBits::Damage* CIBits::DamageFrom(std::int64_t from) const {
    auto it = m_mapDamage.upper_bound(from);
    return it == m_mapDamage.end() ? nullptr : &it->second;
}

std::vector<CIBits::Damage> CIBits::DamageIn(std::int64_t from, std::int64_t to) const {
    std::vector<Damage> out;
    for (auto it = m_mapDamage.upper_bound(from); it != m_mapDamage.end() && it->second.begin < to;
         ++it)
        out.push_back(it->second);
    return out;
}

std::int64_t CIBits::DiskByte(std::int64_t streamByte) const {
    const std::int64_t c = streamByte / kClusterBytes;
    if (streamByte < 0 || c >= static_cast<std::int64_t>(m_lvecClusters.size())) return -1;
    return ClusterStartSector(m_lvecClusters[static_cast<std::size_t>(c)]) * 512 +
           streamByte % kClusterBytes;
}

void CIBits::NoteEnd(EndReason reason, std::int64_t streamByte, std::int64_t diskByte, int error) {
    m_EndReason = reason;
    m_i64EndBit = streamByte * 8;
    m_i64EndDiskByte = diskByte;
    m_iEndError = error;
}

bool CIBits::CheckCluster(std::uint32_t cluster, std::int32_t index) {
    if (IsDataCluster(cluster)) return true;
    LogLine(BadClusterText(cluster));
    NoteEnd(EndReason::kBadCluster, static_cast<std::int64_t>(index) * kClusterBytes, -1);
    m_iEndError = static_cast<int>(cluster);
    return false;
}

std::string CIBits::Shortfall(std::int64_t endBit) const {
    if (!m_bEOF || m_EndReason == EndReason::kNone) return {};
    // Bits of the last sector the device need not deliver.
    const std::int64_t slack = m_EndReason == EndReason::kDeviceEnd ? 4096 : 0;
    if (m_i64EndBit >= endBit - slack) return {};
    switch (m_EndReason) {
    case EndReason::kReadError:
        if (m_i64EndDiskByte < 0)
            return "could not open " + m_strDriveName + ": " + SystemErrorText(m_iEndError);
        return ReadFailureText(m_strDriveName, m_i64EndDiskByte, m_iEndError);
    case EndReason::kDeviceEnd:
        return ReadFailureText(m_strDriveName, m_i64EndDiskByte, 0);
    case EndReason::kEndOfChain:
        return ChainShortText(m_lvecClusters.size(), m_lLoopCluster);
    case EndReason::kBadCluster:
        return BadClusterText(static_cast<std::uint32_t>(m_iEndError));
    case EndReason::kNone:
        break;
    }
    return {};
}

} // namespace quorin
