#include "jobs/archive_rip.h"

#include "disk/pvr_file.h"
#include "jobs/library_files.h"

namespace quorin {
namespace {

// Moves a done run's files out of its staging folder (the library's own files added first); a
// run that did not end done leaves its files there.
void Settle(RipArchive& archive, CPVRFile& clip, int number, const std::string& key,
            const std::string& kind, const std::string& staged, const ArchiveTarget& target,
            bool library, bool keepStreams, RipRunReport& run) {
    RipReport& stages = run.stages;
    bool done = run.started && run.outcome == RipOutcome::kDone;
    std::string error;
    if (done && library &&
        !AddLibraryFiles(clip.GetRecord(), number, staged, target.base, keepStreams, stages,
                         &error)) {
        run.outcome = RipOutcome::kOutputFailed;
        stages.message = error;
        done = false;
    }
    std::vector<std::string> names;
    for (const RipReport::File& f : stages.files)
        names.push_back(f.name);
    if (done && !archive.Settle(key, kind, staged, target.subfolder, target.base, &names, &error)) {
        run.outcome = RipOutcome::kOutputFailed;
        stages.message = error;
        for (RipReport::File& f : stages.files)
            f.partial = true;
    }
    if (!done) archive.DropIfEmpty(staged);
    // The archive names the files it placed by their paths in its folder.
    for (std::size_t i = 0; i < names.size(); ++i)
        stages.files[i].name =
            names[i].starts_with('/') ? names[i] : archive.Folder() + "/" + names[i];
}

} // namespace

ArchiveTarget TargetOf(const CPVRFile& clip, int number, const std::string& allName, bool library) {
    if (!library) return {{}, allName};
    const std::string name = LibraryName(clip.GetRecord(), number);
    return {name, name};
}

ArchivedRun RipIntoArchive(RipArchive& archive, CPVRFile& clip, int number, RipRequest request,
                           const ArchiveTarget& target, bool library, bool skipExisting,
                           const ClipRipper& rip) {
    ArchivedRun result;
    const std::string key = RecordingKey(clip.GetRecord());
    const std::string kind = OutputKind(request) + (library ? "+library" : "");
    if (skipExisting && archive.Complete(key, kind)) {
        result.skipped = true;
        return result;
    }
    const std::optional<std::string> staged = archive.Stage(key, kind, &result.failure);
    if (!staged) return result;
    request.outputName = target.base;
    const bool keepStreams = request.mux.keepStreams;
    // The library's pictures come from the elementary video stream.
    if (library) request.mux.keepStreams = true;
    request.outputFolder = *staged;
    result.run = rip(clip, request);
    Settle(archive, clip, number, key, kind, *staged, target, library, keepStreams, result.run);
    return result;
}

} // namespace quorin
