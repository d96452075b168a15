#include "base/format.h"

#include <clocale>
#include <cstdio>
#include <locale.h>
#include <vector>

namespace quorin {
namespace {

locale_t TheCLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// Switches this thread to the C locale for the lifetime of the guard.
class ClassicLocaleScope {
public:
    ClassicLocaleScope() : previous_(uselocale(TheCLocale())) {}
    ~ClassicLocaleScope() { uselocale(previous_); }
    ClassicLocaleScope(const ClassicLocaleScope&) = delete;
    ClassicLocaleScope& operator=(const ClassicLocaleScope&) = delete;

private:
    locale_t previous_;
};

} // namespace

std::string FormatV(const char* fmt, va_list args) {
    ClassicLocaleScope guard;
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, args);
    return std::string(big.data(), n);
}

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = FormatV(fmt, args);
    va_end(args);
    return s;
}

std::string FormatHundredths(std::int64_t hundredths) {
    const char* sign = hundredths < 0 ? "-" : "";
    const long long v = hundredths < 0 ? -static_cast<long long>(hundredths) : hundredths;
    return Format("%s%lld:%02lld:%02lld.%02lld", sign, v / 360000, v / 6000 % 60, v / 100 % 60,
                  v % 100);
}

} // namespace quorin
