// Signals of elementary streams for finding advert breaks: per picture the luma statistics and
// the corners of a small picture, per audio frame the sound level.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace quorin::media {

using LogSink = std::function<void(std::string_view)>;

inline constexpr std::int64_t kNoTime = INT64_MIN;

// One decoded picture, in display order.
struct PictureSignals {
    std::int64_t pts = kNoTime; // the time stamp fed with the bytes of the picture
    float meanLuma = 0;         // 0-255
    float lumaSpread = 0;       // standard deviation of the luma
    float change = 0;           // mean absolute luma difference to the previous picture
    // The luma of the four corners of the reduced picture (each cornerWidth x cornerHeight,
    // row by row: top left, top right, bottom left, bottom right), for the logo; filled only
    // when the analyser was asked for it for this picture.
    std::vector<std::uint8_t> corners;
    int cornerWidth = 0;
    int cornerHeight = 0;
};

// Decodes MPEG-1/2 video at a reduced size. Feed the payload of each packet with the packet's
// time stamp (kNoTime when it has none); take the pictures as they come out.
class PictureAnalyser {
public:
    virtual ~PictureAnalyser() = default;
    virtual void Feed(std::span<const std::uint8_t> bytes, std::int64_t pts) = 0;
    // The end of the stream: the pictures still held come out.
    virtual void Flush() = 0;
    // After a gap in the stream (damage): the decoder starts again at the next sequence.
    virtual void Reset() = 0;
    // Whether the corners of every n-th picture are kept (0: never).
    virtual void KeepCornersEvery(int n) = 0;
    virtual std::vector<PictureSignals> Take() = 0;
};

// size divisor 2^reduction (0-3); null when the decoder cannot be opened (the log says why).
std::unique_ptr<PictureAnalyser> MakePictureAnalyser(int reduction, const LogSink& log);

struct AudioLevel {
    std::int64_t pts = kNoTime; // start of the frame (90 kHz)
    std::int64_t duration = 0;  // 90 kHz ticks
    float rmsDb = -120;         // RMS of all channels in dB below full scale
};

enum class AudioCodec { kMpeg, kAc3 };

class AudioAnalyser {
public:
    virtual ~AudioAnalyser() = default;
    virtual void Feed(std::span<const std::uint8_t> bytes, std::int64_t pts) = 0;
    virtual void Flush() = 0;
    virtual void Reset() = 0;
    virtual std::vector<AudioLevel> Take() = 0;
};

std::unique_ptr<AudioAnalyser> MakeAudioAnalyser(AudioCodec codec, const LogSink& log);

} // namespace quorin::media
