// "Find Breaks": the advert break search of one clip (as quorin-cli breaks runs it) as a task
// for the window's worker, its progress, and the edit decision list players skip breaks with.
// The header names no type of the search, whose field "signals" Qt's keyword would spoil.
#pragma once

#include "breaks/break_confidence.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace quorin {

class CPVRFile;

struct FoundBreak {
    double from = 0; // seconds on the video's clock
    double to = 0;
    double confidence = 0; // 0 to 1
};

struct BreakResult {
    enum class End { kDone, kNothingToSearch, kCancelled, kReadError };
    End end = End::kNothingToSearch;
    std::string message; // why it did not end as done
    std::vector<FoundBreak> breaks;
    bool lost = false; // parts of the clip could not be read
};

class BreakRun {
public:
    // The task: one pass over the clip, which is only read.
    std::function<void()> Task(const CPVRFile& clip, bool stopOnReadError,
                               const std::atomic<bool>& cancel);
    int Percent() const { return permille_.load() / 10; }
    // Once the task has ended.
    BreakResult TakeResult() { return std::move(result_); }

private:
    std::atomic<int> permille_{0};
    BreakResult result_;
};

// One "FROM TO 3" line per break, in seconds.
std::string EdlText(const std::vector<FoundBreak>& found);

// Writes the list as FOLDER/BASE.edl, or BASE_1.edl ... when that name is taken (an existing file
// is never replaced). The path written, or empty with the reason in *error.
std::string SaveEdl(const std::string& folder, const std::string& base,
                    const std::vector<FoundBreak>& found, std::string* error);

} // namespace quorin
