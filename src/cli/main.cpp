// quorin-cli: the command-line front end over the Quorin engine.
#include "app/state/program_log.h"
#include "cli/cli_common.h"

#include <CLI/CLI.hpp>
#include <cstdio>

int main(int argc, char** argv) {
    using namespace quorin::cli;
    CLI::App app{"Quorin: lists, extracts and previews the recordings of a satellite "
                 "receiver's hard-disk recorder disk.",
                 "quorin-cli"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("Quorin Version v1.0.0 beta\n"
                                                  "Clipforge Version:v1.0.0"));
    app.add_flag("--trace", Globals().trace, "print the console trace on stdout");
    app.add_flag("--log", Globals().log, "write the program log files");
    Action action;
    RegisterListCommands(app, action);
    RegisterRipCommands(app, action);
    RegisterJobCommands(app, action);
    RegisterPreviewCommands(app, action);
    for (CLI::App* sub : app.get_subcommands({})) sub->fallthrough();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }
    quorin::SetConsoleTrace(Globals().trace);
    return action ? action() : kExitUsage;
}
