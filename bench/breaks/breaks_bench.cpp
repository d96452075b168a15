// Times the break search over about an hour of SD video: a test recording (from
// tests/breaks/make_recordings.py, run by the breaks_recordings test) looped into one clip.
//
//   breaks_bench [RECORDINGS_DIR [NAME [LOOPS]]]     (default: the build tree's, wide-ac3, 11)
//
// Prints the video's length, the wall and CPU time, the speed against real time and the peak
// memory of the search (the image is built by quorin-mkdisk in a process of its own).
#include "base/run_state.h"
#include "breaks/break_search.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv) {
    using namespace quorin;
    namespace fs = std::filesystem;
    const fs::path dir = argc > 1 ? argv[1] : QUORIN_RECORDINGS;
    const std::string name = argc > 2 ? argv[2] : "wide-ac3";
    const int loops = argc > 3 ? std::atoi(argv[3]) : 11;
    const std::string audio = fs::exists(dir / (name + ".ac3")) ? name + ".ac3" : name + ".mp2";
    if (!fs::exists(dir / (name + ".m2v"))) {
        std::fprintf(stderr, "%s: no recordings (run ctest -R breaks_recordings first)\n",
                     (dir / (name + ".m2v")).c_str());
        return 1;
    }
    const fs::path description = dir / "bench.json";
    const fs::path image = dir / "bench.img";
    std::ofstream(description) << "{\"clips\": [{\"name\": \"bench\", \"video\": \"" << name
                               << ".m2v\", \"audio\": \"" << audio << "\", \"loops\": " << loops
                               << "}]}\n";
    const std::string build = std::string(QUORIN_MKDISK) + " --force '" + description.string() +
                              "' '" + image.string() + "' >/dev/null";
    if (std::system(build.c_str()) != 0) {
        std::fprintf(stderr, "quorin-mkdisk failed\n");
        return 1;
    }
    bool ok = false;
    ClusterTable table(image.string(), ok);
    CPVRDrive drive(image.string(), &table, RecordLayout::kFirmware190);
    if (drive.GetFileCount() < 1) return 1;
    std::atomic<bool> cancel{false};
    const auto start = std::chrono::steady_clock::now();
    const double cpu0 = CpuSeconds();
    const BreakSearchReport report = FindClipBreaks(*drive.GetFile(0), {}, nullptr, cancel);
    const double cpu = CpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    fs::remove(image);
    fs::remove(description);
    if (report.outcome != BreakSearchOutcome::kDone) {
        std::fprintf(stderr, "search failed: %s\n", report.message.c_str());
        return 1;
    }
    std::printf("video %.0f s, %zu breaks\n", report.seconds, report.breaks.size());
    std::printf("wall %.1f s, cpu %.1f s: %.1fx real time (cpu)\n", wall, cpu,
                report.seconds / cpu);
    std::printf("peak memory %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024);
    return 0;
}
