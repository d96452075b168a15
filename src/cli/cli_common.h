// Shared plumbing of quorin-cli's subcommands.
#pragma once

#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "platform/settings.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <string>

namespace CLI {
class App;
class Option;
} // namespace CLI

namespace quorin::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitDisk = 2,
    kExitNothing = 3,
    kExitCancelled = 4,
    kExitOutput = 5,
    kExitLost = 6, // done, but parts of the disk were unreadable
};

struct GlobalOptions {
    bool trace = false;
    bool log = false;
    bool udisks = false; // ask UDisks2 when the disk may not be opened for lack of rights
};
GlobalOptions& Globals();

// The disk objects of one command, in the order they must be released.
struct OpenedDisk {
    std::unique_ptr<ClusterTable> table;
    std::unique_ptr<CPVRDrive> drive;
    ~OpenedDisk() {
        drive.reset();
        table.reset();
    }
};

// Opens the disk as the window's "Dir" does; forWriting when the command may rename clips (with
// --udisks, UDisks2 is then asked for read-write access). On failure prints the reason to stderr
// and returns kExitDisk.
int OpenDisk(const std::string& path, bool firmware190, OpenedDisk& disk, bool forWriting = false,
             const std::string& folder = {});

// Clips whose directory record could not be read (OpenDisk names them on stderr).
int UnreadableRecords(const CPVRDrive& drive);

// Absolute form of a path the user gave (relative to the directory the command started in).
std::string AbsolutePath(const std::string& path);
// The folder the command writes into; reports name files relative to it.
void SetReportFolder(std::string folder);
// A file of a run as reports name it: its path in the report folder.
std::string ReportedName(const std::string& path);

// Creates the directory if needed and makes it where the logs go; prints the reason on failure.
[[nodiscard]] bool MakeOutputFolder(const std::string& dir);

// Checks a 1-based clip number against the drive; prints a message when it names no clip.
CPVRFile* ClipByNumber(const OpenedDisk& disk, int number);
// kExitDisk, said on stderr, when the clip's record could not be read (nothing of it is known
// then); kExitOk otherwise.
int UnreadableRecord(const CPVRFile& clip);

void PrintError(const std::string& text);

// A disk text as a field of a text line: control characters (a TAB, a line end) become spaces.
std::string TextField(std::string text);

// The exit status of a rip's outcome, as every command's help names it.
int ExitCodeOf(RipOutcome outcome);
// The exit status of a whole run: its outcome's, 3 when it was refused, 6 when it was done but
// lost data to read errors, at least 2 when its rename was not written.
int ExitCodeOf(const RipRunReport& run);
// The worse of two exit statuses (a batch ends with its worst): 6 ranks just above 0, as its
// files were written.
int WorseExit(int a, int b);
// One "lost<TAB>..." line per damaged stretch the run's outputs lack, on stdout.
void PrintLost(const RipReport& report);

// Ctrl-C while the guard lives: the first sets the cancel flag (the engine stops at its next check
// and closes its files cleanly), the second ends the process at once with the cancelled status.
class InterruptGuard {
public:
    // uncancellable: the run cannot stop early (a backup); the first Ctrl-C says so.
    explicit InterruptGuard(bool uncancellable = false);
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // The flag the engine polls; cleared when a guard is made.
    static const std::atomic<bool>& Flag();
    static bool Interrupted() { return Flag().load(); }
    // How many Ctrl-C have come since the guard was made.
    static int Count();

private:
    struct sigaction old_ {};
};

// Subcommand registration: a parsed subcommand leaves its work in the action, which runs after
// the whole command line has been read.
using Action = std::function<int()>;
void RegisterListCommands(CLI::App& app, Action& action);
void RegisterRipCommands(CLI::App& app, Action& action);
void RegisterJobCommands(CLI::App& app, Action& action);
void RegisterPreviewCommands(CLI::App& app, Action& action);
void RegisterBreaksCommand(CLI::App& app, Action& action);
void RegisterRecoverCommand(CLI::App& app, Action& action);

// The settings file, read once (quorin-cli never writes it).
const Settings& CliSettings();
// --firmware190 / --no-firmware190; without either, the settings file's "Firmware190".
void AddFirmwareOption(CLI::App& cmd, bool& firmware190);
// --clip N, refused below 1 with a message that says so.
CLI::Option* AddClipOption(CLI::App& cmd, int& clip, const std::string& help);
// --on-read-error stop|salvage; without it, the settings file's "On Read Error".
void AddReadErrorOption(CLI::App& cmd, std::string& policy);
// Sets the process's read policy from the option's value.
ReadPolicy ReadPolicyOf(const std::string& policy);

} // namespace quorin::cli
