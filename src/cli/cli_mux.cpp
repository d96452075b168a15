#include "cli/cli_mux.h"

#include "rip/mux.h"

namespace quorin::cli {

void AddMuxOptions(CLI::App& cmd, MuxOptions& options) {
    CLI::Option* mux =
        cmd.add_option("--mux", options.format,
                       "write one playable file: mkv (Matroska), mpg (MPEG program stream) or "
                       "ts (MPEG transport stream); raw rips and backups are never muxed")
            ->type_name("mkv|mpg|ts")
            ->check(CLI::Validator(
                [](const std::string& name) {
                    return MuxFormatFromName(name)
                               ? std::string()
                               : "unknown output format '" + name + "' (mkv, mpg or ts)";
                },
                ""));
    cmd.add_flag("--keep-streams", options.keepStreams,
                 "keep the elementary streams and the delay log beside the muxed file")
        ->needs(mux);
}

MuxChoice MuxChoiceOf(const MuxOptions& options) {
    return {MuxFormatFromName(options.format).value_or(MuxFormat::kNone), options.keepStreams};
}

} // namespace quorin::cli
