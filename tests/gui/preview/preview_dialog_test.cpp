// The preview dialog on factory disks, through the real engine and decoder, offscreen.
#include "preview_support.h"

#include "disk/pvr_file.h"
#include "gui/preview/preview_slider.h"
#include "jobs/clip_time.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

namespace quorin::test {
namespace {

namespace id = preview_ids;

QString Text(QWidget& dlg, int controlId) {
    if (auto* label = Control<QLabel>(dlg, controlId)) return label->text();
    if (auto* edit = Control<QLineEdit>(dlg, controlId)) return edit->text();
    if (auto* button = Control<QAbstractButton>(dlg, controlId)) return button->text();
    ADD_FAILURE() << "no control " << controlId;
    return {};
}

void Click(QWidget& dlg, int controlId) {
    auto* button = Control<QAbstractButton>(dlg, controlId);
    ASSERT_NE(button, nullptr) << controlId;
    QTest::mouseClick(button, Qt::LeftButton);
}

// Hundredths of the position text "h:mm:ss.cc".
long long ShownHundredths(QWidget& dlg) {
    return Hundredths(ParseClipTime(Text(dlg, id::kPosition).toStdString()));
}

void SendWheel(QWidget* target, int delta) {
    const QPointF pos(target->width() / 2.0, target->height() / 2.0);
    QWheelEvent event(pos, target->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
}

// Sends a mouse event with the left button held (a drag), which QTest's mouseMove does not.
void SendMouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButtons held) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pos, target->mapToGlobal(pos), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

QPoint HandleCentre(QSlider* slider) {
    QStyleOptionSlider opt;
    opt.initFrom(slider);
    opt.orientation = slider->orientation();
    opt.minimum = slider->minimum();
    opt.maximum = slider->maximum();
    opt.sliderPosition = slider->sliderPosition();
    opt.sliderValue = slider->value();
    opt.tickPosition = slider->tickPosition();
    opt.tickInterval = slider->tickInterval();
    opt.subControls = QStyle::SC_All;
    return slider->style()
        ->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, slider)
        .center();
}

using PreviewDialogTest = PreviewTest;

// ---- Opening -------------------------------------------------------------------------------

TEST_F(PreviewDialogTest, OpensAtZeroWithThePictureOfTheFirstSequenceHeader) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);

    EXPECT_EQ(Text(dlg, id::kPosition), "0:00:00.00");
    EXPECT_EQ(Text(dlg, id::kClipLength), "0:00:15");
    EXPECT_EQ(dlg.windowTitle(), "Card 4:3");
    EXPECT_EQ(Text(dlg, id::kJobName), "Card 4:3");
    EXPECT_EQ(Text(dlg, id::kJobCount), "0");
    EXPECT_EQ(Text(dlg, id::kBeginText), "");
    EXPECT_EQ(Text(dlg, id::kEndText), "");
    EXPECT_EQ(dlg.MaxPosition(), 1500 - 200);
    EXPECT_EQ(Control<QSlider>(dlg, id::kTrackbar)->tickInterval(), 60000);
    EXPECT_EQ(dlg.BaseTimeStamp(), 900'000); // the factory's first picture

    const QPixmap picture = dlg.Picture();
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), QSize(400, 300));
    EXPECT_EQ(picture.toImage().convertToFormat(QImage::Format_RGB32),
              ReferencePicture(Sample("mpeg2-4x3.m2v"), 300).convertToFormat(QImage::Format_RGB32));
    auto* area = dlg.findChild<QLabel*>("my static");
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->geometry(), QRect(120, 20, 400, 300));
    EXPECT_TRUE(area->alignment() & Qt::AlignCenter);

    EXPECT_TRUE(NoPreviewFiles());
    dlg.show();
    SaveScreenshot(dlg, "preview-4x3.png");
}

TEST_F(PreviewDialogTest, WidescreenPictureIs400By225) {
    CPVRFile& clip = PreviewClip(Disk::Short, 1);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    EXPECT_EQ(Text(dlg, id::kPosition), "0:00:00.00");
    EXPECT_EQ(dlg.BaseTimeStamp(), 0x12345678);
    ASSERT_EQ(dlg.Picture().size(), QSize(400, 225));
    EXPECT_EQ(
        dlg.Picture().toImage().convertToFormat(QImage::Format_RGB32),
        ReferencePicture(Sample("mpeg2-16x9.m2v"), 225).convertToFormat(QImage::Format_RGB32));
    EXPECT_TRUE(NoPreviewFiles());
    dlg.show();
    SaveScreenshot(dlg, "preview-16x9.png");
}

TEST_F(PreviewDialogTest, ControlsCarryTheirIdsAndTexts) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, true, false);
    for (QWidget* w : dlg.findChildren<QWidget*>()) {
        if (w->parentWidget() != &dlg) continue; // parts of a control
        EXPECT_TRUE(w->property(id::kProperty).isValid()) << w->metaObject()->className();
    }
    EXPECT_EQ(Text(dlg, id::kGoto), "Goto");
    EXPECT_EQ(Text(dlg, id::kSetBegin), "Set Begin");
    EXPECT_EQ(Text(dlg, id::kSetEnd), "Set End");
    EXPECT_EQ(Text(dlg, id::kAddJob), "Add Job");
    EXPECT_EQ(Text(dlg, id::kOk), "OK");
    EXPECT_EQ(Text(dlg, id::kCancel), "Cancel");
    EXPECT_EQ(Text(dlg, id::kStreamRaw), "Stream Raw");
    EXPECT_EQ(Text(dlg, id::kAudioRaw), "Audio Raw");
    EXPECT_TRUE(Control<QCheckBox>(dlg, id::kAudioRaw)->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(dlg, id::kStreamRaw)->isChecked());

    // Set 2 with the box itself unchecked.
    EXPECT_EQ(dlg.StepSet(), 2);
    auto* box = Control<QCheckBox>(dlg, id::kStepSet);
    EXPECT_EQ(box->checkState(), Qt::Unchecked);
    EXPECT_EQ(box->text(), "min");
    const char* set2[] = {"<10s", "<5s", "<3s", "<1s", ">1s", ">3s", ">5s", ">10s"};
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(Text(dlg, id::kJumpFirst + k), set2[k]);
}

TEST_F(PreviewDialogTest, RecordingDateAndTimeInTheLocaleFormatOnTwoLines) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    {
        CPreviewDialog dlg(nullptr, &clip, false, false);
        EXPECT_EQ(Text(dlg, id::kDateTime), "17.05.24\n20:15:00");
        dlg.SetPosition(1000);
        dlg.RefreshPreview();
        // Recording start plus the whole seconds of the picture really shown.
        EXPECT_EQ(Text(dlg, id::kDateTime),
                  QString("17.05.24\n20:15:%1").arg(ShownHundredths(dlg) / 100, 2, 10, QChar('0')));
    }
    QLocale::setDefault(before);
}

// ---- Moving --------------------------------------------------------------------------------

TEST_F(PreviewDialogTest, JumpsClampAtZeroAndAtTheEnd) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);

    Click(dlg, id::kJumpFirst + 0); // "<10s" from 0
    EXPECT_EQ(dlg.Position(), 0);
    EXPECT_EQ(Text(dlg, id::kPosition), "0:00:00.00");
    EXPECT_TRUE(NoPreviewFiles());

    Click(dlg, id::kJumpFirst + 7); // ">10s"
    EXPECT_EQ(dlg.Position(), 1000);
    // The picture starts at the first sequence header from 10 s on (GOPs of 0.48 s).
    EXPECT_GE(ShownHundredths(dlg), 1000);
    EXPECT_LE(ShownHundredths(dlg), 1048);
    EXPECT_FALSE(dlg.Picture().isNull());
    EXPECT_TRUE(NoPreviewFiles());

    Click(dlg, id::kJumpFirst + 5); // ">3s" past the end: the maximum, 15 s - 2 s
    EXPECT_EQ(dlg.Position(), 1300);
    EXPECT_TRUE(NoPreviewFiles());

    Click(dlg, id::kJumpFirst + 1); // "<5s"
    EXPECT_EQ(dlg.Position(), 800);
    Click(dlg, id::kJumpFirst + 0); // "<10s" from 8 s
    EXPECT_EQ(dlg.Position(), 0);
    EXPECT_EQ(Text(dlg, id::kPosition), "0:00:00.00");
}

TEST_F(PreviewDialogTest, StepSetsCycleByRightClickAndByTheBox) {
    CPVRFile& clip = PreviewClip(Disk::Long, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    dlg.show();
    auto* box = Control<QCheckBox>(dlg, id::kStepSet);

    QTest::mouseClick(&dlg, Qt::RightButton, {}, QPoint(5, 300));
    EXPECT_EQ(dlg.StepSet(), 0);
    EXPECT_EQ(box->checkState(), Qt::Unchecked);
    EXPECT_EQ(box->text(), "max");
    const char* set0[] = {"<20m", "<10m", "<5m", "<2.5m", ">2.5m", ">5m", ">10m", ">20m"};
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(Text(dlg, id::kJumpFirst + k), set0[k]);
    Click(dlg, id::kJumpFirst + 6); // ">10m"
    EXPECT_EQ(dlg.Position(), 60000);

    QTest::mouseClick(&dlg, Qt::RightButton, {}, QPoint(5, 300));
    EXPECT_EQ(dlg.StepSet(), 1);
    EXPECT_EQ(box->checkState(), Qt::Checked);
    EXPECT_EQ(box->text(), "med");
    const char* set1[] = {"<3m", "<1.5m", "<45s", "<20s", ">20s", ">45s", ">1.5m", ">3 m"};
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(Text(dlg, id::kJumpFirst + k), set1[k]);
    Click(dlg, id::kJumpFirst + 2); // "<45s"
    EXPECT_EQ(dlg.Position(), 60000 - 4500);

    // A click on the box moves to its next state, which names the set.
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(box->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(dlg.StepSet(), 2);
    EXPECT_EQ(box->text(), "min");
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(box->checkState(), Qt::Unchecked);
    EXPECT_EQ(dlg.StepSet(), 0);
    EXPECT_EQ(Text(dlg, id::kJumpFirst + 7), ">20m");
}

TEST_F(PreviewDialogTest, GotoWithEnterInTheGotoField) {
    CPVRFile& clip = PreviewClip(Disk::Long, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    EXPECT_EQ(Text(dlg, id::kClipLength), "1:31:04");
    dlg.show();
    auto* field = Control<QLineEdit>(dlg, id::kGotoTime);
    field->setFocus();
    QTest::keyClicks(field, "13045.5");
    QTest::keyClick(field, Qt::Key_Return);

    EXPECT_TRUE(dlg.isVisible()); // Enter in the field is Goto, not OK
    EXPECT_EQ(dlg.result(), 0);
    EXPECT_EQ(dlg.Position(), 544550); // 1:30:45.50
    EXPECT_EQ(field->selectedText(), "13045.5");
    // One GOP per second: the picture of the sequence header at 1:30:45.
    EXPECT_EQ(Text(dlg, id::kPosition), "1:30:45.00");
    EXPECT_FALSE(dlg.Picture().isNull());
    EXPECT_TRUE(NoPreviewFiles());
    SaveScreenshot(dlg, "preview-long-goto.png");

    field->setText("0");
    Click(dlg, id::kGoto);
    EXPECT_EQ(dlg.Position(), 0);
    EXPECT_EQ(Text(dlg, id::kPosition), "0:00:00.00");

    field->setText("99999999"); // beyond the clip: its maximum
    Click(dlg, id::kGoto);
    EXPECT_EQ(dlg.Position(), dlg.MaxPosition());
    EXPECT_EQ(dlg.MaxPosition(), 546400 - 200);

    field->setText("1.57"); // hundredths taken exactly
    Click(dlg, id::kGoto);
    EXPECT_EQ(dlg.Position(), 157);

    field->setText("soon");
    Click(dlg, id::kGoto);
    EXPECT_EQ(dlg.Position(), 157);
}

TEST_F(PreviewDialogTest, LeftClickOnTheDialogLeavesTheFieldsSoEnterMeansOk) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    auto* field = Control<QLineEdit>(dlg, id::kGotoTime);
    field->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), field);
    QTest::mouseClick(&dlg, Qt::LeftButton, {}, QPoint(5, 300));
    EXPECT_NE(QApplication::focusWidget(), field);
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &dlg;
    QTest::keyClick(target, Qt::Key_Return);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(PreviewDialogTest, ThreeWheelNotchesMakeOneJumpOnTheSecondTick) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    const int ripsBefore = dlg.PreviewRips();
    QWidget* picture = dlg.findChild<QLabel*>("my static");

    for (int notch = 0; notch < 3; ++notch)
        SendWheel(notch == 1 ? &dlg : picture, 120);
    EXPECT_TRUE(dlg.WheelTimerActive());
    EXPECT_EQ(dlg.WheelTimerInterval(), 500);
    EXPECT_EQ(dlg.PendingWheelOffset(), 360);
    EXPECT_EQ(Text(dlg, id::kPosition), "0:00:03.60");
    EXPECT_EQ(dlg.Position(), 0);

    dlg.WheelTimerTick(); // 500 ms after the last notch
    EXPECT_TRUE(dlg.WheelTimerActive());
    EXPECT_EQ(dlg.WheelTimerInterval(), 250);
    EXPECT_EQ(dlg.Position(), 0);
    EXPECT_EQ(dlg.PreviewRips(), ripsBefore); // nothing ripped yet

    dlg.WheelTimerTick(); // 250 ms later: one jump of 3.6 s
    EXPECT_FALSE(dlg.WheelTimerActive());
    EXPECT_EQ(dlg.Position(), 360);
    EXPECT_EQ(dlg.PendingWheelOffset(), 0);
    EXPECT_GE(ShownHundredths(dlg), 300); // ripped from the whole seconds
    EXPECT_TRUE(NoPreviewFiles());

    // Backwards past the start: clamped to 0.
    for (int notch = 0; notch < 5; ++notch)
        SendWheel(&dlg, -120);
    EXPECT_EQ(Text(dlg, id::kPosition), "0:00:00.00");
    dlg.WheelTimerTick();
    dlg.WheelTimerTick();
    EXPECT_EQ(dlg.Position(), 0);
}

// The dialog's own timer makes the jump on its second timeout (500 + 250 ms after the last
// notch), whatever the machine's load: the order of the timeouts is checked, not the clock.
TEST_F(PreviewDialogTest, TheDialogsTimerJumpsOnItsSecondTimeout) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    auto* timer = dlg.findChild<QTimer*>("wheel timer");
    ASSERT_NE(timer, nullptr);
    std::vector<std::pair<int, int>> timeouts; // (interval after the timeout, position)
    QObject::connect(timer, &QTimer::timeout, &dlg, [&] {
        timeouts.emplace_back(timer->isActive() ? timer->interval() : 0, dlg.Position());
    });
    for (int notch = 0; notch < 3; ++notch)
        SendWheel(&dlg, 120);
    ASSERT_TRUE(QTest::qWaitFor([&] { return timeouts.size() == 2; }, 10000));
    const std::vector<std::pair<int, int>> expected = {{250, 0}, {0, 360}};
    EXPECT_EQ(timeouts, expected);
}

TEST_F(PreviewDialogTest, ThumbTrackingShowsTimesWithoutRippingAndReleaseRefreshes) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    dlg.show();
    auto* slider = Control<PreviewSlider>(dlg, id::kTrackbar);
    int rips = dlg.PreviewRips();

    const QPoint start = HandleCentre(slider);
    SendMouse(slider, QEvent::MouseButtonPress, start, Qt::LeftButton);
    SendMouse(slider, QEvent::MouseMove, start + QPoint(slider->width() / 2, 0), Qt::LeftButton);
    const int dragged = dlg.Position();
    EXPECT_GT(dragged, 0);
    EXPECT_EQ(Text(dlg, id::kPosition), CPreviewDialog::FormatPosition(dragged));
    EXPECT_EQ(dlg.PreviewRips(), rips);

    SendMouse(slider, QEvent::MouseButtonRelease, start + QPoint(slider->width() / 2, 0),
              Qt::NoButton);
    EXPECT_GT(dlg.PreviewRips(), rips);
    EXPECT_GE(ShownHundredths(dlg), dragged / 100 * 100);
    EXPECT_TRUE(NoPreviewFiles());

    // The dialog's keys reach the slider too: Left steps a second back and shows its picture.
    rips = dlg.PreviewRips();
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Left);
    EXPECT_EQ(dlg.Position(), dragged - 100);
    EXPECT_GT(dlg.PreviewRips(), rips);
}

// ---- Cuts ----------------------------------------------------------------------------------

TEST_F(PreviewDialogTest, SetBeginSetEndAndAddJobBuildCutJobs) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, true, true);
    dlg.show();
    auto* slider = Control<PreviewSlider>(dlg, id::kTrackbar);

    Click(dlg, id::kAddJob); // neither begin nor end yet: nothing, with a note
    EXPECT_EQ(dlg.CutJobCount(), 0);
    EXPECT_FALSE(dlg.findChild<QLabel*>("note")->text().isEmpty());

    dlg.SetPosition(300);
    dlg.RefreshPreview();
    Click(dlg, id::kSetBegin);
    const QString beginText = Text(dlg, id::kPosition);
    EXPECT_EQ(Text(dlg, id::kBeginText), beginText);
    EXPECT_EQ(slider->SelectionLow(), 300);
    EXPECT_EQ(slider->SelectionHigh(), 300);
    Click(dlg, id::kAddJob); // no end yet
    EXPECT_EQ(dlg.CutJobCount(), 0);

    dlg.SetPosition(1100);
    dlg.RefreshPreview();
    Click(dlg, id::kSetEnd);
    const QString endText = Text(dlg, id::kPosition);
    EXPECT_EQ(Text(dlg, id::kEndText), endText);
    EXPECT_EQ(slider->SelectionLow(), 300);
    EXPECT_EQ(slider->SelectionHigh(), 1100);
    SaveScreenshot(dlg, "preview-cut.png");

    Click(dlg, id::kAddJob);
    ASSERT_EQ(dlg.CutJobCount(), 1);
    EXPECT_EQ(Text(dlg, id::kJobCount), "1");
    const double begin = ParseClipTime(beginText.toStdString());
    const double end = ParseClipTime(endText.toStdString());
    RipJob expected;
    expected.rawAudio = 1;
    expected.rawVideo = 1;
    expected.name = "Card 4:3";
    expected.clipIndex = 0;
    expected.begin = begin;
    expected.length = end - begin;
    const ClipRecord& r = clip.GetRecord();
    expected.sizeEstimate = (r.VClusters() + r.AClusters()) * 0.1 * (end - begin) / 15;
    expected.audio = 1;
    expected.video = 1;
    EXPECT_EQ(dlg.CutJobs()[0], expected);

    // A second job with another name and the raw boxes cleared.
    Control<QLineEdit>(dlg, id::kJobName)->setText("Second part");
    Control<QCheckBox>(dlg, id::kAudioRaw)->setChecked(false);
    Control<QCheckBox>(dlg, id::kStreamRaw)->setChecked(false);
    Click(dlg, id::kAddJob);
    ASSERT_EQ(dlg.CutJobCount(), 2);
    EXPECT_EQ(dlg.CutJobs()[1].name, "Second part");
    EXPECT_EQ(dlg.CutJobs()[1].rawAudio, 0);
    EXPECT_EQ(dlg.CutJobs()[1].rawVideo, 0);

    // End before begin adds nothing; the band still spans both marks.
    dlg.SetPosition(1200);
    dlg.RefreshPreview();
    Click(dlg, id::kSetBegin);
    EXPECT_EQ(slider->SelectionLow(), 1100);
    EXPECT_EQ(slider->SelectionHigh(), 1200);
    Click(dlg, id::kAddJob);
    EXPECT_EQ(dlg.CutJobCount(), 2);
    EXPECT_EQ(Text(dlg, id::kJobCount), "2");

    // End equal to begin: a job of length 0.
    Click(dlg, id::kSetEnd);
    Click(dlg, id::kAddJob);
    ASSERT_EQ(dlg.CutJobCount(), 3);
    EXPECT_EQ(dlg.CutJobs()[2].length, 0.0);
}

TEST_F(PreviewDialogTest, FullCutJobListRefusesFurtherJobs) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    dlg.SetBegin();
    dlg.SetEnd();
    for (int i = 0; i < 100; ++i)
        dlg.AddJob();
    ASSERT_EQ(dlg.CutJobCount(), 100);

    QString shown;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            box->accept();
        }
    });
    dlg.AddJob();
    EXPECT_EQ(dlg.CutJobCount(), 100);
    EXPECT_EQ(shown, "The cut job list is full (100 jobs).");
}

// ---- Without a clip ("Restore") --------------------------------------------------------------

TEST_F(PreviewDialogTest, WithoutAClipNothingMoves) {
    CPreviewDialog dlg(nullptr, nullptr, true, false);
    dlg.show();
    EXPECT_TRUE(dlg.Picture().isNull());
    EXPECT_EQ(Text(dlg, id::kPosition), "0:00:00.00");
    Click(dlg, id::kJumpFirst + 7);
    Control<QLineEdit>(dlg, id::kGotoTime)->setText("100");
    Click(dlg, id::kGoto);
    SendWheel(&dlg, 120);
    EXPECT_FALSE(dlg.WheelTimerActive());
    Click(dlg, id::kSetBegin);
    Click(dlg, id::kSetEnd);
    Click(dlg, id::kAddJob);
    EXPECT_EQ(dlg.Position(), 0);
    EXPECT_EQ(Text(dlg, id::kBeginText), "");
    EXPECT_EQ(dlg.CutJobCount(), 0);
    EXPECT_TRUE(OutputFiles().empty());
    Click(dlg, id::kOk);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

} // namespace
} // namespace quorin::test
