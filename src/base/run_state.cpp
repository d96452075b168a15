#include "base/run_state.h"

namespace quorin {

void RipProgress::SetStatus(std::string_view text) {
    if (text.size() > kStatusMax) text = text.substr(0, kStatusMax);
    std::lock_guard lock(statusMutex_);
    statusText_.assign(text);
}

std::string RipProgress::Status() const {
    std::lock_guard lock(statusMutex_);
    return statusText_;
}

void RipProgress::ResetProgress() {
    position = 0;
    rangeLow = 0;
    rangeHigh = 0;
    startPts = 0;
    endPts = 0;
    firstPts = 0;
    active = false;
    rangeChanged = false;
    muxing = false;
    megabytes = 0;
    seconds = 0;
    ClearStatus();
}

} // namespace quorin
