#include "gui/window_rip.h"

namespace quorin {

bool WindowRip::Prepare(CPVRFile& clip, const RipRequest& request, const std::atomic<bool>& cancel,
                        RipRunReport& report) {
    auto runner = std::make_unique<RipRunner>(clip, audio_, video_, &cancel);
    if (!runner->Prepare(request, report)) return false;
    runner_ = std::move(runner);
    report_ = report;
    return true;
}

void WindowRip::Execute() {
    runner_->Execute(report_);
}

RipRunReport WindowRip::Finish() {
    runner_.reset();
    return std::move(report_);
}

} // namespace quorin
