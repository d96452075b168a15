// quorin-cli: the command-line front end over the Quorin engine.
#include "base/program_log.h"
#include "cli/cli_common.h"
#include "cli/cmd_scan.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kCommonFooter =
    "--trace (console trace on stdout) and --log (program log files) may be given before or "
    "after the command name."sv;

constexpr std::string_view kMainFooter =
    "Clip numbers are 1-based, as 'list' shows them. Times are SS[.cc], M:SS[.cc] or H:MM:SS[.cc] "
    "(90, 0:30, 1:02:03.5). The settings file $XDG_CONFIG_HOME/quorin/quorin.ini (default "
    "~/.config/quorin/quorin.ini) is read, never written. 'quorin-cli COMMAND --help' describes "
    "each command.\n\n"
    "Exit status: 0 done; 1 usage error; 2 the disk cannot be opened (or read); 3 nothing to "
    "rip; 4 cancelled; 5 an output file could not be created or written; 6 done, but parts of "
    "the disk were unreadable (rip, jobs, scan, breaks, recover; see --on-read-error)."sv;

struct CommandFooter {
    std::string_view command;
    std::string_view text;
};

// What each command prints and its exit statuses, shown below its options.
constexpr CommandFooter kFooters[] = {
    {"list",
     "Prints 'Drivename:', 'Capacity:' and 'Free:' lines, then one line per clip with "
     "TAB-separated fields: number, station, clip name, length / size, date, start time and the "
     "clip's checksum ('(unreadable record)' for a clip whose record cannot be read).\n\n"
     "Exit status: 0 done; 1 usage error; 2 the disk cannot be opened; 6 listed, but records "
     "could not be read."},
    {"info", "Prints the clip's directory record, cut marks and cluster chains.\n\n"
             "Exit status: 0 done; 1 usage error or no such clip; 2 the disk or the clip's record "
             "cannot be read."},
    {"rip",
     "Writes NAME.m2v and NAME.mp2 (or NAME.ac3), NAME.mpp / NAME.pva for raw rips and backups, "
     "and 'NAME delay.log'; with --mux one playable NAME.mkv, NAME.mpg or NAME.ts instead (the "
     "streams and the delay log removed unless --keep-streams). A taken name gets a number "
     "(NAME_000, ...), the same for every file of the rip. Without --length/--end "
     "the clip is ripped to its end. Progress goes to stderr; at the end every file written is "
     "printed as 'file<TAB>name<TAB>size<TAB>what' (a fifth field 'partial' for a file whose "
     "stage stopped before its end), each stage's time as "
     "'stage<TAB>audio|video|mux<TAB>seconds s', and each damaged stretch the outputs lack as "
     "'lost<TAB>audio|video<TAB>DISK_BYTE_OFFSET<TAB>BYTES<TAB>FROM<TAB>TO'. --all rips every "
     "clip whole and prints 'clip<TAB>N<TAB>name<TAB>outcome' after each; --json prints one JSON "
     "document instead (see the man page). Ctrl-C cancels; a second Ctrl-C stops at once.\n\n"
     "Exit status: 0 done; 1 usage error; 2 the disk cannot be opened (or read; with "
     "--on-read-error stop, an unreadable sector); 3 nothing to rip ('wrong offset', 'can't go "
     "on...'); 4 cancelled; 5 an output file could not be created or written (also a failed mux); "
     "6 done, but parts "
     "of the disk were unreadable (the 'lost' lines). With --all: the worst of the clips' "
     "statuses (the highest, but 6 only when every other clip ended with 0)."},
    {"jobs",
     "Each line of the file is 'Index;Name;Begin;End;Rip Audio;Rip Video;Rip Audio Raw;Rip "
     "Video Raw;Checksum' with 1-based clip numbers and times as hhmmss.cc; Begin may be x0..x9, "
     "a cut mark pair. After each job its 'lost<TAB>...' lines (as 'rip') and "
     "'clip<TAB>name<TAB>result' are printed. Ctrl-C cancels the running job and ends the "
     "batch.\n\n"
     "Exit status: the worst of the jobs' statuses (as 'rip': the highest, but 6 only when every "
     "other job ended with 0); 1 when a line was refused while loading; 2 when a rename could not "
     "be written."},
    {"rename",
     "Writes the title (ISO-8859-1; other characters become '?') into the clip's directory "
     "record, the only bytes of the disk it changes, and prints the old and new title and the "
     "record layout written.\n\n"
     "Exit status: 0 renamed; 1 usage error or no such clip; 2 the disk cannot be opened or the "
     "title could not be written."},
    {"decode",
     "Prints the file written and its size as 'OUT<TAB>WIDTHxHEIGHT'.\n\n"
     "Exit status: 0 a picture was written; 1 IN cannot be opened (or an unknown format); 2 not "
     "enough memory; 3 no picture could be decoded (none of its first frame's slices could be "
     "read); 5 OUT could not be written."},
    {"scan",
     "Reads the header, the cluster table, every record and both chains of every clip (or of "
     "--clip N) with the salvage reads, writes nothing, shows progress on stderr and prints one "
     "line per unreadable range: 'bad<TAB>DISK_BYTE_OFFSET<TAB>BYTES<TAB>clip<TAB>header|cluster "
     "table|record|audio|video<TAB>FROM<TAB>TO' (times h:mm:ss.cc into the clip, '-' when not "
     "known); --json prints one JSON document instead. With --on-read-error stop the check ends "
     "at the first unreadable range.\n\n"
     "Exit status: 0 nothing unreadable; 1 usage error or no such clip; 2 the disk cannot be "
     "opened (with --on-read-error stop: something was unreadable); 6 something was "
     "unreadable."},
    {"breaks",
     "Reads the clip's video and audio once (progress on stderr) and prints one line per advert "
     "break found: 'break<TAB>FROM<TAB>TO<TAB>CONFIDENCE', FROM the first picture of the first "
     "spot and TO the first picture after the last one, as h:mm:ss.cc on the video's clock (as "
     "rip's --begin), CONFIDENCE from 0.00 to 1.00; then the 'lost' lines of damaged stretches "
     "(as rip). Nothing is cut. --edl FILE also writes one 'FROM TO 3' line per break (seconds), "
     "which players use to skip them; an existing FILE is replaced (empty when nothing is "
     "found). --json prints one JSON document instead. Ctrl-C cancels.\n\n"
     "Exit status: 0 done (also when no break is found); 1 usage error or no such clip; 2 the "
     "disk cannot be opened (or read; with --on-read-error stop, an unreadable sector); 3 no "
     "video stream or picture found; 4 cancelled; 5 the EDL file could not be written; 6 done, "
     "but parts of the disk were unreadable (the 'lost' lines)."},
    {"preview",
     "Writes the picture the preview dialog shows at that position as a bitmap and prints its "
     "position (h:mm:ss.cc) and aspect ratio (4:3 or 16:9), TAB-separated.\n\n"
     "Exit status: 0 written; 1 usage error or no such clip; 2 the disk or the clip's record "
     "cannot be read; 3 no "
     "picture at that position ('wrong offset'); 5 the bitmap could not be written."},
    {"recover",
     "Looks only at clusters in no live chain (the records, read in the chosen layout, say which "
     "are live), reads at most about 1 MiB of each and puts the clusters of deleted recordings "
     "back into chains. Recordings are numbered by the position of their first video cluster, "
     "the same in every run on the same disk. --list prints one line per recording: "
     "'recovered<TAB>N<TAB>SECONDS<TAB>VIDEO_CLUSTERS<TAB>AUDIO_CLUSTERS<TAB>complete|partial' "
     "(partial: its start or end was overwritten; the part after an overwritten stretch may be "
     "listed as a recording of its own). --out rips each (or --only N) as 'Recovered NN': "
     "NAME.m2v, NAME.mp2 or NAME.ac3 and 'NAME delay.log', or one file with --mux; after each its "
     "'recovered' line, its 'file' and 'lost' lines as 'rip' prints them. --json prints one "
     "document: version, command, status and recordings (number, name, seconds, video_clusters, "
     "audio_clusters, complete; with --out outcome, status and files). The disk is never "
     "written. Progress goes to stderr; Ctrl-C cancels.\n\n"
     "Exit status: 0 done (also when nothing was found, said on stderr); 1 usage error; 2 the "
     "disk cannot be opened; 4 cancelled; 5 an output file could not be created or written; 6 "
     "done, but parts of the disk were unreadable."},
};

// Options every command that opens a disk shares, and the texts below each command's options.
void FinishCommands(CLI::App& app) {
    for (CLI::App* sub : app.get_subcommands({})) {
        sub->fallthrough();
#ifdef QUORIN_HAVE_UDISKS
        if (sub->get_option_no_throw("--disk"))
            sub->add_flag("--udisks", quorin::cli::Globals().udisks,
                          "when the disk may not be opened for lack of rights, ask UDisks2 to "
                          "open it (polkit asks for authorisation; read-write only for a rename)");
#endif
        for (const CommandFooter& f : kFooters)
            if (sub->get_name() == f.command)
                sub->footer(std::string(f.text) + "\n\n" + std::string(kCommonFooter));
    }
}

// The first word that is not an option must name a command; the parser would only say that one
// is required.
bool ReportUnknownCommand(CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word.starts_with("-")) continue;
        std::string names;
        for (const CLI::App* sub : app.get_subcommands({})) {
            if (sub->get_name() == word) return false;
            names += (names.empty() ? "" : ", ") + sub->get_name();
        }
        std::fprintf(stderr, "quorin-cli: unknown command '%s'; the commands are %s\n", argv[i],
                     names.c_str());
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    using namespace quorin::cli;
    // A file size limit (ulimit -f) must end a rip as a full disk does (EFBIG, exit 5 and its
    // message), not kill the process.
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app{"Quorin: lists, extracts and previews the recordings of a satellite "
                 "receiver's hard-disk recorder disk.",
                 "quorin-cli"};
    app.require_subcommand(1);
    app.set_version_flag("--version",
                         std::string("Quorin Version v1.0.0 beta\n"
                                     "Clipforge Version:v1.0.0"),
                         "print the two version texts of the About box and exit");
    app.add_flag("--trace", Globals().trace, "print the console trace on stdout");
    app.add_flag("--log", Globals().log, "write the program log files");
    app.footer(std::string(kMainFooter));
    Action action;
    RegisterListCommands(app, action);
    RegisterRipCommands(app, action);
    RegisterJobCommands(app, action);
    RegisterPreviewCommands(app, action);
    RegisterScanCommand(app, action);
    RegisterBreaksCommand(app, action);
    RegisterRecoverCommand(app, action);
    FinishCommands(app);
    if (ReportUnknownCommand(app, argc, argv)) return kExitUsage;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }
    quorin::SetConsoleTrace(Globals().trace);
    return action ? action() : kExitUsage;
}
