// Decoded pictures and the libavcodec MPEG-1/2 decoder and encoder behind a plain interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::media {

using LogFn = std::function<void(std::string_view)>;

// One decoded frame, planes packed without padding.
struct Picture {
    int width = 0;
    int height = 0;
    int chromaWidth = 0;
    int chromaHeight = 0;
    std::vector<std::uint8_t> y, u, v;
    bool interlaced = false;
    bool topFieldFirst = true;
    std::int64_t time = 0; // what the packet it came from carried
};

class PictureDecoder {
public:
    virtual ~PictureDecoder() = default;
    // One frame's bytes (headers before it included) and its display time.
    virtual bool Send(std::span<const std::uint8_t> bytes, std::int64_t time) = 0;
    // Ends the stream: the held frames come out.
    virtual bool Flush() = 0;
    // The frames decoded so far, in display order.
    virtual std::vector<Picture> Take() = 0;
};
std::unique_ptr<PictureDecoder> MakePictureDecoder(bool mpeg2, const LogFn& log);

struct EncoderSettings {
    bool mpeg2 = true;
    int width = 0;
    int height = 0;
    int sarNum = 1, sarDen = 1;
    int rateNum = 25, rateDen = 1;
    bool interlaced = false;
    int chromaFormat = 1;
    int profile = -1; // MPEG-2 profile and level codes; -1: the encoder's choice
    int level = -1;
    std::int64_t bitRate = 0;
    std::int64_t vbvBits = 0;
};

// Encodes the pictures as one closed group of intra and forward-predicted pictures, in the order
// given; the elementary stream bytes, headers included. Nothing when the encoder failed.
std::optional<std::vector<std::uint8_t>> EncodePictures(const EncoderSettings& settings,
                                                        const std::vector<Picture>& pictures,
                                                        const LogFn& log);

// Every picture of an elementary stream file, decoded, in display order; each one's time is its
// display index counted from the first intra picture (the picture the stream's first time stamp
// names), so earlier pictures have negative times. error says why when there are none.
struct StreamPictures {
    std::vector<Picture> pictures;
    std::int64_t frameTicks = 3600; // 90 kHz ticks per frame
    std::string error;
};
StreamPictures DecodeStreamPictures(const std::string& path, const LogFn& log);

// Peak signal-to-noise ratio over all three planes, in dB (99 for identical pictures).
double Psnr(const Picture& a, const Picture& b);

} // namespace quorin::media
