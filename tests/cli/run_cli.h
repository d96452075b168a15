// Runs quorin-cli as a user would and captures what it prints.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace quorin::test {

struct CliResult {
    int status = -1;
    std::string out;
};

// Runs "PREFIX quorin-cli ARGS" through the shell (stderr goes to errFile when given).
inline CliResult RunCli(const std::string& args, const std::string& errFile = "/dev/null",
                        const std::string& prefix = "") {
    std::string cmd = prefix + std::string(QUORIN_CLI) + " " + args + " 2>" + errFile;
    CliResult r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::array<char, 4096> buf;
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
            text.append(buf.data(), n);
        std::fclose(f);
    }
    return text;
}

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace quorin::test
