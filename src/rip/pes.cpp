#include "rip/pes.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/layout.h"
#include "disk/pvr_file.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace quorin {
namespace {

struct KindTable {
    std::uint8_t kind[256] = {};
    KindTable() {
        kind[0xBD] = kKindPrivate1;
        kind[0xBF] = kKindPrivate2;
        for (int id = 0xC0; id <= 0xDF; ++id)
            kind[id] = kKindAudio;
        for (int id = 0xE0; id <= 0xEF; ++id)
            kind[id] = kKindVideo;
    }
};

bool Marker(CIBits& r) {
    return r.ReadBits(1) == 1;
}

std::uint32_t Flag(CIBits& r) {
    std::uint32_t v = 0;
    r.TryReadBit(v);
    return v;
}

// Offset of the first 00 00 01 id in bytes[from, n), or -1.
std::int64_t FindPacketStart(const std::uint8_t* bytes, std::int64_t from, std::int64_t n,
                             std::uint8_t id) {
    std::int64_t i = from + 2;
    while (i + 1 < n) {
        const void* hit = std::memchr(bytes + i, 0x01, static_cast<std::size_t>(n - 1 - i));
        if (!hit) return -1;
        std::int64_t j = static_cast<const std::uint8_t*>(hit) - bytes;
        if (bytes[j - 1] == 0 && bytes[j - 2] == 0 && bytes[j + 1] == id) return j - 2;
        i = j + 1;
    }
    return -1;
}

} // namespace

int StreamTypeOf(std::uint8_t streamId) {
    static const KindTable table;
    return table.kind[streamId];
}

const char* StreamKindLabel(int kind) {
    switch (kind) {
    case kKindPrivate1:
        return "PRIVATE_1 ";
    case kKindPrivate2:
        return "PRIVATE_2 ";
    case kKindAudio:
        return "AUDIO ";
    case kKindVideo:
        return "VIDEO ";
    default:
        return "";
    }
}

std::string PtsHex(std::int64_t pts) {
    return Format("%07" PRIX64, static_cast<std::uint64_t>(pts));
}

namespace {

// A system clock reference (of a pack header, or a PES packet's ESCR) after its leading bits:
// base 32..30, 29..15, 14..0 and the extension, each closed by a marker bit.
bool SkipClockReference(CIBits& r) {
    for (int bits : {3, 15, 15, 9}) {
        r.ReadBits(bits);
        if (!Marker(r)) return false;
    }
    return true;
}

} // namespace

bool CPackHeader::Parse(CIBits& r) {
    if (r.ReadBits(32) != 0x000001BA) return false;
    if (r.ReadBits(2) != 1) return false;
    if (!SkipClockReference(r)) return false;
    r.ReadBits(22);
    if (!Marker(r)) return false;
    if (!Marker(r)) return false;
    r.ReadBits(5);
    std::uint32_t stuffing = r.ReadBits(3);
    for (std::uint32_t i = 0; i < stuffing; ++i)
        if (r.ReadBits(8) != 0xFF) return false;
    return true;
}

CPESHeader::CPESHeader(CIBits& reader, std::uint8_t streamId) : m_StreamId(streamId) {
    std::int64_t entry = reader.GetBitPosition();
    m_bValid = Parse(reader);
    if (!m_bValid) reader.SeekBitPosition(entry);
}

bool CPESHeader::TimeStamp(CIBits& r, std::int64_t& value) {
    std::int64_t high = r.ReadBits(3);
    if (!Marker(r)) return false;
    std::int64_t middle = r.ReadBits(15);
    if (!Marker(r)) return false;
    std::int64_t low = r.ReadBits(15);
    if (!Marker(r)) return false;
    value = (high << 30) + (middle << 15) + low;
    return true;
}

bool CPESHeader::Parse(CIBits& r) {
    r.ReadBits(24); // the 00 00 01 prefix: callers parse only where they found it
    std::uint8_t id = 0;
    r.TryReadByte(id);
    if (id != m_StreamId) return false;
    m_lPES_packet_length = r.ReadBits(16);
    if (r.ReadBits(2) != 2) return false; // '10': MPEG-1 packets fail here
    r.ReadBits(3);                        // scrambling control, priority
    m_bDataAlignment = r.ReadBits(1) != 0;
    r.ReadBits(2); // copyright, original_or_copy
    m_lPTS_DTS_flags = r.ReadBits(2);
    m_bESCR = Flag(r) != 0;
    m_bESRate = Flag(r) != 0;
    m_bDSMTrick = Flag(r) != 0;
    m_bCopyInfo = Flag(r) != 0;
    m_bCRC = Flag(r) != 0;
    m_bExtension = Flag(r) != 0;
    std::uint8_t hdl = 0;
    r.TryReadByte(hdl);
    m_lPES_header_data_length = hdl;
    m_i64PTS = 0;
    m_i64DTS = 0;

    if (m_lPTS_DTS_flags == 2) {
        m_lUnderstood = 5;
        if (r.ReadBits(4) != 0x2) return false;
        if (!TimeStamp(r, m_i64PTS)) return false;
    } else if (m_lPTS_DTS_flags == 3) {
        m_lUnderstood = 10;
        if (r.ReadBits(4) != 0x3) return false;
        if (!TimeStamp(r, m_i64PTS)) return false;
        if (r.ReadBits(4) != 0x1) return false;
        if (!TimeStamp(r, m_i64DTS)) return false;
    } else {
        return false; // a packet without PTS is never valid here
    }

    if (m_bESCR) {
        m_lUnderstood += 6;
        r.ReadBits(2); // reserved
        if (!SkipClockReference(r)) return false;
    }
    if (m_bESRate) {
        m_lUnderstood += 3;
        if (!Marker(r)) return false;
        r.ReadBits(22);
        if (!Marker(r)) return false;
    }
    if (m_bDSMTrick) {
        m_lUnderstood += 1;
        r.ReadBits(8);
    }
    if (m_bCopyInfo) {
        if (!Marker(r)) return false;
        r.ReadBits(7);
        m_lUnderstood += 1;
    }
    if (m_bCRC) {
        r.ReadBits(16);
        m_lUnderstood += 2;
    }
    if (m_bExtension) {
        m_lUnderstood += 1;
        m_bPrivateData = Flag(r) != 0;
        m_bPackHeaderField = Flag(r) != 0;
        m_bSequenceCounter = Flag(r) != 0;
        m_bPSTDBuffer = Flag(r) != 0;
        r.ReadBits(3);
        m_bExtension2 = Flag(r) != 0;
        if (m_bPrivateData)
            for (int i = 0; i < 16; ++i)
                r.ReadBits(8);
        if (m_bPackHeaderField) {
            r.ReadBits(8); // pack_field_length
            if (!CPackHeader::Parse(r)) return false;
        }
        if (m_bSequenceCounter) {
            if (!Marker(r)) return false;
            r.ReadBits(7);
            if (!Marker(r)) return false;
            r.ReadBits(7);
        }
        if (m_bPSTDBuffer) {
            if (r.ReadBits(2) != 1) return false;
            r.ReadBits(14);
        }
        if (m_bExtension2) {
            if (!Marker(r)) return false;
            std::uint32_t n = r.ReadBits(7);
            for (std::uint32_t i = 0; i < n; ++i)
                r.ReadBits(8);
        }
    }

    int kind = StreamTypeOf(m_StreamId);
    if (kind == kKindVideo) r.NextStartCode();
    if (kind == kKindAudio && m_lUnderstood != 0) m_lPES_header_data_length = m_lUnderstood;
    return true;
}

std::int64_t ProbePacket(CIBits& reader, std::uint8_t s) {
    if (reader.Peek32() != 0x00000100u + s) return 0;
    CPESHeader header(reader, s);
    if (!header.IsValid()) return 0;
    if (StreamTypeOf(s) == kKindVideo) {
        std::uint32_t next = reader.Peek32();
        if (next != 0x000001B3 && next != 0x00000100) return 0;
    }
    return header.GetPTS();
}

std::int64_t WrapPTS(RipState& engine, std::int64_t pts) {
    if (pts != PTS_NONE && pts < engine.m_i64FirstPTS - 180'000) {
        engine.m_bPTSWrapped = true;
        return pts + kPtsWrap;
    }
    return pts;
}

std::int64_t WrapPTS(RipRun& run, std::int64_t pts) {
    return WrapPTS(run.State(), pts);
}

bool NextStartCodeBefore(CIBits& r, std::int64_t limitByte) {
    while (!r.IsByteAligned() && !r.IsEOF())
        r.ReadBit();
    // Up to two bytes just before the position, for a prefix that straddles two blocks.
    std::uint8_t prev[2] = {0xFF, 0xFF};
    int prevLen = 0;
    while (!r.IsEOF()) {
        std::int64_t pos = BytePosition(r);
        std::span<const std::uint8_t> buf = r.BufferedBytes();
        if (buf.empty()) return false;
        // Prefixes that begin in the bytes before the block.
        std::uint8_t head[4];
        int headLen = 0;
        for (int k = 2 - prevLen; k < 2; ++k)
            head[headLen++] = prev[k];
        for (std::size_t k = 0; k < buf.size() && headLen < 4; ++k)
            head[headLen++] = buf[k];
        for (int k = 0; k < prevLen && k + 2 < headLen; ++k) {
            if (head[k] == 0 && head[k + 1] == 0 && head[k + 2] == 1) {
                std::int64_t at = pos - prevLen + k;
                if (at >= limitByte) return false;
                return r.SeekBitPosition(at * 8);
            }
        }
        std::int64_t n = static_cast<std::int64_t>(buf.size());
        // Starts before the limit have their 0x01 before limit + 2 (no overflow for huge limits).
        std::int64_t room = limitByte - pos;
        std::int64_t window = room > n - 2 ? n : room + 2;
        if (window <= 0) return false;
        const std::uint8_t* b = buf.data();
        std::int64_t i = 2;
        while (i < window) {
            const void* hit = std::memchr(b + i, 0x01, static_cast<std::size_t>(window - i));
            if (!hit) break;
            std::int64_t j = static_cast<const std::uint8_t*>(hit) - b;
            if (b[j - 1] == 0 && b[j - 2] == 0) {
                r.ConsumeBuffered(static_cast<std::int32_t>(j - 2));
                return true;
            }
            i = j + 1;
        }
        if (limitByte - pos <= n - 2) {
            // Every start before the limit lay inside this block: stand on the limit.
            std::int64_t step = std::max<std::int64_t>(0, limitByte - pos);
            if (step > 0) r.ConsumeBuffered(static_cast<std::int32_t>(step));
            return false;
        }
        if (n >= 2) {
            prev[0] = b[n - 2];
            prev[1] = b[n - 1];
            prevLen = 2;
        } else {
            prev[0] = prevLen > 0 ? prev[1] : 0xFF;
            prev[1] = b[0];
            prevLen = std::min(prevLen + 1, 2);
        }
        r.ConsumeBuffered(static_cast<std::int32_t>(n));
    }
    return false;
}

std::int64_t GetNextPTS(RipRun& run, std::uint8_t s, CIBits& reader, std::uint32_t cluster,
                        std::int32_t index, std::int64_t offset, VolumeHandle& handle,
                        std::span<std::uint8_t> buffer, std::int64_t maxBytes) {
    run.StatusMessage("CPVRFile::GetNextPTS\n", true);
    run.StatusMessage(Format("Searching Cluster %d / StreamCluster %d - Offset %" PRId64 " - ",
                             static_cast<int>(cluster), index, offset),
                      true);
    std::int64_t pts = PTS_NONE;
    // The read starts on the sector that holds the offset; positions below count from there.
    std::int64_t base = offset / 512 * 512;
    std::int64_t want = std::clamp<std::int64_t>(
        std::min<std::int64_t>(maxBytes, static_cast<std::int64_t>(buffer.size())) -
            (offset - base),
        0, kStepBytes);
    std::int64_t got = 0;
    // Nothing outside the data area is read, whatever the chain names.
    if (want > 0 && IsDataCluster(cluster) &&
        SetToPhysicalSector(handle, ClusterStartSector(cluster) + offset / 512)) {
        got = handle.ReadData(buffer.first(static_cast<std::size_t>(want)));
        if (got < 0) got = 0;
    }
    // Only the bytes this read delivered are searched: the rest of the buffer holds older data.
    std::int64_t c = 0;
    while (c <= got - 4) {
        std::int64_t at = FindPacketStart(buffer.data(), c, got, s);
        if (at < 0) break;
        // A probe's outcome must not depend on an end flag left by an earlier probe.
        reader.ClearEOF();
        if (reader.SeekBitPosition(static_cast<std::int64_t>(index) * kClusterBits +
                                   (base + at) * 8)) {
            CPESHeader header(reader, s);
            pts = header.GetPTS();
            if (pts != PTS_NONE) break;
        }
        c = at + 4;
    }
    run.StatusMessage("PTS found: 0x" + PtsHex(pts) + "\n", true);
    return pts;
}

bool GetStreamIDs(RipRun& run, CIBits& r, std::uint8_t& streamId, std::int32_t& skipSectors) {
    streamId = 0;
    LogLine("GetStreamIDs");
    LogText("try to rewind");
    if (!r.Rewind()) {
        LogLine("... failed...");
        return false;
    }
    LogLine("... okay");
    run.StatusMessage("Finding Stream ID", true);
    r.SeekBitPosition(static_cast<std::int64_t>(skipSectors) * 4096);
    while (!r.IsEOF() && NextStartCodeBefore(r, BytePosition(r) + kClusterBytes - 2)) {
        if (run.IsCancelled()) return false;
        for (int id = 0xBD; id <= 0xEF; ++id) {
            int kind = StreamTypeOf(static_cast<std::uint8_t>(id));
            if (kind == kKindNone) continue;
            std::int64_t pts = ProbePacket(r, static_cast<std::uint8_t>(id));
            if (pts == 0) continue;
            bool video = run.VideoActive();
            if ((video && kind == kKindVideo) || (!video && kind != kKindVideo)) {
                streamId = static_cast<std::uint8_t>(id);
                return true;
            }
        }
        r.SkipByte();
    }
    run.StatusMessage("Stream ID not found", true);
    skipSectors = std::max(skipSectors - 2, 0);
    return false;
}

bool FirstPTS(RipRun& run, CIBits& r, std::uint8_t s, std::int64_t& first) {
    int kind = StreamTypeOf(s);
    Log() << endl << "FirstPTS " << StreamKindLabel(kind) << hex << (0x100 + s) << endl;
    LogText("try to rewind");
    if (!r.Rewind()) {
        LogLine("...failed returning");
        return false;
    }
    LogLine("...okay");
    std::int64_t skipBits = static_cast<std::int64_t>(run.State().m_lSkipSectors) * 4096;
    r.SeekBitPosition(skipBits);
    run.StatusMessage(Format("Finding PTS.... skipped %" PRId64 " Bytes", skipBits), true);
    if (run.IsCancelled()) return false;

    const std::uint32_t code = 0x00000100u + s;
    std::int64_t candidate = PTS_NONE;
    bool armed = false;
    while (!r.IsEOF()) {
        if (r.Peek32() == code) {
            CPESHeader header(r, s);
            candidate = header.GetPTS();
            if (header.IsValid() && candidate != 0) {
                if (kind == kKindVideo) {
                    std::uint32_t next = r.Peek32();
                    // A PTS alone arms (a stream without B pictures carries no DTS).
                    if (next == 0x00000100 || next == 0x000001B3) {
                        armed = true;
                        Log() << "found PTS " << static_cast<double>(first) << endl;
                        LogLine(" waiting... for 0x000001B3");
                    }
                } else if (std::llabs(candidate - first) < 0x80000 || first == PTS_NONE) {
                    first = candidate;
                    Log() << "found PTS " << static_cast<double>(candidate) << endl;
                    LogLine(" audio pts... means doodeldee... gotit!!! -> return");
                    return true;
                }
            }
        }
        if (armed && r.Peek32() == 0x000001B3) {
            if (std::llabs(candidate - first) < 0x100000 || first == PTS_NONE) {
                first = candidate;
                run.StatusMessage("got 0x000001B3 after PTS " + PtsHex(candidate) + " ... return\n",
                                  true);
                return true;
            }
            armed = false;
        } else {
            // Only a 00 00 01 prefix can start anything this loop acts on.
            r.SkipByte();
            NextStartCodeBefore(r, INT64_MAX);
        }
        if (run.IsCancelled()) return false;
    }
    LogLine("could not find any PTS that suites... return");
    return false;
}

} // namespace quorin
