// The preview dialog's ranges, single pictures and breaks, on factory disks through the real
// engine, the media module's decoder and the break search, offscreen.
#include "preview_support.h"
#include "shell.h"

#include "gui/preview/filmstrip.h"
#include "gui/preview/picture_step.h"
#include "gui/preview/preview_slider.h"
#include "gui/preview/range_list.h"
#include "jobs/jobs.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <optional>

namespace quorin::test {
namespace {

namespace id = preview_ids;

using Ranges = std::vector<CutRange>;
using PreviewRangeTest = PreviewTest;

QString Note(CPreviewDialog& dlg) {
    return dlg.findChild<QLabel*>("note")->text();
}

// Moves to the position and marks the picture there as begin or end.
void MarkAt(CPreviewDialog& dlg, std::int64_t hundredths, bool begin) {
    dlg.SetPosition(hundredths);
    dlg.RefreshPreview();
    begin ? dlg.SetBegin() : dlg.SetEnd();
}

void AddRangeAt(CPreviewDialog& dlg, std::int64_t from, std::int64_t to) {
    MarkAt(dlg, from, true);
    MarkAt(dlg, to, false);
    QTest::mouseClick(Control<QPushButton>(dlg, id::kAddRange), Qt::LeftButton);
}

TEST(RangeList, RangesStayInOrderAndApart) {
    struct Step {
        enum Op { kAdd, kChange, kRemove } op;
        int row;
        CutRange range;
        bool refused;
        Ranges after;
    };
    const Step steps[] = {
        {Step::kAdd, -1, {500, 800}, false, {{500, 800}}},
        {Step::kAdd, -1, {100, 300}, false, {{100, 300}, {500, 800}}},
        {Step::kAdd, -1, {300, 500}, false, {{100, 300}, {300, 500}, {500, 800}}}, // touching
        {Step::kAdd, -1, {700, 900}, true, {{100, 300}, {300, 500}, {500, 800}}},  // overlap
        {Step::kAdd, -1, {950, 900}, true, {{100, 300}, {300, 500}, {500, 800}}},  // backwards
        {Step::kAdd, -1, {950, 950}, true, {{100, 300}, {300, 500}, {500, 800}}},  // empty
        {Step::kRemove, 1, {}, false, {{100, 300}, {500, 800}}},
        {Step::kChange, 0, {100, 600}, true, {{100, 300}, {500, 800}}},
        {Step::kChange, 0, {1000, 1200}, false, {{500, 800}, {1000, 1200}}}, // moves in time
        {Step::kChange, 1, {800, 1200}, false, {{500, 800}, {800, 1200}}},
    };
    RangeList list;
    for (const Step& s : steps) {
        std::optional<QString> why;
        if (s.op == Step::kAdd) why = list.Add(s.range);
        if (s.op == Step::kChange) why = list.Change(s.row, s.range);
        if (s.op == Step::kRemove) list.Remove(s.row);
        EXPECT_EQ(why.has_value(), s.refused) << s.range.from << "-" << s.range.to;
        EXPECT_EQ(list.Ranges(), s.after) << s.range.from << "-" << s.range.to;
    }
    EXPECT_EQ(list.Change(1, {100, 600}).value_or(""),
              "0:00:01.00-0:00:06.00 overlaps range 1 (0:00:05.00-0:00:08.00).");
}

TEST_F(PreviewRangeTest, RangesAreMadeSelectedChangedAndShownAsBands) {
    CPreviewDialog dlg(nullptr, &PreviewClip(Disk::Short, 0), false, false);
    auto* slider = Control<PreviewSlider>(dlg, id::kTrackbar);
    AddRangeAt(dlg, 900, 1200);
    AddRangeAt(dlg, 200, 500);
    AddRangeAt(dlg, 400, 1000); // overlaps both: refused with a note
    EXPECT_TRUE(Note(dlg).contains("overlaps")) << Note(dlg).toStdString();
    ASSERT_EQ(dlg.Ranges()->Ranges().size(), 2u);
    const CutRange first = dlg.Ranges()->Ranges()[0];
    EXPECT_GE(first.from, 200);
    EXPECT_LT(first.from, 250) << "the group shown at 2 s";
    ASSERT_EQ(slider->Bands().size(), 2u);
    EXPECT_EQ(dlg.Strip()->Bands().size(), 2u);
    EXPECT_EQ(slider->Bands()[0].from, first.from);

    // Selecting shows the range as the cut; Set End then changes it.
    dlg.SelectRange(0);
    EXPECT_EQ(slider->SelectionLow(), first.from);
    EXPECT_EQ(slider->SelectionHigh(), first.to);
    EXPECT_TRUE(slider->Bands()[0].selected);
    MarkAt(dlg, 700, false);
    const std::int64_t changedTo = dlg.ShownPosition();
    EXPECT_EQ(dlg.Ranges()->Ranges()[0].to, changedTo);
    EXPECT_EQ(slider->Bands()[0].to, changedTo);
    MarkAt(dlg, 1000, false); // would overlap the second: the range stays as it was
    EXPECT_EQ(dlg.Ranges()->Ranges()[0].to, changedTo);
    EXPECT_TRUE(Note(dlg).contains("overlaps"));

    QTest::mouseClick(Control<QPushButton>(dlg, id::kRemoveRange), Qt::LeftButton);
    ASSERT_EQ(dlg.Ranges()->Ranges().size(), 1u);
    EXPECT_GE(dlg.Ranges()->Ranges()[0].from, 850);
    EXPECT_EQ(slider->Bands().size(), 1u);

    // A click below the ranges selects none: Set Begin then starts a new range.
    dlg.SelectRange(0);
    QWidget* below = Control<QListWidget>(dlg, id::kRangeList)->viewport();
    QTest::mouseClick(below, Qt::LeftButton, {}, QPoint(5, below->height() - 5));
    EXPECT_EQ(dlg.Ranges()->Selected(), -1);
}

TEST_F(PreviewRangeTest, AddJobQueuesOneJobWithEveryRangeThatReloadsAsItWas) {
    CPreviewDialog dlg(nullptr, &PreviewClip(Disk::Short, 0), false, false);
    dlg.SetExactCuts(true);
    AddRangeAt(dlg, 100, 400);
    AddRangeAt(dlg, 600, 900);
    AddRangeAt(dlg, 1100, 1300);
    dlg.AddJob();
    // An empty list: the one cut between Set Begin and Set End, as before.
    dlg.Ranges()->Replace({});
    dlg.SetExactCuts(false);
    MarkAt(dlg, 300, true);
    MarkAt(dlg, 500, false);
    dlg.AddJob();
    ASSERT_EQ(dlg.CutJobCount(), 2);

    const RipJob& joined = dlg.CutJobs()[0];
    ASSERT_EQ(joined.ranges.size(), 3u);
    EXPECT_EQ(joined.exact, 1);
    EXPECT_DOUBLE_EQ(joined.begin, joined.ranges.front().first);
    EXPECT_DOUBLE_EQ(joined.begin + joined.length, joined.ranges.back().second);
    const RipJob& single = dlg.CutJobs()[1];
    EXPECT_TRUE(single.ranges.empty());
    EXPECT_EQ(single.exact, 0);

    const CPVRDrive& drive = GetDisk(Disk::Short).Drive();
    const std::vector<std::uint32_t> checksums = BuildChecksumTable(drive);
    const std::string text = FormatJobList(dlg.CutJobs(), checksums);
    Messages messages;
    const std::vector<RipJob> loaded = ParseJobList(text, {drive, checksums, {}}, messages);
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(loaded.size(), 2u);
    for (int k = 0; k < 2; ++k) {
        const RipJob& was = dlg.CutJobs()[static_cast<std::size_t>(k)];
        EXPECT_EQ(loaded[static_cast<std::size_t>(k)].ranges, was.ranges) << k;
        EXPECT_EQ(loaded[static_cast<std::size_t>(k)].exact, was.exact) << k;
        EXPECT_NEAR(loaded[static_cast<std::size_t>(k)].begin, was.begin, 0.005) << k;
        EXPECT_NEAR(loaded[static_cast<std::size_t>(k)].length, was.length, 0.01) << k;
    }
}

TEST_F(PreviewRangeTest, SinglePictureStepsLandOnThePictureBeforeAndAfter) {
    if (!PictureSteps::Available(nullptr)) GTEST_SKIP() << "no media module";
    CPreviewDialog dlg(nullptr, &PreviewClip(Disk::Short, 0), false, false);
    ASSERT_TRUE(dlg.SinglePictures());
    constexpr std::int64_t kTicks = 3600; // 25 pictures a second
    const std::int64_t base = dlg.ShownTimeStamp();
    struct Step {
        int key; // Qt key, or 0: the button after
        int times;
        std::int64_t picture; // where the dialog is then, in pictures from the first
    };
    const Step steps[] = {
        {Qt::Key_Period, 3, 3}, {Qt::Key_Comma, 1, 2},  {0, 13, 15}, // into the next group
        {Qt::Key_Comma, 4, 11}, {Qt::Key_Comma, 11, 0}, {Qt::Key_Comma, 1, 0}, // none before
    };
    for (const Step& s : steps) {
        for (int k = 0; k < s.times; ++k) {
            if (s.key)
                QTest::keyClick(&dlg, static_cast<Qt::Key>(s.key));
            else
                QTest::mouseClick(Control<QPushButton>(dlg, id::kNextPicture), Qt::LeftButton);
        }
        EXPECT_EQ(dlg.ShownTimeStamp(), base + s.picture * kTicks) << s.picture;
        EXPECT_EQ(dlg.ShownPosition(), s.picture * 4);
        EXPECT_FALSE(dlg.Picture().isNull());
    }
    EXPECT_FALSE(Note(dlg).isEmpty()) << "no picture before the first";

    // Begin and end take the pictures' own times.
    for (int k = 0; k < 7; ++k)
        dlg.NextPicture();
    dlg.SetBegin();
    for (int k = 0; k < 5; ++k)
        dlg.NextPicture();
    dlg.SetEnd();
    dlg.AddRange();
    ASSERT_EQ(dlg.Ranges()->Ranges().size(), 1u);
    EXPECT_EQ(dlg.Ranges()->Ranges()[0], (CutRange{28, 48}));
    EXPECT_TRUE(NoPreviewFiles());
}

// Without the media module (loaded once per process: the check runs in a process of its own) a
// step goes to the next picture group and the note says why.
TEST_F(PreviewRangeTest, WithoutTheMediaModuleStepsGoByPictureGroups) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    EXPECT_EXIT(
        {
            setenv("QUORIN_MEDIA_MODULE", "/nonexistent/media.so", 1);
            CPreviewDialog dlg(nullptr, &clip, false, false);
            const std::int64_t first = dlg.ShownTimeStamp();
            dlg.NextPicture();
            const bool ok = !dlg.SinglePictures() && dlg.ShownTimeStamp() == first + 12 * 3600 &&
                            Note(dlg).startsWith("Single pictures need the media module");
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Mean difference per colour component between two pictures of one size.
double MeanDifference(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

// The sample's picture n (display order) as ffmpeg decodes it.
QImage OraclePicture(const fs::path& dir, int n) {
    const fs::path file = dir / ("frame" + std::to_string(n) + ".ppm");
    const std::string cmd = "ffmpeg -v error -y -i " + Quote(Sample("mpeg2-4x3.m2v").string()) +
                            " -vf 'select=eq(n\\," + std::to_string(n) +
                            ")' -frames:v 1 -pix_fmt rgb24 " + Quote(file.string());
    return std::system(cmd.c_str()) == 0 ? QImage(QString::fromStdString(file.string())) : QImage();
}

TEST_F(PreviewRangeTest, EachSinglePictureIsTheOneOfItsTime) {
    if (!PictureSteps::Available(nullptr)) GTEST_SKIP() << "no media module";
    ScratchDir dir("quorin-oracle");
    RipRunner runner(PreviewClip(Disk::Short, 0), audio_, video_, nullptr);
    PictureSteps steps(runner, out_.string());
    // B, P and intra pictures, and the sample's picture 4 again in its second loop (96 pictures).
    const std::pair<int, int> cases[] = {{5, 5}, {12, 12}, {9, 9}, {100, 4}, {30, 30}};
    for (const auto& [picture, samplePicture] : cases) {
        const PictureSteps::Shot shot = steps.At(900'000 + picture * 3600);
        ASSERT_FALSE(shot.image.isNull()) << picture;
        EXPECT_EQ(shot.pts, 900'000 + picture * 3600);
        const QImage oracle =
            OraclePicture(dir.Path(), samplePicture).convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(oracle.size(), shot.image.size()) << "ffmpeg";
        const QImage neighbour =
            OraclePicture(dir.Path(), samplePicture + 1).convertToFormat(QImage::Format_RGB32);
        EXPECT_LT(MeanDifference(shot.image, oracle), 2.0) << picture;
        EXPECT_GT(MeanDifference(shot.image, neighbour), 2 * MeanDifference(shot.image, oracle))
            << picture;
    }
    EXPECT_EQ(steps.FrameTicks(), 3600);
    EXPECT_TRUE(NoPreviewFiles());
}

TEST_F(PreviewRangeTest, KeepAllButTheBreaksFillsTheRestOfTheClip) {
    struct Case {
        std::vector<FoundBreak> breaks;
        Ranges kept; // empty: the list stays as it was, with a note
    };
    const Case cases[] = {
        {{{3.0, 5.0, 0.9}}, {{0, 300}, {500, 1500}}},
        {{{0, 2.0, 0.95}, {10.0, 15.0, 0.85}}, {{200, 1000}}},
        {{{2.0, 4.0, 0.9}, {6.0, 8.0, 0.7}}, {{0, 200}, {400, 1500}}}, // 0.7 is kept
        {{{3.0, 5.0, 0.5}}, {}},
        {{{0, 15.0, 0.99}}, {}},
    };
    CPreviewDialog dlg(nullptr, &PreviewClip(Disk::Short, 0), false, false);
    for (const Case& c : cases) {
        dlg.Ranges()->Replace({{1400, 1450}});
        dlg.SetBreaks(c.breaks);
        dlg.KeepAllButBreaks();
        const Ranges before{{1400, 1450}};
        EXPECT_EQ(dlg.Ranges()->Ranges(), c.kept.empty() ? before : c.kept);
        EXPECT_EQ(Note(dlg).isEmpty(), !c.kept.empty());
    }
    // The breaks are bands of their own, with their confidence.
    const TimeBands& bands = Control<PreviewSlider>(dlg, id::kTrackbar)->Bands();
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_TRUE(bands[1].isBreak);
    EXPECT_EQ(bands[1].text, "break 0:00:00.00-0:00:15.00 (0.99)");
    EXPECT_EQ(BandTextAt(dlg.Strip()->Bands(), 700), "break 0:00:00.00-0:00:15.00 (0.99)");

    // The job that drops the breaks.
    dlg.SetBreaks({{3.0, 5.0, 0.9}, {9.0, 11.0, 0.8}});
    dlg.KeepAllButBreaks();
    dlg.SelectRange(1);
    dlg.show();
    SaveScreenshot(dlg, "preview-ranges.png");
    dlg.AddJob();
    ASSERT_EQ(dlg.CutJobCount(), 1);
    using Range = std::pair<double, double>;
    EXPECT_EQ(dlg.CutJobs()[0].ranges, (std::vector<Range>{{0, 3}, {5, 9}, {11, 15}}));
}

TEST_F(PreviewRangeTest, FindBreaksRunsTheSearchOnTheWorker) {
    CPVRFile& clip = PreviewClip(Disk::Short, 0);
    BreakRun direct;
    const std::atomic<bool> never{false};
    direct.Task(clip, false, never)();
    const BreakResult expected = direct.TakeResult();

    CPreviewDialog dlg(nullptr, &clip, false, false);
    QTest::mouseClick(Control<QPushButton>(dlg, id::kFindBreaks), Qt::LeftButton);
    EXPECT_TRUE(dlg.BreakSearchRunning());
    EXPECT_FALSE(Control<QPushButton>(dlg, id::kFindBreaks)->isEnabled());
    dlg.FinishBreakSearch();
    EXPECT_FALSE(dlg.BreakSearchRunning());
    EXPECT_TRUE(Control<QPushButton>(dlg, id::kFindBreaks)->isEnabled());
    ASSERT_EQ(expected.end, BreakResult::End::kDone) << expected.message;
    ASSERT_EQ(dlg.Breaks().size(), expected.breaks.size());
    for (std::size_t k = 0; k < expected.breaks.size(); ++k)
        EXPECT_DOUBLE_EQ(dlg.Breaks()[k].from, expected.breaks[k].from);
    const QString found = Control<QLabel>(dlg, id::kBreaksText)->text();
    EXPECT_TRUE(found.endsWith("found")) << found.toStdString();

    // Closing mid-search cancels it and waits.
    dlg.FindBreaks();
    dlg.reject();
    EXPECT_FALSE(dlg.BreakSearchRunning());
}

} // namespace
} // namespace quorin::test
