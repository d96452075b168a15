// One whole rip of clip 1 of a disk image into the current directory, then the mux stage:
//   mux_bench IMAGE mkv|mpg|ts
// prints the stage times ("audio", "video", "mux" in seconds) and the container's name.
#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "rip/mux.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <atomic>
#include <cstdio>

int main(int argc, char** argv) {
    using namespace quorin;
    const auto format = argc == 3 ? MuxFormatFromName(argv[2]) : std::nullopt;
    if (!format) {
        std::fprintf(stderr, "usage: mux_bench IMAGE mkv|mpg|ts\n");
        return 1;
    }
    SetConsoleTrace(false);
    bool ok = false;
    ClusterTable table(argv[1], ok);
    CPVRDrive drive(argv[1], &table);
    if (!ok || drive.GetFileCount() < 1) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    CPVRFile& clip = *drive.GetFile(0);
    RipProgress audio, video;
    std::atomic<bool> cancel{false};
    RipRun run(clip, RipRequest{}, &audio, &video, &cancel);
    run.State().m_dLength = clip.GetRecord().LengthInSeconds();
    RipReport report;
    RipOutcome o = RipStream(run, report);
    if (o == RipOutcome::kDone) o = RunMuxStage(run, *format, true, report);
    if (o != RipOutcome::kDone) {
        std::fprintf(stderr, "failed: %s\n", report.message.c_str());
        return 5;
    }
    std::printf("audio %.3f\nvideo %.3f\nmux %.3f\n", report.audioMs / 1000.0,
                report.videoMs / 1000.0, report.muxMs / 1000.0);
    for (const RipReport::File& f : report.files)
        std::printf("file %s %s\n", FileKindText(f.kind), f.name.c_str());
    return 0;
}
