#include "gui/window_disk.h"

#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/plausibility.h"
#include "disk/pvr_drive.h"
#include "jobs/jobs.h"
#include "platform/volume.h"
#include "udisks/udisks_open.h"

#include <cerrno>

namespace quorin {
namespace {

std::string OpenFailureText(const std::string& volume, int error, const std::string& udisksWhy) {
    std::string text = "Cannot open " + volume + ": " + SystemErrorText(error) + ".";
    if (!udisksWhy.empty()) text += "\n" + udisksWhy;
    if (error == EACCES || error == EPERM)
        text += "\nReading a block device needs root or membership of the 'disk' group "
                "(sudo usermod -aG disk $USER, then log in again).";
    return text;
}

// Opens the volume as the user may, or through UDisks2 when that fails for lack of rights
// (polkit asks once; every later handle is made from the descriptor UDisks2 passed).
bool OpenVolume(const std::string& volume, int& error, std::string& udisksWhy) {
    VolumeHandle probe;
    if (OpenDrive(volume, probe)) return true;
    error = errno;
    return udisks::IsPermissionError(error) &&
           udisks::OpenThroughUDisks(volume, udisks::Access::kRead, udisksWhy) &&
           OpenDrive(volume, probe);
}

std::string Logged(std::string text) {
    LogLine(text);
    return text;
}

} // namespace

WindowDisk::WindowDisk() = default;

WindowDisk::~WindowDisk() {
    Release();
}

std::string WindowDisk::Open(const std::string& volume, RecordLayout layout,
                             const std::string& folder) {
    if (drive_) return {};
    int error = 0;
    std::string udisksWhy;
    if (!OpenVolume(volume, error, udisksWhy))
        return Logged(OpenFailureText(volume, error, udisksWhy));
    bool ok = false;
    auto table = std::make_unique<ClusterTable>(volume, ok);
    if (!ok) {
        const int readError = table->ReadError();
        return Logged("Cannot read the cluster table of " + volume + ": " +
                      (readError != 0 ? SystemErrorText(readError)
                                      : "the volume is shorter than a receiver disk's directory") +
                      ".");
    }
    auto drive = std::make_unique<CPVRDrive>(volume, table.get(), layout, folder);
    if (!drive->VolumeOpened()) // the drive goes before the table it borrows
        return Logged("Cannot read the header of " + volume + ": " +
                      SystemErrorText(drive->OpenError()) + ".");
    table_ = std::move(table);
    drive_ = std::move(drive);
    return {};
}

void WindowDisk::Release() {
    drive_.reset(); // the clips lend the table, so they go first
    table_.reset();
}

void WindowDisk::NoteListing() {
    if (checksums_.empty() && drive_ && drive_->GetFileCount() > 0)
        checksums_ = BuildChecksumTable(*drive_);
}

std::string WindowDisk::UnreadableRecordsText() const {
    int count = 0, first = -1;
    for (int i = 0; i < drive_->GetFileCount(); ++i) {
        if (drive_->GetFile(i)->RecordRead()) continue;
        if (count++ == 0) first = i;
    }
    if (count == 0) return {};
    const std::string& why = drive_->GetFile(first)->ReadFailure();
    return Logged(count == 1
                      ? "The record of clip " + std::to_string(first + 1) + " could not be read" +
                            (why.empty() ? "" : " (" + why + ")") + "; it is listed empty."
                      : "The records of " + std::to_string(count) +
                            " clips could not be read (the first is clip " +
                            std::to_string(first + 1) + "); they are listed empty.");
}

std::string WindowDisk::HeaderText() const {
    std::string text = drive_->HeaderProblem();
    if (text.empty()) return {};
    text[0] = 'T';
    return Logged(text + "; nothing is written to it.");
}

std::string WindowDisk::LayoutText(RecordLayout chosen) const {
    const int layout = DetectLayout(*drive_);
    const int flag = chosen == RecordLayout::kFirmware190 ? 1 : 0;
    if (layout < 0 || layout == flag) return {};
    return Logged("The records are in " + LayoutName(layout) + ": " +
                  (layout == 1 ? "check" : "uncheck") + " \"Firmware >= 190\".");
}

} // namespace quorin
