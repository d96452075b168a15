// PES packet headers and presentation time stamps: the header parser, the stream
// kinds, and the scans that find a chain's stream id, its first time stamp and the time stamp
// that follows a disk offset.
#pragma once

#include "disk/ibits.h"
#include "platform/volume.h"
#include "rip/rip_run.h"

#include <cstdint>
#include <span>
#include <string>

namespace quorin {

class RipRun;

inline constexpr std::int64_t kPtsWrap = std::int64_t{1} << 33; // 8,589,934,592
inline constexpr std::int64_t kTicksPerSecond = 90'000;
inline constexpr std::int64_t kStepBytes = 1'048'576; // one probe, one chunk

enum StreamKind : int {
    kKindNone = 0,
    kKindPrivate1 = 1,
    kKindPrivate2 = 2,
    kKindAudio = 3,
    kKindVideo = 4,
};

// The kind of a stream id byte (the fourth byte of 00 00 01 id).
int StreamTypeOf(std::uint8_t streamId);
// "PRIVATE_1 ", "PRIVATE_2 ", "AUDIO ", "VIDEO " or "".
const char* StreamKindLabel(int kind);

// "%07I64X": at least seven upper-case hex digits; PTS_NONE prints as sixteen F.
std::string PtsHex(std::int64_t pts);

// The pack header a PES extension may carry; only whether it parses matters.
class CPackHeader {
public:
    static bool Parse(CIBits& reader);
};

// One parsed packet header. Any failure puts the reader back where it was and leaves the header
// invalid. For VIDEO the reader ends on the first start code of the payload; for the other kinds
// it stands right after the understood header fields.
class CPESHeader {
public:
    CPESHeader(CIBits& reader, std::uint8_t streamId);

    bool IsValid() const { return m_bValid; }
    std::int64_t GetPTS() const { return m_bValid ? m_i64PTS : PTS_NONE; }
    std::int64_t GetDTS() const { return m_i64DTS; }
    bool HasPTSandDTS() const { return m_bValid && m_lPTS_DTS_flags == 3; }
    std::uint32_t PacketLength() const { return m_lPES_packet_length; }
    std::uint32_t HeaderDataLength() const { return m_lPES_header_data_length; }
    std::uint32_t Understood() const { return m_lUnderstood; }
    std::uint32_t PTS_DTS_flags() const { return m_lPTS_DTS_flags; }
    bool DataAlignment() const { return m_bDataAlignment; }
    bool ESCRFlag() const { return m_bESCR; }
    bool ESRateFlag() const { return m_bESRate; }
    bool CRCFlag() const { return m_bCRC; }
    bool ExtensionFlag() const { return m_bExtension; }

private:
    bool Parse(CIBits& r);
    static bool TimeStamp(CIBits& r, std::int64_t& value);

    std::uint8_t m_StreamId;
    bool m_bValid = false;
    std::uint32_t m_lPES_packet_length = 0;
    bool m_bDataAlignment = false;
    std::uint32_t m_lPTS_DTS_flags = 0;
    bool m_bESCR = false, m_bESRate = false, m_bDSMTrick = false, m_bCopyInfo = false;
    bool m_bCRC = false, m_bExtension = false;
    std::uint32_t m_lPES_header_data_length = 0;
    std::int64_t m_i64PTS = 0;
    std::int64_t m_i64DTS = 0;
    bool m_bPrivateData = false, m_bPackHeaderField = false, m_bSequenceCounter = false;
    bool m_bPSTDBuffer = false, m_bExtension2 = false;
    std::uint32_t m_lUnderstood = 0;
};

// The PTS of a valid packet of stream s at the reader position, or 0 for none. The reader is left
// where the parse left it.
std::int64_t ProbePacket(CIBits& reader, std::uint8_t streamId);

// The wrap rule: a stamp below the clip's reference first PTS - 180,000 has passed 2^33; it is
// lifted by 2^33 and m_bPTSWrapped is set. PTS_NONE stays.
std::int64_t WrapPTS(RipState& engine, std::int64_t pts);
std::int64_t WrapPTS(RipRun& run, std::int64_t pts);

// Reads up to maxBytes (at most 1 MiB) at byte offset `offset` of cluster `cluster` (index
// `index` of the stream's chain) with its own handle, and returns the PTS of the first packet of
// the stream found in the bytes the read delivered, or PTS_NONE.
std::int64_t GetNextPTS(RipRun& run, std::uint8_t streamId, CIBits& reader, std::uint32_t cluster,
                        std::int32_t index, std::int64_t offset, VolumeHandle& handle,
                        std::span<std::uint8_t> buffer, std::int64_t maxBytes = kStepBytes);

// Finds the id of the stream the active stream flag asks for. Nothing found lowers the start
// offset by 2 sectors (not below 0).
bool GetStreamIDs(RipRun& run, CIBits& reader, std::uint8_t& streamId, std::int32_t& skipSectors);

// Finds the first usable PTS of the stream; true when one was fixed in firstPts.
bool FirstPTS(RipRun& run, CIBits& reader, std::uint8_t streamId, std::int64_t& firstPts);

// Moves the reader to the next 00 00 01 prefix that starts before byte `limitByte` of the
// stream (scanning whole blocks in memory). False, with the reader at the limit or at the end,
// when there is none.
bool NextStartCodeBefore(CIBits& reader, std::int64_t limitByte);

// Byte position of the reader (it must be byte-aligned).
inline std::int64_t BytePosition(const CIBits& reader) {
    return reader.GetBitPosition() / 8;
}

} // namespace quorin
