// Test-disk factory: builds images of the receiver's hard disk from sample
// elementary streams, packetised the way the receiver records them.
//
// Include as "mkdisk/testdisk.h" (link quorin_testdisk). Nothing here throws:
// every fallible call returns an Expected holding either the value or an error
// message.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorin::testdisk {

// ---- Disk geometry -------------------------------------------------------

inline constexpr std::int64_t kSectorBytes = 512;
inline constexpr std::int64_t kClusterSectors = 204'800;
inline constexpr std::int64_t kClusterBytes = kClusterSectors * kSectorBytes;
inline constexpr std::int64_t kDataStartSector = 256;
inline constexpr int kTableEntries = 1152;
inline constexpr int kMaxCluster = 1151;
inline constexpr std::uint16_t kChainEnd = 0xFFFF;
inline constexpr std::int64_t kRecordSector = 10; // record of clip n: sector 10 + n
inline constexpr int kMaxClips = static_cast<int>(kDataStartSector - kRecordSector);
inline constexpr int kSkipPairs = 10;
inline constexpr std::int64_t kPtsModulo = std::int64_t{1} << 33;
inline constexpr std::int64_t kPtsClock = 90'000;

// Byte offset of cluster c (1-based) in the image.
constexpr std::int64_t ClusterByteOffset(int cluster) {
    return (kDataStartSector + (cluster - 1) * kClusterSectors) * kSectorBytes;
}

// Field offsets of the header sector and of the working-layout record.
namespace offsets {
inline constexpr int kUsedClusters = 0x0A;
inline constexpr int kFreeClusters = 0x0C;
inline constexpr int kClipCount = 0x0E;
inline constexpr int kLabel = 0x30;
inline constexpr int kLabelBytes = 64; // label, space padded, NUL in the last byte

inline constexpr int kRecordNo = 0x00;
inline constexpr int kStation = 0x01;
inline constexpr int kStationBytes = 17;
inline constexpr int kClipName = 0x13;
inline constexpr int kClipNameBytes = 41;
inline constexpr int kYear = 0x3C;
inline constexpr int kMonth = 0x3E;
inline constexpr int kDay = 0x3F;
inline constexpr int kHour = 0x40;
inline constexpr int kMinute = 0x41;
inline constexpr int kSecond = 0x42;
inline constexpr int kLengthHours = 0x44;
inline constexpr int kLengthMinutes = 0x45;
inline constexpr int kLengthSeconds = 0x46;
inline constexpr int kVClusters = 0x4C;
inline constexpr int kAClusters = 0x4E;
inline constexpr int kVideoEnd = 0x50;
inline constexpr int kAudioEnd = 0x54;
inline constexpr int kVideoFirst = 0x58;
inline constexpr int kAudioFirst = 0x5A;
inline constexpr int kSkipIndex = 0x5C;
inline constexpr int kVideoStart = 0x84;
inline constexpr int kAudioStart = 0x88;

// Old layout (before firmware 190): short station, name at 0x0F and every
// field from the date on moved 4 bytes down.
inline constexpr int kOldStation = 0x01;
inline constexpr int kOldStationBytes = 13;
inline constexpr int kOldClipName = 0x0F;
inline constexpr int kOldShift = 4; // working offset - old offset, from 0x3C on
} // namespace offsets

// ---- Results without exceptions -----------------------------------------

struct Error {
    std::string message;
};

template <class T> class Expected {
public:
    Expected(T value) : state_(std::move(value)) {}
    Expected(Error error) : state_(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    explicit operator bool() const { return ok(); }
    // Precondition for the accessors below: ok().
    T& value() { return std::get<T>(state_); }
    const T& value() const { return std::get<T>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    // Precondition: !ok().
    const std::string& error() const { return std::get<Error>(state_).message; }

private:
    std::variant<T, Error> state_;
};

// ---- Description ----------------------------------------------------------

enum class RecordLayout { Working, Old }; // Working: firmware >= 190
// How a clip was deleted: not at all, or its record removed and its clusters released with their
// table entries cleared (0) or left linked as they were.
enum class Deletion { None, Cleared, Linked };
enum class ChainOrder { Shuffled, Sequential }; // how automatic chains take their clusters
enum class FreeFill { None, Noise, Zeros };     // what clusters in no chain hold
enum class AudioCodec { Auto, MpegAudio, Ac3 };
enum class StreamKind { Video, Audio };
enum class DamageKind {
    StartCode, // the 0x01 of the packet's start code prefix becomes 0xFF
    Header,    // the three marker bits of the packet's PTS field are cleared
    Truncate,  // the packet keeps only its first `length` bytes (0: half)
    Zero       // `length` bytes from `offset` are zeroed
};

struct Damage {
    StreamKind stream = StreamKind::Video;
    DamageKind kind = DamageKind::StartCode;
    // Index of the packet in the packet list; required except for Zero, where
    // it makes `offset` relative to that packet instead of the stream.
    std::optional<std::size_t> packet;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct ClipSpec {
    std::string station; // UTF-8; stored as ISO-8859-1
    std::string name;
    int year = 2024, month = 1, day = 1;
    int hour = 20, minute = 15, second = 0;
    std::optional<int> lengthSeconds; // unset: video (else audio) duration, truncated
    std::vector<std::pair<std::uint16_t, std::uint16_t>> skipIndex; // up to 10 pairs
    std::filesystem::path videoFile; // empty: the clip has no video chain
    std::filesystem::path audioFile; // empty: no audio chain
    AudioCodec audioCodec = AudioCodec::Auto;
    std::int64_t firstPts = 900'000;         // PTS of the first video picture
    std::int64_t audioOffsetTicks = -27'000; // first audio PTS minus firstPts
    std::vector<int> videoClusters;          // empty: chosen automatically
    std::vector<int> audioClusters;
    std::int32_t videoStartSector = 0; // start offset inside the first cluster
    std::int32_t audioStartSector = 0;
    RecordLayout layout = RecordLayout::Working;
    int loops = 1;
    std::vector<Damage> damage;
    Deletion deleted = Deletion::None;
    bool scatter = false; // automatic chains take clusters spread over the disk, out of order
};

struct DiskSpec {
    std::string label = "QUORIN";
    bool padLabel = true;            // false: label bytes as given, NUL padded
    std::optional<int> usedClusters; // unset: clusters in all chains
    std::optional<int> freeClusters; // unset: two more than needed to hold the chains
    bool shortImage = false;         // end the image right after the last data byte
    std::uint32_t seed = 1;          // choice of automatic chains
    ChainOrder allocation = ChainOrder::Shuffled;
    FreeFill freeFill = FreeFill::None;
    std::optional<std::int64_t> freeFillBytes; // unset: whole clusters; else first and last N
    // Clips in the order they were recorded: a later clip's explicit chain may name clusters of
    // an earlier deleted clip, whose data it then overwrites.
    std::vector<ClipSpec> clips;
};

// ---- Packetised streams -------------------------------------------------

struct PacketInfo {
    std::uint64_t offset = 0; // of the start code, from the start of the stream
    std::uint32_t size = 0;   // bytes as stored, start code included
    std::uint8_t streamId = 0;
    std::int64_t pts = 0;            // 33-bit value as written
    std::optional<std::int64_t> dts; // written only when it differs from the PTS
    std::int64_t ptsLinear = 0;      // PTS before the 2^33 modulo
    int headerDataLength = 0;        // PES_header_data_length
    char pictureType = 0;            // 'I', 'P', 'B' or 'D' for video; 0 for audio
    bool sequenceHeader = false;     // payload starts with a sequence header
    bool gopHeader = false;          // payload holds a GOP header
    bool continuation = false;       // second or later piece of a split picture
    int frames = 0;                  // audio frames in the packet
    bool damaged = false;
};

struct PacketisedStream {
    std::uint8_t streamId = 0;
    std::vector<std::uint8_t> bytes;
    std::vector<PacketInfo> packets;
    std::int64_t durationTicks = 0; // presentation time of all loops
    std::uint64_t frameCount = 0;   // pictures or audio frames, all loops
};

struct VideoOptions {
    std::int64_t firstPts = 900'000;
    int loops = 1;
};

struct AudioOptions {
    std::int64_t firstPts = 900'000;
    int loops = 1;
    AudioCodec codec = AudioCodec::Auto;
};

// Sniffs the first frame header; Auto when neither codec is recognised.
AudioCodec DetectAudioCodec(std::span<const std::uint8_t> es);

// One PES packet (id 0xE0) per coded picture in decode order; pictures too big
// for one packet are split at slice start codes.
Expected<PacketisedStream> PacketiseVideo(std::span<const std::uint8_t> es,
                                          const VideoOptions& options);

// MPEG audio as id 0xC0 (two frames per packet, every third packet with two
// stuffing bytes), AC-3 as id 0xBD (one frame per packet, no substream header).
Expected<PacketisedStream> PacketiseAudio(std::span<const std::uint8_t> es,
                                          const AudioOptions& options);

// ---- Disk images ----------------------------------------------------------

struct StreamLayout {
    PacketisedStream stream; // bytes as written to the disk (damage applied)
    std::vector<int> chain;  // clusters in chain order; empty for no stream
    std::int32_t startSector = 0;
    std::int32_t endSector = 0; // sectors of the last cluster holding data
};

struct ClipResult {
    StreamLayout video;
    StreamLayout audio;
    std::array<std::uint8_t, 512> record{}; // as stored on the disk
    RecordLayout layout = RecordLayout::Working;
    int lengthSeconds = 0;
    Deletion deleted = Deletion::None; // a deleted clip's record is the one it had, not stored
};

struct DiskResult {
    std::array<std::uint8_t, 512> header{};
    std::vector<std::uint8_t> clusterTable; // 4,608 bytes, sectors 1 to 9
    int usedClusters = 0;
    int freeClusters = 0;
    std::uint64_t imageBytes = 0;
    std::vector<ClipResult> clips; // deleted ones included, in the description's order
    std::vector<int> unchained;    // clusters 1 to used + free in no chain, live or deleted
};

struct BuildOptions {
    bool keepStreamBytes = true; // false: result streams keep their packet lists only
};

Expected<DiskResult> BuildImage(const DiskSpec& desc, const std::filesystem::path& image,
                                const BuildOptions& options = {});

// JSON description; relative file names are resolved against baseDir.
Expected<DiskSpec> ParseDescription(std::string_view json, const std::filesystem::path& baseDir);
Expected<DiskSpec> LoadDescription(const std::filesystem::path& file);

// Reads `bytes` bytes of a stream back from an image, following its chain
// from its start offset.
Expected<std::vector<std::uint8_t>> ReadChain(const std::filesystem::path& image,
                                              std::span<const int> chain, std::int32_t startSector,
                                              std::uint64_t bytes);

// ---- Test signals --------------------------------------------------------

// A sync test signal: black video with a white picture every 2 s from 1 s on, and audio that
// is silent but for a 50 ms beep at the same source times. The audio starts audioOffsetTicks
// after the video (negative: before it), as the clip's audio_offset_ms will place it, so the
// beeps stay at the flashes' time stamps; each beep is moved earlier by the onset delay of its
// codec's decoder, so that a decoded beep starts with its flash. Made by ffmpeg.
struct FlashBeepSpec {
    double seconds = 8;   // video length
    bool mpeg1 = false;   // MPEG-1 video instead of MPEG-2
    bool wide = false;    // 16:9 instead of 4:3
    bool openGops = true; // 12-picture groups with B pictures, open (else closed)
    AudioCodec audio = AudioCodec::MpegAudio; // MpegAudio (MP2) or Ac3
    std::int64_t audioOffsetTicks = 0;
    std::string ffmpeg = "ffmpeg"; // the program that encodes
};

struct FlashBeepFiles {
    std::filesystem::path video; // signal.m2v / signal.m1v
    std::filesystem::path audio; // signal.mp2 / signal.ac3
};

// Writes both streams into dir.
Expected<FlashBeepFiles> MakeFlashBeep(const FlashBeepSpec& wanted,
                                       const std::filesystem::path& dir);

// A time stamp reduced to its 33 bits, as PES headers carry it.
constexpr std::int64_t WrapPts(std::int64_t value) {
    return ((value % kPtsModulo) + kPtsModulo) % kPtsModulo;
}

} // namespace quorin::testdisk
