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

namespace {

void SetUpBlock(quorin::RipProgress& p, bool on, bool raw, const char* postfix,
                const char* rawPostfix) {
    p.enabled = on;
    p.raw = raw;
    p.postfix = postfix;
    p.rawPostfix = rawPostfix;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorin;
    namespace fz = quorin::fuzz;
    static fz::ScratchImage image("engine");
    static ScratchFolder folder("quorin-fuzz-out");
    // QUORIN_FUZZ_VERBOSE=1 shows the trace and the outcome of each input (for reading findings).
    static const bool verbose = std::getenv("QUORIN_FUZZ_VERBOSE") != nullptr;
    SetConsoleTrace(verbose);
    SetFirmwareOption(true);
    fz::EngineInput in;
    if (!fz::SplitEngineInput(data, size, in) || !fz::WriteEngineDisk(image, in)) return 0;
    image.End();

    bool ok = false;
    ClusterTable table(image.Path(), ok);
    CPVRFile clip(image.Path(), 0, &table);
    RipProgress audio, video;
    bool audioOn = in.mode & fz::mode::kAudio, videoOn = in.mode & fz::mode::kVideo;
    if (!audioOn && !videoOn) audioOn = videoOn = true;
    SetUpBlock(audio, audioOn, in.mode & fz::mode::kRawAudio, "mp2", "mpa");
    SetUpBlock(video, videoOn, in.mode & fz::mode::kRawVideo, "m2v", "mpv");
    video.patchSequenceHeader = (in.mode & fz::mode::kPatchHeader) != 0;
    RipRunner runner(clip, audio, video, nullptr);
    const bool whole = in.mode & fz::mode::kWhole;
    folder.Enter();
    RipReport report;
    const RipOutcome outcome =
        RipStream(clip, whole ? 0 : in.begin * 0.1, whole ? 1e6 : in.length * 0.1, &report);
    if (verbose) {
        std::printf("outcome %d (%s)\n", static_cast<int>(outcome), report.message.c_str());
        for (const auto& f : report.files)
            std::printf("  %s %s: %lld bytes\n", f.what.c_str(), f.name.c_str(),
                        static_cast<long long>(std::filesystem::file_size(f.name)));
    }
    folder.Empty();
    folder.Leave();
    return 0;
}
