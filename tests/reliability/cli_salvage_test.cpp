// quorin-cli rip and scan over bad sectors, run in this process so that the volume's injected
// faults reach them: the salvage policy ends with 6 and names every loss, the stop policy with 2.
#include "reliability_support.h"

#include "cli/cli_common.h"
#include "cli/cmd_scan.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace quorin::reliability {
namespace {

struct CliRun {
    int status = -1;
    std::string out;
};

// Parses and runs one command line as quorin-cli's main does, with stdout in a file.
CliRun RunCommand(const std::string& args) {
    CLI::App app;
    cli::Action action;
    cli::RegisterRipCommands(app, action);
    cli::RegisterScanCommand(app, action);
    cli::RegisterBreaksCommand(app, action);
    CliRun run;
    try {
        app.parse(args, false);
    } catch (const CLI::ParseError& e) {
        run.status = e.get_exit_code() == 0 ? cli::kExitOk : cli::kExitUsage;
        return run;
    }
    const auto cwd = std::filesystem::current_path();
    const std::string file = (cwd / "stdout.txt").string();
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDOUT_FILENO);
    run.status = action ? action() : -1;
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(fd);
    ::close(saved);
    std::filesystem::current_path(cwd); // rip enters its output folder
    run.out = ReadText(file);
    return run;
}

std::size_t DamageLines(const std::string& out) {
    std::istringstream lines(out);
    std::size_t n = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("lost\t") || line.starts_with("bad\t")) ++n;
    return n;
}

TEST(CliSalvage, BadSectorsEndWithSixAndLostLinesOrWithTwoUnderTheStopPolicy) {
    ScratchDir dir;
    ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1); // no settings file
    TestDisk disk(OneClip(FaultClip()), "cli-salvage");
    const std::int64_t video = StreamByte(disk.Result(0).video, 0.5) / 512 * 512;
    const std::int64_t audio = StreamByte(disk.Result(0).audio, 0.25) / 512 * 512;
    VolumeFaults faults;
    faults.failingReads = {{video, video + 512}, {audio, audio + 512}};
    FaultScope scope(disk.Image(), faults);
    const std::string common = "--firmware190 --disk " + disk.Image() + " --on-read-error ";
    const struct {
        std::string args;
        int status;
        std::vector<std::string> lines; // printed, in order
    } cases[] = {
        {"rip --clip 1 --out salvage " + common + "salvage",
         6,
         {Format("lost\taudio\t%lld\t512\t", static_cast<long long>(audio)),
          Format("lost\tvideo\t%lld\t512\t", static_cast<long long>(video))}},
        {"rip --clip 1 --out stop " + common + "stop", 2, {}},
        {"rip --clip 1 --out other " + common + "retry", 1, {}},
        {"breaks --clip 1 " + common + "salvage",
         6,
         {Format("lost\taudio\t%lld\t512\t", static_cast<long long>(audio)),
          Format("lost\tvideo\t%lld\t512\t", static_cast<long long>(video))}},
        {"breaks --clip 1 " + common + "stop", 2, {}},
        {"scan " + common + "salvage",
         6,
         {Format("bad\t%lld\t512\t1\tvideo\t", static_cast<long long>(video)),
          Format("bad\t%lld\t512\t1\taudio\t", static_cast<long long>(audio))}},
        {"scan " + common + "stop",
         2,
         {Format("bad\t%lld\t512\t1\tvideo\t", static_cast<long long>(video))}},
    };
    for (const auto& c : cases) {
        const CliRun run = RunCommand(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.out;
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            at = run.out.find(line, at);
            EXPECT_NE(at, std::string::npos) << c.args << ": " << line << "\n" << run.out;
        }
        EXPECT_EQ(DamageLines(run.out), c.lines.size()) << c.args << "\n" << run.out;
    }
    SetSalvageOption(true);
    ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace quorin::reliability
