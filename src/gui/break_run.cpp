#include "gui/break_run.h"

#include "base/format.h"
#include "breaks/break_search.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quorin {

namespace {

BreakResult ResultOf(const BreakSearchReport& report) {
    BreakResult result;
    switch (report.outcome) {
    case BreakSearchOutcome::kDone:
        result.end = BreakResult::End::kDone;
        break;
    case BreakSearchOutcome::kNothingFound:
        result.end = BreakResult::End::kNothingToSearch;
        break;
    case BreakSearchOutcome::kCancelled:
        result.end = BreakResult::End::kCancelled;
        break;
    case BreakSearchOutcome::kReadError:
        result.end = BreakResult::End::kReadError;
        break;
    }
    result.message = report.message;
    for (const breaks::Break& b : report.breaks)
        result.breaks.push_back({b.from, b.to, b.confidence});
    result.lost = !report.lost.empty();
    return result;
}

} // namespace

std::function<void()> BreakRun::Task(const CPVRFile& clip, bool stopOnReadError,
                                     const std::atomic<bool>& cancel) {
    permille_.store(0);
    result_ = {};
    return [this, &clip, stopOnReadError, &cancel] {
        BreakSearchOptions options;
        options.stopOnReadError = stopOnReadError;
        result_ = ResultOf(FindClipBreaks(
            clip, options,
            [this](double fraction, std::int64_t) {
                permille_.store(static_cast<int>(fraction * 1000));
            },
            cancel));
    };
}

std::string EdlText(const std::vector<FoundBreak>& found) {
    std::string text;
    for (const FoundBreak& b : found)
        text += Format("%.2f %.2f 3\n", b.from, b.to);
    return text;
}

std::string SaveEdl(const std::string& folder, const std::string& base,
                    const std::vector<FoundBreak>& found, std::string* error) {
    const std::string text = EdlText(found);
    for (int n = 0; n < 1000; ++n) {
        const std::string path =
            folder + "/" + base + (n == 0 ? std::string() : Format("_%d", n)) + ".edl";
        // O_EXCL: a name that exists is taken, whoever made it.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        bool ok =
            fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        const int writeError = errno;
        if (fd >= 0) ok = ::close(fd) == 0 && ok;
        if (ok) return path;
        if (fd >= 0) ::unlink(path.c_str()); // no partial list left behind
        *error = "Cannot write " + path + ": " + std::strerror(fd < 0 ? errno : writeError) + ".";
        return {};
    }
    *error = "Every name for the list of breaks in " + folder + " is taken.";
    return {};
}

} // namespace quorin
