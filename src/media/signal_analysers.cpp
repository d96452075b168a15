// Signals of elementary streams, decoded with libavcodec.
#include "media/signal_analysers.h"

#include "media/av_handles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace quorin::media {
namespace {

using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Parser = std::unique_ptr<AVCodecParserContext, ParserFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// A parser splitting the stream into frames and a decoder behind it.
class Decoding {
public:
    bool Open(AVCodecID id, int lowres, const LogSink& log) {
        log_ = log;
        id_ = id;
        lowres_ = lowres;
        return Start();
    }

    // Parses the bytes and decodes every whole frame; each decoded frame goes to the sink.
    template <class Sink>
    void Feed(std::span<const std::uint8_t> bytes, std::int64_t pts, Sink sink) {
        const std::uint8_t* data = bytes.data();
        int left = static_cast<int>(bytes.size());
        const std::int64_t stamp = pts == kNoTime ? AV_NOPTS_VALUE : pts;
        while (left > 0) {
            std::uint8_t* out = nullptr;
            int outSize = 0;
            const int used = av_parser_parse2(parser_.get(), context_.get(), &out, &outSize, data,
                                              left, stamp, AV_NOPTS_VALUE, 0);
            if (used < 0) return;
            data += used;
            left -= used;
            if (outSize > 0) Decode(out, outSize, parser_->pts, sink);
        }
    }

    template <class Sink> void Flush(Sink sink) {
        std::uint8_t* out = nullptr;
        int outSize = 0;
        av_parser_parse2(parser_.get(), context_.get(), &out, &outSize, nullptr, 0, AV_NOPTS_VALUE,
                         AV_NOPTS_VALUE, 0);
        if (outSize > 0) Decode(out, outSize, parser_->pts, sink);
        avcodec_send_packet(context_.get(), nullptr);
        Receive(sink);
    }

    bool Start() {
        const AVCodec* codec = avcodec_find_decoder(id_);
        if (!codec) {
            log_("no decoder for " + std::string(avcodec_get_name(id_)));
            return false;
        }
        context_.reset(avcodec_alloc_context3(codec));
        parser_.reset(av_parser_init(id_));
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!context_ || !parser_ || !frame_ || !packet_) return false;
        context_->thread_count = 1;
        context_->lowres = std::min(lowres_, static_cast<int>(codec->max_lowres));
        const int error = avcodec_open2(context_.get(), codec, nullptr);
        if (error < 0) {
            log_("cannot open the " + std::string(codec->name) + " decoder: " + ErrorText(error));
            return false;
        }
        return true;
    }

private:
    template <class Sink>
    void Decode(const std::uint8_t* data, int size, std::int64_t pts, Sink& sink) {
        packet_->data = const_cast<std::uint8_t*>(data);
        packet_->size = size;
        packet_->pts = pts;
        packet_->dts = AV_NOPTS_VALUE;
        // Damaged frames are expected after gaps; the decoder says so and goes on.
        avcodec_send_packet(context_.get(), packet_.get());
        Receive(sink);
    }

    template <class Sink> void Receive(Sink& sink) {
        while (avcodec_receive_frame(context_.get(), frame_.get()) == 0) {
            sink(*frame_);
            av_frame_unref(frame_.get());
        }
    }

    LogSink log_;
    AVCodecID id_ = AV_CODEC_ID_NONE;
    int lowres_ = 0;
    CodecContext context_;
    Parser parser_;
    Frame frame_;
    Packet packet_;
};

class Pictures final : public PictureAnalyser {
public:
    bool Open(int reduction, const LogSink& log) {
        return decoding_.Open(AV_CODEC_ID_MPEG2VIDEO, reduction, log);
    }

    void Feed(std::span<const std::uint8_t> bytes, std::int64_t pts) override {
        decoding_.Feed(bytes, pts, [this](const AVFrame& f) { Measure(f); });
    }
    void Flush() override {
        decoding_.Flush([this](const AVFrame& f) { Measure(f); });
    }
    void Reset() override {
        decoding_.Flush([this](const AVFrame& f) { Measure(f); });
        decoding_.Start();
        previous_.clear();
    }
    void KeepCornersEvery(int n) override { cornersEvery_ = n; }
    std::vector<PictureSignals> Take() override { return std::exchange(out_, {}); }

private:
    void Measure(const AVFrame& f) {
        if (f.width <= 0 || f.height <= 0 || !f.data[0]) return;
        PictureSignals s;
        s.pts = f.pts == AV_NOPTS_VALUE ? kNoTime : f.pts;
        const int w = f.width, h = f.height;
        const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
        const bool compare = previous_.size() == n;
        if (!compare) previous_.assign(n, 0);
        std::uint64_t sum = 0, squares = 0, diff = 0;
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* row = f.data[0] + static_cast<std::ptrdiff_t>(y) * f.linesize[0];
            std::uint8_t* prev = previous_.data() + static_cast<std::size_t>(y) * w;
            for (int x = 0; x < w; ++x) {
                const std::uint32_t v = row[x];
                sum += v;
                squares += v * v;
                diff += static_cast<std::uint32_t>(std::abs(static_cast<int>(v) - prev[x]));
                prev[x] = static_cast<std::uint8_t>(v);
            }
        }
        const double mean = static_cast<double>(sum) / static_cast<double>(n);
        s.meanLuma = static_cast<float>(mean);
        s.lumaSpread = static_cast<float>(std::sqrt(
            std::max(0.0, static_cast<double>(squares) / static_cast<double>(n) - mean * mean)));
        s.change =
            compare ? static_cast<float>(static_cast<double>(diff) / static_cast<double>(n)) : 0;
        if (cornersEvery_ > 0 && count_++ % cornersEvery_ == 0) Corners(f, s);
        out_.push_back(std::move(s));
    }

    static void Corners(const AVFrame& f, PictureSignals& s) {
        const int cw = f.width / 4, ch = f.height / 5;
        s.cornerWidth = cw;
        s.cornerHeight = ch;
        s.corners.resize(static_cast<std::size_t>(cw) * static_cast<std::size_t>(ch) * 4);
        std::uint8_t* out = s.corners.data();
        for (int corner = 0; corner < 4; ++corner) {
            const int x0 = corner % 2 ? f.width - cw : 0;
            const int y0 = corner / 2 ? f.height - ch : 0;
            for (int y = 0; y < ch; ++y) {
                const std::uint8_t* row =
                    f.data[0] + static_cast<std::ptrdiff_t>(y0 + y) * f.linesize[0] + x0;
                out = std::copy(row, row + cw, out);
            }
        }
    }

    Decoding decoding_;
    std::vector<std::uint8_t> previous_;
    std::vector<PictureSignals> out_;
    int cornersEvery_ = 0;
    std::int64_t count_ = 0;
};

// The mean square of the samples of all channels.
double MeanSquare(const AVFrame& f) {
    const int channels = f.ch_layout.nb_channels;
    const int samples = f.nb_samples;
    if (channels <= 0 || samples <= 0) return 0;
    const auto format = static_cast<AVSampleFormat>(f.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    double total = 0;
    auto add = [&](auto value, double scale) {
        const double v = static_cast<double>(value) * scale;
        total += v * v;
    };
    for (int c = 0; c < channels; ++c) {
        for (int i = 0; i < samples; ++i) {
            const int plane = planar ? c : 0;
            const int index = planar ? i : i * channels + c;
            const std::uint8_t* d = f.extended_data[plane];
            switch (format) {
            case AV_SAMPLE_FMT_S16:
            case AV_SAMPLE_FMT_S16P:
                add(reinterpret_cast<const std::int16_t*>(d)[index], 1.0 / 32768);
                break;
            case AV_SAMPLE_FMT_S32:
            case AV_SAMPLE_FMT_S32P:
                add(reinterpret_cast<const std::int32_t*>(d)[index], 1.0 / 2147483648.0);
                break;
            case AV_SAMPLE_FMT_FLT:
            case AV_SAMPLE_FMT_FLTP:
                add(reinterpret_cast<const float*>(d)[index], 1.0);
                break;
            default:
                return 0;
            }
        }
    }
    return total / (static_cast<double>(channels) * samples);
}

class Levels final : public AudioAnalyser {
public:
    bool Open(AudioCodec codec, const LogSink& log) {
        return decoding_.Open(codec == AudioCodec::kAc3 ? AV_CODEC_ID_AC3 : AV_CODEC_ID_MP2, 0,
                              log);
    }
    void Feed(std::span<const std::uint8_t> bytes, std::int64_t pts) override {
        decoding_.Feed(bytes, pts, [this](const AVFrame& f) { Measure(f); });
    }
    void Flush() override {
        decoding_.Flush([this](const AVFrame& f) { Measure(f); });
    }
    void Reset() override {
        Flush();
        decoding_.Start();
        next_ = kNoTime;
    }
    std::vector<AudioLevel> Take() override { return std::exchange(out_, {}); }

private:
    void Measure(const AVFrame& f) {
        if (f.sample_rate <= 0) return;
        AudioLevel level;
        level.pts = f.pts != AV_NOPTS_VALUE ? f.pts : next_;
        level.duration = std::int64_t{f.nb_samples} * 90'000 / f.sample_rate;
        const double ms = MeanSquare(f);
        level.rmsDb = ms > 1e-12 ? static_cast<float>(10 * std::log10(ms)) : -120.0f;
        next_ = level.pts == kNoTime ? kNoTime : level.pts + level.duration;
        out_.push_back(level);
    }

    Decoding decoding_;
    std::int64_t next_ = kNoTime;
    std::vector<AudioLevel> out_;
};

} // namespace

std::unique_ptr<PictureAnalyser> MakePictureAnalyser(int reduction, const LogSink& log) {
    auto analyser = std::make_unique<Pictures>();
    if (!analyser->Open(reduction, log)) return nullptr;
    return analyser;
}

std::unique_ptr<AudioAnalyser> MakeAudioAnalyser(AudioCodec codec, const LogSink& log) {
    auto analyser = std::make_unique<Levels>();
    if (!analyser->Open(codec, log)) return nullptr;
    return analyser;
}

} // namespace quorin::media
