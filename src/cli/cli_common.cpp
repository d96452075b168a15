#include "cli/cli_common.h"

#include "base/program_log.h"

#include "base/run_state.h"
#include "disk/plausibility.h"
#include "platform/volume.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#ifdef QUORIN_HAVE_UDISKS
#include "udisks/udisks_open.h"
#endif

namespace quorin::cli {
namespace {

#ifdef QUORIN_HAVE_UDISKS
constexpr bool kHaveUDisks = true;
#else
constexpr bool kHaveUDisks = false;
#endif

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

// --udisks: UDisks2 opens the disk when the user may not (read-write for a command that renames).
// Returns whether the disk can be read now; `why` tells what UDisks2 answered instead.
bool AskUDisks(const std::string& path, bool forWriting, bool readable, int error,
               std::string& why) {
#ifdef QUORIN_HAVE_UDISKS
    if (readable) {
        if (forWriting) udisks::EnsureWritable(path, why);
        return true;
    }
    if (!IsPermissionError(error)) return false;
    const auto access = forWriting ? udisks::Access::kReadWrite : udisks::Access::kRead;
    return udisks::OpenThroughUDisks(path, access, why);
#else
    (void)path;
    (void)forWriting;
    (void)error;
    (void)why;
    return readable;
#endif
}

// Opens the disk once to see that it can be opened; on failure the reason is left in errno.
bool ProbeDisk(const std::string& path, bool forWriting, std::string& udisksWhy) {
    VolumeHandle probe;
    bool opened = OpenDrive(path, probe);
    int error = errno;
    const bool readOnly = opened && probe.IsReadOnly();
    probe.Close();
    if (Globals().udisks && (!opened || (forWriting && readOnly)) &&
        AskUDisks(path, forWriting, opened, error, udisksWhy)) {
        opened = OpenDrive(path, probe);
        error = errno;
    }
    errno = error;
    return opened;
}

std::atomic<bool> g_cancel{false};
std::atomic<int> g_interrupts{0};
std::atomic<bool> g_uncancellable{false};

extern "C" void OnInterrupt(int) {
    if (g_interrupts.fetch_add(1) >= 1) {
        const char text[] = "\nquorin-cli: stopped\n";
        (void)!::write(STDERR_FILENO, text, sizeof text - 1);
        ::_exit(kExitCancelled);
    }
    g_cancel.store(true);
    const char cancelText[] = "\nquorin-cli: cancelling (Ctrl-C again to stop at once)\n";
    const char backupText[] =
        "\nquorin-cli: a backup cannot be cancelled (Ctrl-C again to stop at once)\n";
    if (g_uncancellable.load())
        (void)!::write(STDERR_FILENO, backupText, sizeof backupText - 1);
    else
        (void)!::write(STDERR_FILENO, cancelText, sizeof cancelText - 1);
}

} // namespace

InterruptGuard::InterruptGuard(bool uncancellable) {
    g_cancel.store(false);
    g_interrupts.store(0);
    g_uncancellable.store(uncancellable);
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &old_);
}

InterruptGuard::~InterruptGuard() {
    ::sigaction(SIGINT, &old_, nullptr);
}

const std::atomic<bool>& InterruptGuard::Flag() {
    return g_cancel;
}

int InterruptGuard::Count() {
    return g_interrupts.load();
}

int ExitCodeOf(RipOutcome outcome) {
    switch (outcome) {
    case RipOutcome::kDone:
        return kExitOk;
    case RipOutcome::kNothingToRip:
        return kExitNothing;
    case RipOutcome::kCancelled:
        return kExitCancelled;
    case RipOutcome::kOutputFailed:
        return kExitOutput;
    case RipOutcome::kReadError:
        return kExitDisk;
    }
    return kExitOutput;
}

GlobalOptions& Globals() {
    static GlobalOptions options;
    return options;
}

void PrintError(const std::string& text) {
    std::fprintf(stderr, "quorin-cli: %s\n", text.c_str());
}

std::string TextField(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

int OpenDisk(const std::string& path, bool firmware190, OpenedDisk& disk, bool forWriting,
             const std::string& folder) {
    std::string udisksWhy;
    const bool opened = ProbeDisk(path, forWriting, udisksWhy);
    const int error = errno;
    if (!opened) {
        std::string hint;
        std::error_code ec;
        if (IsPermissionError(error) && std::filesystem::is_regular_file(path, ec))
            hint = " (a file permission: this user may not open the image file)";
        else if (IsPermissionError(error))
            hint = " (run as root or as a member of the 'disk' group to read a block device" +
                   std::string(kHaveUDisks && !Globals().udisks ? ", or use --udisks)" : ")");
        PrintError("cannot open " + path + ": " + SystemErrorText(error) + hint);
    }
    if (!udisksWhy.empty()) PrintError(udisksWhy);
    if (!opened) return kExitDisk;
    bool ok = false;
    disk.table = std::make_unique<ClusterTable>(path, ok);
    if (!ok) {
        const int readError = disk.table->ReadError();
        PrintError("cannot read the cluster table of " + path +
                   (readError != 0 ? ": " + SystemErrorText(readError)
                                   : std::string(" (the image is shorter than its directory)")));
        return kExitDisk;
    }
    disk.drive = std::make_unique<CPVRDrive>(
        path, disk.table.get(), firmware190 ? RecordLayout::kFirmware190 : RecordLayout::kOld,
        folder);
    if (!disk.drive->VolumeOpened()) {
        PrintError("cannot read the header of " + path + ": " +
                   SystemErrorText(disk.drive->OpenError()));
        return kExitDisk;
    }
    if (disk.drive->HeaderFileCount() > disk.drive->GetFileCount())
        PrintError("the header claims " + std::to_string(disk.drive->HeaderFileCount()) +
                   " clips; only " + std::to_string(disk.drive->GetFileCount()) +
                   " records fit before the data area");
    if (!disk.drive->HeaderProblem().empty())
        PrintError(disk.drive->HeaderProblem() + "; nothing is written to it");
    if (const int layout = DetectLayout(*disk.drive);
        layout >= 0 && layout != (firmware190 ? 1 : 0))
        PrintError("the records of " + path + " are in " + LayoutName(layout) + ", but " +
                   (firmware190 ? "--firmware190" : "--no-firmware190") + " reads them in " +
                   LayoutName(1 - layout) + ": use " +
                   (layout == 1 ? "--firmware190" : "--no-firmware190"));
    if (int n = UnreadableRecords(*disk.drive); n > 0) {
        int first = 0;
        while (disk.drive->GetFile(first)->RecordRead())
            ++first;
        const std::string& why = disk.drive->GetFile(first)->ReadFailure();
        PrintError(n == 1 ? "could not read the record of clip " + std::to_string(first + 1) +
                                (why.empty() ? "" : ": " + why)
                          : "could not read the records of " + std::to_string(n) +
                                " clips, the first is clip " + std::to_string(first + 1));
    }
    return kExitOk;
}

int UnreadableRecords(const CPVRDrive& drive) {
    int n = 0;
    for (int i = 0; i < drive.GetFileCount(); ++i)
        if (!drive.GetFile(i)->RecordRead()) ++n;
    return n;
}

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(path, ec);
    return ec ? path : abs.lexically_normal().string();
}

namespace {
std::string& ReportFolder() {
    static std::string folder;
    return folder;
}
} // namespace

void SetReportFolder(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    ReportFolder() = std::move(folder);
}

std::string ReportedName(const std::string& path) {
    const std::string& folder = ReportFolder();
    if (!folder.empty() && path.starts_with(folder + "/")) return path.substr(folder.size() + 1);
    return path;
}

bool MakeOutputFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec)) {
        PrintError("cannot create " + dir + ": " + (ec ? ec.message() : "not a directory"));
        return false;
    }
    SetLogFolder(dir);
    return true;
}

CPVRFile* ClipByNumber(const OpenedDisk& disk, int number) {
    CPVRFile* clip = disk.drive->GetFile(number - 1);
    if (!clip)
        PrintError("clip " + std::to_string(number) + " does not exist (the disk has " +
                   std::to_string(disk.drive->GetFileCount()) + " clips)");
    return clip;
}

int UnreadableRecord(const CPVRFile& clip) {
    if (clip.RecordRead()) return kExitOk;
    const std::string why = clip.ReadFailure().empty() ? "" : " (" + clip.ReadFailure() + ")";
    PrintError("the record of clip " + std::to_string(clip.FileNo() + 1) + " could not be read" +
               why + ": nothing of the clip is known");
    return kExitDisk;
}

} // namespace quorin::cli
