// The settings file as quorin-cli sees it: read once, never written.
#include "cli/cli_common.h"

#include <CLI/CLI.hpp>

namespace quorin::cli {

const Settings& CliSettings() {
    static const Settings settings = [] {
        Settings s;
        LoadSettings(s); // a missing or unreadable file gives the defaults
        return s;
    }();
    return settings;
}

void AddFirmwareOption(CLI::App& cmd, bool& firmware190) {
    firmware190 = CliSettings().firmware190;
    cmd.add_flag("--firmware190,!--no-firmware190", firmware190,
                 "read clip records in the layout of receiver firmware 190 and later (default: "
                 "the settings file's Firmware190)");
}

} // namespace quorin::cli
