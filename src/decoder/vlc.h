// Compile-time construction of two-level lookup tables for prefix codes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorin::decoder::vlc {

// One code as written in the tables of the standards: '0' and '1' characters (spaces allowed).
// With `sign` the code is followed by a sign bit (1 = negative) that negates `b`.
struct Code {
    std::string_view bits;
    int16_t a;
    int16_t b;
    bool sign = false;
};

// A table slot: a decoded value with its total code length, or (sub > 0) a link to a second-level
// table of `sub` bits starting at index `a`. len == 0 and sub == 0 marks an invalid code.
struct Entry {
    int16_t a = 0;
    int16_t b = 0;
    uint8_t len = 0;
    uint8_t sub = 0;
};

constexpr int BitCount(std::string_view s) {
    int n = 0;
    for (char c : s)
        n += (c == '0' || c == '1') ? 1 : 0;
    return n;
}

constexpr uint32_t BitValue(std::string_view s) {
    uint32_t v = 0;
    for (char c : s) {
        if (c == '0' || c == '1') v = (v << 1) | static_cast<uint32_t>(c - '0');
    }
    return v;
}

template <size_t N> constexpr int MaxLength(const std::array<Code, N>& codes) {
    int m = 0;
    for (const Code& c : codes) {
        int l = BitCount(c.bits) + (c.sign ? 1 : 0);
        m = l > m ? l : m;
    }
    return m;
}

// Longest code (with sign) under each first-level prefix of `primary` bits.
template <size_t N>
constexpr void LongestPerPrefix(const std::array<Code, N>& codes, int primary, int* longest) {
    for (const Code& c : codes) {
        int len = BitCount(c.bits) + (c.sign ? 1 : 0);
        if (len <= primary) continue;
        uint32_t value = BitValue(c.bits) << (c.sign ? 1 : 0);
        uint32_t prefix = value >> (len - primary);
        if (len > longest[prefix]) longest[prefix] = len;
    }
}

template <size_t N> constexpr size_t TableSize(const std::array<Code, N>& codes, int primary) {
    int longest[1 << 12] = {};
    LongestPerPrefix(codes, primary, longest);
    size_t size = size_t{1} << primary;
    for (int p = 0; p < (1 << primary); ++p) {
        if (longest[p] > 0) size += size_t{1} << (longest[p] - primary);
    }
    return size;
}

template <size_t Size, size_t N>
constexpr std::array<Entry, Size> BuildTable(const std::array<Code, N>& codes, int primary) {
    std::array<Entry, Size> t{};
    int longest[1 << 12] = {};
    LongestPerPrefix(codes, primary, longest);
    size_t next = size_t{1} << primary;
    for (int p = 0; p < (1 << primary); ++p) {
        if (longest[p] == 0) continue;
        t[static_cast<size_t>(p)].a = static_cast<int16_t>(next);
        t[static_cast<size_t>(p)].sub = static_cast<uint8_t>(longest[p] - primary);
        next += size_t{1} << (longest[p] - primary);
    }
    for (const Code& c : codes) {
        for (int s = 0; s < (c.sign ? 2 : 1); ++s) {
            int len = BitCount(c.bits) + (c.sign ? 1 : 0);
            uint32_t value =
                c.sign ? (BitValue(c.bits) << 1) | static_cast<uint32_t>(s) : BitValue(c.bits);
            Entry e{c.a, static_cast<int16_t>(s ? -c.b : c.b), static_cast<uint8_t>(len), 0};
            if (len <= primary) {
                uint32_t first = value << (primary - len);
                for (uint32_t i = 0; i < (1u << (primary - len)); ++i)
                    t[first + i] = e;
            } else {
                const Entry& link = t[value >> (len - primary)];
                int rest = len - primary;
                uint32_t low = value & ((1u << rest) - 1);
                uint32_t first = static_cast<uint32_t>(link.a) + (low << (link.sub - rest));
                for (uint32_t i = 0; i < (1u << (link.sub - rest)); ++i)
                    t[first + i] = e;
            }
        }
    }
    return t;
}

// A finished table: `bits` is the length of the peek the lookup is given.
template <size_t Size> struct Table {
    std::array<Entry, Size> entries;
    int primary;
    int bits;

    // `peek` holds the next `bits` bits of the stream, most significant first.
    constexpr const Entry& Lookup(uint32_t peek) const {
        const Entry* e = &entries[peek >> (bits - primary)];
        if (e->sub) {
            uint32_t low = (peek >> (bits - primary - e->sub)) & ((1u << e->sub) - 1);
            e = &entries[static_cast<size_t>(e->a) + low];
        }
        return *e;
    }
};

// Builds the table of a constexpr code array with a first level of `Primary` bits.
template <const auto& Codes, int Primary> constexpr auto MakeTable() {
    constexpr size_t kSize = TableSize(Codes, Primary);
    return Table<kSize>{BuildTable<kSize>(Codes, Primary), Primary, MaxLength(Codes)};
}

} // namespace quorin::decoder::vlc
