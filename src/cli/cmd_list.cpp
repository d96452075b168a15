// quorin-cli list / info: the drive summary and clip list, and one clip's info dump.
#include "cli/cli_common.h"
#include "cli/json_report.h"

#include "base/program_log.h"
#include "disk/clip_texts.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace quorin::cli {
namespace {

struct DiskOptions {
    std::string disk;
    bool firmware190 = false;
    bool json = false;
};

void AddDiskOptions(CLI::App& cmd, DiskOptions& o) {
    cmd.add_option("--disk", o.disk, "receiver disk: a block device or an image file")->required();
    AddFirmwareOption(cmd, o.firmware190);
    cmd.add_flag("--json", o.json, "print one JSON document instead of the text");
}

// Runs a read of the drive inside its own "DIR" log when --log is given.
class DirActivity {
public:
    DirActivity() {
        if (Globals().log) OpenLog("DIR", true);
    }
    ~DirActivity() { CloseLog(); }
    DirActivity(const DirActivity&) = delete;
    DirActivity& operator=(const DirActivity&) = delete;
};

int RunList(const DiskOptions& o) {
    DirActivity activity;
    OpenedDisk disk;
    if (int rc = OpenDisk(o.disk, o.firmware190, disk)) return rc;
    // A list with records missing is no complete list: the others are listed, as after damage.
    const int rc = UnreadableRecords(*disk.drive) > 0 ? kExitLost : kExitOk;
    if (o.json) {
        nlohmann::ordered_json doc = JsonDocument("list");
        doc["status"] = rc;
        doc.update(DriveJson(*disk.drive));
        PrintJson(doc);
        return rc;
    }
    DriveTexts texts = DriveSummaryTexts(*disk.drive);
    std::printf("Drivename: %s\n%s\n%s\n", texts.name.c_str(), texts.capacity.c_str(),
                texts.free.c_str());
    for (int i = 0; i < disk.drive->GetFileCount(); ++i) {
        const ClipRecord& r = disk.drive->GetFile(i)->GetRecord();
        if (!disk.drive->GetFile(i)->RecordRead()) {
            std::printf("%02d\t\t(unreadable record)\t\t\t\t\n", i + 1);
            continue;
        }
        auto row = ClipRowTexts(r, i);
        for (std::string& field : row)
            field = TextField(field);
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\t%08X\n", row[0].c_str(), row[1].c_str(),
                    row[2].c_str(), row[3].c_str(), row[4].c_str(), row[5].c_str(),
                    ClipChecksum(r));
    }
    return rc;
}

int RunInfo(const DiskOptions& o, int clipNumber) {
    DirActivity activity;
    OpenedDisk disk;
    if (int rc = OpenDisk(o.disk, o.firmware190, disk)) return rc;
    CPVRFile* clip = ClipByNumber(disk, clipNumber);
    if (!clip) return kExitUsage;
    if (int rc = UnreadableRecord(*clip)) return rc;
    StringOut dump;
    clip->DumpInfo(dump);
    if (o.json) {
        nlohmann::ordered_json doc = JsonDocument("info");
        doc["status"] = kExitOk;
        doc["clip"] = ClipJson(*clip, clipNumber);
        doc["dump"] = dump.str();
        PrintJson(doc);
        Log() << dump.str();
        return kExitOk;
    }
    std::fwrite(dump.str().data(), 1, dump.str().size(), stdout);
    Log() << dump.str();
    return kExitOk;
}

} // namespace

void RegisterListCommands(CLI::App& app, Action& action) {
    static DiskOptions listOptions;
    CLI::App* list = app.add_subcommand("list", "show the drive summary and the clip list");
    AddDiskOptions(*list, listOptions);
    list->callback([&action] { action = [] { return RunList(listOptions); }; });

    static DiskOptions infoOptions;
    static int infoClip = 0;
    CLI::App* info = app.add_subcommand("info", "show one clip's directory record and chains");
    AddDiskOptions(*info, infoOptions);
    AddClipOption(*info, infoClip, "clip number as 'list' shows it (from 1)")->required();
    info->callback([&action] { action = [] { return RunInfo(infoOptions, infoClip); }; });
}

} // namespace quorin::cli
