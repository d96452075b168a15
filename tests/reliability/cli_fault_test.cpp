// quorin-cli on disks that fail the way real ones do: an image that ends inside its directory or
// inside a stream, and output files that cannot be written. Each run says what failed on stderr
// and ends with a non-zero exit status.
#include "reliability_support.h"

#include <unistd.h>

namespace quorin::reliability {
namespace {

class CliFaults : public ::testing::Test {
protected:
    void SetUp() override {
        // The first clip's video lies last on the image; the second clip lies before it.
        td::DiskSpec desc = OneClip(FaultClip());
        td::ClipSpec second = SampleClip("Second", "mpeg1-sif.m1v", "tone-48k-192k.mp2");
        second.layout = td::RecordLayout::Working;
        second.videoClusters = {1};
        second.audioClusters = {3};
        desc.clips.push_back(second);
        disk_ = std::make_unique<TestDisk>(desc, "cli-fault");
        ASSERT_FALSE(HasFailure());
    }
    // quorin-cli with a shell prefix (limits), no settings file read.
    Command Cli(const std::string& args, const std::string& prefix = "") {
        return riptest::Run(prefix + "env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " +
                            std::string(QUORIN_CLI) + " " + args + " --firmware190 --disk " +
                            Quote(disk_->Image()));
    }
    std::int64_t VideoAt(double fraction) const {
        return StreamByte(disk_->Result(0).video, fraction);
    }

    ScratchDir out_;
    std::unique_ptr<TestDisk> disk_;
};

TEST_F(CliFaults, AListWithUnreadableRecordsSaysSoAndFails) {
    // Header, table and the first record only: the header counts two clips.
    ASSERT_EQ(::truncate(disk_->Image().c_str(), 11 * 512), 0);
    Command c = Cli("list");
    EXPECT_EQ(c.status, 6);
    EXPECT_TRUE(Contains(c.err, "could not read the record of clip 2")) << c.err;
    EXPECT_TRUE(Contains(c.out, "\tFilm\t")) << c.out; // what could be read is still shown
}

TEST_F(CliFaults, AnImageThatEndsInsideTheVideoFailsEveryKindOfRip) {
    const std::int64_t end = VideoAt(0.5);
    ASSERT_EQ(::truncate(disk_->Image().c_str(), end), 0);
    const std::string why = Format("no data from byte %lld of ", static_cast<long long>(end)) +
                            disk_->Image() + " on, the disk ends before the end of the stream";
    Command rip = Cli("rip --clip 1 --out es");
    EXPECT_EQ(rip.status, 2) << rip.err;
    EXPECT_TRUE(Contains(rip.err, "quorin-cli: read error: " + why)) << rip.err;
    EXPECT_TRUE(Contains(rip.out, "file\tFilm.m2v\t")); // the part before the end is kept
    Command raw = Cli("rip --clip 1 --out raw --raw-audio --raw-video");
    EXPECT_EQ(raw.status, 2);
    EXPECT_TRUE(Contains(raw.err, why)) << raw.err;
    Command backup = Cli("rip --clip 1 --out backup --backup");
    EXPECT_EQ(backup.status, 2);
    EXPECT_TRUE(Contains(backup.err, why)) << backup.err;
    // The clip beside it is whole and rips.
    EXPECT_EQ(Cli("rip --clip 2 --out second").status, 0);
}

TEST_F(CliFaults, OutputFilesThatCannotBeWrittenFailTheRip) {
    // A file size limit of 100 KiB: the writes fail (EFBIG), the process is not killed.
    for (const char* options : {"--no-audio", "--mux mkv"}) {
        SCOPED_TRACE(options);
        const std::string dir = (out_.Path() / "es").string();
        Command rip = riptest::Run(
            "sh -c " +
            Quote("ulimit -f 200; exec env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " +
                  QUORIN_CLI + " rip --clip 1 " + options + " --out " + Quote(dir) +
                  " --firmware190 --disk " + Quote(disk_->Image())));
        EXPECT_EQ(rip.status, 5) << rip.err;
        EXPECT_TRUE(Contains(rip.err, "could not write Film.m2v: File too large")) << rip.err;
        EXPECT_TRUE(Contains(rip.err, "video stopped")) << rip.err;
        EXPECT_FALSE(Contains(rip.err, "video 100%")) << rip.err;
        EXPECT_FALSE(std::filesystem::exists(dir + "/Film.mkv"));
        std::filesystem::remove_all(dir);
    }
}

} // namespace
} // namespace quorin::reliability
