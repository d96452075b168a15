// A cluster chain presented as one continuous bit and byte stream.
//
// Position 0 is the first byte of the chain's first cluster. The reader reads the volume in
// 64 KiB blocks, follows the chain from cluster to cluster and can jump to any bit position.
// Bits are consumed most significant first; multi-byte values are big-endian.
#pragma once

#include "platform/volume.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorin {

class ClusterTable;

class CIBits {
public:
    static constexpr std::int32_t kBlockBytes = 65'536;
    static constexpr std::int32_t kBlockSectors = 128;
    static constexpr std::int32_t kBlocksPerCluster = 1'600;
    static constexpr std::int64_t kBlockBits = kBlockBytes * 8;

    // Opens the volume and walks the chain from firstCluster. Without a volume the reader holds
    // no clusters and reports the end of the stream on every read.
    CIBits(const std::string& driveName, const ClusterTable* table, std::uint32_t firstCluster);
    virtual ~CIBits() = default;
    CIBits(const CIBits&) = delete;
    CIBits& operator=(const CIBits&) = delete;

    bool Rewind();
    bool RefillBuffer();
    std::int64_t GetBitPosition() const {
        return ((static_cast<std::int64_t>(m_lClusterIndex) * 104'857'600 +
                 static_cast<std::int64_t>(m_lBlockIndex - 1) * kBlockBytes + m_lBytePos) +
                1) *
                   8 -
               m_lBitsLeft;
    }
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

private:
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
};

} // namespace quorin
