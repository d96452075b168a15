// What quorin-cli says about itself and what the package installs agree: every command's help
// names its exit statuses, the man page and the README know every command and option the help
// lists, and the desktop entry and metainfo validate.
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

struct Output {
    int status = -1;
    std::string out;
};

Output Shell(const std::string& command) {
    Output run;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return run;
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), p)) > 0)
        run.out.append(buffer.data(), n);
    const int status = ::pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

Output Cli(const std::string& args) {
    return Shell(std::string(QUORIN_CLI) + " " + args);
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The man page as text: roff's escaped minus signs become plain ones.
std::string ManPage(const char* name) {
    std::string text = ReadText(fs::path(QUORIN_SOURCE_DIR) / "packaging" / "man" / name);
    for (std::size_t at = 0; (at = text.find("\\-", at)) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

// The long options a help text lists ("--disk", "--no-firmware190", ...).
std::set<std::string> Options(const std::string& help) {
    auto optionChar = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    std::set<std::string> options;
    for (std::size_t at = 0; (at = help.find("--", at)) != std::string::npos;) {
        std::size_t end = at + 2;
        if (end < help.size() && optionChar(help[end]))
            while (end < help.size() && (optionChar(help[end]) || help[end] == '-'))
                ++end;
        if (end > at + 2) options.insert(help.substr(at, end - at));
        at = end;
    }
    return options;
}

const char* const kCommands[] = {"list",   "info",   "rip",     "jobs",
                                 "rename", "decode", "preview", "recover"};

TEST(CliHelp, EveryCommandIsListedAndNamesItsExitStatuses) {
    const Output main = Cli("--help");
    EXPECT_EQ(main.status, 0);
    EXPECT_NE(main.out.find("Exit status: 0 done;"), std::string::npos) << main.out;
    for (const char* command : kCommands) {
        EXPECT_NE(main.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
        const Output help = Cli(std::string(command) + " --help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find("Exit status: "), std::string::npos) << command << help.out;
    }
}

TEST(CliHelp, TheManPageKnowsEveryCommandAndOption) {
    const std::string man = ManPage("quorin-cli.1");
    for (const std::string& option : Options(Cli("--help").out))
        EXPECT_NE(man.find(option), std::string::npos) << option;
    for (const char* command : kCommands) {
        EXPECT_NE(man.find(std::string(".SS ") + command + "\n"), std::string::npos) << command;
        for (const std::string& option : Options(Cli(std::string(command) + " --help").out))
            EXPECT_NE(man.find(option), std::string::npos) << command << " " << option;
    }
}

TEST(CliHelp, TheReadmeKnowsEveryCommand) {
    const std::string readme = ReadText(fs::path(QUORIN_SOURCE_DIR) / "README.md");
    for (const char* command : kCommands)
        EXPECT_NE(readme.find(std::string("quorin-cli ") + command + " "), std::string::npos)
            << command;
    EXPECT_NE(readme.find("--udisks"), std::string::npos);
}

TEST(CliHelp, VersionPrintsTheTwoVersionTextsOfTheAboutBox) {
    const Output run = Cli("--version");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Quorin Version v1.0.0 beta\nClipforge Version:v1.0.0\n");
}

bool Have(const char* tool) {
    return Shell(std::string("command -v ") + tool).status == 0;
}

TEST(DesktopFiles, TheDesktopEntryValidates) {
    if (!Have("desktop-file-validate")) GTEST_SKIP() << "desktop-file-utils is not installed";
    const fs::path file = fs::path(QUORIN_SOURCE_DIR) / "packaging" / "org.quorin.Quorin.desktop";
    const Output run = Shell("desktop-file-validate " + file.string());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "");
}

TEST(DesktopFiles, TheMetainfoValidates) {
    if (!Have("appstreamcli")) GTEST_SKIP() << "appstream is not installed";
    const fs::path file =
        fs::path(QUORIN_SOURCE_DIR) / "packaging" / "org.quorin.Quorin.metainfo.xml";
    const Output run = Shell("appstreamcli validate --no-net " + file.string());
    EXPECT_EQ(run.status, 0) << run.out;
}

} // namespace
