#include "../cli/run_cli.h"
#include "job_disk.h"
#include "test_env.h"

#include "base/format.h"

#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

namespace quorin::test {
namespace {

// A fingerprint of every byte of a file but one sector, walking only its data (the images are
// sparse): where the data lies and what it holds.
std::string FingerprintWithout(const std::string& path, std::int64_t skipSector) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "cannot open";
    const off_t size = ::lseek(fd, 0, SEEK_END);
    std::string print = std::to_string(size);
    std::vector<char> buf(1 << 16);
    for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < size;) {
        const off_t hole = ::lseek(fd, at, SEEK_HOLE);
        std::size_t h = 0;
        for (off_t p = at; p < hole;) {
            const ssize_t n = ::pread(fd, buf.data(), std::min<off_t>(hole - p, buf.size()), p);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i)
                if ((p + i) / 512 != skipSector)
                    h = h * 1099511628211u ^ static_cast<unsigned char>(buf[i]);
            p += n;
        }
        print +=
            Format(" %lld-%lld:%zx", static_cast<long long>(at), static_cast<long long>(hole), h);
        at = ::lseek(fd, hole, SEEK_DATA);
    }
    ::close(fd);
    return print;
}

class CliJobsTest : public ::testing::Test {
protected:
    bool quiet_ = (SetConsoleTrace(false), true);
    TempDir dir_{"quorin-cli-jobs"};
    CwdGuard cwd_{dir_.Path()};
    // The command line reads its defaults from this folder's settings, not the user's.
    EnvGuard config_{"XDG_CONFIG_HOME", dir_ / "config"};

    std::string Err() { return ReadFile(dir_ / "err.txt"); }
    CliResult Run(const std::string& args) { return RunCli(args, dir_ / "err.txt"); }
    void Settings(const std::string& ini) {
        std::filesystem::create_directories(dir_.Path() / "config/quorin");
        WriteFile(dir_ / "config/quorin/quorin.ini", ini);
    }
};

TEST_F(CliJobsTest, TheFirmwareOptionDefaultsToTheSettingsFile) {
    JobDisk disk("cli-fw");
    const std::string list = "list --disk " + Quote(disk.Path());
    EXPECT_EQ(Run(list).out.find("\tTatort\t"), std::string::npos); // read as the old layout
    EXPECT_NE(Run(list + " --firmware190").out.find("01\tARD              \tTatort\t"),
              std::string::npos);
    Settings("[QUORIN]\r\nFirmware190=1\r\n");
    EXPECT_NE(Run(list).out.find("\tTatort\t"), std::string::npos);
    EXPECT_EQ(Run(list + " --no-firmware190").out.find("\tTatort\t"), std::string::npos);
    // The command line never writes the settings file.
    EXPECT_EQ(ReadFile(dir_ / "config/quorin/quorin.ini"), "[QUORIN]\r\nFirmware190=1\r\n");
}

TEST_F(CliJobsTest, DryRunPrintsTheQueueInRunOrder) {
    JobDisk disk("cli-dry");
    const std::string heute = Format("%08X", ClipChecksum(disk.Drive().GetFile(1)->GetRecord()));
    WriteFile(dir_ / "list.csv",
              "Index;Name;Begin;End;Rip Audio;Rip Video;Rip Audio Raw;Rip Video Raw;Checksum\r\n"
              "1;Tatort;10203.50;10703.50;1;1;0;0;01FB0151\r\n"
              "2;heute;x2;;0;1;1;1;" +
                  heute + "\r\n3;Leer;0;0\r\n");
    const std::string args = "jobs --firmware190 --dry-run --disk " + Quote(disk.Path()) + " " +
                             Quote(dir_ / "list.csv");
    CliResult r = Run(args);
    EXPECT_EQ(r.status, 0) << Err();
    EXPECT_EQ(r.out, "3\tLeer\t0:00:00.00\t0:00:00.00\t1\t1\t0\t0\t" +
                         Format("%08X", ClipChecksum(disk.Drive().GetFile(2)->GetRecord())) +
                         "\n"
                         "2\theute\t0:00:50.00\t0:02:20.00\t0\t1\t1\t0\t" +
                         heute +
                         "\n"
                         "1\tTatort\t1:02:03.50\t1:07:03.50\t1\t1\t0\t0\t01FB0151\n");
    // "Rip Stream Raw" rips every job's audio and video raw.
    r = Run(args + " --raw-video");
    EXPECT_NE(r.out.find("\t1\t1\t1\t1\t01FB0151\n"), std::string::npos) << r.out;
    // Lines from a raw-audio channel without flag columns rip their audio raw.
    Settings("[QUORIN]\nRawAudio_000=art\n");
    r = Run(args);
    EXPECT_NE(r.out.find("3\tLeer\t0:00:00.00\t0:00:00.00\t1\t1\t1\t0\t"), std::string::npos);
}

TEST_F(CliJobsTest, LoadMessagesGoToStderr) {
    JobDisk disk("cli-msg");
    const std::string disk_ = " --firmware190 --dry-run --disk " + Quote(disk.Path()) + " ";
    WriteFile(dir_ / "moved.csv", "2;Lost;0;100;1;1;0;0;DEADBEEF\n");
    CliResult r = Run("jobs" + disk_ + Quote(dir_ / "moved.csv"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 7), "2\tLost\t");
    EXPECT_EQ(Err(), "quorin-cli: Not Found - Correct CSV: Lost\n");

    WriteFile(dir_ / "bad.csv", "7;Elsewhere;0;100\n1;Good;0;100\n");
    r = Run("jobs" + disk_ + Quote(dir_ / "bad.csv"));
    EXPECT_EQ(r.status, 1); // a refused job fails the batch; the others still count
    EXPECT_EQ(r.out.substr(0, 7), "1\tGood\t");
    EXPECT_NE(Err().find("\"Elsewhere\": clip 7 is not on this disk"), std::string::npos) << Err();

    r = Run("jobs" + disk_ + Quote(dir_ / "absent.csv"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Err(), "quorin-cli: " + (dir_ / "absent.csv") +
                         ": File could not be opened ! (No such file or directory)\n");
}

// Renaming rewrites the clip's name bytes and nothing else of the image.
void CheckRename(bool working) {
    JobDisk disk(working ? "cli-rename-new" : "cli-rename-old", {0, 1, 2}, working);
    const std::int64_t sector = 11;
    const std::string before = FingerprintWithout(disk.Path(), sector);
    const auto recordBefore = disk.Image().Read(sector * 512, 512);
    const std::string fw = working ? " --firmware190" : " --no-firmware190";
    CliResult r = RunCli("rename" + fw + " --disk " + Quote(disk.Path()) +
                         " --clip 2 --title 'Nachrichten um 19 Uhr'");
    EXPECT_EQ(r.status, 0);
    const int nameAt = working ? 0x13 : 0x0F;
    EXPECT_EQ(r.out,
              std::string("Clip 2: \"heute\" -> \"Nachrichten um 19 Uhr\"\n") +
                  "Record layout: " + (working ? "firmware 190 and later" : "before firmware 190") +
                  Format(", name at byte 0x%02X of sector 11\n", nameAt));
    EXPECT_EQ(FingerprintWithout(disk.Path(), sector), before);
    const auto recordAfter = disk.Image().Read(sector * 512, 512);
    for (int i = 0; i < 512; ++i) {
        if (i >= nameAt && i < nameAt + 41) continue;
        EXPECT_EQ(recordAfter[i], recordBefore[i]) << "byte " << i;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&recordAfter[nameAt])),
              "Nachrichten um 19 Uhr");
    disk.Open(working);
    EXPECT_EQ(disk.Drive().GetFile(1)->GetRecord().ClipName(), "Nachrichten um 19 Uhr");
}

TEST_F(CliJobsTest, RenameChangesOnlyTheNameInTheWorkingLayout) {
    CheckRename(true);
}

TEST_F(CliJobsTest, RenameChangesOnlyTheNameInTheOldLayout) {
    CheckRename(false);
}

TEST_F(CliJobsTest, RenameStoresLatin1AndAtMost39Characters) {
    JobDisk disk("cli-rename-long");
    CliResult r = Run(
        "rename --firmware190 --disk " + Quote(disk.Path()) +
        " --clip 1 --title 'Caf\xC3\xA9 \xE2\x82\xAC 0123456789012345678901234567890123456789'");
    EXPECT_EQ(r.status, 0) << Err();
    auto name = disk.Image().Read(10 * 512 + 0x13, 41);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name.data())),
              "Caf\xE9 ? 01234567890123456789012345678901"); // the euro sign is not ISO-8859-1
    EXPECT_EQ(name[39], 0);
    EXPECT_EQ(Run("rename --disk " + Quote(disk.Path()) + " --clip 4 --title x").status, 1);
    EXPECT_EQ(Run("rename --disk /nonexistent.img --clip 1 --title x").status, 2);
}

} // namespace
} // namespace quorin::test
