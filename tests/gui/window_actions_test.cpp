// The smaller commands: Change Title, Add to RawAudioList, Preview / Cut, Restore, Options,
// About, the "..." image picker, and the settings file kept across a session.
#include "gui_support.h"

#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "platform/text.h"
#include "platform/volume.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

namespace quorin::guitest {
namespace {

std::string TitleOnDisk(const std::string& image, int clip) {
    bool ok = false;
    ClusterTable table(image, ok);
    CPVRDrive drive(image, &table);
    return Latin1ToUtf8(drive.GetFile(clip)->GetRecord().ClipName());
}

QAction* MenuCommand(CMainDialog& window, int id) {
    for (QAction* action : window.ClipMenu()->actions())
        if (ControlId(action) == id) return action;
    return nullptr;
}

// Presses a button of a modal dialog by its id.
void Press(QWidget* dialog, int id) {
    auto* button = qobject_cast<QPushButton*>(FindControl(dialog, id));
    ASSERT_NE(button, nullptr) << id;
    button->click();
}

TEST_F(WindowTest, ChangeTitleWritesTheRecordAndRefreshesTheList) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(1);
    QString preset;
    WhenModal([&](QWidget* dialog) {
        auto* edit = qobject_cast<QLineEdit*>(FindControl(dialog, ids::kTitleEdit));
        ASSERT_NE(edit, nullptr);
        preset = edit->text();
        EXPECT_EQ(edit->maxLength(), 40);
        edit->clear();
        TypeKeys(edit, QString::fromUtf8("Krimi – Spät"));
        Press(dialog, ids::kOk);
    });
    MenuCommand(*window_, ids::kMenuChangeTitle)->trigger();
    EXPECT_EQ(preset, "Krimi");
    // The dash is no ISO-8859-1 character, so it could not be typed.
    EXPECT_EQ(List()->topLevelItem(1)->text(2), QString::fromUtf8("Krimi  Spät"));
    EXPECT_EQ(TitleOnDisk(image_, 1), "Krimi  Spät");
    EXPECT_TRUE(messages_.empty());
}

TEST_F(WindowTest, ATitleThatCannotBeWrittenIsReported) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(0);
    VolumeFaults faults;
    faults.failWrites = true;
    SetVolumeFaults(image_, faults);
    WhenModal([](QWidget* dialog) {
        qobject_cast<QLineEdit*>(FindControl(dialog, ids::kTitleEdit))->setText("Nachrichten");
        Press(dialog, ids::kOk);
    });
    MenuCommand(*window_, ids::kMenuChangeTitle)->trigger();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].caption, "Change Title");
    EXPECT_EQ(List()->topLevelItem(0)->text(2), "Tagesschau");
    ClearVolumeFaults();
    EXPECT_EQ(TitleOnDisk(image_, 0), "Tagesschau");
}

TEST_F(WindowTest, AChannelJoinsTheRawAudioListOnce) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(1);
    auto* rawAudio = Control<QCheckBox>(ids::kRawAudio);
    EXPECT_FALSE(rawAudio->isChecked());
    MenuCommand(*window_, ids::kMenuAddRawAudio)->trigger();
    EXPECT_TRUE(rawAudio->isChecked());
    ASSERT_EQ(window_->CurrentSettings().rawAudioList.size(), 1u);
    EXPECT_EQ(window_->CurrentSettings().rawAudioList[0],
              List()->topLevelItem(1)->text(1).toStdString());
    rawAudio->setChecked(false);
    MenuCommand(*window_, ids::kMenuAddRawAudio)->trigger();
    EXPECT_FALSE(rawAudio->isChecked()) << "the second time changes nothing";
    EXPECT_EQ(window_->CurrentSettings().rawAudioList.size(), 1u);

    ClickRow(1); // from now on a click guesses raw audio for this channel
    EXPECT_TRUE(rawAudio->isChecked());
    window_->reject(); // saves
    EXPECT_NE(ReadFile(SettingsFile()).find("RawAudio_000=ZDF"), std::string::npos);
}

TEST_F(WindowTest, APreviewHandsOverItsCutJobsAndTitlesTheClip) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(0);
    Control<QCheckBox>(ids::kRawStream)->setChecked(true);
    PreviewRequest seen;
    preview_ = [&](const PreviewRequest& request) {
        seen = request;
        PreviewResult result{true, {}};
        for (const char* name : {"Part 1", "Part 2", "Part 3"}) {
            RipJob job;
            job.name = name;
            job.length = 2;
            job.audio = job.video = 1;
            result.jobs.push_back(job);
        }
        return result;
    };
    QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {},
                       List()->visualItemRect(List()->topLevelItem(0)).center());
    ASSERT_NE(seen.clip, nullptr);
    EXPECT_EQ(seen.clip->FileNo(), 0);
    EXPECT_TRUE(seen.streamRaw);
    EXPECT_EQ(window_->Queue().Count(), 3);
    EXPECT_TRUE(window_->Queue().QueueMode());
    EXPECT_EQ(Text(ids::kJobCount), "3");
    EXPECT_EQ(List()->topLevelItem(0)->text(2), "Part 3");
    EXPECT_EQ(TitleOnDisk(image_, 0), "Part 3");

    // Cancel takes nothing over; Restore shows the dialog without a clip.
    preview_ = [&](const PreviewRequest& request) {
        seen = request;
        return PreviewResult{false, {RipJob{}}};
    };
    MenuCommand(*window_, ids::kMenuPreview)->trigger();
    EXPECT_EQ(window_->Queue().Count(), 3);
    Click(ids::kRestore);
    EXPECT_EQ(seen.clip, nullptr);
    EXPECT_EQ(window_->Queue().Count(), 3);
}

TEST_F(WindowTest, OptionsDefaultAndCancelStillSaves) {
    BuildDisk();
    WriteSettings("Prefix Video=mpv\n");
    OpenWindow();
    fs::remove(SettingsFile());
    QString shown;
    WhenModal([&](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Options");
        Press(dialog, ids::kDefault);
        shown = qobject_cast<QLineEdit*>(FindControl(dialog, ids::kPostfixVideo))->text();
        Press(dialog, ids::kCancel);
    });
    Click(ids::kOptions);
    EXPECT_EQ(shown, "m2v");
    EXPECT_EQ(window_->CurrentSettings().prefixVideo, "mpv") << "Cancel keeps the endings";
    EXPECT_NE(ReadFile(SettingsFile()).find("Prefix Video=mpv"), std::string::npos)
        << "and still writes the settings";

    WhenModal([&](QWidget* dialog) {
        qobject_cast<QLineEdit*>(FindControl(dialog, ids::kPostfixRawAudio))->setText("mpa");
        auto* format = qobject_cast<QComboBox*>(FindControl(dialog, ids::kOutputFormat));
        auto* keep = qobject_cast<QCheckBox*>(FindControl(dialog, ids::kKeepStreams));
        EXPECT_FALSE(keep->isEnabled()) << "nothing to keep with the elementary streams";
        format->setCurrentIndex(format->findData("mkv"));
        keep->setChecked(true);
        qobject_cast<QCheckBox*>(FindControl(dialog, ids::kExactCuts))->setChecked(true);
        Press(dialog, ids::kOk);
    });
    Click(ids::kOptions);
    EXPECT_EQ(window_->CurrentSettings().prefixRawAudio, "mpa");
    EXPECT_EQ(window_->CurrentSettings().outputFormat, "mkv");
    EXPECT_TRUE(window_->CurrentSettings().keepStreams);
    const std::string saved = ReadFile(SettingsFile());
    EXPECT_NE(saved.find("Prefix Raw Audio=mpa"), std::string::npos);
    EXPECT_NE(saved.find("Output Format=mkv\nKeep Elementary Streams=1"), std::string::npos);
    EXPECT_TRUE(window_->CurrentSettings().exactCuts);
    EXPECT_NE(saved.find("Exact Cuts=1"), std::string::npos);
}

TEST_F(WindowTest, AboutOnF1AndOnItsButton) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    QStringList texts;
    auto readAndClose = [&](QWidget* dialog) {
        texts << dialog->windowTitle()
              << qobject_cast<QLabel*>(FindControl(dialog, ids::kProgramVersion))->text()
              << qobject_cast<QLabel*>(FindControl(dialog, ids::kEngineVersion))->text();
        Press(dialog, ids::kOk);
    };
    WhenModal(readAndClose);
    QTest::keyClick(window_.get(), Qt::Key_F1);
    EXPECT_EQ(texts, QStringList({"About Quorin", "Quorin Version v1.0.0 beta",
                                  "Clipforge Version:v1.0.0"}));
    WhenModal(readAndClose);
    Click(ids::kAbout);
    EXPECT_EQ(texts.size(), 6);
}

TEST_F(WindowTest, TheImagePickerAddsThePathToTheDriveList) {
    BuildDisk();
    WriteSettings();
    OpenWindow("");
    EXPECT_EQ(List()->topLevelItemCount(), 0);
    imageChoice_ = image_;
    Click(ids::kPickImage);
    auto* drive = Control<QComboBox>(ids::kDrive);
    EXPECT_EQ(drive->currentText().toStdString(), image_);
    EXPECT_GE(drive->findText(QString::fromStdString(image_)), 0);
    Click(ids::kDir);
    EXPECT_EQ(List()->topLevelItemCount(), kClips);
}

TEST_F(WindowTest, SettingsSurviveASessionByteForByte) {
    BuildDisk();
    const std::string ini = "; written by hand\r\n"
                            "[QUORIN]\r\n"
                            "Output Directory=" +
                            out_.string() +
                            "/\r\n"
                            "Play Sound=0\r\n"
                            "Log File=1\r\n"
                            "Firmware190=0\r\n"
                            "Patch first sequence header=1\r\n"
                            "RawAudio_000=ZDF\r\n"
                            "RawAudio_007=arte\r\n"
                            "Prefix Video=m2v\r\n"
                            "Prefix Audio=mp2\r\n"
                            "Prefix Raw Video=C:\\raw\\pva\r\n"
                            "Prefix Raw Audio=mpp\r\n"
                            "Window Size=800 600\r\n";
    WriteFile(SettingsFile(), ini);
    OpenWindow();
    EXPECT_FALSE(Control<QCheckBox>(ids::kPlaySound)->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(ids::kWriteLog)->isChecked());
    EXPECT_TRUE(Control<QCheckBox>(ids::kPatchSequence)->isChecked());
    EXPECT_EQ(window_->CurrentSettings().prefixRawVideo, "C:\\raw\\pva");
    EXPECT_EQ(window_->CurrentSettings().rawAudioList, (std::vector<std::string>{"ZDF", "arte"}));
    ClickRow(2);
    EXPECT_TRUE(Control<QCheckBox>(ids::kRawAudio)->isChecked()) << "arte is on the list";

    Control<QCheckBox>(ids::kWriteLog)->setChecked(false);
    Click(ids::kCancel);
    EXPECT_FALSE(window_->isVisible());
    const std::string saved = ReadFile(SettingsFile());
    for (const char* line :
         {"; written by hand", "Log File=0", "Play Sound=0", "Patch first sequence header=1",
          "RawAudio_000=ZDF", "RawAudio_001=arte", "RawAudio_007=arte",
          "Prefix Raw Video=C:\\raw\\pva", "Window Size=800 600"})
        EXPECT_NE(saved.find(line), std::string::npos) << line << "\n" << saved;
    EXPECT_LT(saved.find("Output Directory="), saved.find("Play Sound="));
}

} // namespace
} // namespace quorin::guitest
