// Start-up, the drive and the clip list, and the cut fields.
#include "gui_support.h"

#include "base/run_state.h"
#include "disk/pvr_drive.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>

namespace quorin::guitest {
namespace {

TEST_F(WindowTest, StartsOnTheImageNamedOnTheCommandLine) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    EXPECT_EQ(window_->windowTitle(), "Quorin v1.0.0 Release");
    auto* drive = Control<QComboBox>(ids::kDrive);
    EXPECT_EQ(drive->currentText().toStdString(), image_);
    EXPECT_TRUE(drive->isEditable());
    EXPECT_TRUE(fs::is_directory(out_)) << "the output directory is made";

    EXPECT_EQ(Text(ids::kDriveName), "QUORIN TEST");
    const int total = disk_.usedClusters + disk_.freeClusters;
    EXPECT_EQ(Text(ids::kCapacity).toStdString(),
              "Capacity: " + std::to_string(total / 10) + "." + std::to_string(total % 10) + " GB");
    EXPECT_EQ(Text(ids::kJobCount), "0");
    EXPECT_EQ(Text(ids::kJobSize), "Size: 0.00 GB");
    EXPECT_FALSE(Control(ids::kAudioProgress)->isVisible());
    EXPECT_FALSE(Control(ids::kVideoProgress)->isVisible());
    EXPECT_FALSE(Control(ids::kRipSample)->isVisible());
    EXPECT_FALSE(Control(ids::kOutputDir)->isEnabled());
    EXPECT_EQ(Text(ids::kOutputDir).toStdString(), out_.string() + "/");

    QTreeWidget* list = List();
    ASSERT_EQ(list->topLevelItemCount(), kClips);
    QStringList headers;
    for (int c = 0; c < 6; ++c)
        headers << list->headerItem()->text(c);
    EXPECT_EQ(headers, QStringList({"No.", "Channel Name         ", "Clip Name            ",
                                    "Length / Max Size    ", "Date                 ",
                                    "Time                 "}));
    QTreeWidgetItem* first = list->topLevelItem(0);
    EXPECT_EQ(first->text(0), "01");
    EXPECT_EQ(first->text(1).trimmed(), "Das Erste");
    EXPECT_EQ(first->text(2), "Tagesschau");
    const auto& clip = disk_.clips[0];
    const int gb10 = static_cast<int>(clip.video.chain.size() + clip.audio.chain.size());
    EXPECT_EQ(first->text(3).toStdString(),
              "00:00:15 / " + std::to_string(gb10 / 10) + "." + std::to_string(gb10 % 10) + " GB");
    EXPECT_EQ(first->text(4), "07.12.2024");
    EXPECT_EQ(first->text(5), "20:15");
    EXPECT_EQ(list->topLevelItem(2)->text(3).left(8), "01:00:00");

    // The checksum table is built with the first read of the drive.
    ASSERT_EQ(window_->Checksums().size(), 4u);
    for (int i = 0; i < kClips; ++i)
        EXPECT_EQ(window_->Checksums()[i], ExpectedChecksum(desc_.clips[i], disk_.clips[i]));
}

TEST_F(WindowTest, EveryControlCarriesItsIdCaptionAndTip) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    const std::pair<int, const char*> captions[] = {
        {ids::kDir, "Dir"},
        {ids::kBrowse, "Browse..."},
        {ids::kAudio, "Audio"},
        {ids::kVideo, "Video"},
        {ids::kRawAudio, "Rip Audio Raw"},
        {ids::kRawStream, "Rip Stream Raw"},
        {ids::kBackup, "Backup"},
        {ids::kPlaySound, "Play Sound at the End"},
        {ids::kWriteLog, "Write Log File"},
        {ids::kFirmware, "Firmware >= 190"},
        {ids::kPatchSequence, "Patch  1st sequence header"},
        {ids::kAddJob, "Add"},
        {ids::kClearJobs, "Del"},
        {ids::kLoadJobs, "Load"},
        {ids::kSaveJobs, "Save"},
        {ids::kRip, "RIP !"},
        {ids::kCancel, "Cancel"},
        {ids::kOptions, "Options"},
        {ids::kRestore, "Restore"},
        {ids::kRipSample, "Rip Sample"},
        {ids::kAbout, "About"}};
    for (auto [id, caption] : captions)
        EXPECT_EQ(Text(id), caption) << id;
    EXPECT_EQ(Control(ids::kFreeSpace)->toolTip(), "   Shows the space left on your PVR-drive");
    EXPECT_EQ(Control(ids::kSaveJobs)->toolTip(), "Saves the jobs to $Workdir\\Quorin_Joblist");
    EXPECT_EQ(Control(ids::kRip)->toolTip(), "starts the rip");
    EXPECT_TRUE(Control<QPushButton>(ids::kRip)->isDefault());
    for (QWidget* w : window_->findChildren<QWidget*>()) {
        // Every control a user sees carries an id (layout helpers and inner parts excepted).
        if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
            qobject_cast<QLabel*>(w) || qobject_cast<QProgressBar*>(w)) {
            if (w->parent() &&
                (qobject_cast<QComboBox*>(w->parent()) || qobject_cast<QHeaderView*>(w->parent())))
                continue;
            EXPECT_NE(ControlId(w), 0) << w->metaObject()->className() << " "
                                       << w->property("text").toString().toStdString();
        }
    }
    const auto actions = window_->ClipMenu()->actions();
    ASSERT_EQ(actions.size(), 6);
    EXPECT_EQ(actions[0]->text(), "Change Title");
    EXPECT_EQ(ControlId(actions[0]), ids::kMenuChangeTitle);
    EXPECT_EQ(actions[1]->text(), "Rip !");
    EXPECT_EQ(actions[2]->text(), "Add to RawAudioList");
    EXPECT_EQ(actions[3]->text(), "Preview / Cut");
    EXPECT_EQ(ControlId(actions[3]), ids::kMenuPreview);
    EXPECT_EQ(actions[4]->text(), "Check Disk");
    EXPECT_EQ(ControlId(actions[4]), ids::kMenuCheckDisk);
    EXPECT_EQ(actions[5]->text(), "Recover Deleted Recordings...");
    EXPECT_EQ(ControlId(actions[5]), ids::kMenuRecover);
}

TEST_F(WindowTest, AClickOnAClipSetsTheWholeClipLessItsLastSecond) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(2); // 1:00:00
    EXPECT_EQ(Text(ids::kOffset), "0");
    EXPECT_EQ(Text(ids::kTime), "3599");
    EXPECT_EQ(Text(ids::kBegin), "0:00:00.00");
    EXPECT_EQ(Text(ids::kEnd), "0:59:59.00");

    ClickRow(0); // 15 s
    EXPECT_EQ(Text(ids::kTime), "14");
    EXPECT_EQ(Text(ids::kEnd), "0:00:14.00");
}

TEST_F(WindowTest, TheTimeFieldsFollowEachOtherWhenLeft) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(2);
    Type(ids::kOffset, "60");
    EXPECT_EQ(Text(ids::kBegin), "0:01:00.00");
    EXPECT_EQ(Text(ids::kTime), "3539") << "clamped to end a second before the clip's end";
    EXPECT_EQ(Text(ids::kEnd), "0:59:59.00");

    Type(ids::kTime, "90.5"); // no clamp, only the texts
    EXPECT_EQ(Text(ids::kEnd), "0:02:30.50");

    Type(ids::kBegin, "1:2:3");
    EXPECT_EQ(Text(ids::kOffset), "3723");
    EXPECT_EQ(Text(ids::kBegin), "1:02:03.00");

    Type(ids::kBegin, "10203.5");
    EXPECT_EQ(Text(ids::kOffset), "3723.5");
    Type(ids::kBegin, "0:10:00");
    Type(ids::kEnd, "0:20:00.5");
    EXPECT_EQ(Text(ids::kOffset), "600");
    EXPECT_EQ(Text(ids::kTime), "600.05");
    EXPECT_EQ(Text(ids::kEnd), "0:20:00.05");
    EXPECT_TRUE(messages_.empty());
}

TEST_F(WindowTest, ANumberFieldRefusesText) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(0);
    Type(ids::kTime, "5");
    Type(ids::kOffset, "ten");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Please enter a number.");
    EXPECT_EQ(Text(ids::kEnd), "0:00:05.00") << "nothing was recomputed";
    EXPECT_TRUE(Control(ids::kOffset)->hasFocus());
    Click(ids::kAddJob);
    EXPECT_EQ(window_->Queue().Count(), 0) << "a command does not run on a bad number";
}

TEST_F(WindowTest, MovingTheSelectionWithTheKeyboardKeepsTheCut) {
    BuildDisk();
    WriteSettings("RawAudio_000=ZDF\n");
    OpenWindow();
    ClickRow(0);
    Type(ids::kOffset, "3");
    List()->setFocus();
    QTest::keyClick(List(), Qt::Key_Down);
    EXPECT_EQ(List()->currentItem(), List()->topLevelItem(1));
    EXPECT_EQ(Text(ids::kOffset), "3");
    EXPECT_EQ(Text(ids::kTime), "11");
    EXPECT_FALSE(Control<QCheckBox>(ids::kRawAudio)->isChecked());
    ClickRow(1); // a click guesses raw audio from the channel name
    EXPECT_TRUE(Control<QCheckBox>(ids::kRawAudio)->isChecked());
    EXPECT_EQ(Text(ids::kOffset), "0");
}

TEST_F(WindowTest, AVolumeThatCannotBeOpenedSaysWhy) {
    WriteSettings();
    OpenWindow((root_ / "no-such-disk.img").string());
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].text.find("No such file or directory"), std::string::npos)
        << messages_[0].text;
    EXPECT_EQ(List()->topLevelItemCount(), 0);
    EXPECT_EQ(window_->Drive(), nullptr);

    // A later "Dir" on a good path reads it.
    BuildDisk();
    Control<QComboBox>(ids::kDrive)->setEditText(QString::fromStdString(image_));
    Click(ids::kDir);
    EXPECT_EQ(List()->topLevelItemCount(), kClips);
}

TEST_F(WindowTest, AnUnreadableDeviceGetsTheDiskGroupHint) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may open every file";
    BuildDisk();
    fs::permissions(image_, fs::perms::none);
    WriteSettings();
    OpenWindow();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].text.find("'disk' group"), std::string::npos) << messages_[0].text;
}

TEST_F(WindowTest, TheFirmwareBoxRereadsTheDiskInTheOtherLayout) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    const std::vector<std::uint32_t> checksums = window_->Checksums();
    Click(ids::kFirmware);
    ASSERT_NE(window_->Drive(), nullptr);
    EXPECT_EQ(window_->Drive()->GetFile(0)->LayoutFlag(), 1);
    ASSERT_EQ(List()->topLevelItemCount(), kClips);
    EXPECT_NE(List()->topLevelItem(0)->text(2), "Tagesschau");
    EXPECT_EQ(window_->Checksums(), checksums) << "the checksum table is built once";

    Click(ids::kFirmware);
    EXPECT_EQ(List()->topLevelItem(0)->text(2), "Tagesschau");
    EXPECT_EQ(window_->Checksums(), checksums);
}

TEST_F(WindowTest, DirKeepsTheDiskReadFirst) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    testdisk::DiskSpec other = StandardDisk();
    other.clips.resize(1);
    const std::string otherImage = (root_ / "other.img").string();
    ASSERT_TRUE(testdisk::BuildImage(other, otherImage).ok());
    Control<QComboBox>(ids::kDrive)->setEditText(QString::fromStdString(otherImage));
    Click(ids::kDir);
    EXPECT_EQ(List()->topLevelItemCount(), kClips) << "the objects of the first disk are reused";
}

} // namespace
} // namespace quorin::guitest
