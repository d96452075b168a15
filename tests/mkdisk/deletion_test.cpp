// Deleted clips, clusters reused by later clips, filled free clusters and the allocation orders.
#include "support.h"

namespace quorin::testdisk::test {
namespace {

constexpr std::int32_t kLateStart = kClusterSectors - 2048; // 1 MiB left in the first cluster

std::vector<std::uint8_t> ReadAt(const fs::path& image, std::int64_t offset, std::size_t n) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(offset);
    std::vector<std::uint8_t> out(n);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    return out;
}

unsigned Link(const DiskResult& disk, int cluster) {
    return U16(disk.clusterTable, static_cast<std::size_t>(cluster) * 4);
}

struct DeletionCase {
    Deletion mode;
    std::vector<unsigned> deletedLinks; // table entries of the deleted clip's video 3 -> 4
};

class DeletedClip : public ::testing::TestWithParam<DeletionCase> {};

// Clip 0 is deleted; live clip 1 reuses cluster 4 from a late start sector on.
TEST_P(DeletedClip, LeavesItsDataWithoutARecord) {
    ScratchDir scratch;
    DiskSpec desc;
    ClipSpec gone = SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2");
    gone.name = "Gone";
    gone.deleted = GetParam().mode;
    gone.videoStartSector = kLateStart;
    gone.videoClusters = {3, 4};
    gone.audioClusters = {6};
    ClipSpec later = SampleClip("mpeg2-16x9.m2v", "tone-48k-448k.ac3");
    later.name = "Later";
    later.videoClusters = {4};
    later.videoStartSector = 1024;
    later.audioClusters = {7};
    desc.clips = {gone, later};
    const fs::path image = scratch / "d.img";
    auto disk = BuildImage(desc, image);
    ASSERT_TRUE(disk.ok()) << disk.error();

    EXPECT_EQ(disk->header[offsets::kClipCount], 1);
    EXPECT_EQ(U16(disk->header, offsets::kUsedClusters), 2u) << "only the live chains";
    EXPECT_EQ(ReadAt(image, kRecordSector * kSectorBytes, kSectorBytes)[offsets::kClipName], 'L');
    EXPECT_EQ(ReadAt(image, (kRecordSector + 1) * kSectorBytes, 1)[0], 0) << "no second record";
    EXPECT_EQ(Link(*disk, 3), GetParam().deletedLinks[0]);
    EXPECT_EQ(Link(*disk, 6), GetParam().deletedLinks[1]);
    EXPECT_EQ(Link(*disk, 4), kChainEnd) << "the later chain's entry replaces the deleted one's";

    // The deleted video survives up to the later clip's start in cluster 4.
    const auto& v = disk->clips[0].video;
    const std::uint64_t survives = (kClusterSectors - kLateStart + 1024) * kSectorBytes;
    ASSERT_LT(survives, v.stream.bytes.size()) << "the later clip overwrites a part";
    auto old = ReadChain(image, v.chain, v.startSector, survives + 16);
    ASSERT_TRUE(old.ok()) << old.error();
    EXPECT_TRUE(std::equal(old->begin(), old->begin() + survives, v.stream.bytes.begin()));
    EXPECT_FALSE(
        std::equal(old->begin() + survives, old->end(), v.stream.bytes.begin() + survives));
    const auto& w = disk->clips[1].video;
    auto now = ReadChain(image, w.chain, w.startSector, w.stream.bytes.size());
    ASSERT_TRUE(now.ok()) << now.error();
    EXPECT_EQ(*now, w.stream.bytes);
    EXPECT_EQ(disk->clips[0].deleted, GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, DeletedClip,
                         ::testing::Values(DeletionCase{Deletion::Cleared, {0, 0}},
                                           DeletionCase{Deletion::Linked, {4, kChainEnd}}),
                         [](const auto& p) {
                             return p.param.mode == Deletion::Cleared ? "Cleared" : "Linked";
                         });

TEST(DeletedClip, MayNotReuseLiveOrItsOwnClusters) {
    ScratchDir scratch;
    for (Deletion first : {Deletion::None, Deletion::Cleared}) {
        DiskSpec desc;
        ClipSpec a = SampleClip("mpeg1-sif.m1v", "");
        a.videoClusters = {2};
        a.deleted = first;
        ClipSpec b = SampleClip("mpeg1-sif.m1v", "tone-48k-192k.mp2");
        b.videoClusters = {2};
        b.audioClusters = {2};
        desc.clips = first == Deletion::None ? std::vector{a, b} : std::vector{b};
        if (first != Deletion::None) desc.clips.front().deleted = first;
        auto disk = BuildImage(desc, scratch / "x.img");
        ASSERT_FALSE(disk.ok());
        EXPECT_NE(disk.error().find("used twice"), std::string::npos) << disk.error();
    }
}

struct FillCase {
    FreeFill fill;
    bool noisy;
};

class FreeFillTest : public ::testing::TestWithParam<FillCase> {};

TEST_P(FreeFillTest, FillsOnlyClustersInNoChain) {
    ScratchDir scratch;
    DiskSpec desc;
    desc.freeClusters = 3;
    desc.freeFill = GetParam().fill;
    desc.freeFillBytes = 4096;
    ClipSpec a = SampleClip("mpeg1-sif.m1v", "");
    a.videoClusters = {2};
    ClipSpec gone = SampleClip("mpeg1-sif.m1v", "");
    gone.videoClusters = {3};
    gone.deleted = Deletion::Cleared;
    desc.clips = {a, gone};
    const fs::path image = scratch / "f.img";
    auto disk = BuildImage(desc, image);
    ASSERT_TRUE(disk.ok()) << disk.error();
    EXPECT_EQ(disk->unchained, (std::vector<int>{1, 4}));
    auto nonZero = [](const std::vector<std::uint8_t>& b) {
        return std::count_if(b.begin(), b.end(), [](auto x) { return x != 0; });
    };
    for (int c : disk->unchained) {
        for (std::int64_t at : {std::int64_t{0}, kClusterBytes - 4096}) {
            const auto bytes = ReadAt(image, ClusterByteOffset(c) + at, 4096);
            EXPECT_EQ(nonZero(bytes) > 4000, GetParam().noisy) << c << " at " << at;
        }
    }
    for (int c : {2, 3})
        EXPECT_EQ(ReadAt(image, ClusterByteOffset(c), 4)[2], 1) << "a packet starts there";
}

INSTANTIATE_TEST_SUITE_P(Kinds, FreeFillTest,
                         ::testing::Values(FillCase{FreeFill::Noise, true},
                                           FillCase{FreeFill::Zeros, false}),
                         [](const auto& p) { return p.param.noisy ? "Noise" : "Zeros"; });

TEST(ChainOrder, SequentialChainsAscendScatteredOnesDoNot) {
    ScratchDir scratch;
    DiskSpec desc;
    desc.allocation = ChainOrder::Sequential;
    desc.freeClusters = 20;
    ClipSpec a = SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2");
    a.videoStartSector = kLateStart;
    a.audioStartSector = kClusterSectors - 100;
    ClipSpec b = a;
    b.scatter = true;
    desc.clips = {a, b};
    auto disk = BuildImage(desc, scratch / "s.img");
    ASSERT_TRUE(disk.ok()) << disk.error();
    EXPECT_EQ(disk->clips[0].video.chain, (std::vector<int>{1, 2}));
    EXPECT_EQ(disk->clips[0].audio.chain, (std::vector<int>{3, 4}));
    for (const auto* s : {&disk->clips[1].video, &disk->clips[1].audio})
        EXPECT_FALSE(std::is_sorted(s->chain.begin(), s->chain.end()));
}

TEST(Description, ReadsDeletionAndFillKeys) {
    auto desc = ParseDescription(R"({"allocation": "sequential", "free_fill": "noise",
        "free_fill_bytes": 65536, "clips": [{"deleted": "linked", "scatter": true},
        {"deleted": "cleared"}, {"deleted": "no"}]})",
                                 "/base");
    ASSERT_TRUE(desc.ok()) << desc.error();
    EXPECT_EQ(desc->allocation, ChainOrder::Sequential);
    EXPECT_EQ(desc->freeFill, FreeFill::Noise);
    EXPECT_EQ(desc->freeFillBytes, 65536);
    EXPECT_EQ(desc->clips[0].deleted, Deletion::Linked);
    EXPECT_TRUE(desc->clips[0].scatter);
    EXPECT_EQ(desc->clips[1].deleted, Deletion::Cleared);
    EXPECT_EQ(desc->clips[2].deleted, Deletion::None);
    for (const char* bad : {R"({"free_fill": "random"})", R"({"clips": [{"deleted": true}]})",
                            R"({"allocation": 1})", R"({"free_fill_bytes": 0})"})
        EXPECT_FALSE(ParseDescription(bad, "/base").ok()) << bad;
}

} // namespace
} // namespace quorin::testdisk::test
