// Audio elementary streams decoded with libavcodec's parser and decoder.
#include "media/audio_decode.h"

#include "media/av_handles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <memory>

namespace quorin::media {
namespace {

std::int16_t ToS16(float v) {
    v = std::clamp(v, -1.0f, 1.0f);
    return static_cast<std::int16_t>(v * 32767.0f);
}

std::int16_t SampleAt(const std::uint8_t* data, AVSampleFormat packed, int index) {
    switch (packed) {
    case AV_SAMPLE_FMT_S16:
        return reinterpret_cast<const std::int16_t*>(data)[index];
    case AV_SAMPLE_FMT_S32:
        return static_cast<std::int16_t>(reinterpret_cast<const std::int32_t*>(data)[index] >> 16);
    case AV_SAMPLE_FMT_FLT:
        return ToS16(reinterpret_cast<const float*>(data)[index]);
    case AV_SAMPLE_FMT_DBL:
        return ToS16(static_cast<float>(reinterpret_cast<const double*>(data)[index]));
    default:
        return 0;
    }
}

// Appends one decoded frame, whatever its sample layout, as interleaved 16-bit samples.
void Append(const AVFrame& f, DecodedAudio& pcm) {
    const int channels = f.ch_layout.nb_channels;
    const auto format = static_cast<AVSampleFormat>(f.format);
    const AVSampleFormat packed = av_get_packed_sample_fmt(format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    for (int i = 0; i < f.nb_samples; ++i) {
        for (int c = 0; c < channels; ++c) {
            const int plane = planar ? c : 0;
            const int index = planar ? i : i * channels + c;
            pcm.samples.push_back(SampleAt(f.extended_data[plane], packed, index));
        }
    }
}

void Drain(AVCodecContext& ctx, AVFrame& frame, DecodedAudio& pcm) {
    while (avcodec_receive_frame(&ctx, &frame) == 0) {
        if (pcm.rate == 0) {
            pcm.rate = frame.sample_rate;
            pcm.channels = frame.ch_layout.nb_channels;
        }
        // A change of layout in the middle is not played.
        if (frame.sample_rate == pcm.rate && frame.ch_layout.nb_channels == pcm.channels)
            Append(frame, pcm);
        av_frame_unref(&frame);
    }
}

} // namespace

DecodedAudio DecodeAudio(std::span<const std::uint8_t> stream, const LogSink& log) {
    DecodedAudio pcm;
    if (stream.empty()) return pcm;
    const bool ac3 = stream.size() > 2 && stream[0] == 0x0B && stream[1] == 0x77;
    const AVCodecID id = ac3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2;
    const AVCodec* codec = avcodec_find_decoder(id);
    std::unique_ptr<AVCodecParserContext, ParserFree> parser(av_parser_init(id));
    std::unique_ptr<AVCodecContext, CodecContextFree> ctx(codec ? avcodec_alloc_context3(codec)
                                                                : nullptr);
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!parser || !ctx || !frame || !packet || avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        if (log) log("cannot open the audio decoder");
        return pcm;
    }
    // The parser may read past the end by the padding.
    std::vector<std::uint8_t> data(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::copy(stream.begin(), stream.end(), data.begin());
    const std::size_t size = stream.size();
    std::size_t at = 0;
    // The padding zeros are never parsed: one call with no bytes flushes the parser.
    while (true) {
        const int left = static_cast<int>(size - at);
        std::uint8_t* out = nullptr;
        int outSize = 0;
        const int used = av_parser_parse2(parser.get(), ctx.get(), &out, &outSize, data.data() + at,
                                          left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) break;
        at += static_cast<std::size_t>(used);
        if (outSize > 0) {
            packet->data = out;
            packet->size = outSize;
            if (avcodec_send_packet(ctx.get(), packet.get()) == 0) Drain(*ctx, *frame, pcm);
        }
        if (left == 0) break;
    }
    avcodec_send_packet(ctx.get(), nullptr);
    Drain(*ctx, *frame, pcm);
    if (pcm.samples.empty() && log) log("no audio frame could be decoded");
    return pcm;
}

} // namespace quorin::media
