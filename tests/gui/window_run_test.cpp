// Running rips from the window: a single rip, a queue, Cancel, the titles on the timer and the
// controls a run disables.
#include "gui_support.h"

#include "base/format.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "jobs/jobs.h"
#include "media/loader/media_loader.h"
#include "platform/text.h"
#include "platform/volume.h"
#include "shell.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <fstream>

namespace quorin::guitest {
namespace {

// The controls a run must lock, and those it must leave alone.
void ExpectRunControls(CMainDialog& window, bool running) {
    for (QWidget* w : window.findChildren<QWidget*>()) {
        const int id = ControlId(w);
        if (id >= ids::kRunLockFirst && id <= ids::kRunLockLast && id != ids::kOutputDir) {
            EXPECT_EQ(w->isEnabled(), !running) << "control " << id;
        }
    }
    EXPECT_EQ(FindControl(&window, ids::kRip)->isEnabled(), !running);
    EXPECT_TRUE(FindControl(&window, ids::kCancel)->isEnabled());
    EXPECT_TRUE(FindControl(&window, ids::kOptions)->isEnabled());
    EXPECT_FALSE(FindControl(&window, ids::kOutputDir)->isEnabled());
}

QAction* MenuCommand(CMainDialog& window, int id) {
    for (QAction* action : window.ClipMenu()->actions())
        if (ControlId(action) == id) return action;
    return nullptr;
}

// The pictures of a video file, as ffprobe counts them.
int Pictures(const fs::path& file) {
    return std::atoi(test::RunShell("ffprobe -v error -count_frames -select_streams v:0 "
                                    "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                    test::Quote(file.string()))
                         .out.c_str());
}

// Clip titles as a fresh read of the image shows them.
std::vector<std::string> TitlesOnDisk(const std::string& image) {
    bool ok = false;
    ClusterTable table(image, ok);
    CPVRDrive drive(image, &table);
    std::vector<std::string> titles;
    for (int i = 0; i < drive.GetFileCount(); ++i)
        titles.push_back(Latin1ToUtf8(drive.GetFile(i)->GetRecord().ClipName()));
    return titles;
}

class RunTest : public WindowTest {
protected:
    // Records every window title and, with it, the row the window works on.
    void WatchTitles() {
        QObject::connect(window_.get(), &QWidget::windowTitleChanged, [this](const QString& t) {
            titles_.push_back(t.toStdString());
            QTreeWidgetItem* row = List()->currentItem();
            if (t.startsWith("Processing") && row &&
                (rows_.empty() || rows_.back().second != row->text(2).toStdString()))
                rows_.emplace_back(List()->indexOfTopLevelItem(row), row->text(2).toStdString());
        });
    }
    bool SawTitle(const std::string& part) const {
        for (const std::string& t : titles_)
            if (t.find(part) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> titles_;
    std::vector<std::pair<int, std::string>> rows_; // (row, clip name cell) per job seen
};

TEST_F(RunTest, ASingleRipWritesTheStreamsAndFreesTheWindowAfterwards) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    WatchTitles();
    ClickRow(0);
    Type(ids::kOffset, "2");
    Type(ids::kTime, "4");
    Click(ids::kRip);
    ASSERT_TRUE(window_->IsRunning());
    ExpectRunControls(*window_, true);
    EXPECT_TRUE(Control(ids::kAudioProgress)->isVisible());
    EXPECT_TRUE(Control(ids::kVideoProgress)->isVisible());
    EXPECT_EQ(Text(ids::kAudioSize), "0 MB");

    ASSERT_TRUE(WaitIdle());
    ExpectRunControls(*window_, false);
    EXPECT_EQ(window_->windowTitle(), "Quorin v1.0.0 Release");
    EXPECT_FALSE(Control(ids::kAudioProgress)->isVisible());
    EXPECT_TRUE(SawTitle("Processing Video ")) << titles_.size();
    EXPECT_TRUE(SawTitle(" ... 0 Jobs to go"));
    EXPECT_TRUE(Text(ids::kVideoTime).startsWith("Time: "));
    EXPECT_EQ(Text(ids::kStartPts), "");
    EXPECT_EQ(sounds_, 1);

    ASSERT_TRUE(fs::exists(out_ / "Tagesschau.m2v")) << Listing(out_);
    EXPECT_GT(fs::file_size(out_ / "Tagesschau.m2v"), 0u);
    EXPECT_GT(fs::file_size(out_ / "Tagesschau.mp2"), 0u);
    EXPECT_EQ(TitlesOnDisk(image_)[0], "Tagesschau") << "a single rip renames nothing";
    EXPECT_TRUE(messages_.empty());
}

TEST_F(RunTest, TheQueueRunsLastAddedFirstAndRenamesTheClips) {
    BuildDisk();
    WriteSettings();
    WriteFile(root_ / "queue.csv", "1;Alpha;1.00;3.00\r\n"
                                   "2;Beta;0.00;2.00\r\n"
                                   "1;Gamma;4.00;6.00\r\n");
    jobListChoice_ = (root_ / "queue.csv").string();
    OpenWindow();
    WatchTitles();
    Click(ids::kLoadJobs);
    ASSERT_EQ(window_->Queue().Count(), 3);
    Click(ids::kRip);
    ExpectRunControls(*window_, true);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->Queue().QueueMode(); }, 60000));
    ASSERT_TRUE(WaitIdle());
    ExpectRunControls(*window_, false);

    const std::vector<std::pair<int, std::string>> order = {
        {0, "Gamma"}, {1, "Beta"}, {0, "Alpha"}};
    EXPECT_EQ(rows_, order);
    EXPECT_TRUE(SawTitle(" ... 2 Jobs to go"));
    EXPECT_TRUE(SawTitle(" ... 1 Jobs to go"));
    EXPECT_TRUE(SawTitle(" ... 0 Jobs to go"));
    EXPECT_EQ(sounds_, 1) << "one sound for the whole queue";
    for (const char* name : {"Gamma.m2v", "Gamma.mp2", "Beta.m2v", "Beta.ac3", "Alpha.m2v"})
        EXPECT_TRUE(fs::exists(out_ / name)) << name;
    const auto titles = TitlesOnDisk(image_);
    EXPECT_EQ(titles[0], "Alpha");
    EXPECT_EQ(titles[1], "Beta");
    EXPECT_EQ(titles[2], "Doku");
    EXPECT_EQ(Text(ids::kJobCount), "0");
}

TEST_F(RunTest, TheOutputFormatOfTheOptionsReachesTheQueue) {
    BuildDisk();
    WriteSettings();
    WriteFile(root_ / "queue.csv", "2;Boxed;0.00;2.00\r\n");
    jobListChoice_ = (root_ / "queue.csv").string();
    OpenWindow();
    WatchTitles();
    WhenModal([&](QWidget* dialog) {
        auto* format = qobject_cast<QComboBox*>(FindControl(dialog, ids::kOutputFormat));
        format->setCurrentIndex(format->findData("mkv"));
        qobject_cast<QPushButton*>(FindControl(dialog, ids::kOk))->click();
    });
    Click(ids::kOptions);
    Click(ids::kLoadJobs);
    Click(ids::kRip);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->Queue().QueueMode(); }, 60000));
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(fs::exists(out_ / "Boxed.mkv")) << Listing(out_);
    EXPECT_FALSE(fs::exists(out_ / "Boxed.m2v")) << "the streams go after the mux";
    EXPECT_TRUE(SawTitle("Muxing "));
    EXPECT_EQ(Text(ids::kVideoStatus), "muxed into Boxed.mkv");
    EXPECT_EQ(window_->windowTitle(), "Quorin v1.0.0 Release");
}

// A queue saved with jobs of several ranges reloads as it was, and each job writes its ranges
// joined; the exact one holds just the pictures from each range's begin to before its end.
TEST_F(RunTest, AQueuedJobKeepsItsRangesAndItsExactCuts) {
    if (!media::ModuleAvailable()) GTEST_SKIP() << "no media module";
    BuildDisk();
    WriteSettings();
    std::vector<RipJob> jobs(2);
    for (RipJob& job : jobs) {
        job.clipIndex = 0;
        job.ranges = {{1.0, 2.0}, {3.0, 4.5}};
        job.begin = 1.0;
        job.length = 3.5;
        job.audio = 1;
        job.video = 1;
    }
    jobs[0].name = "Exact";
    jobs[0].exact = 1;
    jobs[1].name = "Groups";
    {
        bool ok = false;
        ClusterTable table(image_, ok);
        CPVRDrive drive(image_, &table);
        WriteFile(root_ / "queue.csv", FormatJobList(jobs, BuildChecksumTable(drive)));
    }
    jobListChoice_ = (root_ / "queue.csv").string();
    OpenWindow();
    Click(ids::kLoadJobs);
    ASSERT_EQ(window_->Queue().Count(), 2);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(window_->Queue().Jobs()[k].ranges, jobs[k].ranges);
        EXPECT_EQ(window_->Queue().Jobs()[k].exact, jobs[k].exact);
    }
    Click(ids::kRip);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->Queue().QueueMode(); }, 60000));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Pictures(out_ / "Exact.m2v"), 25 + 38) << "1 <= t < 2, 3 <= t < 4.5 at 25 a second";
    EXPECT_GT(Pictures(out_ / "Groups.m2v"), 0) << Listing(out_);
}

// With "Exact Cuts" a single rip holds the pictures from its offset to before its end.
TEST_F(RunTest, TheExactCutOptionReachesTheSingleRip) {
    if (!media::ModuleAvailable()) GTEST_SKIP() << "no media module";
    BuildDisk();
    WriteSettings("Exact Cuts=1\n");
    OpenWindow();
    ClickRow(0);
    Type(ids::kOffset, "1.5");
    Type(ids::kTime, "1.1");
    Click(ids::kRip);
    ASSERT_TRUE(WaitIdle());
    // 1.52 to 2.56 at 25 pictures a second (a cut at the picture group holds 16).
    EXPECT_EQ(Pictures(out_ / "Tagesschau.m2v"), 27) << Listing(out_);
}

TEST_F(RunTest, CancelEndsOnlyTheRunningJobAndKeepsTheControlsLockedUntilItHasEnded) {
    // A minute of video, long enough that the Cancel lands while it is ripped.
    testdisk::DiskSpec disk = StandardDisk();
    disk.clips[3].loops = 16;
    BuildDisk(disk);
    WriteSettings();
    // Last added runs first: the whole minute of "Spielfilm", cancelled at once.
    WriteFile(root_ / "queue.csv", "1;First;0.00;2.00\r\n"
                                   "1;Second;0.00;2.00\r\n"
                                   "4;Third;0.00;100.00\r\n");
    jobListChoice_ = (root_ / "queue.csv").string();
    OpenWindow();
    Click(ids::kLoadJobs);
    Click(ids::kRip);
    ASSERT_TRUE(window_->IsRunning());
    Click(ids::kCancel);
    EXPECT_TRUE(window_->isVisible()) << "Cancel during a run does not close the window";
    ExpectRunControls(*window_, true);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->Queue().QueueMode(); }, 60000));
    ASSERT_TRUE(WaitIdle());
    ExpectRunControls(*window_, false);
    EXPECT_EQ(sounds_, 1);
    EXPECT_TRUE(window_->isVisible());
    // The cancelled job stopped early; the two after it ran in full.
    ASSERT_TRUE(fs::exists(out_ / "First.m2v")) << Listing(out_);
    ASSERT_TRUE(fs::exists(out_ / "Second.m2v"));
    EXPECT_GT(fs::file_size(out_ / "First.m2v"), 0u);
    EXPECT_EQ(fs::file_size(out_ / "First.m2v"), fs::file_size(out_ / "Second.m2v"));
    const auto whole = disk_.clips[3].video.stream.bytes.size();
    EXPECT_TRUE(!fs::exists(out_ / "Third.m2v") || fs::file_size(out_ / "Third.m2v") < whole / 2);
}

TEST_F(RunTest, ARenameThatFailsInTheQueueDoesNotStopIt) {
    BuildDisk();
    WriteSettings();
    WriteFile(root_ / "queue.csv", "2;Renamed;0.00;2.00\r\n");
    jobListChoice_ = (root_ / "queue.csv").string();
    OpenWindow();
    Click(ids::kLoadJobs);
    VolumeFaults faults;
    faults.failWrites = true;
    SetVolumeFaults(image_, faults);
    Click(ids::kRip);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->Queue().QueueMode(); }, 60000));
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(messages_.empty()) << "no message box stops a queue";
    EXPECT_TRUE(fs::exists(out_ / "Renamed.m2v")) << "the files are named after the job";
    EXPECT_EQ(List()->topLevelItem(1)->text(2), "Krimi");
    ClearVolumeFaults();
    EXPECT_EQ(TitlesOnDisk(image_)[1], "Krimi");
    bool logged = false;
    for (const auto& entry : fs::directory_iterator(out_))
        if (entry.path().extension() == ".log" &&
            ReadFile(entry.path()).find("could not write the title") != std::string::npos)
            logged = true;
    EXPECT_TRUE(logged);
}

TEST_F(RunTest, AJobWhoseRenameTheDiskRefusesIsNotRun) {
    BuildDisk();
    WriteSettings();
    {
        // Used clusters beyond any disk: the header is implausible, nothing may be written.
        std::fstream image(image_, std::ios::in | std::ios::out | std::ios::binary);
        image.seekp(0x0A);
        image.write("\xFF\x7F", 2);
    }
    WriteFile(root_ / "queue.csv", "1;Alpha;0.00;2.00\r\n2;Beta;0.00;2.00\r\n");
    jobListChoice_ = (root_ / "queue.csv").string();
    OpenWindow();
    Click(ids::kLoadJobs);
    ASSERT_EQ(window_->Queue().Count(), 2);
    Click(ids::kRip);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !window_->Queue().QueueMode(); }, 60000));
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(fs::exists(out_ / "Alpha.m2v")) << Listing(out_);
    EXPECT_FALSE(fs::exists(out_ / "Beta.m2v"));
    EXPECT_TRUE(Text(ids::kAudioStatus).startsWith("job \"Alpha\" not run: the header of"))
        << Text(ids::kAudioStatus).toStdString();
    EXPECT_TRUE(Text(ids::kAudioStatus).contains("implausible"));
    EXPECT_EQ(TitlesOnDisk(image_)[0], "Tagesschau");
    EXPECT_TRUE(messages_.empty());
}

TEST_F(RunTest, ASettingsValueThatIsNotUnderstoodIsSaidInTheStatus) {
    BuildDisk();
    WriteSettings("Firmware190=maybe\nOn Read Error=STOP\n");
    OpenWindow();
    EXPECT_EQ(Text(ids::kVideoStatus).toStdString(),
              "The settings file's \"Firmware190=maybe\" is not understood (yes or no); no is "
              "used");
}

TEST_F(RunTest, AnOffsetBeyondTheClipStartsNothing) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(0);
    Type(ids::kOffset, "100");
    Click(ids::kRip);
    EXPECT_FALSE(window_->IsRunning());
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], (UserMessage{"ERROR from RipStream", "wrong offset"}));
    ExpectRunControls(*window_, false);
}

// A bad sector in the last clip's video: the salvage policy finishes the rip and says what was
// lost, "On Read Error=stop" stops it; Check Disk runs on a worker and names the damaged clip.
TEST_F(RunTest, ReadErrorsAreSummedUpAndCheckDiskNamesTheDamagedClip) {
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "salvage");
        BuildDisk();
        WriteSettings(stop ? "On Read Error=stop\n" : "");
        OpenWindow();
        const testdisk::StreamLayout& video = disk_.clips[3].video;
        const std::int64_t bad =
            (testdisk::ClusterByteOffset(video.chain.front()) + video.startSector * 512 +
             static_cast<std::int64_t>(video.stream.bytes.size() / 2)) /
            512 * 512;
        VolumeFaults faults;
        faults.failingReads = {{bad, bad + 512}};
        SetVolumeFaults(image_, faults);
        ClickRow(3);
        Click(ids::kRip);
        ASSERT_TRUE(WaitIdle());
        const QString status = Text(ids::kVideoStatus);
        EXPECT_EQ(status.contains(QRegularExpression("^finished; [0-9]+\\.[0-9] s lost to read "
                                                     "errors$")),
                  !stop)
            << status.toStdString();
        if (stop) break;

        messages_.clear();
        MenuCommand(*window_, ids::kMenuCheckDisk)->trigger();
        EXPECT_TRUE(window_->IsRunning()) << "the check runs on a worker";
        ExpectRunControls(*window_, true);
        ASSERT_TRUE(WaitIdle());
        ExpectRunControls(*window_, false);
        ASSERT_EQ(messages_.size(), 1u);
        EXPECT_EQ(messages_[0].caption, "Check Disk");
        EXPECT_EQ(messages_[0].text.rfind("One clip is damaged. Unreadable parts:\nClip 4 "
                                          "\"Spielfilm\": video ",
                                          0),
                  0u)
            << messages_[0].text;
        EXPECT_NE(
            messages_[0].text.find(Format(", 512 bytes at byte %lld", static_cast<long long>(bad))),
            std::string::npos)
            << messages_[0].text;
        EXPECT_EQ(Text(ids::kVideoStatus), "Check finished: one damaged clip");
        window_.reset();
        ClearVolumeFaults();
    }
}

TEST_F(RunTest, CancelWhileIdleSavesTheSettingsAndCloses) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    Control<QCheckBox>(ids::kPlaySound)->setChecked(false);
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(window_->result(), QDialog::Rejected);
    EXPECT_NE(ReadFile(SettingsFile()).find("Play Sound=0"), std::string::npos);
}

TEST_F(RunTest, RipSampleTakesTwoMinutes) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(2);
    Control<QCheckBox>(ids::kAudio)->setChecked(false);
    Control<QPushButton>(ids::kRipSample)->click(); // hidden, but wired
    EXPECT_EQ(Text(ids::kTime), "120");
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(fs::exists(out_ / "Doku.m2v"));
    EXPECT_FALSE(fs::exists(out_ / "Doku.mp2"));
}

} // namespace
} // namespace quorin::guitest
