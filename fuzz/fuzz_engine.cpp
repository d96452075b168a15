// The engine: a small image whose video and audio chains hold the input (see fuzz_disks.h),
// ripped whole or cut: video, audio or private stream, elementary or raw.
#include "fuzz_disks.h"

#include "base/program_log.h"
#include "base/run_state.h"
#include "base/scratch_folder.h"
#include "disk/cluster_table.h"
#include "disk/pvr_file.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorin;
    namespace fz = quorin::fuzz;
    static fz::ScratchImage image("engine");
    static ScratchFolder folder("quorin-fuzz-out");
    // QUORIN_FUZZ_VERBOSE=1 shows the trace and the outcome of each input (for reading findings).
    static const bool verbose = std::getenv("QUORIN_FUZZ_VERBOSE") != nullptr;
    SetConsoleTrace(verbose);
    fz::EngineInput in;
    if (!fz::SplitEngineInput(data, size, in) || !fz::WriteEngineDisk(image, in)) return 0;
    image.End();

    bool ok = false;
    ClusterTable table(image.Path(), ok);
    CPVRFile clip(image.Path(), 0, &table, RecordLayout::kFirmware190);
    RipRequest request;
    request.audio = in.mode & fz::mode::kAudio;
    request.video = in.mode & fz::mode::kVideo;
    if (!request.audio && !request.video) request.audio = request.video = true;
    request.rawAudio = in.mode & fz::mode::kRawAudio;
    request.rawVideo = in.mode & fz::mode::kRawVideo;
    request.postfixes = {"m2v", "mp2", "mpv", "mpa"};
    request.patchSequenceHeader = (in.mode & fz::mode::kPatchHeader) != 0;
    request.outputFolder = folder.Path().string();
    const bool whole = in.mode & fz::mode::kWhole;
    RipRun run(clip, request);
    run.State().m_dBegin = whole ? 0 : in.begin * 0.1;
    run.State().m_dLength = whole ? 1e6 : in.length * 0.1;
    RipReport report;
    const RipOutcome outcome = RipStream(run, report);
    if (verbose) {
        std::printf("outcome %d (%s)\n", static_cast<int>(outcome), report.message.c_str());
        for (const auto& f : report.files)
            std::printf("  %s %s: %lld bytes\n", FileKindText(f.kind), f.name.c_str(),
                        static_cast<long long>(std::filesystem::file_size(f.name)));
    }
    folder.Empty();
    return 0;
}
