// How long a preview picture takes: from a refresh request to the picture shown, next to the rip
// of length 0 alone and the decode alone, at several positions of the demo disk's clips.
//
//   preview_bench [DEMO_IMAGE]
//
// Without an image the demo disk is built from samples/demo.json into a temporary directory.
// Runs offscreen; prints the median, minimum and maximum of each measure in milliseconds.
#include "base/program_log.h"
#include "base/run_state.h"
#include "decoder/decoder.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "gui/preview/preview_dialog.h"
#include "jobs/preview_picture.h"
#include "mkdisk/testdisk.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace quorin;

namespace {

constexpr int kRounds = 5; // per position

double Milliseconds(const std::function<void()>& work) {
    const auto t0 = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-36s median %7.2f ms   min %7.2f   max %7.2f   (n=%zu)\n", what,
                ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
}

struct Measures {
    std::vector<double> refresh, rip, decode, load;
};

void MeasureClip(CPVRFile& clip, std::initializer_list<int> seconds, Measures& m) {
    CPreviewDialog dlg(nullptr, &clip, false, false);
    dlg.show();
    QApplication::processEvents();
    for (int s : seconds) {
        const int position = std::min(s * 100, dlg.MaxPosition());
        for (int round = 0; round < kRounds; ++round) {
            // Request to picture on the screen: the refresh and the repaint of the dialog.
            m.refresh.push_back(Milliseconds([&] {
                dlg.SetPosition(position);
                dlg.RefreshPreview();
                dlg.repaint();
            }));
            // The same two steps alone, on the files the dialog deletes.
            RipProgress audio, video;
            RipRunner runner(clip, audio, video, nullptr);
            PreviewPictures pictures(runner, "");
            m.rip.push_back(Milliseconds([&] { pictures.Rip(position / 100); }));
            m.decode.push_back(
                Milliseconds([] { decoder::DecodePictureFile("PRV.m2v", "PRV.BMP"); }));
            m.load.push_back(Milliseconds([] {
                QImage picture(QStringLiteral("PRV.BMP"));
                (void)picture.scaled(400, 300, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            }));
            fs::remove("PRV.m2v");
            fs::remove("PRV.BMP");
            fs::remove("PRV delay.log");
        }
    }
    dlg.reject();
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    SetConsoleTrace(false);

    // The output directory, current while measuring, removed on every way out.
    struct WorkDir {
        fs::path path =
            fs::temp_directory_path() / ("quorin-preview-bench-" + std::to_string(::getpid()));
        fs::path old = fs::current_path();
        WorkDir() { fs::create_directories(path); }
        ~WorkDir() {
            std::error_code ec;
            fs::current_path(old, ec);
            fs::remove_all(path, ec);
        }
    } workDir;
    const fs::path& work = workDir.path;
    fs::path image = argc > 1 ? fs::absolute(argv[1]) : work / "demo.img";
    if (argc <= 1) {
        auto desc = testdisk::LoadDescription(fs::path(QUORIN_SAMPLES_DIR) / "demo.json");
        auto built = desc ? testdisk::BuildImage(*desc, image, {.keepStreamBytes = false})
                          : testdisk::Expected<testdisk::DiskResult>(testdisk::Error{desc.error()});
        if (!built) {
            std::fprintf(stderr, "cannot build the demo disk: %s\n", built.error().c_str());
            return 2;
        }
    }
    fs::current_path(work);

    // The demo disk has the old record layout.
    bool ok = false;
    ClusterTable table(image.string(), ok);
    CPVRDrive drive(image.string(), &table);
    if (!ok || drive.GetFileCount() < 3) {
        std::fprintf(stderr, "cannot read %s\n", image.c_str());
        return 2;
    }

    struct Case {
        int clip;
        const char* name;
        std::initializer_list<int> seconds;
    };
    const Case cases[] = {{0, "4:3, one cluster", {0, 7, 19, 33, 58}},
                          {1, "16:9, split intra pictures", {0, 5, 13, 22, 29}},
                          {2, "4:3, over two clusters", {0, 31, 97, 150, 240}}};
    Measures all;
    for (const Case& c : cases) {
        Measures m;
        MeasureClip(*drive.GetFile(c.clip), c.seconds, m);
        std::printf("clip %d (%s), 5 positions x %d rounds\n", c.clip + 1, c.name, kRounds);
        Report("  refresh request -> picture shown", m.refresh);
        Report("  rip of length 0 alone", m.rip);
        Report("  decode to PRV.BMP alone", m.decode);
        Report("  load and scale PRV.BMP alone", m.load);
        for (auto [from, to] : {std::pair{&m.refresh, &all.refresh},
                                {&m.rip, &all.rip},
                                {&m.decode, &all.decode},
                                {&m.load, &all.load}})
            to->insert(to->end(), from->begin(), from->end());
    }
    std::printf("all 15 positions of the demo disk %s\n", image.c_str());
    Report("  refresh request -> picture shown", all.refresh);
    Report("  rip of length 0 alone", all.rip);
    Report("  decode to PRV.BMP alone", all.decode);
    Report("  load and scale PRV.BMP alone", all.load);

    return 0;
}
