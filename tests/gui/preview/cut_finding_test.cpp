// Finding the cut: picture-group steps against the factory's own group starts, the filmstrip
// against the decoder, the keys, listening through a test audio output, and the size.
#include "preview_support.h"

#include "decoder/decoder.h"
#include "disk/pvr_file.h"
#include "gui/preview/filmstrip.h"
#include "gui/preview/listen.h"
#include "gui/preview/preview_slider.h"
#include "jobs/clip_time.h"
#include "platform/settings.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cmath>
#include <cstdlib>
#include <fstream>

namespace quorin::test {
namespace {

namespace id = preview_ids;
namespace td = quorin::testdisk;

// A disk of the factory's with its packet lists kept, for the group starts.
struct FactoryDisk {
    explicit FactoryDisk(const td::DiskSpec& desc) : dir("quorin-cut-disk") {
        const fs::path image = dir / "disk.img";
        auto built = td::BuildImage(desc, image, {.keepStreamBytes = false});
        if (!built) std::abort();
        result = *built;
        bool ok = false;
        table = std::make_unique<ClusterTable>(image.string(), ok);
        // The factory writes the working record layout.
        drive =
            std::make_unique<CPVRDrive>(image.string(), table.get(), RecordLayout::kFirmware190);
    }
    std::vector<std::int64_t> GroupStarts(int clip) const {
        std::vector<std::int64_t> starts;
        for (const td::PacketInfo& p :
             result.clips[static_cast<std::size_t>(clip)].video.stream.packets)
            if (p.sequenceHeader) starts.push_back(p.ptsLinear);
        return starts;
    }
    ScratchDir dir;
    td::DiskResult result;
    std::unique_ptr<ClusterTable> table;
    std::unique_ptr<CPVRDrive> drive;
};

td::ClipSpec CardClip(int loops) {
    td::ClipSpec clip;
    clip.name = "Card";
    clip.videoFile = Sample("mpeg2-4x3.m2v");
    clip.audioFile = Sample("tone-48k-192k.mp2");
    clip.loops = loops;
    return clip;
}

// A tone of 0.2 s at 5 s into ten seconds of silence, as MP2.
fs::path BeepAudio(const ScratchDir& dir) {
    const fs::path file = dir / "beep.mp2";
    const std::string cmd =
        "ffmpeg -v error -y -f lavfi -i \"aevalsrc='if(between(t,5,5.2),0.5*sin(2*PI*1000*t),0)'"
        ":s=48000:d=10:c=stereo\" -c:a mp2 -b:a 192k \"" +
        file.string() + "\"";
    return std::system(cmd.c_str()) == 0 ? file : fs::path();
}

// Records what it was given instead of playing it.
class TestAudioOut : public AudioOut {
public:
    explicit TestAudioOut(bool device) : device_(device) {}
    bool Available(QString* why) const override {
        if (!device_ && why) *why = QStringLiteral("No audio output device");
        return device_;
    }
    void Play(Pcm pcm) override { played.push_back(std::move(pcm)); }
    void Stop() override {}
    std::vector<Pcm> played;

private:
    bool device_;
};

bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QTest::qWait(5);
    return done();
}

QImage Rgb(const QImage& i) {
    return i.convertToFormat(QImage::Format_RGB32);
}

using CutFindingTest = PreviewTest;

// Next and previous picture group land on the factory's group starts: on one cluster, across a
// cluster boundary and across the 2^33 wrap of the time stamps.
TEST_F(CutFindingTest, GroupStepsLandOnTheFactoryGroupStarts) {
    td::DiskSpec desc;
    desc.clips.push_back(CardClip(2));
    td::ClipSpec edge = CardClip(3);
    edge.firstPts = td::kPtsModulo - 3 * td::kPtsClock; // wraps three seconds in
    edge.videoStartSector = 204800 - 40;                // 20 KiB before the cluster ends
    desc.clips.push_back(edge);
    FactoryDisk disk(desc);
    for (int n : {0, 1}) {
        SCOPED_TRACE(n);
        CPVRFile& clip = *disk.drive->GetFile(n);
        CPreviewDialog dlg(nullptr, &clip, false, false);
        const std::vector<std::int64_t> starts = disk.GroupStarts(n);
        ASSERT_GT(starts.size(), 8u);
        ASSERT_EQ(dlg.ShownTimeStamp(), starts[0]);
        std::size_t steps = 0;
        for (std::size_t k = 1; k < starts.size() - 1; ++k, ++steps) {
            dlg.NextPictureGroup();
            ASSERT_EQ(dlg.ShownTimeStamp(), starts[k]) << k;
            EXPECT_EQ(dlg.ShownPosition(), (starts[k] - starts[0]) / 900);
            EXPECT_EQ(CPreviewDialog::FormatPosition(dlg.ShownPosition()),
                      Control<QLabel>(dlg, id::kPosition)->text());
        }
        for (std::size_t k = steps; k-- > 0;) {
            dlg.PreviousPictureGroup();
            ASSERT_EQ(dlg.ShownTimeStamp(), starts[k]) << k;
        }
        dlg.PreviousPictureGroup(); // nothing before the first
        EXPECT_EQ(dlg.ShownTimeStamp(), starts[0]);

        // A cut set from what is shown starts with that picture.
        for (int k = 0; k < 5; ++k)
            dlg.NextPictureGroup();
        dlg.SetBegin();
        const QImage shown = Rgb(dlg.Picture().toImage());
        const double begin =
            ParseClipTime(Control<QLabel>(dlg, id::kBeginText)->text().toStdString());
        RipRunner runner(clip, audio_, video_, nullptr);
        RipRequest request;
        request.begin = begin;
        request.length = 1.0;
        request.audio = false;
        request.outputName = "cut";
        const RipRunReport run = runner.Run(request);
        ASSERT_EQ(run.outcome, RipOutcome::kDone);
        EXPECT_EQ(run.stages.ripPicturePts, starts[5]);
        decoder::DecodePictureFile("cut.m2v", "cut.bmp");
        EXPECT_EQ(Rgb(QImage("cut.bmp").scaled(shown.size(), Qt::IgnoreAspectRatio,
                                               Qt::SmoothTransformation)),
                  shown);
        dlg.reject();
    }
}

// Every thumbnail is the decoder's picture at its time; a click goes there; the marks follow
// Set Begin and Set End; the worker leaves nothing behind.
TEST_F(CutFindingTest, FilmstripShowsTheDecodersPicturesAndMovesThere) {
    CPVRFile& clip = PreviewClip(Disk::Long, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    dlg.show();
    Filmstrip& strip = *dlg.Strip();
    ASSERT_EQ(strip.ThumbCount(), Filmstrip::ThumbCountFor(strip.width()));
    ASSERT_GE(strip.ThumbCount(), 8);
    const fs::path folder = strip.WorkerFolder();
    ASSERT_TRUE(WaitFor([&] { return !strip.Working(); }));
    QApplication::processEvents();
    EXPECT_EQ(strip.FilledCount(), strip.ThumbCount());
    SaveScreenshot(dlg, "preview-filmstrip.png");
    for (int k = 0; k < strip.ThumbCount(); k += 3) {
        SCOPED_TRACE(k);
        RipRunner runner(clip, audio_, video_, nullptr);
        RipReport ref;
        ASSERT_TRUE(
            runner.RipPreview(strip.RequestedSeconds(k), "", "ref", OutputPostfixes{}, &ref));
        decoder::DecodePictureFile("ref.m2v", "ref.bmp");
        const QImage thumb = strip.Thumb(k);
        EXPECT_EQ(Rgb(thumb), Rgb(QImage("ref.bmp").scaled(thumb.size(), Qt::IgnoreAspectRatio,
                                                           Qt::SmoothTransformation)));
        const std::int64_t position = (ref.ripPicturePts - dlg.BaseTimeStamp()) / 900;
        EXPECT_EQ(strip.ThumbPosition(k), position);
        QTest::mouseClick(&strip, Qt::LeftButton, {}, strip.CellRect(k).center());
        EXPECT_EQ(dlg.ShownPosition(), position);
        EXPECT_EQ(dlg.Position(), std::min<std::int64_t>(position, dlg.MaxPosition()));
    }
    dlg.GoToThumb(2);
    dlg.SetBegin();
    dlg.GoToThumb(5);
    dlg.SetEnd();
    EXPECT_EQ(strip.BeginMark(), *strip.ThumbPosition(2));
    EXPECT_EQ(strip.EndMark(), *strip.ThumbPosition(5));
    dlg.accept();
    EXPECT_FALSE(fs::exists(folder));
}

// Closing while the strip fills ends the worker at once and removes its folder.
TEST_F(CutFindingTest, ClosingWhileTheStripFillsEndsTheWorker) {
    CPVRFile& clip = PreviewClip(Disk::Long, 0);
    fs::path folder;
    {
        CPreviewDialog dlg(nullptr, &clip, false, false);
        folder = dlg.Strip()->WorkerFolder();
        ASSERT_TRUE(fs::exists(folder));
        dlg.reject();
        EXPECT_FALSE(fs::exists(folder));
        EXPECT_FALSE(dlg.Strip()->Working());
    }
    { CPreviewDialog deletedUnclosed(nullptr, &clip, false, false); }
    EXPECT_TRUE(NoPreviewFiles());
}

TEST_F(CutFindingTest, KeysReachTheirActions) {
    CPVRFile& clip = PreviewClip(Disk::Long, 0);
    CPreviewDialog dlg(nullptr, &clip, false, false);
    auto* out = new TestAudioOut(true);
    dlg.SetAudioOut(std::unique_ptr<AudioOut>(out));
    dlg.show();
    QWidget* slider = Control<PreviewSlider>(dlg, id::kTrackbar);
    slider->setFocus();
    dlg.SetPosition(30000);
    dlg.RefreshPreview();
    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        int position; // expected trackbar position; -1: see below
    } cases[] = {{Qt::Key_Right, {}, 30100},
                 {Qt::Key_Left, {}, 30000},
                 {Qt::Key_Right, Qt::ShiftModifier, 31000},
                 {Qt::Key_Left, Qt::ShiftModifier, 30000},
                 {Qt::Key_PageDown, {}, 36000},
                 {Qt::Key_PageUp, {}, 30000},
                 {Qt::Key_End, {}, dlg.MaxPosition()},
                 {Qt::Key_Home, {}, 0}};
    for (const Case& c : cases) {
        QTest::keyClick(slider, c.key, c.mods);
        EXPECT_EQ(dlg.Position(), c.position) << c.key;
        EXPECT_GE(dlg.ShownPosition(), c.position / 100 * 100) << c.key;
    }
    const std::int64_t before = dlg.ShownTimeStamp();
    QTest::keyClick(slider, Qt::Key_Right, Qt::ControlModifier);
    EXPECT_GT(dlg.ShownTimeStamp(), before);
    QTest::keyClick(slider, Qt::Key_Left, Qt::ControlModifier);
    EXPECT_EQ(dlg.ShownTimeStamp(), before);
    QTest::keyClick(slider, Qt::Key_B);
    EXPECT_EQ(Control<QLabel>(dlg, id::kBeginText)->text(), "0:00:00.00");
    QTest::keyClick(slider, Qt::Key_E);
    EXPECT_EQ(Control<QLabel>(dlg, id::kEndText)->text(), "0:00:00.00");
    QTest::keyClick(slider, Qt::Key_Space); // this clip has no sound
    EXPECT_EQ(dlg.findChild<QLabel*>("note")->text(), "There is no sound to play here.");
    // In the text fields the letters are typed, and Goto keeps its Enter.
    auto* gotoField = Control<QLineEdit>(dlg, id::kGotoTime);
    gotoField->setFocus();
    QTest::keyClicks(gotoField, "1000");
    QTest::keyClick(gotoField, Qt::Key_Return);
    EXPECT_EQ(dlg.Position(), 600 * 100);
    auto* name = Control<QLineEdit>(dlg, id::kJobName);
    name->setFocus();
    QTest::keyClicks(name, " be");
    EXPECT_TRUE(name->text().endsWith(" be"));
    EXPECT_EQ(Control<QPushButton>(dlg, id::kNextGroup)->toolTip().contains("Ctrl+Right"), true);
    EXPECT_EQ(Control<QPushButton>(dlg, id::kSetBegin)->toolTip().contains("(B)"), true);
}

// The sound from the position shown: three seconds, with the factory's beep where it belongs.
TEST_F(CutFindingTest, ListenPlaysThreeSecondsFromThePositionShown) {
    ScratchDir audioDir("quorin-beep");
    const fs::path beep = BeepAudio(audioDir);
    ASSERT_FALSE(beep.empty()) << "ffmpeg";
    td::DiskSpec desc;
    td::ClipSpec clip = CardClip(3);
    clip.audioFile = beep;
    desc.clips.push_back(clip);
    FactoryDisk disk(desc);
    CPVRFile& file = *disk.drive->GetFile(0);
    CPreviewDialog dlg(nullptr, &file, false, false);
    auto* out = new TestAudioOut(true);
    dlg.SetAudioOut(std::unique_ptr<AudioOut>(out));
    dlg.SetPosition(300);
    dlg.RefreshPreview();
    dlg.Listen();
    ASSERT_EQ(out->played.size(), 1u);
    const Pcm& pcm = out->played[0];
    EXPECT_EQ(pcm.rate, 48000);
    EXPECT_EQ(pcm.channels, 2);
    EXPECT_NEAR(pcm.Seconds(), CPreviewDialog::kListenSeconds, 0.15);
    // The beep is 5 s into the audio, which starts 0.3 s before the first picture.
    const double beepAt = 5.0 - 0.3 - dlg.ShownPosition() / 100.0;
    std::size_t onset = 0;
    while (onset < pcm.samples.size() && std::abs(pcm.samples[onset]) < 2000)
        ++onset;
    // The sound starts with the first packet (two frames, 48 ms) at or after the picture.
    const double heardAt = static_cast<double>(onset / 2) / pcm.rate;
    EXPECT_LE(heardAt, beepAt + 0.005);
    EXPECT_GE(heardAt, beepAt - 0.05);
    EXPECT_TRUE(NoPreviewFiles());

    // Without a device the control says why and nothing plays.
    auto* none = new TestAudioOut(false);
    dlg.SetAudioOut(std::unique_ptr<AudioOut>(none));
    auto* listen = Control<QPushButton>(dlg, id::kListen);
    EXPECT_FALSE(listen->isEnabled());
    EXPECT_EQ(listen->toolTip(), "No audio output device");
    dlg.Listen();
    QTest::keyClick(&dlg, Qt::Key_Space);
    EXPECT_TRUE(none->played.empty());
}

// The picture keeps its aspect at any size; the size is kept in the settings file beside the
// keys the program does not know.
TEST_F(CutFindingTest, PictureGrowsWithTheDialogAndTheSizeIsKept) {
    const std::string settings = SettingsFilePath();
    fs::create_directories(fs::path(settings).parent_path());
    std::ofstream(settings) << "[QUORIN]\nSomebody Else's Key=7\n";
    for (int n : {0, 1}) {
        CPreviewDialog dlg(nullptr, &PreviewClip(Disk::Short, n), false, false);
        dlg.show();
        dlg.resize(1200, 900);
        QApplication::processEvents();
        auto* area = dlg.findChild<QLabel*>("my static");
        const QSize picture = dlg.Picture().deviceIndependentSize().toSize();
        const double aspect = n == 0 ? 4.0 / 3.0 : 16.0 / 9.0;
        EXPECT_NEAR(static_cast<double>(picture.width()) / picture.height(), aspect, 0.01);
        EXPECT_TRUE(picture.width() == area->width() || picture.height() == area->height());
        EXPECT_GT(picture.width(), 400);
        // The rows under the trackbar move down together.
        EXPECT_EQ(Control<QPushButton>(dlg, id::kJumpFirst + 7)->y(),
                  Control<QPushButton>(dlg, id::kJumpFirst)->y());
        if (n == 1) SaveScreenshot(dlg, "preview-large.png");
        dlg.accept();
    }
    Settings loaded;
    ASSERT_TRUE(LoadSettings(settings, loaded));
    EXPECT_EQ(loaded.previewWidth, 1200);
    EXPECT_EQ(loaded.previewHeight, 900);
    ASSERT_TRUE(SaveSettings(settings, DefaultSettings())); // the window's copy knows no size
    ASSERT_TRUE(LoadSettings(settings, loaded));
    EXPECT_EQ(loaded.previewWidth, 1200);
    std::ifstream in(settings);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Somebody Else's Key"), std::string::npos);
    {
        CPreviewDialog dlg(nullptr, &PreviewClip(Disk::Short, 0), false, false);
        EXPECT_EQ(dlg.size(), QSize(1200, 900));
    }
    fs::remove(settings); // the other tests open at the default size
}

} // namespace
} // namespace quorin::test
