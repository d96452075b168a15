// The job queue from the window: Add, Del, Save and Load.
#include "gui_support.h"

#include "base/format.h"

#include <QClipboard>
#include <QGuiApplication>

namespace quorin::guitest {
namespace {

TEST_F(WindowTest, ThreeAddedJobsAreSavedAsTheJobList) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(0);
    Type(ids::kOffset, "2.5");
    Type(ids::kTime, "5");
    for (int i = 0; i < 3; ++i)
        Click(ids::kAddJob);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "0:00:07.50");
    ASSERT_EQ(window_->Queue().Count(), 3);
    EXPECT_EQ(window_->Queue().Jobs()[0].name, "Tagesschau");
    EXPECT_EQ(window_->Queue().Jobs()[1].name, "Tagesschau_01");
    EXPECT_EQ(window_->Queue().Jobs()[2].name, "Tagesschau_02");
    EXPECT_EQ(Text(ids::kJobCount), "3");
    const auto& clip = disk_.clips[0];
    const double gb = (clip.video.chain.size() + clip.audio.chain.size()) * 0.1 * 5 / 15;
    EXPECT_EQ(Text(ids::kJobSize).toStdString(), Format("Size: %.02f GB", 3 * gb));

    Click(ids::kSaveJobs);
    const std::string sum = Format("%08X", ExpectedChecksum(desc_.clips[0], disk_.clips[0]));
    std::string expected =
        "Index;Name;Begin;End;Rip Audio;Rip Video;Rip Audio Raw;Rip Video Raw;Checksum\r\n";
    for (const char* name : {"Tagesschau", "Tagesschau_01", "Tagesschau_02"})
        expected += std::string("1;") + name + ";2.50;7.50;1;1;0;0;" + sum + "\r\n";
    EXPECT_EQ(ReadFile(out_ / "QUORIN_Joblist.csv"), expected);
    EXPECT_TRUE(messages_.empty());

    Click(ids::kClearJobs);
    EXPECT_EQ(window_->Queue().Count(), 0);
    EXPECT_FALSE(window_->Queue().QueueMode());
    EXPECT_EQ(Text(ids::kJobCount), "0");
    fs::remove(out_ / "QUORIN_Joblist.csv");
    Click(ids::kSaveJobs);
    EXPECT_FALSE(fs::exists(out_ / "QUORIN_Joblist.csv")) << "an empty queue writes no file";
}

TEST_F(WindowTest, LoadingFindsMovedClipsAndCutsAtCutMarks) {
    BuildDisk();
    WriteSettings("RawAudio_000=ZDF\n");
    const std::string third = Format("%08X", ExpectedChecksum(desc_.clips[2], disk_.clips[2]));
    const fs::path list = root_ / "jobs.csv";
    WriteFile(list, "Index;Name;Begin;End;Rip Audio;Rip Video;Rip Audio Raw;Rip Video Raw;"
                    "Checksum\r\n"
                    "1;Moved;10.00;20.00;1;0;1;0;" +
                        third +
                        "\r\n"
                        "3;Marks;x0;0\r\n"
                        "2;Plain;10203.00;10503.00\r\n"
                        "1;Lost;0.00;5.00;1;1;0;0;DEADBEEF\r\n");
    jobListChoice_ = list.string();
    OpenWindow();
    Click(ids::kLoadJobs);
    const auto& jobs = window_->Queue().Jobs();
    ASSERT_EQ(jobs.size(), 4u);
    EXPECT_EQ(jobs[0].name, "Moved");
    EXPECT_EQ(jobs[0].clipIndex, 2) << "found again by its checksum";
    EXPECT_EQ(jobs[0].begin, 10);
    EXPECT_EQ(jobs[0].length, 10);
    EXPECT_EQ(jobs[0].video, 0);
    EXPECT_EQ(jobs[0].rawAudio, 1);

    EXPECT_EQ(jobs[1].name, "Marks");
    EXPECT_EQ(jobs[1].clipIndex, 2);
    EXPECT_EQ(jobs[1].begin, 350); // 3600 s x 0.100 = 360, less 10
    EXPECT_EQ(jobs[1].length, 900 - 350 + 20);
    EXPECT_EQ(jobs[1].audio, 1);
    EXPECT_EQ(jobs[1].video, 1);

    EXPECT_EQ(jobs[2].clipIndex, 1);
    EXPECT_EQ(jobs[2].begin, 3723);
    EXPECT_EQ(jobs[2].length, 180);
    EXPECT_EQ(jobs[2].rawAudio, 1) << "taken from the raw-audio list (channel ZDF)";

    EXPECT_EQ(jobs[3].clipIndex, 0) << "no clip has the checksum: the index stays";
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].caption, "Not Found - Correct CSV");
    EXPECT_EQ(messages_[0].text, "Lost");
    EXPECT_EQ(Text(ids::kJobCount), "4");
    EXPECT_TRUE(window_->Queue().QueueMode());
}

TEST_F(WindowTest, AJobListThatCannotBeReadIsReported) {
    BuildDisk();
    WriteSettings();
    const std::string missing = (root_ / "missing.csv").string();
    jobListChoice_ = missing;
    OpenWindow();
    Click(ids::kLoadJobs);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0],
              (UserMessage{missing, "File could not be opened ! (No such file or directory)"}));
    EXPECT_EQ(window_->Queue().Count(), 0);

    // Loading the same list twice queues every job twice.
    WriteFile(root_ / "two.csv", "1;A;0.00;3.00\r\n2;B;0.00;3.00\r\n");
    jobListChoice_ = (root_ / "two.csv").string();
    Click(ids::kLoadJobs);
    Click(ids::kLoadJobs);
    ASSERT_EQ(window_->Queue().Count(), 4);
    EXPECT_EQ(window_->Queue().Jobs()[2].name, "A");
}

TEST_F(WindowTest, BrowseSetsTheOutputDirectoryWithItsSlash) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    const fs::path other = root_ / "elsewhere" / "new";
    fs::create_directories(other);
    directoryChoice_ = other.string();
    Click(ids::kBrowse);
    EXPECT_EQ(Text(ids::kOutputDir).toStdString(), other.string() + "/");
    directoryChoice_.reset(); // Cancel keeps it
    Click(ids::kBrowse);
    EXPECT_EQ(Text(ids::kOutputDir).toStdString(), other.string() + "/");
}

} // namespace
} // namespace quorin::guitest
