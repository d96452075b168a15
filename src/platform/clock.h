// Time sources: a monotonic millisecond tick counter for stage timing.
#pragma once

#include <cstdint>

namespace quorin {

std::int64_t TickCountMs();

} // namespace quorin
