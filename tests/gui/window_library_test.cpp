// "Rip New Recordings into the Library": the folder chosen in Options, the recordings ripped on
// the worker into one folder each, nothing ripped twice, Cancel, and no folder chosen.
#include "gui_support.h"

#include <QLineEdit>
#include <QPushButton>

namespace quorin::guitest {
namespace {

class LibraryTest : public WindowTest {
protected:
    // Two short recordings, each with a date.
    void BuildTwoClips() {
        testdisk::DiskSpec disk;
        disk.label = "QUORIN LIBRARY";
        testdisk::ClipSpec news =
            Clip("Das Erste", "Tagesschau", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 1);
        news.month = 12;
        news.day = 7;
        news.hour = 20;
        testdisk::ClipSpec film = Clip("ZDF", "Krimi", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", 1);
        film.month = 12;
        film.day = 8;
        disk.clips = {news, film};
        BuildDisk(disk);
    }
    void ChooseLibrary(const fs::path& folder) {
        WhenModal([folder](QWidget* dialog) {
            FindControlAs<QLineEdit>(dialog, ids::kLibraryFolder)
                ->setText(QString::fromStdString(folder.string()));
            FindControlAs<QPushButton>(dialog, ids::kOk)->click();
        });
        Click(ids::kOptions);
    }
    void RipToLibrary() {
        QAction* action = MenuAction(window_->ClipMenu(), ids::kMenuLibrary);
        ASSERT_NE(action, nullptr);
        action->trigger();
    }
    // The recordings' folders, each with its film and NFO of the same name: name -> film's
    // last change.
    std::map<std::string, fs::file_time_type> Films() const {
        std::map<std::string, fs::file_time_type> films;
        for (const auto& entry : fs::directory_iterator(library_)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with('.')) continue;
            const fs::path film = entry.path() / (name + ".mkv");
            EXPECT_TRUE(fs::exists(entry.path() / (name + ".nfo"))) << Listing(entry.path());
            EXPECT_TRUE(fs::exists(film)) << Listing(entry.path());
            if (fs::exists(film)) films[name] = fs::last_write_time(film);
        }
        return films;
    }
    fs::path library_ = fs::temp_directory_path() / "unset";
};

TEST_F(LibraryTest, RipsWhatTheLibraryLacksAndKeepsTheFolderInTheSettings) {
    BuildTwoClips();
    WriteSettings("Not Ours=kept\n");
    library_ = root_ / "library";
    OpenWindow();
    ChooseLibrary(library_);
    const std::string settings = ReadFile(SettingsFile());
    EXPECT_NE(settings.find("Media Library=" + library_.string()), std::string::npos) << settings;
    EXPECT_NE(settings.find("Not Ours=kept"), std::string::npos);

    struct Step {
        const char* remove; // a recording's folder deleted before the run ("": none)
        const char* status;
        std::size_t newFilms;
    };
    const Step steps[] = {
        {"", "Library: 2 ripped, 0 there already", 2},
        {"", "Library: 0 ripped, 2 there already", 0},
        {"Krimi", "Library: 1 ripped, 1 there already", 1},
    };
    std::map<std::string, fs::file_time_type> before;
    int sounds = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.status);
        for (const auto& [name, time] : before)
            if (*step.remove && name.starts_with(step.remove)) fs::remove_all(library_ / name);
        RipToLibrary();
        EXPECT_TRUE(window_->IsRunning());
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(Text(ids::kAudioStatus).toStdString(), step.status);
        EXPECT_EQ(sounds_, ++sounds);
        const auto films = Films();
        ASSERT_EQ(films.size(), 2u) << Listing(library_);
        std::size_t changed = 0;
        for (const auto& [name, time] : films)
            changed += !before.contains(name) || before.at(name) != time ? 1 : 0;
        EXPECT_EQ(changed, step.newFilms);
        before = films;
    }
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(window_->windowTitle(), IdleWindowTitle());
}

TEST_F(LibraryTest, CancelStopsBeforeTheNextRecordingAndNoFolderIsSaidPlainly) {
    BuildTwoClips();
    WriteSettings();
    OpenWindow();
    RipToLibrary();
    EXPECT_FALSE(window_->IsRunning());
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].caption, "Media Library");
    EXPECT_EQ(messages_[0].text, "No media library folder is set: choose one in Options first.");

    library_ = root_ / "library";
    ChooseLibrary(library_);
    TaskGate gate;
    beforeTask_ = gate.Hold();
    RipToLibrary();
    ASSERT_TRUE(window_->IsRunning());
    Click(ids::kCancel);
    EXPECT_TRUE(window_->isVisible()) << "Cancel during a run does not close the window";
    gate.Open();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Text(ids::kAudioStatus), "Library: 0 ripped, 0 there already; cancelled");
    EXPECT_TRUE(Films().empty()) << Listing(library_);
    EXPECT_EQ(sounds_, 0);
}

} // namespace
} // namespace quorin::guitest
