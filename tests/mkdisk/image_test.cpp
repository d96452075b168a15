// Disk images: header, cluster table and records where they belong in both
// record layouts, stream bytes along their chains, image size and sparseness.
#include <sys/stat.h>

#include <chrono>
#include <iostream>
#include <set>

#include "support.h"

namespace quorin::testdisk::test {
namespace {

namespace off = offsets;
using namespace std::string_literals;

// Sectors left in the first cluster when a stream starts this late: 1 MiB.
constexpr std::int32_t kLateStart = kClusterSectors - 2048;

std::vector<std::uint8_t> ReadAt(const fs::path& image, std::int64_t offset, std::size_t n) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(offset);
    std::vector<std::uint8_t> out(n);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

// Reads a stream back along its chain, independently of the factory.
std::vector<std::uint8_t> StreamOnDisk(const fs::path& image, const StreamLayout& s) {
    std::vector<std::uint8_t> out;
    std::int64_t from = std::int64_t{s.startSector} * kSectorBytes;
    for (int c : s.chain) {
        const std::uint64_t left = s.stream.bytes.size() - out.size();
        const auto n = std::min<std::uint64_t>(left, kClusterBytes - from);
        const auto part = ReadAt(image, ClusterByteOffset(c) + from, n);
        out.insert(out.end(), part.begin(), part.end());
        from = 0;
    }
    return out;
}

std::int32_t ExpectedEnd(const StreamLayout& s) {
    const std::int64_t total = std::int64_t{s.startSector} * kSectorBytes +
                               static_cast<std::int64_t>(s.stream.bytes.size());
    const std::int64_t inLast =
        total - (static_cast<std::int64_t>(s.chain.size()) - 1) * kClusterBytes;
    return static_cast<std::int32_t>((inLast + kSectorBytes - 1) / kSectorBytes);
}

DiskResult Build(const DiskSpec& spec, const fs::path& image) {
    auto disk = BuildImage(spec, image);
    EXPECT_TRUE(disk.ok()) << (disk.ok() ? "" : disk.error());
    return disk.ok() ? std::move(*disk) : DiskResult{};
}

std::string Text(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                       b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

// Two clips: one in the working layout with explicit, non-sequential chains
// (its video crosses from cluster 7 to cluster 3), one in the old layout with
// automatic chains.
DiskSpec TwoClipDisk() {
    DiskSpec spec;
    spec.label = "QUORIN TEST";
    spec.freeClusters = 5;
    ClipSpec a = SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2");
    a.station = "Station Eins";
    a.name = "Working layout";
    a.year = 2023, a.month = 11, a.day = 5, a.hour = 21, a.minute = 7, a.second = 30;
    a.lengthSeconds = 3723;
    a.skipIndex = {{100, 200}, {300, 0xFFFF}};
    a.videoClusters = {7, 3};
    a.audioClusters = {5};
    a.videoStartSector = kLateStart;
    a.audioStartSector = 17;
    ClipSpec b = SampleClip("mpeg2-16x9.m2v", "tone-48k-448k.ac3");
    b.station = "ABC";
    b.name = "Old";
    b.layout = RecordLayout::Old;
    spec.clips = {a, b};
    return spec;
}

class TwoClipImage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchDir;
        spec_ = new DiskSpec(TwoClipDisk());
        disk_ = new DiskResult(Build(*spec_, Image()));
    }
    static void TearDownTestSuite() {
        delete disk_;
        delete spec_;
        delete scratch_;
    }
    static fs::path Image() { return *scratch_ / "two.img"; }
    static std::vector<std::uint8_t> Sector(std::int64_t n) {
        return ReadAt(Image(), n * kSectorBytes, kSectorBytes);
    }

    static ScratchDir* scratch_;
    static DiskSpec* spec_;
    static DiskResult* disk_;
};
ScratchDir* TwoClipImage::scratch_ = nullptr;
DiskSpec* TwoClipImage::spec_ = nullptr;
DiskResult* TwoClipImage::disk_ = nullptr;

TEST_F(TwoClipImage, HeaderSector) {
    const auto h = Sector(0);
    EXPECT_EQ(U16(h, off::kUsedClusters), 5u) << "2 + 1 + 1 + 1 clusters of streams";
    EXPECT_EQ(U16(h, off::kFreeClusters), 5u);
    EXPECT_EQ(h[off::kClipCount], 2);
    EXPECT_EQ(Text(h, 0x30, 15), "QUORIN TEST    ");
    EXPECT_EQ(h[0x30 + 63], 0);
    EXPECT_TRUE(std::equal(h.begin(), h.end(), disk_->header.begin()));
}

TEST_F(TwoClipImage, ClusterTableLinksEveryChain) {
    const auto t = ReadAt(Image(), kSectorBytes, kTableEntries * 4);
    EXPECT_EQ(t, disk_->clusterTable);
    EXPECT_EQ(U16(t, 7 * 4), 3u);
    EXPECT_EQ(U16(t, 3 * 4), 0xFFFFu);
    EXPECT_EQ(U16(t, 5 * 4), 0xFFFFu);
    std::set<int> used;
    for (const auto& clip : disk_->clips) {
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            for (std::size_t i = 0; i < s->chain.size(); ++i) {
                const int c = s->chain[i];
                EXPECT_TRUE(used.insert(c).second) << "cluster " << c << " used twice";
                EXPECT_GE(c, 1);
                EXPECT_LE(c, 10);
                EXPECT_EQ(U16(t, c * 4), i + 1 < s->chain.size() ? s->chain[i + 1] : 0xFFFF);
            }
        }
    }
    for (int c = 0; c < kTableEntries; ++c)
        if (!used.count(c)) {
            EXPECT_EQ(U32(t, c * 4), 0u) << "entry " << c;
        }
}

TEST_F(TwoClipImage, RecordInWorkingLayout) {
    const auto r = Sector(10);
    const ClipResult& c = disk_->clips[0];
    EXPECT_TRUE(std::equal(r.begin(), r.end(), c.record.begin()));
    EXPECT_EQ(r[off::kRecordNo], 0);
    EXPECT_EQ(Text(r, 0x01, 18), "Station Eins" + std::string(5, ' ') + '\0');
    EXPECT_EQ(Text(r, 0x13, 15), std::string("Working layout") + '\0');
    EXPECT_EQ(r[0x3B], 0);
    EXPECT_EQ(U16(r, 0x3C), 2023u);
    EXPECT_EQ(Text(r, 0x3E, 5), "\x0B\x05\x15\x07\x1E");
    EXPECT_EQ(Text(r, 0x44, 3), std::string("\x01\x02\x03", 3)) << "1:02:03";
    EXPECT_EQ(U16(r, 0x4C), 2u);
    EXPECT_EQ(U16(r, 0x4E), 1u);
    EXPECT_EQ(static_cast<std::int32_t>(U32(r, 0x50)), ExpectedEnd(c.video));
    EXPECT_EQ(static_cast<std::int32_t>(U32(r, 0x54)), ExpectedEnd(c.audio));
    EXPECT_EQ(U16(r, 0x58), 7u);
    EXPECT_EQ(U16(r, 0x5A), 5u);
    EXPECT_EQ(U16(r, 0x5C), 100u);
    EXPECT_EQ(U16(r, 0x5E), 200u);
    EXPECT_EQ(U16(r, 0x60), 300u);
    EXPECT_EQ(U16(r, 0x62), 0xFFFFu);
    for (int i = 2; i < 10; ++i)
        EXPECT_EQ(U32(r, 0x5C + 4 * i), 0xFFFFFFFFu) << "empty pair";
    EXPECT_EQ(U32(r, 0x84), static_cast<std::uint32_t>(kLateStart));
    EXPECT_EQ(U32(r, 0x88), 17u);
    EXPECT_EQ(c.video.endSector, ExpectedEnd(c.video));
}

TEST_F(TwoClipImage, RecordInOldLayout) {
    const auto r = Sector(11);
    const ClipResult& c = disk_->clips[1];
    EXPECT_EQ(c.lengthSeconds, 3) << "3.84 s truncated";
    EXPECT_EQ(r[0x00], 1);
    EXPECT_EQ(Text(r, 0x01, 14), "ABC" + std::string(10, ' ') + '\0') << "13 bytes and a NUL";
    EXPECT_EQ(Text(r, 0x0F, 4), "Old\0"s);
    // Everything from the date on sits 4 bytes lower than in the working layout.
    EXPECT_EQ(U16(r, 0x38), 2024u);
    EXPECT_EQ(r[0x46 - 4], 3) << "length seconds";
    EXPECT_EQ(U16(r, 0x4C - 4), 1u);
    EXPECT_EQ(U16(r, 0x4E - 4), 1u);
    EXPECT_EQ(static_cast<std::int32_t>(U32(r, 0x50 - 4)), ExpectedEnd(c.video));
    EXPECT_EQ(U16(r, 0x58 - 4), static_cast<unsigned>(c.video.chain[0]));
    EXPECT_EQ(U16(r, 0x5A - 4), static_cast<unsigned>(c.audio.chain[0]));
    EXPECT_EQ(U32(r, 0x5C - 4), 0xFFFFFFFFu);
    EXPECT_EQ(U32(r, 0x84 - 4), 0u);
    for (std::size_t i = 0x1D4; i < 512; ++i)
        EXPECT_EQ(r[i], 0) << i;
}

TEST_F(TwoClipImage, ChainBytesEqualThePacketisedStreams) {
    for (const auto& clip : disk_->clips) {
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            EXPECT_EQ(StreamOnDisk(Image(), *s), s->stream.bytes);
            auto back = ReadChain(Image(), s->chain, s->startSector, s->stream.bytes.size());
            ASSERT_TRUE(back.ok()) << back.error();
            EXPECT_EQ(*back, s->stream.bytes);
            // The partial last sector is padded with zeros.
            const std::int64_t inLast =
                std::int64_t{s->startSector} * kSectorBytes +
                static_cast<std::int64_t>(s->stream.bytes.size()) -
                static_cast<std::int64_t>(s->chain.size() - 1) * kClusterBytes;
            const std::int64_t padding = std::int64_t{s->endSector} * kSectorBytes - inLast;
            EXPECT_GE(padding, 0);
            EXPECT_LT(padding, kSectorBytes);
            const auto pad = ReadAt(Image(), ClusterByteOffset(s->chain.back()) + inLast,
                                    static_cast<std::size_t>(padding));
            EXPECT_EQ(pad, std::vector<std::uint8_t>(static_cast<std::size_t>(padding), 0));
        }
    }
    const auto& v = disk_->clips[0].video;
    EXPECT_EQ(ReadAt(Image(), ClusterByteOffset(7) + std::int64_t{kLateStart} * 512 - 4, 4),
              std::vector<std::uint8_t>(4, 0));
    EXPECT_EQ(v.chain, (std::vector<int>{7, 3}));
}

TEST_F(TwoClipImage, ImageEndsWithTheLastCountedCluster) {
    EXPECT_EQ(fs::file_size(Image()), static_cast<std::uintmax_t>(ClusterByteOffset(11)));
    EXPECT_EQ(disk_->imageBytes, fs::file_size(Image()));
}

TEST(Image, ShortImageEndsAfterTheLastDataByte) {
    ScratchDir dir;
    DiskSpec spec;
    spec.shortImage = true;
    spec.clips = {SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2")};
    spec.clips[0].videoClusters = {2};
    spec.clips[0].audioClusters = {1};
    const auto disk = Build(spec, dir / "short.img");
    const auto& v = disk.clips[0].video;
    EXPECT_EQ(fs::file_size(dir / "short.img"), ClusterByteOffset(2) + v.stream.bytes.size());
    EXPECT_EQ(U16(disk.header, off::kFreeClusters), 2u) << "automatic: two spare clusters";
}

TEST(Image, AutomaticChainsAreDistinctShuffledAndInsideTheDisk) {
    ScratchDir dir;
    DiskSpec spec;
    spec.seed = 7;
    for (int i = 0; i < 4; ++i) {
        ClipSpec c = SampleClip("mpeg1-sif.m1v", "tone-48k-192k.mp2");
        c.videoStartSector = kClusterSectors - 200; // 100 KiB: two clusters of video
        spec.clips.push_back(c);
    }
    const auto disk = Build(spec, dir / "auto.img");
    EXPECT_EQ(disk.usedClusters, 12);
    EXPECT_EQ(disk.freeClusters, 2);
    std::set<int> seen;
    int ascendingRuns = 0;
    for (const auto& clip : disk.clips) {
        ASSERT_EQ(clip.video.chain.size(), 2u);
        ASSERT_EQ(clip.audio.chain.size(), 1u);
        ascendingRuns += clip.video.chain[1] == clip.video.chain[0] + 1;
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            for (int c : s->chain) {
                EXPECT_TRUE(seen.insert(c).second);
                EXPECT_LE(c, 14);
            }
            EXPECT_EQ(StreamOnDisk(dir / "auto.img", *s), s->stream.bytes);
        }
    }
    EXPECT_LT(ascendingRuns, 4) << "chains should not simply run upwards";
    // The same seed gives the same disk.
    const auto again = Build(spec, dir / "again.img");
    EXPECT_EQ(again.clusterTable, disk.clusterTable);
}

TEST(Image, LabelWithoutPadding) {
    ScratchDir dir;
    DiskSpec spec;
    spec.label = "NOPAD";
    spec.padLabel = false;
    const auto disk = Build(spec, dir / "empty.img");
    EXPECT_EQ(Text(disk.header, 0x30, 6), "NOPAD\0"s);
    EXPECT_EQ(disk.header[0x0E], 0);
    EXPECT_EQ(fs::file_size(dir / "empty.img"), static_cast<std::uintmax_t>(ClusterByteOffset(3)));
}

TEST(Image, TextsAreStoredAsLatin1) {
    ScratchDir dir;
    DiskSpec spec;
    spec.label = "Bühne";
    ClipSpec c = SampleClip("", "tone-48k-192k.mp2");
    c.station = "Ørsted €";
    c.name = "Café";
    spec.clips = {c};
    const auto disk = Build(spec, dir / "latin.img");
    EXPECT_EQ(Text(disk.header, 0x30, 5), "B\xFChne");
    EXPECT_EQ(Text(disk.clips[0].record, 0x01, 8), "\xD8rsted ?");
    EXPECT_EQ(Text(disk.clips[0].record, 0x13, 5), "Caf\xE9\0"s);
    EXPECT_EQ(disk.clips[0].lengthSeconds, 3) << "audio-only clips take the audio's length";
    EXPECT_TRUE(disk.clips[0].video.chain.empty());
    EXPECT_EQ(U16(disk.clips[0].record, 0x58), 0u);
}

TEST(Image, ThreeClusterLoopedClipIsQuickAndSparse) {
    ScratchDir dir;
    DiskSpec spec;
    spec.freeClusters = 20;
    // 55 loops of 1.97 MB from 1 MiB before the end of the first cluster.
    ClipSpec c = SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2", 55);
    c.videoStartSector = kLateStart;
    spec.clips = {c};
    const auto t0 = std::chrono::steady_clock::now();
    auto disk = BuildImage(spec, dir / "three.img", {.keepStreamBytes = false});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(disk.ok()) << disk.error();
    ASSERT_EQ(disk->clips[0].video.chain.size(), 3u);
    EXPECT_EQ(disk->clips[0].lengthSeconds, 211) << "55 x 3.84 s";
    struct stat st {};
    ASSERT_EQ(::stat((dir / "three.img").c_str(), &st), 0);
    const std::int64_t allocated = std::int64_t{st.st_blocks} * 512;
    std::int64_t data = 0;
    for (const StreamLayout* s : {&disk->clips[0].video, &disk->clips[0].audio}) {
        const auto& last = s->stream.packets.back();
        data += static_cast<std::int64_t>(last.offset + last.size);
    }
    std::cout << "[ measure  ] 3-cluster clip: " << seconds << " s, " << allocated / 1048576.0
              << " MiB allocated for " << data / 1048576.0 << " MiB of data, image "
              << disk->imageBytes / 1048576.0 << " MiB\n";
    EXPECT_LT(seconds, 30.0);
    EXPECT_GE(allocated, data);
    EXPECT_LT(allocated, data + (1 << 20)) << "only real data costs space";
    EXPECT_EQ(disk->imageBytes, static_cast<std::uint64_t>(ClusterByteOffset(25)));
    EXPECT_TRUE(disk->clips[0].video.stream.bytes.empty()) << "bytes dropped on request";
}

TEST(Image, ErrorsAreReportedNotThrown) {
    ScratchDir dir;
    auto fails = [&](DiskSpec spec, const std::string& needle) {
        auto r = BuildImage(spec, dir / "bad.img");
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error().find(needle), std::string::npos) << r.error();
    };
    DiskSpec spec;
    spec.clips = {SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2")};
    auto wrongLength = spec;
    wrongLength.clips[0].videoClusters = {4, 5};
    fails(wrongLength, "needs 1 clusters");
    auto twice = spec;
    twice.clips[0].videoClusters = {4};
    twice.clips[0].audioClusters = {4};
    fails(twice, "used twice");
    auto outOfRange = spec;
    outOfRange.clips[0].videoClusters = {1152};
    fails(outOfRange, "not a cluster number");
    auto tooSmall = spec;
    tooSmall.usedClusters = 1;
    tooSmall.freeClusters = 0;
    fails(tooSmall, "too few");
    auto missing = spec;
    missing.clips[0].audioFile = dir / "nothing.mp2";
    fails(missing, "cannot open");
    auto badStart = spec;
    badStart.clips[0].videoStartSector = kClusterSectors;
    fails(badStart, "start offset");
    auto many = spec;
    many.clips.assign(kMaxClips + 1, ClipSpec{});
    fails(many, "at most 246 clips");
    auto damage = spec;
    damage.clips[0].damage = {{StreamKind::Audio, DamageKind::Header, 1000, 0, 0}};
    fails(damage, "does not exist");
    auto noLoops = spec;
    noLoops.clips[0].loops = 0;
    fails(noLoops, "loop");
}

} // namespace
} // namespace quorin::testdisk::test
