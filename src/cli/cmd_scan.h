// quorin-cli scan: the disk check.
#pragma once

#include "cli/cli_common.h"

namespace quorin::cli {

void RegisterScanCommand(CLI::App& app, Action& action);

} // namespace quorin::cli
