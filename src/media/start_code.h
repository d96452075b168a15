// Finding MPEG start codes (00 00 01) in memory: plain code without FFmpeg, shared by the video
// stage of a rip and the container writer.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorin::media {

// The position of the 01 of the first 00 00 01 whose 01 lies in [from, end), or end; reads bytes
// from - 2 to end - 1 only (from >= 2). Video data holds a 01 byte every few dozen bytes but a
// start code only every few hundred, so all three bytes are compared sixteen positions at a time
// (a test for the 01 alone would branch at random).
inline std::size_t NextStartCode(const std::uint8_t* d, std::size_t from, std::size_t end) {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const auto equal = [d](std::size_t at, __m128i value) {
        return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at)), value);
    };
    for (; i + 16 <= end; i += 16) {
        const __m128i starts =
            _mm_and_si128(_mm_and_si128(equal(i - 2, zero), equal(i - 1, zero)), equal(i, one));
        if (const int hits = _mm_movemask_epi8(starts); hits != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
#endif
    for (; i < end; ++i)
        if (d[i] == 1 && d[i - 1] == 0 && d[i - 2] == 0) return i;
    return end;
}

} // namespace quorin::media
