// Small byte helpers shared by the factory's modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "testdisk.h"

namespace quorin::testdisk::detail {

using Status = Expected<std::monostate>;
inline Status Ok() {
    return std::monostate{};
}

inline void PutLe16(std::span<std::uint8_t> out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void PutLe32(std::span<std::uint8_t> out, std::size_t at, std::uint32_t value) {
    PutLe16(out, at, static_cast<std::uint16_t>(value));
    PutLe16(out, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// Start code 00 00 01 xx at `at`?
inline bool IsStartCode(std::span<const std::uint8_t> data, std::size_t at) {
    return at + 3 < data.size() && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
}

// UTF-8 to ISO-8859-1, the receiver's text encoding; anything outside it
// (and malformed UTF-8) becomes '?', so one character is one byte.
std::string ToLatin1(std::string_view utf8);

} // namespace quorin::testdisk::detail
