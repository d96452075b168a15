// The output format options of quorin-cli rip and jobs: --mux and --keep-streams.
#pragma once

#include "rip/rip_driver.h"

#include <CLI/CLI.hpp>
#include <string>

namespace quorin::cli {

struct MuxOptions {
    std::string format; // "mkv", "mpg", "ts"; empty: the elementary streams
    bool keepStreams = false;
};

// Registers both options; an unknown format is a usage error that lists the three.
void AddMuxOptions(CLI::App& cmd, MuxOptions& options);

MuxChoice MuxChoiceOf(const MuxOptions& options);

} // namespace quorin::cli
