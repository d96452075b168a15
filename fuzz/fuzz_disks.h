// The receiver disks the fuzz targets work on, shared with the seed maker so that seeds and
// targets agree on the layout (clip checksums, where the streams lie).
#pragma once

#include "fuzz_image.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace quorin::fuzz {

using Sector = std::array<std::uint8_t, 512>;

inline void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A record in the working layout (firmware 190 and later).
struct FuzzClip {
    const char* station = "Fuzz One";
    const char* name = "fuzz";
    int lengthSeconds = 30;
    std::uint16_t vClusters = 1, aClusters = 1;
    std::uint16_t vFirst = 0, aFirst = 0;
    std::int32_t vStart = 0, aStart = 0; // sectors
    std::int32_t vEnd = 0, aEnd = 0;     // sectors of the last cluster holding data
    std::vector<std::pair<std::uint16_t, std::uint16_t>> marks;
};

inline Sector MakeRecord(const FuzzClip& c, int recordNo) {
    Sector r{};
    r[0x00] = static_cast<std::uint8_t>(recordNo);
    std::memset(r.data() + 0x01, ' ', 17);
    std::memcpy(r.data() + 0x01, c.station, std::min<std::size_t>(std::strlen(c.station), 17));
    r[0x12] = 0;
    std::memcpy(r.data() + 0x13, c.name, std::min<std::size_t>(std::strlen(c.name), 40));
    Put16(r.data() + 0x3C, 2024);
    r[0x3E] = 5;
    r[0x3F] = 17;
    r[0x40] = 20;
    r[0x41] = 15;
    r[0x44] = static_cast<std::uint8_t>(c.lengthSeconds / 3600);
    r[0x45] = static_cast<std::uint8_t>(c.lengthSeconds / 60 % 60);
    r[0x46] = static_cast<std::uint8_t>(c.lengthSeconds % 60);
    Put16(r.data() + 0x4C, c.vClusters);
    Put16(r.data() + 0x4E, c.aClusters);
    Put32(r.data() + 0x50, static_cast<std::uint32_t>(c.vEnd));
    Put32(r.data() + 0x54, static_cast<std::uint32_t>(c.aEnd));
    Put16(r.data() + 0x58, c.vFirst);
    Put16(r.data() + 0x5A, c.aFirst);
    for (int k = 0; k < 10; ++k) {
        std::pair<std::uint16_t, std::uint16_t> m{0xFFFF, 0xFFFF};
        if (static_cast<std::size_t>(k) < c.marks.size()) m = c.marks[static_cast<std::size_t>(k)];
        Put16(r.data() + 0x5C + 4 * k, m.first);
        Put16(r.data() + 0x5E + 4 * k, m.second);
    }
    Put32(r.data() + 0x84, static_cast<std::uint32_t>(c.vStart));
    Put32(r.data() + 0x88, static_cast<std::uint32_t>(c.aStart));
    return r;
}

inline std::int64_t ClusterOffset(std::uint32_t c) {
    return (256 + static_cast<std::int64_t>(c - 1) * 204'800) * 512;
}

// Header, table and records of a disk; chains are lists of clusters.
struct FuzzDisk {
    std::vector<FuzzClip> clips;
    std::vector<std::vector<std::uint16_t>> chains;
    std::uint16_t used = 8, free = 8;

    bool Write(ScratchImage& image, std::int64_t size) const {
        if (!image.Begin(size)) return false;
        Sector h{};
        Put16(h.data() + 0x0A, used);
        Put16(h.data() + 0x0C, free);
        h[0x0E] = static_cast<std::uint8_t>(clips.size());
        std::memset(h.data() + 0x30, ' ', 63);
        std::memcpy(h.data() + 0x30, "FUZZ DISK", 9);
        bool ok = image.Put(0, h.data(), h.size());
        std::vector<std::uint8_t> table(4608, 0);
        for (const auto& chain : chains)
            for (std::size_t i = 0; i < chain.size(); ++i)
                Put16(table.data() + 4 * chain[i], i + 1 < chain.size() ? chain[i + 1] : 0xFFFF);
        ok = ok && image.Put(512, table.data(), table.size());
        for (std::size_t i = 0; i < clips.size(); ++i) {
            Sector r = MakeRecord(clips[i], static_cast<int>(i));
            ok = ok && image.Put((10 + static_cast<std::int64_t>(i)) * 512, r.data(), r.size());
        }
        return ok;
    }
};

// The job list target's disk: four clips, one with cut marks, one of length 0.
inline FuzzDisk JobListDisk() {
    FuzzDisk d;
    FuzzClip a;
    a.station = "Quorin One";
    a.name = "Evening news";
    a.lengthSeconds = 5400;
    a.vClusters = 3;
    a.vFirst = 1;
    a.aFirst = 4;
    FuzzClip b;
    b.station = "Quorin HD";
    b.name = "Film";
    b.lengthSeconds = 600;
    b.vFirst = 5;
    b.aFirst = 6;
    b.marks = {{5, 50}, {0xFFFF, 0xFFFF}, {100, 200}, {100, 0xFFFF}, {900, 100}, {0xFFFD, 10}};
    FuzzClip c;
    c.station = "Quorin Retro";
    c.name = "Empty";
    c.lengthSeconds = 0;
    c.vFirst = 7;
    c.aFirst = 8;
    FuzzClip e = a; // the same recording twice: checksums collide
    d.clips = {a, b, c, e};
    d.chains = {{1, 2, 3}, {4}, {5}, {6}, {7}, {8}};
    return d;
}

// ---- The engine target ----------------------------------------------------------------------
//
// Input: mode, begin, length (tenths of a second), the video part's size (16 bits, little
// endian), then the video part and the audio part. The parts are written at the start offsets
// of the clip's two chains; the image ends after the last byte of the video part.

struct EngineInput {
    std::uint8_t mode = 0;
    std::uint8_t begin = 0;
    std::uint8_t length = 0;
    std::span<const std::uint8_t> video;
    std::span<const std::uint8_t> audio;
};

namespace mode {
inline constexpr std::uint8_t kAudio = 0x01; // neither audio nor video: both
inline constexpr std::uint8_t kVideo = 0x02;
inline constexpr std::uint8_t kRawAudio = 0x04;
inline constexpr std::uint8_t kRawVideo = 0x08;
inline constexpr std::uint8_t kPatchHeader = 0x10;
inline constexpr std::uint8_t kPlacementShift = 5; // two bits
inline constexpr std::uint8_t kWhole = 0x80;
} // namespace mode

// Where the parts lie: at the first cluster's start, a few sectors in, across the end of the
// first cluster into a second one, or at the start with end offsets of 0.
enum class Placement { kStart, kOffset, kAcross, kNoEnd };

inline Placement PlacementOf(std::uint8_t m) {
    return static_cast<Placement>((m >> mode::kPlacementShift) & 3);
}

inline bool SplitEngineInput(const std::uint8_t* data, std::size_t size, EngineInput& in) {
    if (size < 5) return false;
    in.mode = data[0];
    in.begin = data[1];
    in.length = data[2];
    std::size_t v = std::min<std::size_t>(data[3] | (data[4] << 8), size - 5);
    in.video = {data + 5, v};
    in.audio = {data + 5 + v, size - 5 - v};
    return true;
}

inline std::vector<std::uint8_t> JoinEngineInput(std::uint8_t m, std::uint8_t begin,
                                                 std::uint8_t length,
                                                 std::span<const std::uint8_t> video,
                                                 std::span<const std::uint8_t> audio) {
    std::vector<std::uint8_t> out;
    out.reserve(5 + video.size() + audio.size());
    for (std::uint8_t b : {m, begin, length, static_cast<std::uint8_t>(video.size()),
                           static_cast<std::uint8_t>(video.size() >> 8)})
        out.push_back(b);
    out.insert(out.end(), video.begin(), video.end());
    out.insert(out.end(), audio.begin(), audio.end());
    return out;
}

inline constexpr std::uint16_t kEngineAudioFirst = 2, kEngineVideoFirst = 5;
inline constexpr std::int64_t kEngineClusterSectors = 204'800;

// One stream's place: first cluster, start and end offsets and cluster count for its part.
struct StreamPlace {
    std::int32_t start = 0, end = 0;
    std::uint16_t clusters = 1;
};

inline StreamPlace PlaceStream(Placement p, std::size_t bytes, std::int32_t offsetSectors) {
    StreamPlace s;
    const std::int64_t sectors = (static_cast<std::int64_t>(bytes) + 511) / 512;
    switch (p) {
    case Placement::kStart:
    case Placement::kNoEnd:
        s.end = p == Placement::kNoEnd ? 0 : static_cast<std::int32_t>(sectors);
        break;
    case Placement::kOffset:
        s.start = offsetSectors;
        s.end = static_cast<std::int32_t>(offsetSectors + sectors);
        break;
    case Placement::kAcross:
        s.start = static_cast<std::int32_t>(kEngineClusterSectors - 16);
        s.clusters = 2;
        s.end = static_cast<std::int32_t>(std::max<std::int64_t>(sectors - 16, 1));
        break;
    }
    return s;
}

// Writes the part at the stream's start in its chain (first cluster, then the second).
inline bool PutStream(ScratchImage& image, std::uint16_t first, const StreamPlace& s,
                      std::span<const std::uint8_t> part) {
    const std::int64_t at = ClusterOffset(first) + std::int64_t{s.start} * 512;
    const std::size_t inFirst = std::min<std::size_t>(
        part.size(), static_cast<std::size_t>((kEngineClusterSectors - s.start) * 512));
    bool ok = image.Put(at, part.data(), inFirst);
    if (inFirst < part.size())
        ok =
            ok && image.Put(ClusterOffset(first + 1), part.data() + inFirst, part.size() - inFirst);
    return ok;
}

inline bool WriteEngineDisk(ScratchImage& image, const EngineInput& in) {
    const Placement p = PlacementOf(in.mode);
    const StreamPlace v = PlaceStream(p, in.video.size(), 7);
    const StreamPlace a = PlaceStream(p, in.audio.size(), 3);
    FuzzDisk d;
    FuzzClip c;
    c.vClusters = v.clusters;
    c.aClusters = a.clusters;
    c.vFirst = kEngineVideoFirst;
    c.aFirst = kEngineAudioFirst;
    c.vStart = v.start;
    c.aStart = a.start;
    c.vEnd = v.end;
    c.aEnd = a.end;
    d.clips = {c};
    d.chains = {{kEngineAudioFirst, kEngineAudioFirst + 1},
                {kEngineVideoFirst, kEngineVideoFirst + 1}};
    // A short image: it ends with the sector that holds the video part's last byte (the reader
    // meets the device's end).
    const std::int64_t videoAt = ClusterOffset(kEngineVideoFirst) + std::int64_t{v.start} * 512;
    std::int64_t size = videoAt + (static_cast<std::int64_t>(in.video.size()) + 511) / 512 * 512;
    if (p == Placement::kAcross) size = std::max(size, ClusterOffset(kEngineVideoFirst + 1));
    return d.Write(image, size) && PutStream(image, kEngineAudioFirst, a, in.audio) &&
           PutStream(image, kEngineVideoFirst, v, in.video);
}

} // namespace quorin::fuzz
