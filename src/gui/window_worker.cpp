#include "gui/window_worker.h"

namespace quorin {

WindowWorker::~WindowWorker() {
    if (!thread_) return;
    Cancel();
    thread_->wait();
}

void WindowWorker::Start(std::function<void()> task) {
    flags_.cancel.store(false);
    flags_.idle.store(false);
    thread_.reset(QThread::create([this, task = std::move(task)] {
        task();
        flags_.idle.store(true);
    }));
    thread_->start();
}

bool WindowWorker::Finish() {
    if (thread_) thread_->wait(); // it has set the idle flag and is returning
    thread_.reset();
    return flags_.cancel.exchange(false);
}

} // namespace quorin
