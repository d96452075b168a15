// Disk images: header, cluster table and records where they belong in both
// record layouts, stream bytes along their chains, image size and sparseness.
#include <sys/stat.h>

#include <chrono>
#include <iostream>
#include <set>

#include "support.h"

namespace quorin::testdisk::test {
namespace {

using namespace std::string_literals;

constexpr std::int32_t kLateStart = kClusterSectors - 2048; // 1 MiB left in the first cluster

std::vector<std::uint8_t> ReadAt(const fs::path& image, std::int64_t offset, std::size_t n) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(offset);
    std::vector<std::uint8_t> out(n);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

// Bytes of the stream in its last cluster, counted from the cluster's start.
std::int64_t InLastCluster(const StreamLayout& s) {
    return std::int64_t{s.startSector} * kSectorBytes +
           static_cast<std::int64_t>(s.stream.bytes.size()) -
           static_cast<std::int64_t>(s.chain.size() - 1) * kClusterBytes;
}

DiskResult Build(const DiskSpec& desc, const fs::path& image) {
    auto disk = BuildImage(desc, image);
    EXPECT_TRUE(disk.ok()) << (disk.ok() ? "" : disk.error());
    return disk.ok() ? std::move(*disk) : DiskResult{};
}

std::string Text(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                       b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

// Clip 0: working layout, explicit non-sequential chains (video 7 -> 3).
// Clip 1: old layout, automatic chains.
class TwoClipImage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = std::make_unique<ScratchDir>();
        DiskSpec desc;
        desc.label = "QUORIN TEST";
        desc.freeClusters = 5;
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
        desc.clips = {a, b};
        disk_ = Build(desc, Image());
    }
    static void TearDownTestSuite() { scratch_.reset(); }
    static fs::path Image() { return *scratch_ / "two.img"; }
    static std::vector<std::uint8_t> Sector(std::int64_t n) {
        return ReadAt(Image(), n * kSectorBytes, kSectorBytes);
    }

    static inline std::unique_ptr<ScratchDir> scratch_;
    static inline DiskResult disk_;
};

TEST_F(TwoClipImage, HeaderTableAndSize) {
    const auto h = Sector(0);
    EXPECT_EQ(U16(h, 0x0A), 5u) << "2 + 1 + 1 + 1 clusters of streams";
    EXPECT_EQ(U16(h, 0x0C), 5u);
    EXPECT_EQ(h[0x0E], 2);
    EXPECT_EQ(Text(h, 0x30, 15), "QUORIN TEST    ");
    EXPECT_EQ(h[0x30 + 63], 0);
    EXPECT_TRUE(std::equal(h.begin(), h.end(), disk_.header.begin()));

    const auto t = ReadAt(Image(), kSectorBytes, kTableEntries * 4);
    EXPECT_EQ(t, disk_.clusterTable);
    std::set<int> used;
    for (const auto& clip : disk_.clips) {
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            for (std::size_t i = 0; i < s->chain.size(); ++i) {
                const int c = s->chain[i];
                EXPECT_TRUE(used.insert(c).second) << "cluster " << c << " used twice";
                EXPECT_TRUE(c >= 1 && c <= 10) << c;
                EXPECT_EQ(U16(t, c * 4), i + 1 < s->chain.size() ? s->chain[i + 1] : 0xFFFF);
            }
        }
    }
    EXPECT_EQ(U16(t, 7 * 4), 3u);
    for (int c = 0; c < kTableEntries; ++c) {
        if (!used.count(c)) {
            EXPECT_EQ(U32(t, c * 4), 0u) << "entry " << c;
        }
    }
    EXPECT_EQ(fs::file_size(Image()), static_cast<std::uintmax_t>(ClusterByteOffset(11)))
        << "up to the end of the 10 counted clusters";
    EXPECT_EQ(disk_.imageBytes, fs::file_size(Image()));
}

TEST_F(TwoClipImage, RecordInWorkingLayout) {
    const auto r = Sector(10);
    const ClipResult& c = disk_.clips[0];
    EXPECT_TRUE(std::equal(r.begin(), r.end(), c.record.begin()));
    EXPECT_EQ(r[0x00], 0);
    EXPECT_EQ(Text(r, 0x01, 18), "Station Eins" + std::string(5, ' ') + '\0');
    EXPECT_EQ(Text(r, 0x13, 15), "Working layout\0"s);
    EXPECT_EQ(U16(r, 0x3C), 2023u);
    EXPECT_EQ(Text(r, 0x3E, 5), "\x0B\x05\x15\x07\x1E") << "11-05 21:07:30";
    EXPECT_EQ(Text(r, 0x44, 3), "\x01\x02\x03") << "1:02:03";
    EXPECT_EQ(U16(r, 0x4C), 2u);
    EXPECT_EQ(U16(r, 0x4E), 1u);
    EXPECT_EQ(U32(r, 0x50), (InLastCluster(c.video) + 511) / 512);
    EXPECT_EQ(U32(r, 0x54), (InLastCluster(c.audio) + 511) / 512) << "17 sectors included";
    EXPECT_EQ(U16(r, 0x58), 7u);
    EXPECT_EQ(U16(r, 0x5A), 5u);
    EXPECT_EQ(U32(r, 0x5C), 100u | 200u << 16);
    EXPECT_EQ(U32(r, 0x60), 300u | 0xFFFFu << 16);
    for (int i = 2; i < 10; ++i)
        EXPECT_EQ(U32(r, 0x5C + 4 * i), 0xFFFFFFFFu) << "empty pair";
    EXPECT_EQ(U32(r, 0x84), static_cast<std::uint32_t>(kLateStart));
    EXPECT_EQ(U32(r, 0x88), 17u);
    EXPECT_EQ(c.video.endSector, static_cast<std::int32_t>(U32(r, 0x50)));
}

TEST_F(TwoClipImage, RecordInOldLayout) {
    const auto r = Sector(11);
    const ClipResult& c = disk_.clips[1];
    EXPECT_EQ(c.lengthSeconds, 3) << "3.84 s truncated";
    EXPECT_EQ(r[0x00], 1);
    EXPECT_EQ(Text(r, 0x01, 14), "ABC" + std::string(10, ' ') + '\0') << "13 bytes and a NUL";
    EXPECT_EQ(Text(r, 0x0F, 4), "Old\0"s);
    // Everything from the date on sits 4 bytes lower than in the working layout.
    EXPECT_EQ(U16(r, 0x38), 2024u);
    EXPECT_EQ(r[0x42], 3) << "length seconds";
    EXPECT_EQ(U32(r, 0x48), 1u | 1u << 16) << "VClusters, AClusters";
    EXPECT_EQ(U32(r, 0x4C), (InLastCluster(c.video) + 511) / 512);
    EXPECT_EQ(U16(r, 0x54), static_cast<unsigned>(c.video.chain[0]));
    EXPECT_EQ(U16(r, 0x56), static_cast<unsigned>(c.audio.chain[0]));
    EXPECT_EQ(U32(r, 0x58), 0xFFFFFFFFu);
    for (std::size_t i = 0x1D4; i < 512; ++i)
        EXPECT_EQ(r[i], 0) << i;
}

TEST_F(TwoClipImage, ChainBytesEqualThePacketisedStreams) {
    EXPECT_EQ(disk_.clips[0].video.chain, (std::vector<int>{7, 3}));
    for (const auto& clip : disk_.clips) {
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            auto back = ReadChain(Image(), s->chain, s->startSector, s->stream.bytes.size());
            ASSERT_TRUE(back.ok()) << back.error();
            EXPECT_TRUE(*back == s->stream.bytes);
            // The partial last sector is padded with zeros.
            const std::int64_t padding = std::int64_t{s->endSector} * 512 - InLastCluster(*s);
            ASSERT_TRUE(padding >= 0 && padding < 512) << padding;
            const auto pad = ReadAt(Image(), ClusterByteOffset(s->chain.back()) + InLastCluster(*s),
                                    static_cast<std::size_t>(padding));
            EXPECT_EQ(pad, std::vector<std::uint8_t>(pad.size(), 0));
        }
    }
    // The video begins at its start offset in cluster 7 and continues at byte 0 of cluster 3.
    const auto& v = disk_.clips[0].video.stream.bytes;
    EXPECT_EQ(ReadAt(Image(), ClusterByteOffset(7) + std::int64_t{kLateStart} * 512, 4),
              std::vector<std::uint8_t>(v.begin(), v.begin() + 4));
    EXPECT_EQ(ReadAt(Image(), ClusterByteOffset(3), 4),
              std::vector<std::uint8_t>(v.begin() + (1 << 20), v.begin() + (1 << 20) + 4));
}

TEST(Image, ShortImageEndsAfterTheLastDataByte) {
    ScratchDir dir;
    DiskSpec desc;
    desc.shortImage = true;
    desc.clips = {SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2")};
    desc.clips[0].videoClusters = {2};
    desc.clips[0].audioClusters = {1};
    const auto disk = Build(desc, dir / "short.img");
    EXPECT_EQ(fs::file_size(dir / "short.img"),
              ClusterByteOffset(2) + disk.clips[0].video.stream.bytes.size());
    EXPECT_EQ(disk.freeClusters, 2) << "automatic: two spare clusters";
}

TEST(Image, AutomaticChainsAreDistinctShuffledAndInsideTheDisk) {
    ScratchDir dir;
    DiskSpec desc;
    desc.seed = 7;
    for (int i = 0; i < 4; ++i) {
        ClipSpec c = SampleClip("mpeg1-sif.m1v", "tone-48k-192k.mp2");
        c.videoStartSector = kClusterSectors - 200; // two clusters of video
        desc.clips.push_back(c);
    }
    const auto disk = Build(desc, dir / "auto.img");
    EXPECT_EQ(disk.usedClusters, 12);
    EXPECT_EQ(disk.freeClusters, 2);
    std::set<int> seen;
    int ascending = 0;
    for (const auto& clip : disk.clips) {
        ASSERT_EQ(clip.video.chain.size(), 2u);
        ascending += clip.video.chain[1] == clip.video.chain[0] + 1;
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            for (int c : s->chain)
                EXPECT_TRUE(seen.insert(c).second && c <= 14) << c;
            auto back =
                ReadChain(dir / "auto.img", s->chain, s->startSector, s->stream.bytes.size());
            EXPECT_TRUE(back.ok() && *back == s->stream.bytes);
        }
    }
    EXPECT_LT(ascending, 4) << "chains should not simply run upwards";
    EXPECT_EQ(Build(desc, dir / "again.img").clusterTable, disk.clusterTable) << "same seed";
}

TEST(Image, TextsAreStoredAsLatin1) {
    ScratchDir dir;
    DiskSpec desc;
    desc.label = "Bühne";
    desc.padLabel = false;
    ClipSpec c = SampleClip("", "tone-48k-192k.mp2");
    c.station = "Ørsted €";
    c.name = "Café";
    desc.clips = {c};
    const auto disk = Build(desc, dir / "latin.img");
    EXPECT_EQ(Text(disk.header, 0x30, 6), "B\xFChne\0"s);
    EXPECT_EQ(Text(disk.clips[0].record, 0x01, 8), "\xD8rsted ?");
    EXPECT_EQ(Text(disk.clips[0].record, 0x13, 5), "Caf\xE9\0"s);
    EXPECT_EQ(disk.clips[0].lengthSeconds, 3) << "audio-only clips take the audio's length";
    EXPECT_EQ(U16(disk.clips[0].record, 0x58), 0u) << "no video chain";
}

TEST(Image, ThreeClusterLoopedClipIsQuickAndSparse) {
    ScratchDir dir;
    DiskSpec desc;
    desc.freeClusters = 20;
    ClipSpec c = SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2", 55); // 55 x 1.97 MB
    c.videoStartSector = kLateStart;
    desc.clips = {c};
    const auto t0 = std::chrono::steady_clock::now();
    auto disk = BuildImage(desc, dir / "three.img", {.keepStreamBytes = false});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    ASSERT_TRUE(disk.ok()) << disk.error();
    ASSERT_EQ(disk->clips[0].video.chain.size(), 3u);
    EXPECT_EQ(disk->clips[0].lengthSeconds, 211) << "55 x 3.84 s";
    struct stat st {};
    ASSERT_EQ(::stat((dir / "three.img").c_str(), &st), 0);
    const std::int64_t allocated = std::int64_t{st.st_blocks} * 512;
    std::int64_t data = 0;
    for (const StreamLayout* s : {&disk->clips[0].video, &disk->clips[0].audio})
        data += static_cast<std::int64_t>(s->stream.packets.back().offset +
                                          s->stream.packets.back().size);
    std::cout << "[ measure  ] 3-cluster clip: " << took.count() << " s, " << allocated / 1048576.0
              << " MiB allocated for " << data / 1048576.0 << " MiB of data in a "
              << disk->imageBytes / 1048576.0 << " MiB image\n";
    EXPECT_LT(took.count(), 30.0);
    EXPECT_GE(allocated, data);
    EXPECT_LT(allocated, data + (1 << 20)) << "only real data costs space";
    EXPECT_EQ(disk->imageBytes, static_cast<std::uint64_t>(ClusterByteOffset(25)));
}

TEST(Image, ErrorsAreReportedNotThrown) {
    ScratchDir dir;
    DiskSpec good;
    good.clips = {SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2")};
    auto fails = [&](auto change, const std::string& needle) {
        DiskSpec desc = good;
        change(desc.clips[0], desc);
        auto r = BuildImage(desc, dir / "bad.img");
        ASSERT_FALSE(r.ok()) << needle;
        EXPECT_NE(r.error().find(needle), std::string::npos) << r.error();
    };
    fails([](ClipSpec& c, DiskSpec&) { c.videoClusters = {4, 5}; }, "needs 1 clusters");
    fails([](ClipSpec& c, DiskSpec&) { c.videoClusters = c.audioClusters = {4}; }, "used twice");
    fails([](ClipSpec& c, DiskSpec&) { c.videoClusters = {1152}; }, "not a cluster number");
    fails([](ClipSpec&, DiskSpec& d) { d.usedClusters = 1, d.freeClusters = 0; }, "too few");
    fails([&](ClipSpec& c, DiskSpec&) { c.audioFile = dir / "none.mp2"; }, "cannot open");
    fails([](ClipSpec& c, DiskSpec&) { c.videoStartSector = kClusterSectors; }, "start offset");
    fails([](ClipSpec&, DiskSpec& d) { d.clips.resize(kMaxClips + 1); }, "at most 246 clips");
}

} // namespace
} // namespace quorin::testdisk::test
