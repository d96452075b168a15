#include "../disk/disk_image.h"
#include "run_cli.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace quorin::test {
namespace {

class CliListTest : public ::testing::Test {
protected:
    void SetUp() override {
        img_.Header(0x0123, 0x0200, 2, "MYDISK\xE9      ");
        RecordSpec a;
        a.station = "ZDF";
        a.name = "heute-journal";
        RecordSpec b;
        b.station = "arte";
        b.name = "Caf\xE9 M\xFCller";
        b.month = 1;
        b.day = 2;
        b.hour = 3;
        b.minute = 4;
        b.lh = 0;
        b.lm = 5;
        b.ls = 9;
        b.vclusters = 1;
        b.aclusters = 1;
        b.vfirst = 5;
        b.afirst = 6;
        a_ = a;
        b_ = b;
        img_.Link(100, 0xFFFF);
        img_.Link(300, 0xFFFF);
        img_.Resize(1 << 20);
    }
    DiskImage img_{"cli-list"};
    RecordSpec a_, b_;
};

TEST_F(CliListTest, OldLayoutWithoutTheFirmwareOption) {
    img_.Record(0, OldRecord(a_, 0));
    img_.Record(1, OldRecord(b_, 1));
    CliResult r = RunCli("list --disk " + Quote(img_.Path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Drivename: MYDISK\xC3\xA9\n"
                     "Capacity: 80.3 GB\n"
                     "Free: 51.2 GB\n"
                     "01\tZDF              \theute-journal\t01:30:00 / 2.2 GB\t07.12.2026\t20:15\t"
                     "01FB0151\n"
                     "02\tarte             \tCaf\xC3\xA9 M\xC3\xBC"
                     "ller\t00:05:09 / 0.2 GB\t02.01.2026\t03:04\t0025000B\n");
}

TEST_F(CliListTest, WorkingLayoutWithTheFirmwareOption) {
    img_.Record(0, WorkingRecord(a_, 0));
    img_.Record(1, WorkingRecord(b_, 1));
    CliResult r = RunCli("list --firmware190 --disk " + Quote(img_.Path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("01\tZDF              \theute-journal\t"), std::string::npos) << r.out;
    // Read without the option, the same records come out garbled but nothing crashes.
    CliResult wrong = RunCli("list --disk " + Quote(img_.Path()));
    EXPECT_EQ(wrong.status, 0);
}

TEST_F(CliListTest, InfoOnACyclicChainEnds) {
    a_.vfirst = 5;
    img_.Record(0, WorkingRecord(a_, 0));
    img_.Record(1, WorkingRecord(b_, 1));
    img_.Link(5, 6);
    img_.Link(6, 5);
    CliResult r = RunCli("info --firmware190 --disk " + Quote(img_.Path()) + " --clip 1");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("VClusters   = 5 6 5 6"), std::string::npos);
    EXPECT_EQ(RunCli("info --disk " + Quote(img_.Path()) + " --clip 3").status, 1);
}

TEST_F(CliListTest, TraceOnlyWithTheFlag) {
    img_.Record(0, OldRecord(a_, 0));
    img_.Record(1, OldRecord(b_, 1));
    EXPECT_EQ(RunCli("list --disk " + Quote(img_.Path())).out.find("TOC shows"), std::string::npos);
    EXPECT_NE(RunCli("list --trace --disk " + Quote(img_.Path())).out.find("TOC shows \n"),
              std::string::npos);
}

TEST(CliErrors, MissingDiskAndUsage) {
    auto err = std::filesystem::temp_directory_path() / "quorin-cli-err.txt";
    CliResult r = RunCli("list --disk /nonexistent/disk.img", err.string());
    EXPECT_EQ(r.status, 2);
    std::ifstream in(err);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_NE(s.str().find("No such file or directory"), std::string::npos) << s.str();
    EXPECT_EQ(RunCli("list").status, 1);
    EXPECT_EQ(RunCli("frobnicate").status, 1);
    CliResult v = RunCli("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "Quorin Version v1.0.0 beta\nClipforge Version:v1.0.0\n");
}

// A disk whose header claims more clusters than a disk has lists, but nothing writes to it: not a
// rename, not a queue that renames.
TEST_F(CliListTest, AnImplausibleHeaderIsListedButNotWritten) {
    img_.Header(0x0400, 0x0200, 2, "MYDISK      ");
    img_.Record(0, OldRecord(a_, 0));
    img_.Record(1, OldRecord(b_, 1));
    const std::string disk = " --disk " + Quote(img_.Path());
    const auto err = std::filesystem::temp_directory_path() / "quorin-cli-header.txt";
    EXPECT_EQ(RunCli("list" + disk).status, 0);
    EXPECT_EQ(RunCli("rename --clip 1 --title New" + disk).status, 2);
    const auto list = std::filesystem::temp_directory_path() / "quorin-cli-header.csv";
    std::ofstream(list) << "1;New;0;10;1;1;0;0\n";
    EXPECT_EQ(
        RunCli("jobs --rename-clips --dry-run " + Quote(list.string()) + disk, err.string()).status,
        2);
    std::stringstream s;
    s << std::ifstream(err).rdbuf();
    EXPECT_NE(s.str().find("refused to rename clips"), std::string::npos) << s.str();
    EXPECT_EQ(RunCli("list" + disk).out.find("New"), std::string::npos);
}

} // namespace
} // namespace quorin::test
