#include "platform/clock.h"

#include <chrono>

namespace quorin {

std::int64_t TickCountMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace quorin
