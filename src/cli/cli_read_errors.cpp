// What quorin-cli does about unreadable sectors: the read policy option, the loss lines and the
// exit status of a run that lost data.
#include "cli/cli_common.h"

#include "base/run_state.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>

namespace quorin::cli {
namespace {

// 6 means the files were written: it is worse only than a clean run.
int Rank(int code) {
    return code == kExitLost ? 1 : (code == kExitOk ? 0 : code + 1);
}

} // namespace

int ExitCodeOf(const RipRunReport& run) {
    if (!run.outcome) return kExitNothing;
    int code = ExitCodeOf(*run.outcome);
    if (code == kExitOk && !run.stages.lost.empty()) code = kExitLost;
    if (run.renameFailed) code = WorseExit(code, kExitDisk);
    return code;
}

int WorseExit(int a, int b) {
    return Rank(a) >= Rank(b) ? a : b;
}

void PrintLost(const RipReport& report) {
    for (const RipReport::Lost& lost : report.lost)
        std::printf("%s\n", LostLine(lost).c_str());
    std::fflush(stdout);
}

void AddReadErrorOption(CLI::App& cmd, std::string& policy) {
    policy = CliSettings().stopOnReadError ? "stop" : "salvage";
    cmd.add_option("--on-read-error", policy,
                   "salvage: keep every readable sector and go on over unreadable ones (exit 6); "
                   "stop: end at the first unreadable sector (exit 2) (default: the settings "
                   "file's On Read Error, else salvage)")
        ->check(CLI::IsMember({"stop", "salvage"}));
}

ReadPolicy ReadPolicyOf(const std::string& policy) {
    return policy == "stop" ? ReadPolicy::kStop : ReadPolicy::kSalvage;
}

} // namespace quorin::cli
