// A cluster chain presented as one continuous bit and byte stream.
//
// Position 0 is the first byte of the chain's first cluster. The reader reads the volume in
// 64 KiB blocks, follows the chain from cluster to cluster and can jump to any bit position.
// Bits are consumed most significant first; multi-byte values are big-endian.
#pragma once

#include "disk/layout.h"
#include "platform/volume.h"

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quorin {

class ClusterTable;

// What the user is told when a stream's data could not be read: a read that failed (error set)
// or delivered nothing more (error 0) at a byte of the volume, or a chain that leaves the data
// area.
std::string ReadFailureText(const std::string& volume, std::int64_t diskByte, int error);
std::string BadClusterText(std::uint32_t cluster);
// A chain with fewer clusters than the stream needs (it ended, or returned to loopCluster).
std::string ChainShortText(std::size_t clusters, std::uint32_t loopCluster);

class CIBits {
public:
    static constexpr std::int32_t kBlockBytes = 65'536;
    static constexpr std::int32_t kBlockSectors = 128;
    static constexpr std::int32_t kBlocksPerCluster = 1'600;
    static constexpr std::int64_t kBlockBits = kBlockBytes * 8;

    // Opens the volume and walks the chain from firstCluster. Without a volume the reader holds
    // no clusters and reports the end of the stream on every read.
    CIBits(const std::string& driveName, const ClusterTable* table, std::uint32_t firstCluster);
    // The same, its reads sharing a memory of missing sectors (null: no salvage, a read error
    // ends the data).
    CIBits(const std::string& driveName, const ClusterTable* table, std::uint32_t firstCluster,
           std::shared_ptr<MissingSectors> missing);
    ~CIBits() = default;
    CIBits(const CIBits&) = delete;
    CIBits& operator=(const CIBits&) = delete;

    bool Rewind();
    bool RefillBuffer();
    std::int64_t GetBitPosition() const {
        return ((static_cast<std::int64_t>(m_lClusterIndex) * kClusterBytes +
                 static_cast<std::int64_t>(m_lBlockIndex - 1) * kBlockBytes + m_lBytePos) +
                1) *
                   8 -
               m_lBitsLeft;
    }
    // A failed seek leaves the reader at its end, which the next read reports.
    bool SeekBitPosition(std::int64_t bitPos);
    bool IsEOF() const { return m_bEOF; }
    void ClearEOF() { m_bEOF = false; }
    bool IsByteAligned() const { return m_lBitsLeft == 8; }

    std::uint32_t ReadBit();
    void TryReadBit(std::uint32_t& value) {
        if (!m_bEOF) value = ReadBit();
    }
    std::uint32_t ReadBits(int n);
    std::uint32_t PeekBits(int n);
    std::uint8_t ReadByte() {
        if (m_bEOF) return 0;
        std::uint8_t b = m_Buffer[m_lBytePos];
        AdvanceByte();
        return b;
    }
    void TryReadByte(std::uint8_t& value) { value = ReadByte(); }
    void SkipByte() { AdvanceByte(); }
    void SkipBytes(std::int64_t n);
    std::uint32_t Peek32();
    bool NextStartCode();
    bool NextStartCodeWithin(std::int64_t budget);

    // Bulk access for copy loops: the unread bytes of the current block (empty at the end or
    // when not byte-aligned), and a way to step over some of them.
    std::span<const std::uint8_t> BufferedBytes() const;
    void ConsumeBuffered(std::int32_t n);

    const std::vector<std::uint32_t>& Clusters() const { return m_lvecClusters; }
    std::int32_t ClusterIndex() const { return m_lClusterIndex; }
    bool HasVolume() const { return m_hDrive.IsValid(); }

    // Why the data last stopped (the end flag was set), and at which bit of the stream. Probes
    // may run into the end and reading goes on elsewhere, so this is the latest stop.
    enum class EndReason {
        kNone,
        kEndOfChain, // past the last cluster of the chain (or no chain at all)
        kDeviceEnd,  // the volume delivered nothing more (it ends, or a read came back short)
        kReadError,  // the volume could not be read, or not be opened
        kBadCluster, // the chain names a cluster outside the data area (0, or from 1,152 on)
    };
    EndReason LastEnd() const { return m_EndReason; }
    std::int64_t LastEndBit() const { return m_i64EndBit; }
    // A stretch of the stream the disk could not deliver (zeros stand in its place; see
    // VolumeHandle::ReadData). One stretch lies in one cluster, so it is one piece of the disk.
    struct Damage {
        std::int64_t begin; // stream bytes, end exclusive
        std::int64_t end;
        std::int64_t diskByte; // where begin lies on the disk
    };
    // The first damage that ends after the stream byte `from`, or null.
    const Damage* DamageFrom(std::int64_t from) const;
    std::vector<Damage> DamageIn(std::int64_t from, std::int64_t to) const;
    // The disk byte that holds a stream byte (-1 outside the chain).
    std::int64_t DiskByte(std::int64_t streamByte) const;

    // When the reader stands at the end and the data stopped before endBit (the stream's end as
    // recorded) for any reason but the end of the recorded data: what went wrong, for the user
    // ("read error at byte ... of <volume>: ..."). Empty otherwise. A volume may end inside the
    // stream's last sector (images need not be padded to whole sectors).
    std::string Shortfall(std::int64_t endBit) const;

private:
    void NoteEnd(EndReason reason, std::int64_t streamByte, std::int64_t diskByte, int error = 0);
    // A cluster the chain may name: 1 to 1,151.
    [[nodiscard]] bool CheckCluster(std::uint32_t cluster, std::int32_t index);
    std::int64_t BlockStreamByte() const {
        return static_cast<std::int64_t>(m_lClusterIndex) * kClusterBytes +
               static_cast<std::int64_t>(m_lBlockIndex) * kBlockBytes;
    }

    // Moves past the current byte, refilling at the end of a block.
    void AdvanceByte() {
        if (m_bEOF && m_lBytePos >= m_lBytesInBuffer) return; // nothing left to step over
        if (++m_lBytePos >= m_lBytesInBuffer) EndOfBlock();
    }
    void EndOfBlock();

    std::vector<std::uint32_t> m_lvecClusters;
    VolumeHandle m_hDrive;
    std::vector<std::uint8_t> m_Buffer;
    std::int32_t m_lBytePos = 0;
    std::int32_t m_lBitsLeft = 8;
    std::int32_t m_lBytesInBuffer = 0;
    std::int32_t m_lClusterIndex = 0;
    std::int32_t m_lBlockIndex = 0;
    bool m_bEOF = false;
    std::string m_strDriveName;
    EndReason m_EndReason = EndReason::kNone;
    std::int64_t m_i64EndBit = 0;
    std::int64_t m_i64EndDiskByte = 0;
    int m_iEndError = 0;
    std::uint32_t m_lLoopCluster = 0;           // the cluster the chain returned to (0: no loop)
    std::map<std::int64_t, Damage> m_mapDamage; // by end byte
};

} // namespace quorin
