// The window on a disk the user may not open: "Dir" reads it through the mocked UDisks2 service,
// Change Title first asks for write access, and a refused authorisation is said in the message.
#include "udisks_fixture.h"

#include "gui/control_ids.h"
#include "gui/main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <memory>
#include <vector>

namespace quorin::udiskstest {
namespace {

class WindowUDisksTest : public UDisksTest {
protected:
    void SetUp() override {
        UDisksTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        fs::create_directories(root_ / "config" / "quorin");
        std::ofstream(root_ / "config" / "quorin" / "quorin.ini")
            << "[QUORIN]\nOutput Directory=" << (root_ / "out").string() << "/\n";
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        cwd_ = fs::current_path();
        noOverride_ = std::make_unique<NoPermissionOverride>();
        if (!noOverride_->Works()) GTEST_SKIP() << "root's file-permission override stays";
    }

    void TearDown() override {
        window_.reset();
        noOverride_.reset();
        std::error_code ec;
        if (!cwd_.empty()) fs::current_path(cwd_, ec);
        UDisksTest::TearDown();
    }

    void OpenWindow(const std::string& volume) {
        WindowHooks hooks;
        hooks.message = [this](const UserMessage& m) { messages_.push_back(m); };
        window_ = std::make_unique<CMainDialog>(volume, std::move(hooks));
        window_->show();
    }

    QTreeWidget* List() const { return FindControlAs<QTreeWidget>(window_.get(), ids::kClipList); }

    void ChangeTitleOfFirstClip(const QString& title) {
        QTreeWidget* list = List();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->topLevelItem(0)).center());
        QTimer::singleShot(0, [title] {
            (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; },
                                  5000);
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog) return;
            FindControlAs<QLineEdit>(dialog, ids::kTitleEdit)->setText(title);
            FindControlAs<QPushButton>(dialog, ids::kOk)->click();
        });
        for (QAction* action : window_->ClipMenu()->actions())
            if (ControlId(action) == ids::kMenuChangeTitle) action->trigger();
    }

    fs::path cwd_;
    std::unique_ptr<NoPermissionOverride> noOverride_;
    std::unique_ptr<CMainDialog> window_;
    std::vector<UserMessage> messages_;
};

TEST_F(WindowUDisksTest, ADiskTheUserMayNotOpenIsReadThroughUDisks) {
    OpenWindow(Device("sdq"));
    EXPECT_TRUE(messages_.empty()) << messages_.front().text;
    ASSERT_EQ(List()->topLevelItemCount(), 1);
    EXPECT_EQ(List()->topLevelItem(0)->text(2), "Tagesschau");
    const std::string calls = MockCalls();
    EXPECT_NE(calls.find("OpenForBackup {}"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("OpenDevice"), std::string::npos) << calls;
}

TEST_F(WindowUDisksTest, ChangeTitleAsksForWriteAccessFirst) {
    OpenWindow(Device("sdq"));
    ASSERT_EQ(List()->topLevelItemCount(), 1);
    ChangeTitleOfFirstClip("Nachrichten");
    EXPECT_TRUE(messages_.empty()) << messages_.front().text;
    EXPECT_EQ(List()->topLevelItem(0)->text(2), "Nachrichten");
    EXPECT_NE(MockCalls().find("OpenDevice \"rw\" {}"), std::string::npos) << MockCalls();
}

TEST_F(WindowUDisksTest, ARefusedAuthorisationIsSaidAndNothingIsOpened) {
    OpenWindow(Device("sds"));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].caption, "Dir");
    EXPECT_EQ(messages_[0].text,
              "Cannot open " + Device("sds") + ": Permission denied.\nAccess to " + Device("sds") +
                  " through UDisks2 was not authorised.\nReading a block device needs root or "
                  "membership of the 'disk' group (sudo usermod -aG disk $USER, then log in "
                  "again).");
    EXPECT_EQ(window_->Drive(), nullptr);
    EXPECT_EQ(List()->topLevelItemCount(), 0);
}

} // namespace
} // namespace quorin::udiskstest

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
