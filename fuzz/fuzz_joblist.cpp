// The job list loader: the input is a job list file read against a small disk of four clips
// (cut marks, a clip of length 0, two clips with one checksum). The loaded queue is saved and
// loaded again: a saved queue must load back to the same jobs.
#include "fuzz_disks.h"

#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "jobs/jobs.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

struct Fixture {
    quorin::fuzz::ScratchImage image{"jobs"};
    std::string listPath = image.Path() + ".csv";
    std::unique_ptr<quorin::ClusterTable> table;
    std::unique_ptr<quorin::CPVRDrive> drive;
    std::vector<std::uint32_t> checksums;
    std::vector<std::string> rawAudio{"Quorin HD", ""};

    Fixture() {
        using namespace quorin;
        SetConsoleTrace(false);
        if (!fuzz::JobListDisk().Write(image, fuzz::ClusterOffset(9))) std::abort();
        image.End();
        bool ok = false;
        table = std::make_unique<ClusterTable>(image.Path(), ok);
        drive = std::make_unique<CPVRDrive>(image.Path(), table.get(), RecordLayout::kFirmware190);
        if (drive->GetFileCount() != 4) std::abort();
        checksums = BuildChecksumTable(*drive);
    }
    ~Fixture() { std::remove(listPath.c_str()); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorin;
    static Fixture f;
    const JobListContext context{*f.drive, f.checksums, f.rawAudio};
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    Messages messages;
    std::vector<RipJob> jobs = ParseJobList(text, context, messages);
    JobQueue queue;
    for (const RipJob& job : jobs)
        queue.Add(job, messages);
    const double total = queue.TotalSize();
    (void)total;

    // Save and load again through a file, as the window does.
    Messages again;
    if (!SaveJobList(f.listPath, queue.Jobs(), f.checksums, again)) std::abort();
    JobQueue reloaded;
    if (!queue.Empty() && !LoadJobList(f.listPath, context, reloaded, again)) std::abort();
    if (reloaded.Count() != queue.Count()) std::abort();
    for (int i = 0; i < queue.Count(); ++i) {
        const RipJob& a = queue.Jobs()[static_cast<std::size_t>(i)];
        const RipJob& b = reloaded.Jobs()[static_cast<std::size_t>(i)];
        if (a.clipIndex != b.clipIndex || a.audio != b.audio || a.video != b.video ||
            a.rawAudio != b.rawAudio || a.rawVideo != b.rawVideo)
            std::abort();
    }
    return 0;
}
