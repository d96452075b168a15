#include "base/text_out.h"

#include "base/format.h"

#include <charconv>

namespace quorin {

TextOut& TextOut::operator<<(std::string_view text) {
    if (!text.empty()) sink_(text);
    return *this;
}

TextOut& TextOut::operator<<(double value) {
    return *this << Format("%g", value);
}

TextOut& TextOut::operator<<(TextManip manip) {
    switch (manip) {
    case TextManip::Hex:
        hex_ = true;
        break;
    case TextManip::Dec:
        hex_ = false;
        break;
    case TextManip::EndLine:
        sink_("\n");
        break;
    }
    return *this;
}

TextOut& TextOut::WriteSigned(std::int64_t value) {
    // Like a C++ stream: hex output shows the two's complement bit pattern.
    if (hex_) return WriteUnsigned(static_cast<std::uint64_t>(value));
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return *this << std::string_view(buf, res.ptr - buf);
}

TextOut& TextOut::WriteUnsigned(std::uint64_t value) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, value, hex_ ? 16 : 10);
    return *this << std::string_view(buf, res.ptr - buf);
}

} // namespace quorin
