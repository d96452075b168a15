// Shared parts of the window tests: a receiver disk image from the test-disk factory, a private
// settings folder and output folder, and helpers that drive the real controls.
#pragma once

#include "gui/control_ids.h"
#include "gui/end_sound.h"
#include "gui/main_dialog.h"
#include "jobs/jobs.h"
#include "mkdisk/testdisk.h"
#include "platform/volume.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace quorin::guitest {

namespace fs = std::filesystem;

inline fs::path SamplesDir() {
    return QUORIN_SAMPLES_DIR;
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The names in a folder, for failure messages.
inline std::string Listing(const fs::path& dir) {
    std::string names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names += entry.path().filename().string() + " ";
    return names;
}

// Copies the data regions of a sparse file; the holes stay holes.
inline bool CopySparse(const fs::path& from, const fs::path& to) {
    const int in = ::open(from.c_str(), O_RDONLY);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = in >= 0 && out >= 0;
    const off_t size = ok ? ::lseek(in, 0, SEEK_END) : 0;
    std::vector<char> buffer(1 << 20);
    for (off_t at = 0; ok && at < size;) {
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) break; // only a hole is left
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        for (off_t pos = data; ok && pos < hole;) {
            const auto n =
                ::pread(in, buffer.data(),
                        static_cast<std::size_t>(std::min<off_t>(hole - pos, buffer.size())), pos);
            ok = n > 0 && ::pwrite(out, buffer.data(), static_cast<std::size_t>(n), pos) == n;
            pos += n;
        }
        at = hole;
    }
    ok = ok && ::ftruncate(out, size) == 0;
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    return ok;
}

// Counts the end sounds instead of playing them.
class CountingSound : public EndSound {
public:
    explicit CountingSound(int& count) : count_(count) {}
    void Play() override { ++count_; }

private:
    int& count_;
};

// The recordings of the test disk, in the receiver's old record layout (what the window reads
// with "Firmware >= 190" off).
inline testdisk::ClipSpec Clip(const char* station, const char* name, const char* video,
                               const char* audio, int loops) {
    testdisk::ClipSpec c;
    c.station = station;
    c.name = name;
    c.videoFile = SamplesDir() / video;
    c.audioFile = SamplesDir() / audio;
    c.loops = loops;
    c.layout = testdisk::RecordLayout::Old;
    return c;
}

inline constexpr int kClips = 4; // on the standard disk

inline testdisk::DiskSpec StandardDisk() {
    testdisk::DiskSpec disk;
    disk.label = "QUORIN TEST";
    testdisk::ClipSpec news =
        Clip("Das Erste", "Tagesschau", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 4);
    news.month = 12;
    news.day = 7;
    news.hour = 20;
    news.minute = 15;
    news.skipIndex = {{100, 250}, {600, 720}};
    testdisk::ClipSpec film = Clip("ZDF", "Krimi", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", 2);
    film.day = 8;
    testdisk::ClipSpec hour = Clip("arte", "Doku", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 2);
    hour.lengthSeconds = 3600; // the record claims a full hour
    hour.skipIndex = {{100, 250}, {500, 520}};
    testdisk::ClipSpec movie =
        Clip("ProSieben", "Spielfilm", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 1);
    disk.clips = {news, film, hour, movie};
    return disk;
}

// Independent fingerprint of a clip, from what the factory was told and where it put the chains.
inline std::uint32_t ExpectedChecksum(const testdisk::ClipSpec& desc,
                                      const testdisk::ClipResult& r) {
    const int length = r.lengthSeconds;
    const std::int8_t bytes[8] = {
        static_cast<std::int8_t>(desc.month),       static_cast<std::int8_t>(desc.day),
        static_cast<std::int8_t>(desc.hour),        static_cast<std::int8_t>(desc.minute),
        static_cast<std::int8_t>(desc.second),      static_cast<std::int8_t>(length / 3600),
        static_cast<std::int8_t>(length / 60 % 60), static_cast<std::int8_t>(length % 60)};
    const std::uint16_t words[4] = {
        static_cast<std::uint16_t>(r.video.chain.size()),
        static_cast<std::uint16_t>(r.audio.chain.size()),
        static_cast<std::uint16_t>(r.video.chain.empty() ? 0 : r.video.chain.front()),
        static_cast<std::uint16_t>(r.audio.chain.empty() ? 0 : r.audio.chain.front())};
    int sum = 0;
    std::int8_t x = 0;
    for (std::int8_t b : bytes) {
        sum += b;
        x = static_cast<std::int8_t>(x ^ b);
    }
    std::uint16_t low = static_cast<std::uint16_t>(static_cast<std::int16_t>(x));
    for (std::uint16_t w : words) {
        sum += w;
        low ^= w;
    }
    return (static_cast<std::uint32_t>(sum % 65536) << 16) | low;
}

// A private folder with the settings file, the output folder and the disk image.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        cwd_ = fs::current_path();
        root_ = fs::temp_directory_path() /
                ("quorin-gui-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "config" / "quorin");
        out_ = root_ / "out";
        setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        image_ = (root_ / "disk.img").string();
    }

    void TearDown() override {
        window_.reset();
        ClearVolumeFaults();
        fs::current_path(cwd_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    fs::path SettingsFile() const { return root_ / "config" / "quorin" / "quorin.ini"; }

    // Settings with the output folder of the test; extra lines go into the section.
    void WriteSettings(const std::string& extra = {}) {
        WriteFile(SettingsFile(), "[QUORIN]\nOutput Directory=" + out_.string() + "/\n" + extra);
    }

    void BuildDisk(const testdisk::DiskSpec& desc) {
        desc_ = desc;
        auto built = testdisk::BuildImage(desc, image_);
        ASSERT_TRUE(built.ok()) << built.error();
        disk_ = std::move(*built);
    }
    // The standard disk: built once per run, then copied (data only, holes stay holes).
    void BuildDisk() {
        static const fs::path master = fs::temp_directory_path() /
                                       ("quorin-gui-master-" + std::to_string(::getpid()) + ".img");
        static std::optional<testdisk::DiskResult> built;
        if (!built) {
            auto result = testdisk::BuildImage(StandardDisk(), master);
            ASSERT_TRUE(result.ok()) << result.error();
            built = std::move(*result);
            std::atexit([] { fs::remove(master); });
        }
        desc_ = StandardDisk();
        disk_ = *built;
        ASSERT_TRUE(CopySparse(master, image_));
    }

    // The window on the test disk, its messages recorded and its end sound counted.
    void OpenWindow(const std::string& image) {
        WindowHooks hooks;
        hooks.message = [this](const UserMessage& m) { messages_.push_back(m); };
        hooks.preview = [this](QWidget*, const PreviewRequest& r) { return preview_(r); };
        hooks.chooseJobList = [this] { return jobListChoice_; };
        hooks.chooseDirectory = [this] { return directoryChoice_; };
        hooks.chooseImage = [this] { return imageChoice_; };
        hooks.beforeTask = [this] {
            if (beforeTask_) beforeTask_();
        };
        window_ = std::make_unique<CMainDialog>(image, std::move(hooks));
        window_->SetEndSound(std::make_unique<CountingSound>(sounds_));
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    }
    void OpenWindow() { OpenWindow(image_); }

    template <class T = QWidget> T* Control(int id) const {
        auto* control = qobject_cast<T*>(FindControl(window_.get(), id));
        EXPECT_NE(control, nullptr) << "control " << id;
        return control;
    }
    QString Text(int id) const;
    QTreeWidget* List() const { return Control<QTreeWidget>(ids::kClipList); }

    // A left click on a row of the clip list.
    void ClickRow(int row) {
        QTreeWidget* list = List();
        QRect rect = list->visualItemRect(list->topLevelItem(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    }
    void Click(int id) { QTest::mouseClick(Control(id), Qt::LeftButton); }

    // Types into a field and moves the focus on with Tab, as the user does.
    void Type(int id, const QString& text) {
        auto* edit = Control<QLineEdit>(id);
        edit->setFocus(Qt::OtherFocusReason);
        edit->setText(text);
        QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(edit, &leave);
    }

    // Key presses carrying the characters (any script, not only what a keyboard map knows).
    static void TypeKeys(QWidget* widget, const QString& text) {
        for (QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(widget, &press);
        }
    }

    bool WaitIdle(int ms = 60000) {
        return QTest::qWaitFor([this] { return !window_->IsRunning(); }, ms);
    }

    // A modal dialog that the next command opens, handled once it shows.
    void WhenModal(std::function<void(QWidget*)> handle) {
        QTimer::singleShot(0, [handle] {
            (void)QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; },
                                  5000);
            if (QWidget* modal = QApplication::activeModalWidget()) handle(modal);
        });
    }

    fs::path cwd_, root_, out_;
    std::string image_;
    testdisk::DiskSpec desc_;
    testdisk::DiskResult disk_;
    std::unique_ptr<CMainDialog> window_;
    std::vector<UserMessage> messages_;
    int sounds_ = 0;
    // What the file and directory choosers answer (none: Cancel).
    std::optional<std::string> jobListChoice_, directoryChoice_, imageChoice_;
    std::function<PreviewResult(const PreviewRequest&)> preview_ = [](const PreviewRequest&) {
        return PreviewResult{};
    };
    // Run on the worker before each task; set it before the task starts.
    std::function<void()> beforeTask_;
};

// Holds the window's next task on its worker until opened, so a test can act while it surely
// runs (a Cancel) without racing it.
class TaskGate {
public:
    std::function<void()> Hold() {
        return [opened = opened_] { opened.wait(); };
    }
    void Open() { promise_.set_value(); }

private:
    std::promise<void> promise_;
    std::shared_future<void> opened_ = promise_.get_future().share();
};

inline QAction* MenuAction(QMenu* menu, int id) {
    for (QAction* action : menu->actions())
        if (ControlId(action) == id) return action;
    return nullptr;
}

inline QString WindowTest::Text(int id) const {
    QWidget* control = Control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
    return control ? control->property("text").toString() : QString();
}

} // namespace quorin::guitest
