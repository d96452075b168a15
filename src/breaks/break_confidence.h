// The least confidence of a break that a rip dropping the breaks drops, by default.
#pragma once

namespace quorin {

inline constexpr double kDropBreakConfidence = 0.8;

} // namespace quorin
