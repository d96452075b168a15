// The preview dialog opened by the real main window: the cut jobs made in it reach the window's
// queue, the clip is titled after the last one on the disk image, and the queued job rips the cut
// whose first picture the user saw at Set Begin.
#include "preview_support.h"

#include "decoder/decoder.h"
#include "disk/pvr_file.h"
#include "gui/control_ids.h"
#include "gui/main_dialog.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <fstream>
#include <functional>

namespace quorin::test {
namespace {

namespace td = quorin::testdisk;

class WindowPreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetConsoleTrace(false);
        cwd_ = fs::current_path();
        fs::create_directories(root_.Path() / "config" / "quorin");
        fs::create_directories(out_);
        setenv("XDG_CONFIG_HOME", (root_.Path() / "config").c_str(), 1);
        std::ofstream(root_.Path() / "config" / "quorin" / "quorin.ini")
            << "[QUORIN]\nOutput Directory=" << out_.string() << "/\n";

        // The window reads the receiver's old record layout unless told otherwise.
        td::DiskSpec desc;
        desc.label = "PREVIEW WINDOW";
        td::ClipSpec card;
        card.station = "Quorin One";
        card.name = "Test card";
        card.videoFile = Sample("mpeg2-4x3.m2v");
        card.audioFile = Sample("tone-48k-192k.mp2");
        card.loops = 4;
        card.layout = td::RecordLayout::Old;
        desc.clips = {card};
        auto built = td::BuildImage(desc, image_);
        ASSERT_TRUE(built.ok()) << built.error();

        WindowHooks hooks;
        hooks.message = [this](const UserMessage& m) { messages_.push_back(m); };
        window_ = std::make_unique<CMainDialog>(image_.string(), std::move(hooks));
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    }

    void TearDown() override {
        window_.reset();
        fs::current_path(cwd_);
    }

    QTreeWidget* List() const { return FindControlAs<QTreeWidget>(window_.get(), ids::kClipList); }

    // Runs the handler on the preview dialog once the next command has opened it.
    void WhenPreviewShows(std::function<void(CPreviewDialog&)> handle) {
        QTimer::singleShot(0, [handle] {
            (void)QTest::qWaitFor(
                [] { return qobject_cast<CPreviewDialog*>(QApplication::activeModalWidget()); },
                10000);
            if (auto* dlg = qobject_cast<CPreviewDialog*>(QApplication::activeModalWidget()))
                handle(*dlg);
        });
    }

    std::string TitleOnDisk() const {
        bool ok = false;
        ClusterTable table(image_.string(), ok);
        CPVRDrive drive(image_.string(), &table);
        return drive.GetFile(0)->GetRecord().ClipName();
    }

    ScratchDir root_{"quorin-preview-window"};
    fs::path out_ = root_ / "out";
    fs::path image_ = root_ / "disk.img";
    fs::path cwd_;
    std::unique_ptr<CMainDialog> window_;
    std::vector<UserMessage> messages_;
};

TEST_F(WindowPreviewTest, OkQueuesTheCutJobsAndTitlesTheClipOnTheDisk) {
    QTreeWidget* list = List();
    ASSERT_NE(list, nullptr);
    const QRect row = list->visualItemRect(list->topLevelItem(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());

    std::vector<RipJob> made;
    QImage beginPicture;
    WhenPreviewShows([&](CPreviewDialog& dlg) {
        auto* name = qobject_cast<QLineEdit*>(FindControl(&dlg, preview_ids::kJobName));
        const std::pair<int, int> cuts[] = {{300, 900}, {500, 700}, {100, 1200}};
        const char* names[] = {"Cut one", "Cut two", "Cut three"};
        for (int i = 0; i < 3; ++i) {
            dlg.SetPosition(cuts[i].first);
            dlg.RefreshPreview();
            if (i == 0) beginPicture = dlg.Picture().toImage();
            dlg.SetBegin();
            dlg.SetPosition(cuts[i].second);
            dlg.RefreshPreview();
            dlg.SetEnd();
            name->setText(names[i]);
            dlg.AddJob();
        }
        made = dlg.CutJobs();
        QTest::mouseClick(FindControl(&dlg, preview_ids::kOk), Qt::LeftButton);
    });
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());

    ASSERT_EQ(made.size(), 3u);
    ASSERT_EQ(window_->Queue().Count(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(window_->Queue().Jobs()[i], made[i]);
    EXPECT_EQ(TitleOnDisk(), "Cut three");
    EXPECT_EQ(List()->topLevelItem(0)->text(2), "Cut three");
    EXPECT_TRUE(messages_.empty());
    for (const auto& entry : fs::directory_iterator(out_))
        EXPECT_NE(entry.path().filename().string().rfind("PRV", 0), 0u) << entry.path();

    // The first job, run alone, starts with the picture that was shown at its Set Begin.
    ASSERT_FALSE(beginPicture.isNull());
    QTest::mouseClick(FindControl(window_.get(), ids::kClearJobs), Qt::LeftButton);
    RipJob first = made[0];
    {
        RipProgress audio, video;
        RipRunner runner(*window_->Drive()->GetFile(0), audio, video, nullptr);
        RipRequest request;
        request.begin = first.begin;
        request.length = first.length;
        request.audio = false;
        request.outputName = first.name;
        fs::current_path(out_);
        EXPECT_EQ(runner.Run(request).outcome, RipOutcome::kDone);
    }
    const fs::path ripped = out_ / "Cut one.m2v";
    ASSERT_TRUE(fs::exists(ripped));
    const fs::path bmp = root_ / "first.bmp";
    decoder::DecodePictureFile(ripped.c_str(), bmp.c_str());
    const QImage firstPicture =
        QImage(QString::fromStdString(bmp.string()))
            .scaled(400, 300, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    EXPECT_EQ(firstPicture.convertToFormat(QImage::Format_RGB32),
              beginPicture.convertToFormat(QImage::Format_RGB32));
}

TEST_F(WindowPreviewTest, CutJobsPastTheQueueLimitAreRefusedWithOneMessage) {
    QTreeWidget* list = List();
    const QRect row = list->visualItemRect(list->topLevelItem(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
    for (int i = 0; i < 98; ++i)
        window_->AddJob();
    ASSERT_EQ(window_->Queue().Count(), 98);

    WhenPreviewShows([](CPreviewDialog& dlg) {
        auto* name = qobject_cast<QLineEdit*>(FindControl(&dlg, preview_ids::kJobName));
        dlg.SetBegin();
        dlg.SetEnd();
        for (const char* n : {"Kept one", "Kept two", "Refused one", "Refused two"}) {
            name->setText(n);
            dlg.AddJob();
        }
        QTest::mouseClick(FindControl(&dlg, preview_ids::kOk), Qt::LeftButton);
    });
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());

    ASSERT_EQ(window_->Queue().Count(), 100);
    EXPECT_EQ(window_->Queue().Jobs()[99].name, "Kept two");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "The queue holds 100 jobs; 2 cut jobs are not added.");
    EXPECT_EQ(TitleOnDisk(), "Kept two"); // the last job actually queued
}

TEST_F(WindowPreviewTest, CancelTakesNothingAndRestoreShowsNoPicture) {
    QTreeWidget* list = List();
    const QRect row = list->visualItemRect(list->topLevelItem(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
    WhenPreviewShows([](CPreviewDialog& dlg) {
        dlg.SetBegin();
        dlg.SetEnd();
        dlg.AddJob();
        QTest::mouseClick(FindControl(&dlg, preview_ids::kCancel), Qt::LeftButton);
    });
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
    EXPECT_EQ(window_->Queue().Count(), 0);
    EXPECT_EQ(TitleOnDisk(), "Test card");

    bool sawNoPicture = false;
    WhenPreviewShows([&](CPreviewDialog& dlg) {
        sawNoPicture = dlg.Picture().isNull();
        QTest::mouseClick(FindControl(&dlg, preview_ids::kOk), Qt::LeftButton);
    });
    QTest::mouseClick(FindControl(window_.get(), ids::kRestore), Qt::LeftButton);
    EXPECT_TRUE(sawNoPicture);
    EXPECT_EQ(window_->Queue().Count(), 0);
}

} // namespace
} // namespace quorin::test
