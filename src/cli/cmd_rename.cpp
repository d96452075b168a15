// quorin-cli rename: "Change Title" of one clip, written to its directory record on the disk.
#include "cli/cli_common.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/layout.h"
#include "platform/text.h"
#include "platform/volume.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace quorin::cli {
namespace {

// Where the receivers before firmware 190 keep the clip name in the record.
constexpr int kOldNameOffset = 0x0F;

struct RenameOptions {
    std::string disk;
    bool firmware190 = false;
    int clip = 0;
    std::string title;
};

// OpenDisk has named the header's faults already; a record that does not fit its layout may
// fit the other.
std::string RefusalText(const CPVRDrive& drive, const CPVRFile& clip, const std::string& why) {
    if (!drive.HeaderProblem().empty()) return "the header is implausible";
    if (!clip.RecordRead()) return why;
    return why + (clip.LayoutFlag() == 1 ? " (try --no-firmware190)" : " (try --firmware190)");
}

int RunRename(const RenameOptions& o) {
    const std::string path = AbsolutePath(o.disk);
    if (Globals().log) OpenLog("DIR", true);
    OpenedDisk disk;
    int rc = OpenDisk(path, o.firmware190, disk, true);
    CPVRFile* clip = rc == kExitOk ? ClipByNumber(disk, o.clip) : nullptr;
    if (rc == kExitOk && !clip) rc = kExitUsage;
    if (clip) {
        const std::string oldTitle = Latin1ToUtf8(clip->GetRecord().ClipName());
        if (clip->Rename(o.title)) {
            const bool working = clip->LayoutFlag() == 1;
            std::printf("Clip %d: \"%s\" -> \"%s\"\n", o.clip, oldTitle.c_str(),
                        Latin1ToUtf8(clip->GetRecord().ClipName()).c_str());
            std::printf("Record layout: %s, name at byte 0x%02X of sector %lld\n",
                        working ? "firmware 190 and later" : "before firmware 190",
                        working ? kNameOffset : kOldNameOffset,
                        static_cast<long long>(kRecordStartSector + o.clip - 1));
        } else if (const std::string why = clip->WriteRefusal(); !why.empty()) {
            PrintError("refused to rename clip " + std::to_string(o.clip) + ": " +
                       RefusalText(*disk.drive, *clip, why));
            rc = kExitDisk;
        } else {
            PrintError(Format("could not write the new title of clip %d to ", o.clip) + path +
                       (VolumeOpensReadOnly(path) ? " (the disk is open read-only)" : "") +
                       "; the clip keeps its title \"" + oldTitle + "\"");
            rc = kExitDisk;
        }
    }
    CloseLog();
    return rc;
}

} // namespace

void RegisterRenameCommand(CLI::App& app, Action& action) {
    static RenameOptions o;
    CLI::App* cmd = app.add_subcommand(
        "rename", "change a clip's title in the receiver's directory (\"Change Title\")");
    cmd->add_option("--disk", o.disk, "receiver disk: a block device or an image file")->required();
    AddFirmwareOption(*cmd, o.firmware190);
    AddClipOption(*cmd, o.clip, "clip number as 'list' shows it (from 1)")->required();
    cmd->add_option("--title", o.title, "the new title (at most 39 characters are stored)")
        ->required();
    cmd->callback([&action] { action = [] { return RunRename(o); }; });
}

} // namespace quorin::cli
