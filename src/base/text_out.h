// Number-base aware text output onto a sink (program log, console trace, a string).
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quorin {

// Stream manipulators understood by TextOut.
enum class TextManip { Hex, Dec, EndLine };
inline constexpr TextManip hex = TextManip::Hex;
inline constexpr TextManip dec = TextManip::Dec;
inline constexpr TextManip endl = TextManip::EndLine;

// Formats integers in the current base (decimal or upper-case-free lower hex like a C++ stream)
// and doubles like a default C++ stream ("%g"), always in the C locale.
class TextOut {
public:
    using Sink = std::function<void(std::string_view)>;
    explicit TextOut(Sink sink) : sink_(std::move(sink)) {}

    TextOut& operator<<(std::string_view text);
    TextOut& operator<<(const char* text) { return *this << std::string_view(text); }
    TextOut& operator<<(const std::string& text) { return *this << std::string_view(text); }
    TextOut& operator<<(char c) { return *this << std::string_view(&c, 1); }
    TextOut& operator<<(double value);
    TextOut& operator<<(TextManip manip);
    template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>) TextOut& operator<<(T value) {
        if constexpr (std::is_signed_v<T>)
            return WriteSigned(static_cast<std::int64_t>(value));
        else
            return WriteUnsigned(static_cast<std::uint64_t>(value));
    }
    TextOut& operator<<(bool value) { return WriteSigned(value ? 1 : 0); }

    bool IsHex() const { return hex_; }

private:
    TextOut& WriteSigned(std::int64_t value);
    TextOut& WriteUnsigned(std::uint64_t value);

    Sink sink_;
    bool hex_ = false;
};

// A TextOut that collects into a string (for dumps shown or compared elsewhere).
class StringOut : public TextOut {
public:
    StringOut() : TextOut([this](std::string_view t) { text_.append(t); }) {}
    StringOut(const StringOut&) = delete;
    StringOut& operator=(const StringOut&) = delete;
    const std::string& str() const { return text_; }

private:
    std::string text_;
};

} // namespace quorin
