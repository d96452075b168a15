// A folder that whole-clip rips land in complete or not at all, for runs that are repeated
// (rip --all, --skip-existing, --library, the window's library action). Each run writes into a
// staging folder of its recording inside the target folder; only a run that ended done moves its
// files out, under names that never replace a file the archive did not write for that recording.
// A small ledger file in the folder records which recording (and which kind of rip) each set of
// finished files belongs to, so a later run can tell done from partial and one clip's files from
// another's of the same name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorin {

class ClipRecord;
struct RipRequest;

// Who a recording is, across runs and renumbered clips: its title, its start (date and time) and
// the record's checksum.
std::string RecordingKey(const ClipRecord& record);

// What a request writes ("mkv", "es", "backup", ...): a rip of another kind is not the same rip.
std::string OutputKind(const RipRequest& request);

struct ArchivedFile {
    std::string name; // relative to the archive's folder
    std::int64_t size = 0;
};

struct ArchiveEntry {
    std::string key;
    std::string kind;
    std::vector<ArchivedFile> files;
};

class RipArchive {
public:
    static constexpr const char* kLedger = ".quorin-ripped";
    static constexpr const char* kStaging = ".quorin-partial";

    // Reads the folder's ledger (none yet: empty). The folder is an absolute path.
    explicit RipArchive(std::string folder);

    const std::string& Folder() const { return folder_; }
    // Why the ledger could not be read; empty when it could.
    const std::string& Error() const { return error_; }

    // The finished files of the recording's rip of this kind, when every one of them is still
    // there as it was written.
    std::optional<ArchiveEntry> Complete(const std::string& key, const std::string& kind) const;

    // An empty staging folder for the recording's rip (an earlier partial one removed): the
    // absolute path, or none with the reason in *error.
    std::optional<std::string> Stage(const std::string& key, const std::string& kind,
                                     std::string* error) const;

    // Moves the staged files of a finished run into subfolder (relative; "" for the folder
    // itself), each named base + what follows the staged base in its name, numbered (base_000 ...)
    // when a name is taken, and records them. Files an earlier rip of the same recording left
    // there are replaced. The staged names in *files become the placed ones (relative). False,
    // with the reason, when they could not be moved (they stay staged then).
    bool Settle(const std::string& key, const std::string& kind, const std::string& staged,
                const std::string& subfolder, const std::string& base,
                std::vector<std::string>* files, std::string* error);

    // Removes the staging folder of a run that wrote nothing worth keeping (an empty one).
    void DropIfEmpty(const std::string& staged) const;

private:
    bool Save(std::string* error) const;

    std::string folder_;
    std::vector<ArchiveEntry> entries_;
    std::string error_;
};

// The name a folder and its files get in a media library: "TITLE (YYYY-MM-DD HH.MM)", or
// "TITLE (clip N)" for a record without a date. Characters not allowed in file names are
// replaced as for any output file.
std::string LibraryName(const ClipRecord& record, int clipNumber);

} // namespace quorin
