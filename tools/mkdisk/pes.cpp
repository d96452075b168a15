#include "pes.h"

#include "testdisk.h"

namespace quorin::testdisk::detail {
namespace {

// 4-bit prefix, then bits 32..30, 29..15 and 14..0, each followed by a marker bit.
void AppendTimeStamp(std::vector<std::uint8_t>& out, unsigned prefix, std::int64_t value) {
    const auto ts = static_cast<std::uint64_t>(WrapPts(value));
    out.push_back(static_cast<std::uint8_t>((prefix << 4) | ((ts >> 29) & 0x0E) | 1));
    out.push_back(static_cast<std::uint8_t>(ts >> 22));
    out.push_back(static_cast<std::uint8_t>(((ts >> 14) & 0xFE) | 1));
    out.push_back(static_cast<std::uint8_t>(ts >> 7));
    out.push_back(static_cast<std::uint8_t>(((ts << 1) & 0xFE) | 1));
}

} // namespace

int HeaderDataLength(const PesHeader& header) {
    return (header.dts ? 10 : 5) + header.stuffingBytes;
}

std::size_t MaxPayload(const PesHeader& header) {
    // PES_packet_length counts the bytes after itself: 3 flag/length bytes,
    // the header data and the payload.
    return kMaxPesPacketLength - 3 - static_cast<std::size_t>(HeaderDataLength(header));
}

void AppendPesHeader(std::vector<std::uint8_t>& out, const PesHeader& header,
                     std::size_t payloadBytes) {
    const int dataLength = HeaderDataLength(header);
    const std::size_t packetLength = 3 + static_cast<std::size_t>(dataLength) + payloadBytes;
    out.insert(out.end(), {0x00, 0x00, 0x01, header.streamId});
    out.push_back(static_cast<std::uint8_t>(packetLength >> 8));
    out.push_back(static_cast<std::uint8_t>(packetLength));
    out.push_back(0x84); // '10', not scrambled, data_alignment_indicator set
    out.push_back(header.dts ? 0xC0 : 0x80);
    out.push_back(static_cast<std::uint8_t>(dataLength));
    AppendTimeStamp(out, header.dts ? 0x3 : 0x2, header.pts);
    if (header.dts) AppendTimeStamp(out, 0x1, *header.dts);
    out.insert(out.end(), static_cast<std::size_t>(header.stuffingBytes), 0xFF);
}

} // namespace quorin::testdisk::detail
