// Round trip through the engine's own readers: factory-made disks in both
// record layouts read back by CPVRDrive, CPVRFile, ClusterTable and CIBits
// with every field and every stream byte where it belongs.
#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/ibits.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"

#include "support.h"

namespace quorin::testdisk::test {
namespace {

DiskSpec RoundTripDisk(RecordLayout layout) {
    DiskSpec desc;
    desc.label = "QUORIN RT";
    desc.freeClusters = 3;
    ClipSpec a = SampleClip("mpeg1-sif.m1v", "tone-48k-192k.mp2");
    a.station = "Seventeen chars!!";
    a.name = "A clip name of exactly forty characters.";
    a.year = 2022, a.month = 12, a.day = 31, a.hour = 23, a.minute = 59, a.second = 58;
    a.lengthSeconds = 2 * 3600 + 3 * 60 + 4;
    a.skipIndex = {{10, 20}, {0xFFFF, 5}, {30, 40}};
    a.videoStartSector = kClusterSectors - 500; // crosses from cluster 9 to cluster 2
    a.videoClusters = {9, 2};
    a.audioStartSector = 123;
    ClipSpec b = SampleClip("mpeg1-sif.m1v", "tone-48k-448k.ac3");
    b.station = "HD";
    b.name = "Second";
    b.audioStartSector = 64;
    b.firstPts = kPtsModulo - 45'000;
    ClipSpec c = SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2");
    c.name = "Third";
    desc.clips = {a, b, c};
    for (auto& clip : desc.clips)
        clip.layout = layout;
    return desc;
}

// What the engine should show for a station: the old layout keeps 13 bytes.
std::string StationAsRead(const std::string& station, RecordLayout layout) {
    const std::size_t width = layout == RecordLayout::Old ? 13 : 17;
    std::string s = station.substr(0, width);
    s.resize(17, ' ');
    return s;
}

class EngineRoundTrip : public ::testing::TestWithParam<RecordLayout> {
protected:
    void SetUp() override {
        SetConsoleTrace(false);
        desc_ = RoundTripDisk(GetParam());
        auto disk = BuildImage(desc_, Image());
        ASSERT_TRUE(disk.ok()) << disk.error();
        disk_ = std::move(*disk);
        bool ok = false;
        table_ = std::make_unique<ClusterTable>(Image(), ok);
        ASSERT_TRUE(ok);
        drive_ = std::make_unique<CPVRDrive>(Image(), table_.get(),
                                             GetParam() == RecordLayout::Working
                                                 ? quorin::RecordLayout::kFirmware190
                                                 : quorin::RecordLayout::kOld);
    }

    std::string Image() const { return (dir_ / "rt.img").string(); }

    ScratchDir dir_;
    DiskSpec desc_;
    DiskResult disk_;
    std::unique_ptr<ClusterTable> table_;
    std::unique_ptr<CPVRDrive> drive_;
};

TEST_P(EngineRoundTrip, DriveHeader) {
    EXPECT_TRUE(drive_->VolumeOpened());
    EXPECT_EQ(drive_->GetFileCount(), 3);
    EXPECT_EQ(drive_->GetUsedClusters(), disk_.usedClusters);
    EXPECT_EQ(drive_->GetUsedClusters(), 7);
    EXPECT_EQ(drive_->GetFreeClusters(), 3);
    EXPECT_EQ(drive_->TotalClusters(), 10);
    EXPECT_EQ(DriveNameFromLabel(drive_->GetDriveLabel()), "QUORIN RT");
}

TEST_P(EngineRoundTrip, EveryRecordField) {
    for (int n = 0; n < 3; ++n) {
        SCOPED_TRACE("clip " + std::to_string(n));
        const ClipSpec& want = desc_.clips[n];
        const ClipResult& made = disk_.clips[n];
        const CPVRFile* file = drive_->GetFile(n);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->LayoutFlag(), GetParam() == RecordLayout::Working ? 1 : 0);
        const ClipRecord& r = file->GetRecord();
        EXPECT_EQ(r.RecordNo(), n);
        EXPECT_EQ(r.Station(), StationAsRead(want.station, GetParam()));
        EXPECT_EQ(r.ClipName(), want.name);
        EXPECT_EQ(r.Year(), want.year);
        EXPECT_EQ(r.Month(), want.month);
        EXPECT_EQ(r.Day(), want.day);
        EXPECT_EQ(r.Hour(), want.hour);
        EXPECT_EQ(r.Minute(), want.minute);
        EXPECT_EQ(r.Second(), want.second);
        EXPECT_EQ(r.LengthInSeconds(), made.lengthSeconds);
        EXPECT_EQ(file->ClipLength(), made.lengthSeconds * 100.0);
        EXPECT_EQ(r.VClusters(), made.video.chain.size());
        EXPECT_EQ(r.AClusters(), made.audio.chain.size());
        EXPECT_EQ(r.VideoFirstCluster(), made.video.chain.front());
        EXPECT_EQ(r.AudioFirstCluster(), made.audio.chain.front());
        EXPECT_EQ(r.VideoStart(), want.videoStartSector);
        EXPECT_EQ(r.AudioStart(), want.audioStartSector);
        EXPECT_EQ(r.VideoEnd(), made.video.endSector);
        EXPECT_EQ(r.AudioEnd(), made.audio.endSector);
        for (int k = 0; k < kSkipPairs; ++k) {
            const bool set = static_cast<std::size_t>(k) < want.skipIndex.size();
            EXPECT_EQ(r.Skip(k).start, set ? want.skipIndex[k].first : 0xFFFF);
            EXPECT_EQ(r.Skip(k).stop, set ? want.skipIndex[k].second : 0xFFFF);
        }
    }
    EXPECT_EQ(disk_.clips[0].lengthSeconds, 7384);
    EXPECT_EQ(disk_.clips[2].lengthSeconds, 3) << "3.84 s, truncated";
}

TEST_P(EngineRoundTrip, ClusterTableGivesTheChains) {
    for (const auto& clip : disk_.clips) {
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            const auto chain = table_->GetClusterChain(s->chain.front());
            EXPECT_EQ(std::vector<int>(chain.begin(), chain.end()), s->chain);
        }
    }
    EXPECT_EQ(table_->GetClusterChain(9), (std::vector<std::uint32_t>{9, 2}));
}

TEST_P(EngineRoundTrip, StreamReaderDeliversThePacketisedBytes) {
    for (const auto& clip : disk_.clips) {
        for (const StreamLayout* s : {&clip.video, &clip.audio}) {
            CIBits bits(Image(), table_.get(), s->chain.front());
            ASSERT_TRUE(bits.SeekBitPosition(std::int64_t{s->startSector} * 4096));
            std::vector<std::uint8_t> got;
            const std::size_t want = s->stream.bytes.size();
            while (got.size() < want) {
                auto block = bits.BufferedBytes();
                ASSERT_FALSE(block.empty()) << "ended after " << got.size() << " bytes";
                const auto n = std::min(block.size(), want - got.size());
                got.insert(got.end(), block.begin(),
                           block.begin() + static_cast<std::ptrdiff_t>(n));
                bits.ConsumeBuffered(static_cast<std::int32_t>(n));
            }
            EXPECT_TRUE(got == s->stream.bytes);
            // The last cluster is readable to its end, as on a real disk.
            const std::int64_t lastBit =
                static_cast<std::int64_t>(s->chain.size()) * kClusterBytes * 8 - 8;
            EXPECT_TRUE(bits.SeekBitPosition(lastBit));
            EXPECT_EQ(bits.ReadByte(), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, EngineRoundTrip,
                         ::testing::Values(RecordLayout::Old, RecordLayout::Working),
                         [](const auto& p) {
                             return p.param == RecordLayout::Old ? "OldLayout" : "WorkingLayout";
                         });

} // namespace
} // namespace quorin::testdisk::test
