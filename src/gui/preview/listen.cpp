#include "gui/preview/listen.h"

#include "base/program_log.h"
#include "base/scratch_folder.h"
#include "disk/pvr_file.h"
#include "rip/rip_runner.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quorin {

namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ParserFree {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

bool LooksLikeAc3(const std::vector<std::uint8_t>& data) {
    return data.size() > 2 && data[0] == 0x0B && data[1] == 0x77;
}

std::int16_t ToS16(float v) {
    v = std::clamp(v, -1.0f, 1.0f);
    return static_cast<std::int16_t>(v * 32767.0f);
}

// Appends one decoded frame, whatever its sample layout, as interleaved 16-bit samples.
void Append(const AVFrame& f, Pcm& pcm) {
    const int channels = f.ch_layout.nb_channels;
    const auto format = static_cast<AVSampleFormat>(f.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    for (int i = 0; i < f.nb_samples; ++i) {
        for (int c = 0; c < channels; ++c) {
            const int plane = planar ? c : 0;
            const int index = planar ? i : i * channels + c;
            const std::uint8_t* data = f.extended_data[plane];
            switch (av_get_packed_sample_fmt(format)) {
            case AV_SAMPLE_FMT_S16:
                pcm.samples.push_back(reinterpret_cast<const std::int16_t*>(data)[index]);
                break;
            case AV_SAMPLE_FMT_S32:
                pcm.samples.push_back(static_cast<std::int16_t>(
                    reinterpret_cast<const std::int32_t*>(data)[index] >> 16));
                break;
            case AV_SAMPLE_FMT_FLT:
                pcm.samples.push_back(ToS16(reinterpret_cast<const float*>(data)[index]));
                break;
            case AV_SAMPLE_FMT_DBL:
                pcm.samples.push_back(
                    ToS16(static_cast<float>(reinterpret_cast<const double*>(data)[index])));
                break;
            default:
                pcm.samples.push_back(0);
                break;
            }
        }
    }
}

void Drain(AVCodecContext& ctx, AVFrame& frame, Pcm& pcm) {
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

class DeviceAudioOut : public AudioOut {
public:
    bool Available(QString* why) const override {
        if (!QMediaDevices::defaultAudioOutput().isNull()) return true;
        if (why) *why = QStringLiteral("No audio output device: there is nothing to listen on.");
        return false;
    }

    void Play(Pcm pcm) override {
        Stop();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull() || pcm.samples.empty()) return;
        QAudioFormat format;
        format.setSampleRate(pcm.rate);
        format.setChannelCount(pcm.channels);
        format.setSampleFormat(QAudioFormat::Int16);
        bytes_ = QByteArray(reinterpret_cast<const char*>(pcm.samples.data()),
                            static_cast<qsizetype>(pcm.samples.size() * sizeof(std::int16_t)));
        buffer_ = std::make_unique<QBuffer>(&bytes_);
        buffer_->open(QIODevice::ReadOnly);
        sink_ = std::make_unique<QAudioSink>(device, format);
        sink_->start(buffer_.get()); // returns at once; Qt plays it on
    }

    void Stop() override {
        if (sink_) sink_->stop();
        sink_.reset();
        buffer_.reset();
    }

    ~DeviceAudioOut() override { Stop(); }

private:
    QByteArray bytes_;
    std::unique_ptr<QBuffer> buffer_;
    std::unique_ptr<QAudioSink> sink_;
};

} // namespace

Pcm DecodeAudioFile(const std::string& path) {
    Pcm pcm;
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    if (data.empty()) return pcm;
    const AVCodecID id = LooksLikeAc3(data) ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2;
    const AVCodec* codec = avcodec_find_decoder(id);
    std::unique_ptr<AVCodecParserContext, ParserFree> parser(av_parser_init(id));
    std::unique_ptr<AVCodecContext, CodecContextFree> ctx(codec ? avcodec_alloc_context3(codec)
                                                                : nullptr);
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!parser || !ctx || !frame || !packet || avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        LogLine("cannot open the audio decoder for " + path);
        return pcm;
    }
    data.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const std::size_t size = data.size() - AV_INPUT_BUFFER_PADDING_SIZE;
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
    if (pcm.samples.empty()) LogLine("no audio frame could be decoded from " + path);
    return pcm;
}

Pcm RipAudioSnippet(RipRunner& runner, double begin, double seconds) {
    ScratchFolder folder("quorin-listen");
    if (!folder.Valid()) return {};
    // Video too, so that the times are the video's as the dialog shows them; its file is unused.
    RipRequest request;
    request.begin = begin;
    request.length = seconds;
    request.outputName = "listen";
    request.outputFolder = folder.Path().string();
    const RipRunReport report = runner.Run(request);
    Pcm pcm;
    for (const RipReport::File& file : report.stages.files)
        if (file.kind == FileKind::kAudio) pcm = DecodeAudioFile(file.name);
    return pcm;
}

std::unique_ptr<AudioOut> MakeDeviceAudioOut() {
    return std::make_unique<DeviceAudioOut>();
}

} // namespace quorin
