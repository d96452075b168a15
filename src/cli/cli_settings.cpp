// The settings file as quorin-cli sees it: read once, never written.
#include "cli/cli_common.h"

#include <CLI/CLI.hpp>
#include <charconv>

namespace quorin::cli {

const Settings& CliSettings() {
    static const Settings settings = [] {
        Settings s;
        LoadSettings(s); // a missing or unreadable file gives the defaults
        for (const std::string& problem : s.problems)
            PrintError(problem);
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

CLI::Option* AddClipOption(CLI::App& cmd, int& clip, const std::string& help) {
    auto fromOne = [](std::string& text) -> std::string {
        int n = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (error == std::errc() && end == text.data() + text.size() && n < 1)
            return "clips are numbered from 1, as 'list' shows them";
        return {};
    };
    return cmd.add_option("--clip", clip, help)->check(CLI::Validator(fromOne, ""));
}

} // namespace quorin::cli
