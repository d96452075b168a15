#include "rip/audio_frames.h"

#include <array>
#include <cstdio>
#include <memory>

namespace quorin {
namespace {

FrameHeader Mpeg(const std::uint8_t* h) {
    const int version = (h[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int layer = 4 - ((h[1] >> 1) & 3);
    const int rateIndex = h[2] >> 4;
    const int srIndex = (h[2] >> 2) & 3;
    const int padding = (h[2] >> 1) & 1;
    if (version == 1 || layer == 4 || rateIndex == 0 || rateIndex == 15 || srIndex == 3) return {};
    static constexpr int kRates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr int kSampleRates[3] = {44'100, 48'000, 32'000};
    const bool lsf = version != 3;
    const int sampleRate = kSampleRates[srIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const int bitRate = kRates[lsf ? 1 : 0][layer - 1][rateIndex] * 1000;
    int samples = 1152;
    int bytes = 0;
    if (layer == 1) {
        samples = 384;
        bytes = (12 * bitRate / sampleRate + padding) * 4;
    } else {
        if (layer == 3 && lsf) samples = 576;
        bytes = samples / 8 * bitRate / sampleRate + padding;
    }
    return {bytes, std::int64_t{samples} * 90'000 / sampleRate};
}

FrameHeader Ac3(const std::uint8_t* h) {
    const int fscod = h[4] >> 6;
    const int code = h[4] & 0x3F;
    if (fscod == 3 || code >= 38) return {};
    static constexpr int kRates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                       192, 224, 256, 320, 384, 448, 512, 576, 640};
    const int rate = kRates[code / 2];
    int words = 0;
    if (fscod == 0) words = rate * 2;
    if (fscod == 1) words = rate * 1000 * 1536 / 44'100 / 16 + (code & 1);
    if (fscod == 2) words = rate * 3;
    static constexpr int kSampleRates[3] = {48'000, 44'100, 32'000};
    return {words * 2, 1536LL * 90'000 / kSampleRates[fscod]};
}

} // namespace

FrameHeader ParseAudioHeader(const std::uint8_t* h) {
    if (h[0] == 0x0B && h[1] == 0x77) return Ac3(h);
    if (h[0] == 0xFF && (h[1] & 0xE0) == 0xE0) return Mpeg(h);
    return {};
}

AudioFrames ScanAudioFrames(const std::string& path) {
    AudioFrames frames;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) {
        frames.error = "cannot open " + path;
        return frames;
    }
    std::vector<std::uint8_t> data;
    std::array<std::uint8_t, 1 << 16> chunk{};
    std::int64_t base = 0; // file offset of data[0]
    std::size_t at = 0;
    bool eof = false;
    auto fill = [&](std::size_t need) {
        while (!eof && data.size() - at < need) {
            if (at > 0) {
                data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(at));
                base += static_cast<std::int64_t>(at);
                at = 0;
            }
            const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), f.get());
            if (n == 0) eof = true;
            data.insert(data.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        }
        return data.size() - at >= need;
    };
    std::int64_t end = -1;
    while (fill(8)) {
        const FrameHeader h = ParseAudioHeader(data.data() + at);
        bool good = h.bytes > 0;
        // Away from a known frame end a header counts only when another follows it.
        if (good && base + static_cast<std::int64_t>(at) != end &&
            fill(static_cast<std::size_t>(h.bytes) + 8))
            good = ParseAudioHeader(data.data() + at + static_cast<std::size_t>(h.bytes)).bytes > 0;
        if (!good) {
            ++at;
            continue;
        }
        if (!fill(static_cast<std::size_t>(h.bytes))) break; // a cut-off last frame
        if (frames.frameTicks == 0) frames.frameTicks = h.ticks;
        frames.offsets.push_back(base + static_cast<std::int64_t>(at));
        frames.sizes.push_back(h.bytes);
        at += static_cast<std::size_t>(h.bytes);
        end = base + static_cast<std::int64_t>(at);
    }
    if (frames.offsets.empty()) frames.error = "no audio frame in " + path;
    return frames;
}

} // namespace quorin
