// The window's one worker thread: a rip, a disk check or any other long task runs on it while the
// window polls its flags. Whatever the task uses stays untouched by the window until it has ended.
#pragma once

#include "base/run_state.h"

#include <QThread>
#include <functional>
#include <memory>

namespace quorin {

class WindowWorker {
public:
    WindowWorker() = default;
    // Closing the program mid-task: cancels it and waits, so what it uses outlives it.
    ~WindowWorker();
    WindowWorker(const WindowWorker&) = delete;
    WindowWorker& operator=(const WindowWorker&) = delete;

    // Runs the task on a new thread (the cancel flag cleared first). One task at a time.
    void Start(std::function<void()> task);
    // A task was started and its end not yet taken with Finish.
    bool Busy() const { return thread_ != nullptr; }
    // The task has returned (or none runs).
    bool Ended() const { return flags_.idle.load(); }
    void Cancel() { flags_.cancel.store(true); }
    bool CancelAsked() const { return flags_.cancel.load(); }
    // What the task polls to stop early.
    const std::atomic<bool>& CancelFlag() const { return flags_.cancel; }
    // Waits for the thread that has ended its task and lets it go; true when it was cancelled.
    bool Finish();

private:
    RunFlags flags_;
    std::unique_ptr<QThread> thread_;
};

} // namespace quorin
