// Runs quorin-cli as a user would and captures what it prints.
#pragma once

#include "shell.h"

#include <string>

namespace quorin::test {

using CliResult = ShellRun;

// Runs "PREFIX quorin-cli ARGS" through the shell (stderr goes to errFile).
inline CliResult RunCli(const std::string& args, const std::string& errFile = "/dev/null",
                        const std::string& prefix = "") {
    return RunShell(prefix + std::string(QUORIN_CLI) + " " + args + " 2>" + errFile);
}

} // namespace quorin::test
