// quorin-cli's commands run in this process, so that the faults injected into the volume reach
// them.
#pragma once

#include "reliability_support.h"

#include "cli/cli_common.h"
#include "cli/cmd_scan.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorin::reliability {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err; // of a forked run only
};

// Parses and runs one command line as quorin-cli's main does, with stdout in a file. The
// commands keep their options from one parse to the next: a command line that relies on
// defaults runs in a child process (forked, the faults set so far inherited).
inline CliRun RunCommand(const std::string& args, bool forked = false) {
    if (forked) {
        const std::string file = (std::filesystem::current_path() / "stdout.txt").string();
        const std::string errors = (std::filesystem::current_path() / "stderr.txt").string();
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!std::freopen(errors.c_str(), "wb", stderr)) ::_exit(127);
            const CliRun child = RunCommand(args, false);
            std::FILE* f = std::fopen(file.c_str(), "wb");
            if (f) std::fwrite(child.out.data(), 1, child.out.size(), f);
            if (f) std::fclose(f);
            std::fflush(nullptr);
            ::_exit(child.status);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(file), ReadText(errors)};
    }
    CLI::App app;
    cli::Action action;
    cli::RegisterListCommands(app, action);
    cli::RegisterRipCommands(app, action);
    cli::RegisterPreviewCommands(app, action);
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

} // namespace quorin::reliability
