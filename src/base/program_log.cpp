#include "base/program_log.h"

#include "base/format.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace quorin {
namespace {

struct LogFile {
    std::mutex mutex;
    std::FILE* file = nullptr;
    std::string name;
    std::string folder;
};

LogFile& TheLog() {
    static LogFile log;
    return log;
}

void WriteToLog(std::string_view text) {
    LogFile& log = TheLog();
    std::lock_guard lock(log.mutex);
    if (log.file) std::fwrite(text.data(), 1, text.size(), log.file);
}

bool g_trace = true;

void WriteToTrace(std::string_view text) {
    if (!g_trace) return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty() && text.back() == '\n') std::fflush(stdout);
}

// Characters that cannot stand in a file name on every system the files may travel to.
std::string SafeFileName(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (std::string_view("?\\*\"<>|/:").find(c) != std::string_view::npos) c = ' ';
    return out;
}

} // namespace

std::string LogFileNameFor(std::string_view activity, bool perActivity) {
    if (!perActivity) return "Quorin.log";
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%d%m%Y_%H%M_", &utc);
    return std::string(stamp) + SafeFileName(activity) + ".log";
}

void SetLogFolder(std::string folder) {
    LogFile& log = TheLog();
    std::lock_guard lock(log.mutex);
    log.folder = std::move(folder);
}

bool OpenLog(std::string_view activity, bool perActivity) {
    CloseLog();
    std::string name = LogFileNameFor(activity, perActivity);
    {
        LogFile& log = TheLog();
        std::lock_guard lock(log.mutex);
        if (!log.folder.empty()) name = log.folder + "/" + name;
    }
    std::FILE* f = std::fopen(name.c_str(), "w");
    {
        LogFile& log = TheLog();
        std::lock_guard lock(log.mutex);
        log.file = f;
        log.name = f ? name : std::string();
    }
    if (!f) return false;
    LogLine(std::string("CLIPFORGE LOG ") + kVersionText);
    return true;
}

void CloseLog() {
    LogFile& log = TheLog();
    if (!IsLogOpen()) return;
    LogLine("CPVRDrive::~CPVRDrive()");
    std::lock_guard lock(log.mutex);
    std::fclose(log.file);
    log.file = nullptr;
}

bool IsLogOpen() {
    LogFile& log = TheLog();
    std::lock_guard lock(log.mutex);
    return log.file != nullptr;
}

std::string LogFileName() {
    LogFile& log = TheLog();
    std::lock_guard lock(log.mutex);
    return log.name;
}

TextOut& Log() {
    // One per thread: a TextOut keeps number formatting state, and rips may run side by side.
    static thread_local TextOut out(WriteToLog);
    return out;
}

void LogLine(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    WriteToLog(text);
    WriteToLog("\n");
}

void LogText(std::string_view text) {
    WriteToLog(text);
}

TextOut& Trace() {
    static thread_local TextOut out(WriteToTrace);
    return out;
}

void SetConsoleTrace(bool on) {
    g_trace = on;
}

bool ConsoleTraceEnabled() {
    return g_trace;
}

} // namespace quorin
