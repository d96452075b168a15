// Finding the cut: how soon the filmstrip shows its first thumbnail and its last one for a clip of
// two hours, the longest stall of the dialog's event loop while the strip fills (the largest gap
// between ticks of a 5 ms timer), and a step to the next picture group.
//
//   cut_finding_bench
//
// Builds a factory disk with a two-hour clip into a temporary folder; runs offscreen; prints
// medians, minimum and maximum in milliseconds.
#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "gui/preview/filmstrip.h"
#include "gui/preview/preview_dialog.h"
#include "jobs/job_runner.h"
#include "mkdisk/testdisk.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;
using namespace quorin;

namespace {

constexpr int kRounds = 7;

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s median %8.2f ms   min %8.2f   max %8.2f   (n=%zu)\n", what,
                ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    SetConsoleTrace(false);
    std::string pattern = (fs::temp_directory_path() / "quorin-cut-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 2;
    const fs::path work = pattern;
    setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
    struct Cleanup {
        fs::path path, old = fs::current_path();
        ~Cleanup() {
            std::error_code ec;
            fs::current_path(old, ec);
            fs::remove_all(path, ec);
        }
    } cleanup{work};

    // A two-hour clip: the 4:3 sample (3.75 s) looped 1,920 times, audio beside it.
    testdisk::DiskSpec desc;
    testdisk::ClipSpec clip;
    clip.name = "Two hours";
    clip.videoFile = fs::path(QUORIN_SAMPLES_DIR) / "mpeg2-4x3.m2v";
    clip.audioFile = fs::path(QUORIN_SAMPLES_DIR) / "tone-48k-192k.mp2";
    clip.loops = 1920;
    desc.clips.push_back(clip);
    const fs::path image = work / "two-hours.img";
    if (!testdisk::BuildImage(desc, image, {.keepStreamBytes = false})) {
        std::fprintf(stderr, "cannot build the disk\n");
        return 2;
    }
    fs::current_path(work);
    bool ok = false;
    ClusterTable table(image.string(), ok);
    CPVRDrive drive(image.string(), &table, RecordLayout::kFirmware190);
    if (!ok || drive.GetFileCount() < 1) return 2;
    CPVRFile& file = *drive.GetFile(0);
    std::printf("clip of %d s on %s (%lld MiB)\n", file.GetRecord().LengthInSeconds(),
                image.c_str(), static_cast<long long>(fs::file_size(image) >> 20));

    std::vector<double> first, whole, stall, open, group;
    int thumbs = 0;
    for (int round = 0; round < kRounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        CPreviewDialog dlg(nullptr, &file, false, false);
        open.push_back(clock.nsecsElapsed() / 1e6);
        dlg.show();
        Filmstrip& strip = *dlg.Strip();
        thumbs = strip.ThumbCount();
        double firstAt = -1, lastTick = clock.nsecsElapsed() / 1e6, longest = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const double now = clock.nsecsElapsed() / 1e6;
            longest = std::max(longest, now - lastTick);
            lastTick = now;
        });
        QObject::connect(&strip, &Filmstrip::thumbArrived, [&](int) {
            if (firstAt < 0) firstAt = clock.nsecsElapsed() / 1e6;
        });
        ticker.start(5);
        lastTick = clock.nsecsElapsed() / 1e6;
        while (strip.Working() && clock.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        whole.push_back(clock.nsecsElapsed() / 1e6);
        first.push_back(firstAt);
        stall.push_back(longest);
        ticker.stop();
        for (int k = 0; k < 10; ++k) {
            QElapsedTimer step;
            step.start();
            dlg.NextPictureGroup();
            dlg.repaint();
            group.push_back(step.nsecsElapsed() / 1e6);
        }
        dlg.reject();
    }
    std::printf("%d thumbnails, %d rounds, from the dialog's construction\n", thumbs, kRounds);
    Report("  dialog constructed (picture 0 shown)", open);
    Report("  first thumbnail shown", first);
    Report("  whole strip shown", whole);
    Report("  longest event-loop gap while filling", stall);
    Report("  next picture group -> picture shown", group);
    return 0;
}
