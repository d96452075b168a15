// quorin-cli recover end to end: the real binary on factory disks with deleted recordings.
#include "rip_fixture.h"

#include <nlohmann/json.hpp>

namespace quorin {
namespace {

using namespace riptest;

class CliRecover : public ::testing::Test {
protected:
    static td::DiskSpec DiskOf(bool withDeleted) {
        td::DiskSpec desc;
        desc.freeFill = td::FreeFill::Noise;
        desc.freeFillBytes = 1 << 20;
        td::ClipSpec live = SampleClip("Live", "mpeg2-4x3.m2v", "tone-48k-192k.mp2");
        live.layout = td::RecordLayout::Old; // what quorin-cli reads without --firmware190
        td::ClipSpec a = SampleClip("A", "mpeg2-4x3.m2v", "tone-48k-192k.mp2");
        a.videoStartSector = td::kClusterSectors - 2048;
        a.firstPts = 5'000'000;
        td::ClipSpec b = SampleClip("B", "mpeg2-16x9.m2v", "tone-48k-448k.ac3");
        b.firstPts = 90'000'000;
        for (td::ClipSpec* c : {&a, &b}) {
            c->layout = td::RecordLayout::Old;
            c->deleted = td::Deletion::Linked;
        }
        desc.clips = withDeleted ? std::vector{live, a, b} : std::vector{live};
        return desc;
    }

    Command Cli(const std::string& args) {
        return riptest::Run("env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " +
                            std::string(QUORIN_CLI) + " " + args);
    }
    std::string Disk(const TestDisk& disk) const { return "--disk " + Quote(disk.Image()); }

    ScratchDir out_;
};

TEST_F(CliRecover, ListsAndRipsInTheSameOrderWithoutWritingTheDisk) {
    TestDisk disk(DiskOf(true), "cli-recover");
    const auto before = fs::last_write_time(disk.Image());
    const Command list = Cli("recover " + Disk(disk) + " --list");
    ASSERT_EQ(list.status, 0) << list.err;
    // B (one video cluster) and A (two) in the order of their first video clusters.
    const bool bFirst = disk.Result(2).video.chain[0] < disk.Result(1).video.chain[0];
    const std::string lineA = "\t4\t2\t1\tcomplete\n", lineB = "\t4\t1\t1\tcomplete\n";
    EXPECT_EQ(list.out, "recovered\t1" + (bFirst ? lineB : lineA) + "recovered\t2" +
                            (bFirst ? lineA : lineB));

    const Command json = Cli("recover " + Disk(disk) + " --list --json");
    ASSERT_EQ(json.status, 0) << json.err;
    const auto doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["command"], "recover");
    EXPECT_EQ(doc["status"], 0);
    ASSERT_EQ(doc["recordings"].size(), 2u);
    for (const char* key : {"number", "seconds", "video_clusters", "audio_clusters", "complete"})
        EXPECT_TRUE(doc["recordings"][0].contains(key)) << key;

    const int a = bFirst ? 2 : 1;
    const Command rip =
        Cli("recover " + Disk(disk) + " --only " + std::to_string(a) + " --out out --mux mkv");
    ASSERT_EQ(rip.status, 0) << rip.err;
    const std::string file = "out/Recovered 0" + std::to_string(a) + ".mkv";
    EXPECT_NE(rip.out.find("file\tRecovered 0" + std::to_string(a) + ".mkv\t"), std::string::npos)
        << rip.out;
    const Command probe = riptest::Run(
        std::string(QUORIN_FFPROBE) +
        " -v error -show_entries stream=codec_type -of default=nw=1:nk=1 " + Quote(file));
    EXPECT_EQ(probe.out, "video\naudio\n");
    EXPECT_TRUE(DecodesCleanly(file));
    EXPECT_EQ(FrameCount(file), 96) << "every picture of the deleted recording";
    EXPECT_EQ(fs::last_write_time(disk.Image()), before) << "the disk is never written";
}

TEST_F(CliRecover, ExitStatuses) {
    TestDisk disk(DiskOf(false), "cli-recover-none");
    struct Case {
        std::string args;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"recover " + Disk(disk) + " --list", 0, "no deleted recording found"},
        {"recover --disk /nonexistent/disk --list", 2, "cannot open"},
        {"recover " + Disk(disk) + " --list --out x", 1, "exclude"},
        {"recover " + Disk(disk), 1, "--list or --out"},
        {"recover " + Disk(disk) + " --out x --only 3", 1, "--only 3"},
    };
    for (const Case& c : cases) {
        const Command r = Cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_EQ(r.out, "") << c.args;
    }
}

} // namespace
} // namespace quorin
