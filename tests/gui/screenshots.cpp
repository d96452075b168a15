// Saves screenshots of the main window on a disk image: gui_screenshots IMAGE OUTDIR.
// Shots: the window as it opens, a clip selected, a rip in progress and the dialogs, and the
// preview dialog with its filmstrip and a cut marked.
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "gui/control_ids.h"
#include "gui/main_dialog.h"
#include "gui/preview/filmstrip.h"
#include "gui/preview/preview_dialog.h"
#include "jobs/job_runner.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>

using namespace quorin;

namespace {

bool Save(QWidget* widget, const QString& dir, const char* name) {
    const QString path = dir + "/" + name;
    const bool ok = widget->grab().save(path);
    std::printf("%s %s\n", ok ? "saved" : "FAILED", path.toUtf8().constData());
    return ok;
}

void ClickRow(QTreeWidget* list, int row) {
    if (QTreeWidgetItem* item = list->topLevelItem(row))
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(item).center());
}

// Grabs the next modal dialog and closes it.
void GrabModal(const QString& dir, const char* name) {
    QTimer::singleShot(0, [dir, name] {
        (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        if (QWidget* modal = QApplication::activeModalWidget()) {
            QTest::qWait(50);
            Save(modal, dir, name);
            qobject_cast<QDialog*>(modal)->reject();
        }
    });
}

// The preview dialog on clip 3 of the disk, larger than its default, its strip filled and a cut
// marked between two of its thumbnails.
bool SavePreview(const std::string& image, const QString& dir) {
    const auto old = std::filesystem::current_path();
    const auto work = std::filesystem::path(dir.toStdString()) / "outputs";
    std::filesystem::create_directories(work);
    std::filesystem::current_path(work); // the dialog's pictures are made in the output folder
    bool ok = false;
    ClusterTable table(image, ok);
    CPVRDrive drive(image, &table);
    bool saved = false;
    if (ok && drive.GetFileCount() >= 3) {
        CPVRFile& clip = *drive.GetFile(2);
        CPreviewDialog dlg(nullptr, &clip, false, false);
        dlg.resize(960, 720);
        dlg.show();
        (void)QTest::qWaitForWindowExposed(&dlg);
        (void)QTest::qWaitFor([&] { return !dlg.Strip()->Working(); }, 20000);
        dlg.GoToThumb(3);
        dlg.SetBegin();
        dlg.GoToThumb(6);
        dlg.SetEnd();
        dlg.NextPictureGroup();
        QTest::qWait(50);
        saved = Save(&dlg, dir, "preview-filmstrip.png");
        dlg.reject();
    }
    std::filesystem::current_path(old);
    return saved;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: gui_screenshots IMAGE OUTDIR\n");
        return 2;
    }
    const std::string image = std::filesystem::absolute(argv[1]).string();
    const QString dir = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
    QDir().mkpath(dir);
    // Outputs of the shot of a running rip go to a folder of their own, unless one is named.
    if (qEnvironmentVariableIsEmpty("XDG_VIDEOS_DIR"))
        qputenv("XDG_VIDEOS_DIR", (dir + "/outputs").toUtf8());

    WindowHooks hooks;
    hooks.message = [](const UserMessage& m) {
        std::fprintf(stderr, "message: %s: %s\n", m.caption.c_str(), m.text.c_str());
    };
    CMainDialog window(image, hooks);
    window.SetEndSound(nullptr);
    window.resize(window.sizeHint());
    window.show();
    (void)QTest::qWaitForWindowExposed(&window);
    bool ok = Save(&window, dir, "main-window.png");

    auto* list = qobject_cast<QTreeWidget*>(FindControl(&window, ids::kClipList));
    ClickRow(list, 2);
    QTest::qWait(50);
    ok = Save(&window, dir, "main-window-selected.png") && ok;

    qobject_cast<QPushButton*>(FindControl(&window, ids::kRip))->click();
    (void)QTest::qWaitFor([&] { return window.windowTitle().startsWith("Processing Video"); },
                          20000);
    ok = Save(&window, dir, "main-window-ripping.png") && ok;
    (void)QTest::qWaitFor([&] { return !window.IsRunning(); }, 120000);

    GrabModal(dir, "options.png");
    window.ShowOptions();
    GrabModal(dir, "about.png");
    window.ShowAbout();
    ok = SavePreview(image, dir) && ok;
    return ok ? 0 : 1;
}
