// Damage injection: each kind changes exactly what it says, the packet list
// follows truncations, and the disk holds the damaged bytes.
#include "support.h"

namespace quorin::testdisk::test {
namespace {

class DamageTest : public ::testing::Test {
protected:
    static ClipSpec Clip() {
        ClipSpec c = SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2");
        c.videoClusters = {2};
        c.audioClusters = {1};
        return c;
    }

    StreamLayout Build(std::vector<Damage> damage, bool video = true) {
        DiskSpec desc;
        desc.clips = {Clip()};
        desc.clips[0].damage = std::move(damage);
        auto disk = BuildImage(desc, dir_ / "damage.img");
        EXPECT_TRUE(disk.ok()) << (disk.ok() ? "" : disk.error());
        if (!disk.ok()) return {};
        StreamLayout s = video ? disk->clips[0].video : disk->clips[0].audio;
        auto onDisk = ReadChain(dir_ / "damage.img", s.chain, s.startSector, s.stream.bytes.size());
        EXPECT_TRUE(onDisk.ok() && *onDisk == s.stream.bytes) << "the disk holds the damage";
        return s;
    }

    // Byte positions where two equally long streams differ.
    static std::vector<std::size_t> Diff(const std::vector<std::uint8_t>& a,
                                         const std::vector<std::uint8_t>& b) {
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
            if (a[i] != b[i]) at.push_back(i);
        return at;
    }

    ScratchDir dir_;
};

TEST_F(DamageTest, StartCodeAndHeaderChangeOnlyTheirBytes) {
    const auto clean = Build({});
    const auto bad = Build({{StreamKind::Video, DamageKind::StartCode, 5, 0, 0},
                            {StreamKind::Video, DamageKind::Header, 7, 0, 0}});
    const std::size_t sc = clean.stream.packets[5].offset, hd = clean.stream.packets[7].offset;
    // 00 00 01 becomes 00 00 FF; the PTS field loses its three marker bits.
    EXPECT_EQ(Diff(clean.stream.bytes, bad.stream.bytes),
              (std::vector<std::size_t>{sc + 2, hd + 9, hd + 11, hd + 13}));
    EXPECT_EQ(bad.stream.bytes[sc + 2], 0xFF);
    for (std::size_t k : {9, 11, 13})
        EXPECT_EQ(bad.stream.bytes[hd + k], clean.stream.bytes[hd + k] - 1);
    for (std::size_t i = 0; i < bad.stream.packets.size(); ++i)
        EXPECT_EQ(bad.stream.packets[i].damaged, i == 5 || i == 7) << i;
}

TEST_F(DamageTest, ZeroRangeInPacketOrStream) {
    const auto clean = Build({});
    const auto bad = Build({{StreamKind::Video, DamageKind::Zero, 9, 20, 8},
                            {StreamKind::Video, DamageKind::Zero, std::nullopt, 5000, 3}});
    const std::size_t at = clean.stream.packets[9].offset + 20;
    for (std::size_t i : Diff(clean.stream.bytes, bad.stream.bytes)) {
        EXPECT_TRUE((i >= at && i < at + 8) || (i >= 5000 && i < 5003)) << i;
        EXPECT_EQ(bad.stream.bytes[i], 0);
    }
    EXPECT_TRUE(bad.stream.packets[9].damaged);
    EXPECT_TRUE(bad.stream.packets[0].damaged) << "offset 5000 lies in the first packet";
}

TEST_F(DamageTest, TruncateDropsTheTailAndShiftsWhatFollows) {
    const auto clean = Build({}, false);
    const auto bad = Build({{StreamKind::Audio, DamageKind::Truncate, 3, 0, 100},
                            {StreamKind::Audio, DamageKind::Truncate, 1, 0, 0}},
                           false);
    const auto& c = clean.stream.packets;
    const auto& b = bad.stream.packets;
    ASSERT_EQ(b.size(), c.size());
    EXPECT_EQ(b[1].size, c[1].size / 2);
    EXPECT_EQ(b[3].size, 100u);
    const std::uint64_t removed = (c[1].size - b[1].size) + (c[3].size - 100);
    EXPECT_EQ(bad.stream.bytes.size(), clean.stream.bytes.size() - removed);
    EXPECT_EQ(b[4].offset, c[4].offset - removed);
    // The next packet follows the kept bytes directly.
    EXPECT_TRUE(std::equal(bad.stream.bytes.begin() + static_cast<std::ptrdiff_t>(b[4].offset),
                           bad.stream.bytes.end(),
                           clean.stream.bytes.begin() + static_cast<std::ptrdiff_t>(c[4].offset)));
    EXPECT_EQ(bad.stream.bytes[b[1].offset + b[1].size], 0) << "packet 2 starts with 00 00 01";
    EXPECT_EQ(bad.endSector, static_cast<std::int32_t>((bad.stream.bytes.size() + 511) / 512));
}

TEST_F(DamageTest, RejectsImpossibleDamage) {
    DiskSpec desc;
    desc.clips = {Clip()};
    auto fails = [&](Damage d, const std::string& needle) {
        desc.clips[0].damage = {d};
        auto r = BuildImage(desc, dir_ / "bad.img");
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error().find(needle), std::string::npos) << r.error();
    };
    fails({StreamKind::Video, DamageKind::Header, std::nullopt, 0, 0}, "needs a packet");
    fails({StreamKind::Video, DamageKind::Truncate, 0, 0, 1'000'000}, "whole packet");
    fails({StreamKind::Audio, DamageKind::Zero, std::nullopt, 1'000'000'000, 1}, "outside");
}

} // namespace
} // namespace quorin::testdisk::test
