// quorin-cli scan: the disk check.
#pragma once

#include "cli/cli_common.h"

namespace quorin::cli {

// A rip or scan that finished but found parts of the disk unreadable.
inline constexpr int kExitLost = 6;

void RegisterScanCommand(CLI::App& app, Action& action);

} // namespace quorin::cli
