#include "media/picture_codec.h"
#include "media/video_index.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace quorin::media {

StreamPictures DecodeStreamPictures(const std::string& path, const LogFn& log) {
    StreamPictures result;
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    IndexResult indexed = IndexVideoBytes(data);
    if (!indexed.error.empty()) {
        result.error = indexed.error;
        return result;
    }
    const VideoIndex& ix = indexed.index;
    result.frameTicks = ix.sequence.FrameTicks();
    auto decoder = MakePictureDecoder(ix.sequence.mpeg2, log);
    if (!decoder) {
        result.error = "the picture decoder could not be opened";
        return result;
    }
    const auto bytesOf = [&data](std::int64_t from, std::int64_t to) {
        return std::span<const std::uint8_t>(data).subspan(static_cast<std::size_t>(from),
                                                           static_cast<std::size_t>(to - from));
    };
    const std::int64_t first = ix.FirstShown();
    for (const GopEntry& g : ix.gops) {
        for (int i = g.firstFrame; i < g.firstFrame + g.frames; ++i) {
            const FrameEntry& f = ix.frames[static_cast<std::size_t>(i)];
            // A group's headers go with its first frame; the stream's sequence header with the
            // very first one.
            std::int64_t from = i == g.firstFrame ? g.offset : f.offset;
            if (i == 0 && ix.sequenceOffset >= 0) from = std::min(from, ix.sequenceOffset);
            decoder->Send(bytesOf(from, f.end), f.display - first);
        }
    }
    decoder->Flush();
    result.pictures = decoder->Take();
    if (result.pictures.empty()) result.error = "no picture could be decoded";
    return result;
}

} // namespace quorin::media
