#include "cli/cli_common.h"

#include "app/state/run_state.h"
#include "platform/volume.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace quorin::cli {

GlobalOptions& Globals() {
    static GlobalOptions options;
    return options;
}

void PrintError(const std::string& text) {
    std::fprintf(stderr, "quorin-cli: %s\n", text.c_str());
}

int OpenDisk(const std::string& path, bool firmware190, OpenedDisk& disk) {
    VolumeHandle probe;
    if (!OpenDrive(path, probe)) {
        int error = errno;
        std::string hint;
        if (error == EACCES || error == EPERM)
            hint = " (run as root or as a member of the 'disk' group to read a block device)";
        PrintError("cannot open " + path + ": " + SystemErrorText(error) + hint);
        return kExitDisk;
    }
    probe.Close();
    SetFirmwareOption(firmware190);
    bool ok = false;
    disk.table = std::make_unique<ClusterTable>(path, ok);
    if (!ok) {
        PrintError("cannot read the cluster table of " + path +
                   " (the image is shorter than its directory)");
        return kExitDisk;
    }
    disk.drive = std::make_unique<CPVRDrive>(path, disk.table.get());
    if (disk.drive->HeaderFileCount() > disk.drive->GetFileCount())
        PrintError("the header claims " + std::to_string(disk.drive->HeaderFileCount()) +
                   " clips; only " + std::to_string(disk.drive->GetFileCount()) +
                   " records fit before the data area");
    return kExitOk;
}

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(path, ec);
    return ec ? path : abs.lexically_normal().string();
}

bool EnterDirectory(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        PrintError("cannot create " + dir + ": " + ec.message());
        return false;
    }
    std::filesystem::current_path(dir, ec);
    if (ec) {
        PrintError("cannot change to " + dir + ": " + ec.message());
        return false;
    }
    return true;
}

CPVRFile* ClipByNumber(const OpenedDisk& disk, int number) {
    CPVRFile* clip = disk.drive->GetFile(number - 1);
    if (!clip)
        PrintError("clip " + std::to_string(number) + " does not exist (the disk has " +
                   std::to_string(disk.drive->GetFileCount()) + " clips)");
    return clip;
}

} // namespace quorin::cli
