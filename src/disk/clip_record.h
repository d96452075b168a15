// The 512-byte directory record of one clip, in the working layout.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quorin {

inline constexpr int kRecordSize = 512;
inline constexpr int kNameOffset = 0x13; // clip name, 41 bytes, NUL-terminated
inline constexpr int kNameField = 41;
inline constexpr int kMaxTitleLength = 39;  // characters a rename stores
inline constexpr int kStationOffset = 0x01; // station, 17 bytes padded with spaces
inline constexpr int kStationField = 17;

struct SkipPair {
    std::uint16_t start;
    std::uint16_t stop;
};

class ClipRecord {
public:
    std::array<std::uint8_t, kRecordSize> bytes{};

    std::int8_t RecordNo() const { return I8(0x00); }
    // Station name as stored (ISO-8859-1), padding spaces kept, up to its NUL.
    std::string Station() const { return Text(kStationOffset, kStationField + 1); }
    // Clip name as stored (ISO-8859-1), up to its NUL.
    std::string ClipName() const { return Text(kNameOffset, kNameField); }

    int Year() const { return U16(0x3C); }
    int Month() const { return I8(0x3E); }
    int Day() const { return I8(0x3F); }
    int Hour() const { return I8(0x40); }
    int Minute() const { return I8(0x41); }
    int Second() const { return I8(0x42); }
    int LengthHours() const { return I8(0x44); }
    int LengthMinutes() const { return I8(0x45); }
    int LengthSeconds() const { return I8(0x46); }
    int LengthInSeconds() const {
        return LengthHours() * 3600 + LengthMinutes() * 60 + LengthSeconds();
    }

    std::uint16_t VClusters() const { return U16(0x4C); }
    std::uint16_t AClusters() const { return U16(0x4E); }
    std::int32_t VideoEnd() const { return I32(0x50); }
    std::int32_t AudioEnd() const { return I32(0x54); }
    std::uint16_t VideoFirstCluster() const { return U16(0x58); }
    std::uint16_t AudioFirstCluster() const { return U16(0x5A); }
    SkipPair Skip(int k) const { return {U16(0x5C + 4 * k), U16(0x5E + 4 * k)}; }
    std::int32_t VideoStart() const { return I32(0x84); }
    std::int32_t AudioStart() const { return I32(0x88); }

    // Stores up to 39 bytes of an ISO-8859-1 title and clears the rest of the name field.
    void SetClipName(const std::string& latin1);

    std::uint16_t U16(int at) const {
        return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
    }
    std::int32_t I32(int at) const {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes[at]) |
                                         (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
                                         (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
                                         (static_cast<std::uint32_t>(bytes[at + 3]) << 24));
    }
    std::int8_t I8(int at) const { return static_cast<std::int8_t>(bytes[at]); }

private:
    std::string Text(int at, int maxLen) const;
};

// Fingerprint of a clip that job lists use to find it again when clip numbers changed.
std::uint32_t ClipChecksum(const ClipRecord& record);

// Size of a stream of k clusters from start to end offset (sectors), in MiB, as progress shows it.
std::int32_t StreamSizeMB(int clusters, std::int32_t startSectors, std::int32_t endSectors);

} // namespace quorin
