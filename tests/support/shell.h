// Runs a shell command as a user would and captures what it prints.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace quorin::test {

struct ShellRun {
    int status = -1; // exit status; -1 when the command did not exit normally
    std::string out;
    std::string err; // only when asked for
};

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

// Runs `command` through the shell; with captureErr its stderr lands in ShellRun::err, else it
// goes where the command's own redirections send it.
inline ShellRun RunShell(const std::string& command, bool captureErr = false) {
    std::string errName;
    std::string full = command;
    if (captureErr) {
        char name[] = "/tmp/quorin-test-err-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        errName = name;
        full += " 2>" + Quote(errName);
    }
    ShellRun r;
    if (FILE* p = ::popen(full.c_str(), "r")) {
        std::array<char, 4096> buf;
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
            r.out.append(buf.data(), n);
        const int st = ::pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    if (captureErr) {
        r.err = ReadText(errName);
        ::unlink(errName.c_str());
    }
    return r;
}

} // namespace quorin::test
