// Rips, raw rips, backups and the listing on a volume that fails: reads that fail or come back
// short at chosen offsets, a device that ends early, output files that cannot be written. Each
// run ends with a status text and a log line that say what failed, as a failure, and writes
// nothing but the disk's own bytes.
#include "reliability_support.h"

#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"

#include <cerrno>

namespace quorin::reliability {
namespace {

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(res_.video.chain.size(), 1u);
        ASSERT_EQ(res_.audio.chain.size(), 1u);
        disk_.Options();
        // The stop policy (--on-read-error stop); salvage_test.cpp covers the default.
        disk_.request.readPolicy = ReadPolicy::kStop;
    }
    void TearDown() override { ClearVolumeFaults(); }

    double Length() const { return res_.lengthSeconds; }
    std::int64_t First() const { return res_.video.stream.packets.front().pts; }
    std::vector<std::uint8_t> WholeVideo() const {
        return WithoutEndCode(ExpectedVideo(res_.video, First(), First(), First() + End()));
    }
    std::vector<std::uint8_t> WholeAudio() const {
        return ExpectedAudio(res_.audio, First(), First(), First() + End());
    }
    std::int64_t End() const { return static_cast<std::int64_t>(Length() * 90'000); }

    ScratchDir out_;
    TestDisk disk_{OneClip(FaultClip()), "fault"};
    const td::ClipResult& res_ = disk_.Result(0);
};

TEST_F(FaultTest, AFailingReadInTheVideoEndsTheRipAsAReadError) {
    const std::int64_t bad = StreamByte(res_.video, 0.6);
    FaultScope faults(disk_.Image(), FailingRead(bad, bad + 512));
    LogScope log;
    Ripped r = Rip(disk_, 0, Length());
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    // The reader's 64 KiB block (counted from the cluster's start) that holds the bad sector is
    // where the data stopped.
    const std::int64_t cluster = td::ClusterByteOffset(res_.video.chain.front());
    const std::int64_t block = cluster + (bad - cluster) / 65536 * 65536;
    EXPECT_EQ(disk_.video.Status(),
              Format("read error at byte %lld of ", static_cast<long long>(block)) + disk_.Image() +
                  ": Input/output error");
    EXPECT_EQ(r.report.message, disk_.video.Status());
    const std::string text = log.Text();
    EXPECT_TRUE(Contains(text, disk_.video.Status() + "\n")) << text;
    EXPECT_FALSE(Contains(text, "Stream ripped successfully"));
    // The video file holds the stream up to the failure and nothing else; the audio is whole.
    EXPECT_TRUE(CutShort(WithoutEndCode(ReadFile("Film.m2v")), WholeVideo()));
    EXPECT_EQ(ReadFile("Film.mp2"), WholeAudio());
}

TEST_F(FaultTest, AShortReadInTheAudioEndsTheRipAsAReadError) {
    const std::int64_t bad = StreamByte(res_.audio, 0.5);
    FaultScope faults(disk_.Image(), ShortRead(bad, bad + 100));
    LogScope log;
    Ripped r = Rip(disk_, 0, Length());
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    EXPECT_EQ(disk_.audio.Status(),
              Format("read error: no data from byte %lld of ", static_cast<long long>(bad)) +
                  disk_.Image() + " on, the disk ends before the end of the stream");
    EXPECT_TRUE(Contains(log.Text(), disk_.audio.Status() + "\n"));
    EXPECT_TRUE(CutShort(ReadFile("Film.mp2"), WholeAudio()));
    // The video stage still runs and is whole.
    EXPECT_EQ(WithoutEndCode(ReadFile("Film.m2v")), WholeVideo());
}

TEST_F(FaultTest, ADeviceThatEndsInsideTheVideoEndsTheRipAsAReadError) {
    const std::int64_t end = StreamByte(res_.video, 0.3);
    FaultScope faults(disk_.Image(), DeviceEnd(end));
    Ripped r = Rip(disk_, 0, Length());
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    EXPECT_EQ(disk_.video.Status(),
              Format("read error: no data from byte %lld of ", static_cast<long long>(end)) +
                  disk_.Image() + " on, the disk ends before the end of the stream");
    EXPECT_TRUE(CutShort(WithoutEndCode(ReadFile("Film.m2v")), WholeVideo()));
}

TEST_F(FaultTest, AStreamThatCannotBeReadAtAllIsAReadErrorNotAMissingStream) {
    const std::int64_t start = StreamStart(res_.video);
    FaultScope faults(disk_.Image(), FailingRead(start, start + 512));
    LogScope log;
    Ripped r = Rip(disk_, 0, Length());
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    EXPECT_EQ(r.report.message.rfind("read error at byte ", 0), 0u) << r.report.message;
    EXPECT_TRUE(Contains(log.Text(), r.report.message + "\n"));
    EXPECT_TRUE(r.report.files.empty()); // the analysis stopped before any file was made
}

TEST_F(FaultTest, ACutThatEndsBeforeTheFaultIsNotDisturbedByIt) {
    const std::int64_t bad = StreamByte(res_.video, 0.9);
    FaultScope faults(disk_.Image(), FailingRead(bad, bad + 512));
    Ripped r = Rip(disk_, 0, 2);
    EXPECT_EQ(r.outcome, RipOutcome::kDone) << r.report.message;
    const std::int64_t E = First() + 2 * 90'000;
    EXPECT_EQ(ReadFile("Film.m2v"), ExpectedVideo(res_.video, First(), First(), E));
}

TEST_F(FaultTest, RawRipsStopAtAFailingReadWithTheStreamsOwnBytes) {
    const std::int64_t bad = StreamByte(res_.video, 0.5);
    FaultScope faults(disk_.Image(), FailingRead(bad, bad + 512));
    disk_.request.rawAudio = true;
    disk_.request.rawVideo = true;
    LogScope log;
    Ripped r = Rip(disk_, 0, Length());
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    EXPECT_EQ(disk_.video.Status().rfind("read error at byte ", 0), 0u) << disk_.video.Status();
    EXPECT_TRUE(Contains(log.Text(), disk_.video.Status() + "\n"));
    // The raw video is the recorded stream from its first packet, cut short; the audio is whole.
    auto video = ReadFile("Film.pva");
    ASSERT_FALSE(video.empty());
    EXPECT_TRUE(CutShort(video, res_.video.stream.bytes));
    EXPECT_TRUE(CopiedFrom(ReadFile("Film.mpp"), StreamData(disk_.Image(), res_.audio)));
}

TEST_F(FaultTest, ABackupStopsAtAShortReadWithTheStreamsOwnBytes) {
    const std::int64_t bad = StreamByte(res_.video, 0.4);
    FaultScope faults(disk_.Image(), ShortRead(bad, bad + 1));
    disk_.request.backup = true;
    LogScope log;
    Ripped r = Rip(disk_, 0, Length());
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    EXPECT_EQ(disk_.video.Status(),
              Format("read error: no data from byte %lld of ", static_cast<long long>(bad)) +
                  disk_.Image() + " on, the disk ends before the end of the stream");
    EXPECT_TRUE(Contains(log.Text(), disk_.video.Status() + "\n"));
    EXPECT_EQ(r.report.message, disk_.video.Status());
    auto video = ReadFile("Film.pva");
    EXPECT_EQ(static_cast<std::int64_t>(video.size()), bad - StreamStart(res_.video));
    EXPECT_TRUE(CutShort(video, res_.video.stream.bytes));
    EXPECT_EQ(ReadFile("Film.sFileDescription").size(), 512u);
}

// Output files that cannot be written to the end: every kind of run says so and fails.
TEST_F(FaultTest, OutputFilesThatCannotBeWrittenFailEveryKindOfRun) {
    struct Case {
        const char* what;
        bool raw, backup;
        const char* file;
    };
    for (const Case& c :
         {Case{"elementary", false, false, "Film.m2v"}, Case{"raw", true, false, "Film.pva"},
          Case{"backup", false, true, "Film.pva"}}) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        disk_.Options();
        disk_.request.audio = false;
        disk_.request.rawVideo = c.raw;
        disk_.request.backup = c.backup;
        Ripped r;
        {
            FileSizeLimit limit(300'000);
            LogScope log;
            r = Rip(disk_, 0, Length());
            EXPECT_TRUE(Contains(log.Text(),
                                 "could not write " + std::string(c.file) + ": File too large\n"));
        }
        EXPECT_EQ(r.outcome, RipOutcome::kOutputFailed);
        EXPECT_EQ(disk_.video.Status(),
                  "could not write " + std::string(c.file) + ": File too large");
        EXPECT_LE(std::filesystem::file_size(c.file), 300'000u);
    }
}

// The listing: a header, table or record that cannot be read is reported, never shown as data.
TEST(ListingFaults, UnreadableDirectorySectorsAreReportedAndLogged) {
    ScratchDir out;
    td::DiskSpec desc = OneClip(FaultClip("One"));
    desc.clips.push_back(FaultClip("Two"));
    desc.clips.back().audioClusters = {6};
    desc.clips.back().videoClusters = {7};
    TestDisk disk(desc, "listing");
    const std::string& image = disk.Image();
    bool ok = false;
    {
        FaultScope faults(image, FailingRead(0, 512));
        CPVRDrive drive(image, nullptr);
        EXPECT_FALSE(drive.VolumeOpened());
        EXPECT_EQ(drive.OpenError(), EIO);
        EXPECT_EQ(drive.GetFileCount(), 0);
    }
    {
        FaultScope faults(image, FailingRead(4096, 4097));
        ClusterTable table(image, ok);
        EXPECT_FALSE(ok);
        EXPECT_FALSE(table.HasTable());
    }
    {
        FaultScope faults(image, FailingRead(11 * 512, 11 * 512 + 1));
        LogScope log;
        ClusterTable table(image, ok);
        CPVRDrive drive(image, &table);
        ASSERT_EQ(drive.GetFileCount(), 2);
        EXPECT_TRUE(drive.GetFile(0)->RecordRead());
        EXPECT_FALSE(drive.GetFile(1)->RecordRead());
        EXPECT_EQ(drive.GetFile(1)->GetRecord().ClipName(), ""); // no stale record shown
        EXPECT_TRUE(Contains(log.Text(), "could not read the record of clip 2 from " + image +
                                             ": Input/output error\n"));
    }
}

} // namespace
} // namespace quorin::reliability
