// quorin-cli jobs running the real engine on a disk made by the test-disk
// factory.
#include "../cli/run_cli.h"
#include "test_env.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "mkdisk/testdisk.h"

#include <gtest/gtest.h>

namespace quorin::test {
namespace {

namespace td = quorin::testdisk;
namespace fs = std::filesystem;

td::ClipSpec Clip(const std::string& name, const char* video, const char* audio, int loops) {
    td::ClipSpec c;
    c.station = "Quorin One";
    c.name = name;
    c.videoFile = fs::path(QUORIN_SAMPLES_DIR) / video;
    c.audioFile = fs::path(QUORIN_SAMPLES_DIR) / audio;
    c.loops = loops;
    return c;
}

std::vector<std::string> ClipNames(const std::string& image) {
    bool ok = false;
    ClusterTable table(image, ok);
    CPVRDrive drive(image, &table, RecordLayout::kFirmware190);
    std::vector<std::string> names;
    for (int i = 0; i < drive.GetFileCount(); ++i)
        names.push_back(drive.GetFile(i)->GetRecord().ClipName());
    return names;
}

bool IsVideoStream(const std::string& path) {
    const std::string bytes = ReadFile(path);
    return bytes.size() > 8 && bytes.compare(0, 4, "\x00\x00\x01\xB3", 4) == 0 &&
           bytes.compare(bytes.size() - 4, 4, "\x00\x00\x01\xB7", 4) == 0;
}

class JobsRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetConsoleTrace(false);
        dir_ = std::make_unique<TempDir>("quorin-jobs-run");
        td::DiskSpec desc;
        desc.clips.push_back(Clip("Card", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 3));
        desc.clips.push_back(Clip("Wide", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", 2));
        auto built = td::BuildImage(desc, *dir_ / "disk.img", {.keepStreamBytes = false});
        ASSERT_TRUE(built.ok()) << built.error();
        for (const auto& clip : built->clips)
            checksums_.push_back(ClipChecksumOf(clip.record));
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static std::uint32_t ClipChecksumOf(const std::array<std::uint8_t, 512>& bytes) {
        ClipRecord r;
        std::copy(bytes.begin(), bytes.end(), r.bytes.begin());
        return ClipChecksum(r);
    }

    std::string Image() { return *dir_ / "disk.img"; }
    std::string Out(const std::string& name) { return (out_.Path() / name).string(); }
    CliResult Jobs(const std::string& list, const std::string& options) {
        WriteFile(out_ / "list.csv", list);
        return RunCli("jobs --firmware190 --disk " + Quote(Image()) + " --out " +
                          Quote(out_ / "out") + " " + options + " " + Quote(out_ / "list.csv"),
                      out_ / "err.txt");
    }

    static inline std::unique_ptr<TempDir> dir_;
    static inline std::vector<std::uint32_t> checksums_;
    TempDir out_{"quorin-jobs-out"};
    EnvGuard config_{"XDG_CONFIG_HOME", out_ / "config"};
};

TEST_F(JobsRunTest, RunsLastFirstNamesFilesAfterJobsAndLeavesTheDiskAlone) {
    const std::string list = "Index;Name;Begin;End;Rip Audio;Rip Video;Rip Audio Raw;Rip Video "
                             "Raw;Checksum\r\n" +
                             Format("1;Erster;0;2;1;1;0;0;%08X\r\n", checksums_[0]) +
                             Format("2;Zweiter;0.50;1.50;0;1;0;0;%08X\r\n", checksums_[1]);
    CliResult r = Jobs(list, "");
    EXPECT_EQ(r.status, 0) << ReadFile(out_ / "err.txt");
    EXPECT_EQ(r.out, "2\tZweiter\tdone\n1\tErster\tdone\n");
    EXPECT_TRUE(IsVideoStream(Out("out/Erster.m2v")));
    EXPECT_TRUE(IsVideoStream(Out("out/Zweiter.m2v")));
    EXPECT_GT(fs::file_size(Out("out/Erster.mp2")), 0u);
    EXPECT_FALSE(fs::exists(Out("out/Zweiter.ac3"))); // that job has audio off
    EXPECT_EQ(ClipNames(Image()), (std::vector<std::string>{"Card", "Wide"}));
}

TEST_F(JobsRunTest, RenamesClipsOnlyWhenAskedAndRipsRawWithTheSettingsPostfixes) {
    fs::create_directories(out_.Path() / "config/quorin");
    WriteFile(out_ / "config/quorin/quorin.ini",
              "[QUORIN]\nPrefix Raw Video=rv\nPrefix Raw Audio=ra\n");
    const std::string list = Format("2;Umbenannt;0;1;1;1;0;0;%08X\r\n", checksums_[1]);
    CliResult r = Jobs(list, "--rename-clips --raw-video");
    EXPECT_EQ(r.status, 0) << ReadFile(out_ / "err.txt");
    EXPECT_TRUE(fs::exists(Out("out/Umbenannt.rv")));
    EXPECT_TRUE(fs::exists(Out("out/Umbenannt.ra"))); // "Rip Stream Raw" rips the audio raw too
    EXPECT_EQ(ClipNames(Image()), (std::vector<std::string>{"Card", "Umbenannt"}));
    // Put the title back for the other tests.
    EXPECT_EQ(
        RunCli("rename --firmware190 --disk " + Quote(Image()) + " --clip 2 --title Wide").status,
        0);
}

TEST_F(JobsRunTest, AFailingJobDoesNotStopTheOthers) {
    // The first job begins beyond its clip: "wrong offset", nothing to rip (3).
    const std::string list = Format("1;Gut;0;1;1;1;0;0;%08X\r\n", checksums_[0]) +
                             Format("2;Zu spaet;50000;50001;1;1;0;0;%08X\r\n", checksums_[1]);
    CliResult r = Jobs(list, "");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "2\tZu spaet\twrong offset\n1\tGut\tdone\n");
    EXPECT_NE(ReadFile(out_ / "err.txt").find("ERROR from RipStream: wrong offset"),
              std::string::npos);
    EXPECT_TRUE(IsVideoStream(Out("out/Gut.m2v")));
}

} // namespace
} // namespace quorin::test
