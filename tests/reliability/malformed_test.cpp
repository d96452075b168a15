// Disks that are not what they claim to be, each with the outcome a user can work with: what
// quorin-cli prints and returns, and what the engine writes.
#include "reliability_support.h"

#include "disk/clip_texts.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "rip/backup.h"

#include <fcntl.h>
#include <unistd.h>

namespace quorin::reliability {
namespace {

void Patch(const std::string& image, std::int64_t at, std::vector<std::uint8_t> bytes) {
    const int fd = ::open(image.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}
void Patch16(const std::string& image, std::int64_t at, std::uint16_t v) {
    Patch(image, at, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
}
void Patch32(const std::string& image, std::int64_t at, std::uint32_t v) {
    Patch(image, at,
          {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
           static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
}
constexpr std::int64_t Record(int clip) {
    return (10 + clip) * 512;
}
constexpr std::int64_t Link(int cluster) {
    return 512 + cluster * 4;
}

class MalformedTest : public ::testing::Test {
protected:
    // The disk as quorin-cli sees it (no settings file is read).
    Command Cli(const std::string& args) {
        return riptest::Run("env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " +
                            std::string(QUORIN_CLI) + " " + args + " --firmware190 --disk " +
                            Quote(disk_->Image()));
    }
    void Make(const td::DiskSpec& desc) {
        disk_ = std::make_unique<TestDisk>(desc, "malformed");
        ASSERT_FALSE(HasFailure()) << "the factory could not build the disk";
        disk_->Options();
    }
    // Re-reads the disk after a patch.
    void Reopen() {
        disk_->Open();
        disk_->Options();
    }
    const std::string& Image() const { return disk_->Image(); }

    ScratchDir out_;
    std::unique_ptr<TestDisk> disk_;
};

TEST_F(MalformedTest, AClipCountOf255ListsTheRecordsBeforeTheDataArea) {
    ASSERT_NO_FATAL_FAILURE(Make(OneClip(FaultClip())));
    Patch(Image(), 0x0E, {255});
    bool ok = false;
    ClusterTable table(Image(), ok);
    CPVRDrive drive(Image(), &table);
    EXPECT_EQ(drive.HeaderFileCount(), 255);
    EXPECT_EQ(drive.GetFileCount(), 246); // records from sector 256 on would be data
    Command c = Cli("list");
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(Contains(c.err, "the header claims 255 clips; only 246 records fit before the "
                                "data area"))
        << c.err;
    EXPECT_EQ(std::count(c.out.begin(), c.out.end(), '\n'), 3 + 246);
    EXPECT_TRUE(Contains(c.out, "\tFilm\t"));
}

// Video 2.3 MiB before the end of its first cluster, so that it runs on into a second one.
td::ClipSpec TwoClusterClip() {
    td::ClipSpec c = FaultClip();
    c.videoClusters = {9, 4};
    c.videoStartSector = 200'000;
    return c;
}

TEST_F(MalformedTest, AChainThatLoopsEndsTheStreamWhereItReturns) {
    ASSERT_NO_FATAL_FAILURE(Make(OneClip(TwoClusterClip())));
    const td::ClipResult& res = disk_->Result(0);
    const double all = res.lengthSeconds + 100; // on to the end of the data
    // A loop after the clusters the record counts does no harm.
    Patch16(Image(), Link(4), 9); // 9 -> 4 -> 9 -> 4 ...
    Reopen();
    Ripped whole = Rip(*disk_, 0, all);
    EXPECT_EQ(whole.outcome, RipOutcome::kDone) << whole.report.message;
    const std::vector<std::uint8_t> film = WithoutEndCode(ReadFile("Film.m2v"));
    // A chain that returns to its first cluster at once: the stream ends with that cluster.
    Patch16(Image(), Link(9), 9);
    Reopen();
    Command info = Cli("info --clip 1");
    EXPECT_EQ(info.status, 0);
    EXPECT_TRUE(Contains(info.out, "VClusters   = 9 9 9 9")); // the walk ends, 1,151 long
    disk_->request.outputName = "Looped";
    Ripped r = Rip(*disk_, 0, all);
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    const std::string why =
        "the cluster chain returns to cluster 9 after 1 clusters, before the end of the stream";
    EXPECT_EQ(r.report.message, why);
    EXPECT_EQ(disk_->video.Status(), why);
    EXPECT_TRUE(CutShort(WithoutEndCode(ReadFile("Looped.m2v")), film)); // nothing read twice
    // A raw rip refuses such a stream at once.
    disk_->request.rawVideo = true;
    Ripped raw = Rip(*disk_, 0, all);
    EXPECT_EQ(raw.outcome, RipOutcome::kReadError);
    EXPECT_EQ(disk_->video.Status(), why);
    EXPECT_FALSE(std::filesystem::exists("Looped.pva"));
}

TEST_F(MalformedTest, AChainIntoTheHeaderAreaIsNeverFollowed) {
    ASSERT_NO_FATAL_FAILURE(Make(OneClip(TwoClusterClip())));
    const td::ClipResult& res = disk_->Result(0);
    for (std::uint16_t bad : {std::uint16_t{0}, std::uint16_t{1152}, std::uint16_t{0xFFFE}}) {
        SCOPED_TRACE(bad);
        ScratchDir dir;
        Patch16(Image(), Link(9), bad);
        Reopen();
        Ripped r = Rip(*disk_, 0, res.lengthSeconds);
        EXPECT_EQ(r.outcome, RipOutcome::kReadError);
        const std::string why =
            Format("the cluster chain leads to cluster %u, which is not a data cluster", bad);
        EXPECT_EQ(r.report.message, why);
        // The first cluster's part of the stream is there, nothing after it.
        EXPECT_TRUE(CutShort(
            WithoutEndCode(ReadFile("Film.m2v")),
            WithoutEndCode(ExpectedVideo(res.video, res.video.stream.packets[0].pts,
                                         res.video.stream.packets[0].pts, INT64_MAX / 2))));
        disk_->request.rawVideo = true;
        Ripped raw = Rip(*disk_, 0, res.lengthSeconds);
        EXPECT_EQ(raw.outcome, RipOutcome::kReadError);
        EXPECT_EQ(disk_->video.Status(), why);
    }
    // A first cluster of 0: the stream cannot be read at all.
    Patch16(Image(), Record(0) + 0x58, 0);
    Reopen();
    Ripped first = Rip(*disk_, 0, res.lengthSeconds);
    EXPECT_EQ(first.outcome, RipOutcome::kReadError);
    EXPECT_EQ(first.report.message,
              "the cluster chain leads to cluster 0, which is not a data cluster");
    Command c = Cli("rip --clip 1 --out out");
    EXPECT_EQ(c.status, 2);
    EXPECT_TRUE(Contains(c.err, "which is not a data cluster")) << c.err;
}

TEST_F(MalformedTest, ZeroVideoClustersIsAClipWithoutVideo) {
    ASSERT_NO_FATAL_FAILURE(Make(OneClip(FaultClip())));
    Patch16(Image(), Record(0) + 0x4C, 0);
    Reopen();
    Ripped r = Rip(*disk_, 0, 5);
    EXPECT_EQ(r.outcome, RipOutcome::kNothingToRip);
    EXPECT_EQ(r.report.message, "stream id not found");
    EXPECT_TRUE(r.report.files.empty());
    // The audio alone rips; a backup keeps the record and an empty video file.
    disk_->request.video = false;
    EXPECT_EQ(Rip(*disk_, 0, 5).outcome, RipOutcome::kDone);
    disk_->request.video = true;
    disk_->request.backup = true;
    ScratchDir dir;
    EXPECT_EQ(Rip(*disk_, 0, 5).outcome, RipOutcome::kDone);
    EXPECT_EQ(std::filesystem::file_size("Film.pva"), 0u);
    EXPECT_EQ(Cli("rip --clip 1 --out out").status, 3);
}

TEST_F(MalformedTest, AStartOffsetBeyondTheClusterLocatesNothing) {
    ASSERT_NO_FATAL_FAILURE(Make(OneClip(FaultClip())));
    Patch32(Image(), Record(0) + 0x84, 300'000);
    Reopen();
    Ripped r = Rip(*disk_, 0, 5);
    EXPECT_EQ(r.outcome, RipOutcome::kNothingToRip);
    const std::string why =
        "the start offset of the video stream (300000 sectors) lies outside its first cluster";
    EXPECT_EQ(r.report.message, why);
    EXPECT_EQ(disk_->video.Status(), why);
    EXPECT_TRUE(r.report.files.empty());
    Command c = Cli("rip --clip 1 --out out --raw-video");
    EXPECT_EQ(c.status, 3);
    EXPECT_TRUE(Contains(c.err, why)) << c.err;
}

TEST_F(MalformedTest, AnEndOffsetOfZeroIsAnEmptyStream) {
    ASSERT_NO_FATAL_FAILURE(Make(OneClip(FaultClip())));
    Patch32(Image(), Record(0) + 0x50, 0);
    Reopen();
    Ripped r = Rip(*disk_, 0, 5);
    EXPECT_EQ(r.outcome, RipOutcome::kNothingToRip) << r.report.message;
    EXPECT_EQ(ReadFile("Film.m2v").size(), 4u); // the sequence end code alone
    // An end offset far beyond the cluster ends the stream with the cluster.
    Patch32(Image(), Record(0) + 0x50, 0x7FFFFFFF);
    Reopen();
    ScratchDir dir;
    Ripped far = Rip(*disk_, 0, 5);
    EXPECT_EQ(far.outcome, RipOutcome::kDone) << far.report.message;
}

TEST_F(MalformedTest, ANameWithoutItsNulIsCutToItsField) {
    ASSERT_NO_FATAL_FAILURE(Make(OneClip(FaultClip())));
    Patch(Image(), Record(0) + 0x13, std::vector<std::uint8_t>(41, 'N'));
    Reopen();
    const std::string name(41, 'N');
    EXPECT_EQ(disk_->Clip(0).GetRecord().ClipName(), name);
    EXPECT_EQ(disk_->Clip(0).GetRecord().Year(), 2024); // the field after it is untouched
    Command c = Cli("list");
    EXPECT_EQ(c.status, 0);
    EXPECT_TRUE(Contains(c.out, "\t" + name + "\t")) << c.out;
    EXPECT_EQ(Rip(*disk_, 0, 2).outcome, RipOutcome::kDone);
    EXPECT_TRUE(std::filesystem::exists(name + ".m2v"));
}

TEST_F(MalformedTest, AnImageShorterThanItsFirstClusterReadsAsAFailingDisk) {
    ASSERT_NO_FATAL_FAILURE(Make(OneClip(FaultClip())));
    ASSERT_EQ(::truncate(Image().c_str(), td::ClusterByteOffset(1) - 4096), 0);
    Reopen();
    Command list = Cli("list");
    EXPECT_EQ(list.status, 0); // the directory is whole
    Ripped r = Rip(*disk_, 0, 5);
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    EXPECT_EQ(r.report.message, Format("read error: no data from byte %lld of ",
                                       static_cast<long long>(td::ClusterByteOffset(4))) +
                                    Image() + " on, the disk ends before the end of the stream");
    for (const char* mode : {"", " --raw-audio --raw-video", " --backup"}) {
        Command c = Cli(std::string("rip --clip 1 --out out") + mode);
        EXPECT_EQ(c.status, 2) << mode;
        EXPECT_TRUE(Contains(c.err, "the disk ends before the end of the stream")) << c.err;
    }
}

} // namespace
} // namespace quorin::reliability
