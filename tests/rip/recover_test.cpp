// Deleted recordings found again: both ways of releasing clusters, both record layouts, scattered
// chains, overwritten parts, noise and zeros, and the recovered streams ripped through the runner.
#include "rip_fixture.h"

#include "rip/recover.h"

#include <cmath>
#include <set>

namespace quorin::riptest {
namespace {

constexpr std::int32_t kLate = td::kClusterSectors - 2048;    // video: 1 MiB in the first cluster
constexpr std::int32_t kLateAudio = td::kClusterSectors - 60; // audio: 30 KiB

struct Case {
    const char* name;
    td::RecordLayout layout;
    td::Deletion mode;
    td::ChainOrder order;
    bool scatter;
    td::FreeFill fill;
};

std::vector<int> Ints(const std::vector<std::uint32_t>& v) {
    return {v.begin(), v.end()};
}

std::int64_t InLastCluster(const td::StreamLayout& s) {
    return std::int64_t{s.startSector} * 512 + static_cast<std::int64_t>(s.stream.bytes.size()) -
           static_cast<std::int64_t>(s.chain.size() - 1) * td::kClusterBytes;
}

td::ClipSpec Clip(const Case& c, const std::string& name, const std::string& video,
                  const std::string& audio, td::Deletion deleted) {
    td::ClipSpec clip = SampleClip(name, video, audio);
    clip.layout = c.layout;
    clip.deleted = deleted;
    clip.scatter = c.scatter;
    return clip;
}

// Live clip 0; deleted A (two clusters per stream), B (one each), C (its second video cluster
// overwritten by live clip D from sector 0 on).
td::DiskSpec Disk(const Case& c) {
    td::DiskSpec desc;
    desc.allocation = c.order;
    desc.freeFill = c.fill;
    desc.freeFillBytes = 1 << 20;
    td::ClipSpec live = Clip(c, "Live", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", td::Deletion::None);
    live.videoStartSector = kLate;
    td::ClipSpec a = Clip(c, "A", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", c.mode);
    a.videoStartSector = kLate;
    a.audioStartSector = kLateAudio;
    a.firstPts = 5'000'000;
    td::ClipSpec b = Clip(c, "B", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", c.mode);
    b.firstPts = 90'000'000;
    td::ClipSpec gone = Clip(c, "C", "mpeg1-sif.m1v", "tone-48k-192k.mp2", c.mode);
    gone.videoStartSector = td::kClusterSectors - 1000; // 500 KiB, the rest in cluster 15
    gone.videoClusters = {14, 15};
    gone.firstPts = 400'000'000;
    gone.loops = 2;
    td::ClipSpec over = Clip(c, "D", "mpeg1-sif.m1v", "", td::Deletion::None);
    over.videoClusters = {15};
    desc.clips = {live, a, b, gone, over};
    return desc;
}

class Recovery : public ::testing::TestWithParam<Case> {};

TEST_P(Recovery, FindsTheDeletedRecordingsAndNothingElse) {
    const Case& c = GetParam();
    TestDisk disk(Disk(c), std::string("recover-") + c.name);
    bool ok = false;
    ClusterTable table(disk.Image(), ok);
    ASSERT_TRUE(ok);
    CPVRDrive drive(disk.Image(), &table, disk.Layout());
    std::atomic<bool> cancel{false};
    int calls = 0;
    const RecoveryScanReport report = ScanForDeleted(
        drive, table, [&](int, int) { ++calls; }, cancel);
    ASSERT_TRUE(report.error.empty()) << report.error;
    EXPECT_EQ(calls, report.clustersLooked);
    EXPECT_LE(report.bytesRead, std::int64_t{report.clustersLooked} << 20) << "1 MiB a cluster";

    std::set<int> live;
    for (int n : {0, 4})
        for (const auto* s : {&disk.Result(n).video, &disk.Result(n).audio})
            live.insert(s->chain.begin(), s->chain.end());
    struct Want {
        int clip;
        std::size_t videoClusters; // the surviving part
        bool complete;
    };
    std::vector<Want> wants = {{1, 2, true}, {2, 1, true}, {3, 1, false}};
    std::sort(wants.begin(), wants.end(), [&](const Want& x, const Want& y) {
        return disk.Result(x.clip).video.chain[0] < disk.Result(y.clip).video.chain[0];
    });
    ASSERT_EQ(report.recordings.size(), wants.size());
    for (std::size_t i = 0; i < wants.size(); ++i) {
        const RecoveredRecording& r = report.recordings[i];
        const td::ClipResult& want = disk.Result(wants[i].clip);
        SCOPED_TRACE("clip " + std::to_string(wants[i].clip));
        EXPECT_EQ(r.number, static_cast<int>(i) + 1);
        const std::vector<int> video(want.video.chain.begin(),
                                     want.video.chain.begin() +
                                         static_cast<std::ptrdiff_t>(wants[i].videoClusters));
        EXPECT_EQ(Ints(r.video.chain), video);
        EXPECT_EQ(Ints(r.audio.chain), want.audio.chain);
        EXPECT_EQ(r.video.startByte, std::int64_t{want.video.startSector} * 512);
        EXPECT_EQ(r.audio.startByte, std::int64_t{want.audio.startSector} * 512);
        EXPECT_EQ(r.audio.endByte, InLastCluster(want.audio));
        if (wants[i].complete) {
            EXPECT_EQ(r.video.endByte, InLastCluster(want.video));
            EXPECT_NEAR(r.seconds, want.video.stream.durationTicks / 90'000.0, 0.2);
        }
        EXPECT_EQ(r.complete, wants[i].complete);
        for (const auto* s : {&r.video, &r.audio})
            for (std::uint32_t cl : s->chain)
                EXPECT_FALSE(live.contains(static_cast<int>(cl))) << "live cluster " << cl;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Disks, Recovery,
    ::testing::Values(Case{"ClearedWorking", td::RecordLayout::Working, td::Deletion::Cleared,
                           td::ChainOrder::Sequential, false, td::FreeFill::Noise},
                      Case{"LinkedOld", td::RecordLayout::Old, td::Deletion::Linked,
                           td::ChainOrder::Sequential, false, td::FreeFill::Zeros},
                      Case{"ScatteredLinked", td::RecordLayout::Working, td::Deletion::Linked,
                           td::ChainOrder::Shuffled, true, td::FreeFill::Noise},
                      Case{"ScatteredClearedOld", td::RecordLayout::Old, td::Deletion::Cleared,
                           td::ChainOrder::Shuffled, true, td::FreeFill::None}),
    [](const auto& p) { return std::string(p.param.name); });

// A recording whose middle cluster a live one took: the part before it and the part after it.
TEST(Recovery, ListsTheSurvivingPartsOfAnOverwrittenRecording) {
    td::DiskSpec desc;
    td::ClipSpec gone = SampleClip("Long", "mpeg1-sif.m1v", "", 150); // about 109 MB
    gone.deleted = td::Deletion::Cleared;
    gone.videoStartSector = kLate;
    gone.videoClusters = {5, 2, 7};
    td::ClipSpec over = SampleClip("Over", "mpeg1-sif.m1v", "");
    over.videoClusters = {2};
    desc.clips = {gone, over};
    TestDisk disk(desc, "recover-middle");
    bool ok = false;
    ClusterTable table(disk.Image(), ok);
    CPVRDrive drive(disk.Image(), &table, disk.Layout());
    std::atomic<bool> cancel{false};
    const auto report = ScanForDeleted(drive, table, {}, cancel);
    ASSERT_EQ(report.recordings.size(), 2u);
    EXPECT_EQ(Ints(report.recordings[0].video.chain), (std::vector<int>{5}));
    EXPECT_EQ(Ints(report.recordings[1].video.chain), (std::vector<int>{7}));
    for (const auto& r : report.recordings)
        EXPECT_FALSE(r.complete);
}

TEST(Recovery, StopsWhenCancelled) {
    Case c{"Cancel", td::RecordLayout::Working, td::Deletion::Cleared, td::ChainOrder::Sequential,
           false,    td::FreeFill::None};
    TestDisk disk(Disk(c), "recover-cancel");
    bool ok = false;
    ClusterTable table(disk.Image(), ok);
    CPVRDrive drive(disk.Image(), &table, disk.Layout());
    std::atomic<bool> cancel{false};
    const auto report = ScanForDeleted(
        drive, table, [&](int done, int) { cancel = done == 2; }, cancel);
    EXPECT_TRUE(report.cancelled);
    EXPECT_TRUE(report.recordings.empty());
}

TEST(Recovery, SaysWhatItCouldNotRead) {
    Case c{"Faults", td::RecordLayout::Working, td::Deletion::Cleared, td::ChainOrder::Sequential,
           false,    td::FreeFill::None};
    TestDisk disk(Disk(c), "recover-faults");
    bool ok = false;
    ClusterTable table(disk.Image(), ok);
    CPVRDrive drive(disk.Image(), &table, disk.Layout());
    const int b = disk.Result(2).video.chain[0];
    VolumeFaults faults;
    faults.failingReads = {{td::ClusterByteOffset(b), td::ClusterByteOffset(b + 1)}};
    SetVolumeFaults(disk.Image(), faults);
    std::atomic<bool> cancel{false};
    const auto report = ScanForDeleted(drive, table, {}, cancel);
    ClearVolumeFaults();
    EXPECT_GT(report.failedReads, 0);
    EXPECT_EQ(report.recordings.size(), 2u) << "the recording in the unreadable cluster is lost";
}

// The recovered clip through the runner: at least 95% of each stream, in order, decodable.
TEST(Recovery, RipsARecoveredRecordingThroughTheRunner) {
    ScratchDir out;
    Case c{"Rip", td::RecordLayout::Working, td::Deletion::Linked, td::ChainOrder::Shuffled,
           true,  td::FreeFill::Noise};
    TestDisk disk(Disk(c), "recover-rip");
    bool ok = false;
    ClusterTable table(disk.Image(), ok);
    CPVRDrive drive(disk.Image(), &table, disk.Layout());
    std::atomic<bool> cancel{false};
    const auto report = ScanForDeleted(drive, table, {}, cancel);
    const auto a = std::find_if(report.recordings.begin(), report.recordings.end(), [&](auto& r) {
        return Ints(r.video.chain) == disk.Result(1).video.chain;
    });
    ASSERT_NE(a, report.recordings.end());
    RecoveredClip recovered(disk.Image(), *a);
    RipProgress audio, video;
    RipRunner runner(recovered.Clip(), audio, video, &cancel);
    const RipRunReport run = runner.Run(RipRequest{});
    ASSERT_EQ(run.outcome, RipOutcome::kDone) << run.stages.message;
    const std::string base = RecoveredName(a->number);
    const td::ClipResult& want = disk.Result(1);
    const std::int64_t first = want.video.stream.packets.front().pts;
    const std::int64_t end = first + static_cast<std::int64_t>(std::ceil(a->seconds)) * 90'000;
    const auto video0 = ExpectedVideo(want.video, first, first, end);
    const auto audio0 = ExpectedAudio(want.audio, first, first, end);
    const auto gotVideo = ReadFile(base + ".m2v");
    const auto gotAudio = ReadFile(base + ".mp2");
    // The last sector's zero padding may come along before the end code.
    ASSERT_GE(gotVideo.size(), video0.size());
    EXPECT_TRUE(std::equal(video0.begin(), video0.end() - 4, gotVideo.begin()));
    EXPECT_TRUE(std::all_of(gotVideo.begin() + static_cast<std::ptrdiff_t>(video0.size()) - 4,
                            gotVideo.end() - 4, [](std::uint8_t x) { return x == 0; }));
    EXPECT_TRUE(gotAudio == audio0) << gotAudio.size() << " bytes of " << audio0.size();
    EXPECT_TRUE(DecodesCleanly(base + ".m2v"));
    EXPECT_TRUE(fs::exists(base + " delay.log"));
    EXPECT_FALSE(recovered.Clip().Rename("x")) << "never written";
}

} // namespace
} // namespace quorin::riptest
