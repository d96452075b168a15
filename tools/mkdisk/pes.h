// PES packet headers in the MPEG-2 syntax (ISO/IEC 13818-1).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quorin::testdisk::detail {

inline constexpr std::uint8_t kVideoStreamId = 0xE0;
inline constexpr std::uint8_t kMpegAudioStreamId = 0xC0;
inline constexpr std::uint8_t kPrivateStream1Id = 0xBD;
inline constexpr std::size_t kMaxPesPacketLength = 0xFFFF;
inline constexpr std::size_t kPesFixedBytes = 9; // start code, length, flag bytes, header length

struct PesHeader {
    std::uint8_t streamId = 0;
    std::int64_t pts = 0;
    std::optional<std::int64_t> dts;
    int stuffingBytes = 0;
};

// Header data length (after the fixed nine bytes) for these fields.
int HeaderDataLength(const PesHeader& header);

// Largest payload a single packet with this header can carry.
std::size_t MaxPayload(const PesHeader& header);

// Appends the header of a packet carrying `payloadBytes` bytes.
void AppendPesHeader(std::vector<std::uint8_t>& out, const PesHeader& header,
                     std::size_t payloadBytes);

} // namespace quorin::testdisk::detail
