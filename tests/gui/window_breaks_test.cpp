// "Find Breaks": the search on the worker with its progress row, the breaks shown with their
// confidence, Cancel, and the edit decision list saved beside the output without replacing a file.
#include "gui_support.h"

#include "gui/breaks_dialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace quorin::guitest {
namespace {

class BreaksTest : public WindowTest {
protected:
    void FindBreaks() {
        QAction* action = MenuAction(window_->ClipMenu(), ids::kMenuFindBreaks);
        ASSERT_NE(action, nullptr);
        action->trigger();
    }
};

TEST_F(BreaksTest, TheSearchRunsOnTheWorkerAndItsResultShows) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(1);
    int rows = -1;
    QString heading;
    // The result shows once the search has ended, however long it takes.
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog) return;
        poll.stop();
        rows = FindControlAs<QTreeWidget>(dialog, ids::kBreakList)->topLevelItemCount();
        for (QLabel* label : dialog->findChildren<QLabel*>())
            if (label->text().contains("found in")) heading = label->text();
        FindControlAs<QPushButton>(dialog, ids::kCancel)->click();
    });
    poll.start();
    FindBreaks();
    EXPECT_TRUE(window_->IsRunning());
    EXPECT_TRUE(Control(ids::kVideoProgress)->isVisible());
    EXPECT_FALSE(Control(ids::kDir)->isEnabled()) << "the run's controls wait for its end";
    ASSERT_TRUE(WaitIdle());
    ASSERT_GE(rows, 0) << "the result shows";
    EXPECT_TRUE(heading.endsWith("found in \"Krimi\".") || heading.endsWith("found in \"Krimi\":"))
        << heading.toStdString();
    EXPECT_EQ(Text(ids::kVideoStatus).toStdString(),
              rows == 1 ? std::string("One break found") : std::to_string(rows) + " breaks found");
    EXPECT_TRUE(Control(ids::kDir)->isEnabled());
    EXPECT_TRUE(messages_.empty());
}

TEST_F(BreaksTest, CancelEndsTheSearchWithoutAResult) {
    BuildDisk();
    WriteSettings();
    OpenWindow();
    ClickRow(0);
    TaskGate gate;
    beforeTask_ = gate.Hold();
    FindBreaks();
    ASSERT_TRUE(window_->IsRunning());
    Click(ids::kCancel);
    gate.Open();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Text(ids::kVideoStatus), "Find Breaks cancelled");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(window_->isVisible());
}

TEST_F(BreaksTest, TheListIsSavedBesideTheOutputUnderAFreeName) {
    fs::create_directories(out_);
    WriteFile(out_ / "Krimi.edl", "not ours\n");
    BreaksDialog dialog("Krimi", {{12.5, 80, 0.93}, {200.04, 260, 0.61}}, out_.string(), "Krimi");
    auto* list = FindControlAs<QTreeWidget>(&dialog, ids::kBreakList);
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "0:00:12.50");
    EXPECT_EQ(list->topLevelItem(1)->text(1), "0:04:20.00");
    EXPECT_EQ(list->topLevelItem(1)->text(2), "0.61");
    auto* save = FindControlAs<QPushButton>(&dialog, ids::kSaveEdl);
    save->click();
    EXPECT_EQ(ReadFile(out_ / "Krimi.edl"), "not ours\n");
    EXPECT_EQ(ReadFile(out_ / "Krimi_1.edl"), "12.50 80.00 3\n200.04 260.00 3\n");
    EXPECT_EQ(FindControlAs<QLabel>(&dialog, ids::kBreakStatus)->text().toStdString(),
              "Saved as " + (out_ / "Krimi_1.edl").string());
    EXPECT_FALSE(save->isEnabled());

    BreaksDialog none("Krimi", {}, out_.string(), "Krimi");
    EXPECT_FALSE(FindControlAs<QPushButton>(&none, ids::kSaveEdl)->isEnabled());
}

} // namespace
} // namespace quorin::guitest
