// Recover Deleted Recordings: the window's menu opens the recovery dialog over the open drive; it
// lists what the scan found with a picture of each and rips the chosen ones into the output folder.
#include "gui_support.h"

#include "gui/recover_dialog.h"

namespace quorin::guitest {
namespace {

TEST_F(WindowTest, RecoversDeletedRecordingsIntoTheOutputFolder) {
    testdisk::DiskSpec desc;
    testdisk::ClipSpec live = Clip("One", "Live", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 1);
    testdisk::ClipSpec gone = Clip("One", "Gone", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", 1);
    gone.deleted = testdisk::Deletion::Cleared;
    gone.firstPts = 50'000'000;
    testdisk::ClipSpec part = Clip("One", "Part", "mpeg1-sif.m1v", "tone-48k-192k.mp2", 2);
    part.deleted = testdisk::Deletion::Linked;
    part.firstPts = 90'000'000;
    part.videoStartSector = testdisk::kClusterSectors - 2000;
    part.videoClusters = {8, 9};
    testdisk::ClipSpec over = Clip("One", "Over", "mpeg1-sif.m1v", "tone-48k-192k.mp2", 1);
    over.audioFile.clear();
    over.videoClusters = {9};
    desc.clips = {live, gone, part, over};
    BuildDisk(desc);
    WriteSettings();
    OpenWindow();

    QAction* menu = nullptr;
    for (QAction* a : window_->findChildren<QAction*>())
        if (ControlId(a) == ids::kMenuRecover) menu = a;
    ASSERT_NE(menu, nullptr);
    struct Row {
        std::string name, state;
        bool picture;
    };
    std::vector<Row> rows;
    std::vector<std::string> files;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<RecoverDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Busy(); }, 60'000));
        for (int i = 0; i < dialog->List()->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = dialog->List()->topLevelItem(i);
            rows.push_back({item->text(0).toStdString(), item->text(3).toStdString(),
                            !item->icon(0).isNull()});
        }
        dialog->List()->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
        QTest::mouseClick(dialog->RipButton(), Qt::LeftButton);
        EXPECT_TRUE(dialog->Busy());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Busy(); }, 60'000));
        files = dialog->Files();
        dialog->reject();
    });
    menu->trigger();

    // Gone's video lies in a lower cluster than Part's.
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "Recovered 01");
    EXPECT_EQ(rows[1].name, "Recovered 02");
    const bool goneFirst = disk_.clips[1].video.chain[0] < 8;
    EXPECT_EQ(rows[goneFirst ? 0 : 1].state, "complete");
    EXPECT_EQ(rows[goneFirst ? 1 : 0].state, "partial");
    for (const Row& r : rows)
        EXPECT_TRUE(r.picture) << r.name;
    EXPECT_TRUE(fs::exists(out_ / "Recovered 01.m2v")) << Listing(out_);
    EXPECT_FALSE(fs::exists(out_ / "Recovered 02.m2v")) << "not chosen";
    EXPECT_EQ(files.size(), 3u) << "video, audio and the delay log";
}

} // namespace
} // namespace quorin::guitest
