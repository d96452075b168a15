#include "media/picture_codec.h"

#include "media/av_handles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <cstring>
#include <string>

namespace quorin::media {
namespace {

using ContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// Warnings about the leading pictures of a group cut from its reference are expected here.
void Quiet() {
    static const bool once = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)once;
}

Picture FromFrame(const AVFrame& f) {
    Picture p;
    p.width = f.width;
    p.height = f.height;
    const bool c422 = f.format == AV_PIX_FMT_YUV422P;
    const bool c444 = f.format == AV_PIX_FMT_YUV444P;
    p.chromaWidth = c444 ? f.width : (f.width + 1) / 2;
    p.chromaHeight = c422 || c444 ? f.height : (f.height + 1) / 2;
    auto copy = [&f](int plane, int w, int h, std::vector<std::uint8_t>& out) {
        out.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        for (int row = 0; row < h; ++row)
            std::memcpy(out.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(w),
                        f.data[plane] + static_cast<std::ptrdiff_t>(row) * f.linesize[plane],
                        static_cast<std::size_t>(w));
    };
    copy(0, p.width, p.height, p.y);
    copy(1, p.chromaWidth, p.chromaHeight, p.u);
    copy(2, p.chromaWidth, p.chromaHeight, p.v);
    p.interlaced = f.interlaced_frame != 0;
    p.topFieldFirst = f.top_field_first != 0;
    p.time = f.pts != AV_NOPTS_VALUE ? f.pts : f.pkt_dts;
    return p;
}

class Decoder final : public PictureDecoder {
public:
    Decoder(bool mpeg2, LogFn log) : log_(std::move(log)) {
        Quiet();
        const AVCodec* codec =
            avcodec_find_decoder(mpeg2 ? AV_CODEC_ID_MPEG2VIDEO : AV_CODEC_ID_MPEG1VIDEO);
        if (!codec) return;
        ctx_.reset(avcodec_alloc_context3(codec));
        if (!ctx_) return;
        ctx_->thread_count = 1;
        if (avcodec_open2(ctx_.get(), codec, nullptr) < 0) ctx_.reset();
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
    }

    bool Ready() const { return ctx_ && frame_ && packet_; }

    bool Send(std::span<const std::uint8_t> bytes, std::int64_t time) override {
        if (av_new_packet(packet_.get(), static_cast<int>(bytes.size())) < 0) return false;
        std::memcpy(packet_->data, bytes.data(), bytes.size());
        packet_->pts = time;
        packet_->dts = AV_NOPTS_VALUE;
        const int e = avcodec_send_packet(ctx_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (e < 0 && e != AVERROR_INVALIDDATA) {
            log_("the picture decoder refused a picture: " + ErrorText(e));
            return false;
        }
        return Drain();
    }

    bool Flush() override {
        avcodec_send_packet(ctx_.get(), nullptr);
        return Drain();
    }

    std::vector<Picture> Take() override { return std::move(out_); }

private:
    bool Drain() {
        for (;;) {
            const int e = avcodec_receive_frame(ctx_.get(), frame_.get());
            if (e == AVERROR(EAGAIN) || e == AVERROR_EOF) return true;
            if (e < 0) return true; // a broken picture: it just does not come out
            out_.push_back(FromFrame(*frame_));
            av_frame_unref(frame_.get());
        }
    }

    LogFn log_;
    ContextPtr ctx_;
    FramePtr frame_;
    PacketPtr packet_;
    std::vector<Picture> out_;
};

AVPixelFormat PixelFormat(int chromaFormat) {
    return chromaFormat == 2 ? AV_PIX_FMT_YUV422P
                             : (chromaFormat == 3 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P);
}

ContextPtr OpenEncoder(const EncoderSettings& s, int frames, const LogFn& log) {
    const AVCodec* codec =
        avcodec_find_encoder(s.mpeg2 ? AV_CODEC_ID_MPEG2VIDEO : AV_CODEC_ID_MPEG1VIDEO);
    if (!codec) {
        log("no MPEG video encoder in libavcodec");
        return nullptr;
    }
    ContextPtr c(avcodec_alloc_context3(codec));
    if (!c) return nullptr;
    c->width = s.width;
    c->height = s.height;
    c->pix_fmt = PixelFormat(s.chromaFormat);
    c->time_base = AVRational{s.rateDen, s.rateNum};
    c->framerate = AVRational{s.rateNum, s.rateDen};
    c->sample_aspect_ratio = AVRational{s.sarNum, s.sarDen};
    c->gop_size = std::max(frames, 1);
    c->max_b_frames = 0;
    c->bit_rate = s.bitRate;
    c->rc_max_rate = s.bitRate;
    c->rc_buffer_size = static_cast<int>(s.vbvBits);
    c->rc_initial_buffer_occupancy = static_cast<int>(s.vbvBits);
    c->qmin = 1;
    c->qmax = 31;
    c->mb_decision = FF_MB_DECISION_RD;
    c->thread_count = 1;
    c->flags |= AV_CODEC_FLAG_BITEXACT;
    if (s.interlaced) c->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    if (s.profile >= 0) c->profile = s.profile;
    if (s.level >= 0) c->level = s.level;
    if (s.mpeg2) av_opt_set_int(c->priv_data, "intra_vlc", 1, 0);
    av_opt_set_int(c->priv_data, "sc_threshold", 1'000'000'000, 0);
    if (const int e = avcodec_open2(c.get(), codec, nullptr); e < 0) {
        log("the picture encoder could not be opened: " + ErrorText(e));
        return nullptr;
    }
    return c;
}

bool ToFrame(const Picture& p, AVFrame& f) {
    if (av_frame_get_buffer(&f, 0) < 0 || av_frame_make_writable(&f) < 0) return false;
    auto copy = [&f](int plane, int w, int h, const std::vector<std::uint8_t>& in) {
        for (int row = 0; row < h; ++row)
            std::memcpy(f.data[plane] + static_cast<std::ptrdiff_t>(row) * f.linesize[plane],
                        in.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(w),
                        static_cast<std::size_t>(w));
    };
    copy(0, p.width, p.height, p.y);
    copy(1, p.chromaWidth, p.chromaHeight, p.u);
    copy(2, p.chromaWidth, p.chromaHeight, p.v);
    f.interlaced_frame = p.interlaced ? 1 : 0;
    f.top_field_first = p.topFieldFirst ? 1 : 0;
    return true;
}

bool Collect(AVCodecContext& c, AVPacket& pkt, std::vector<std::uint8_t>& out) {
    for (;;) {
        const int e = avcodec_receive_packet(&c, &pkt);
        if (e == AVERROR(EAGAIN) || e == AVERROR_EOF) return true;
        if (e < 0) return false;
        out.insert(out.end(), pkt.data, pkt.data + pkt.size);
        av_packet_unref(&pkt);
    }
}

} // namespace

std::unique_ptr<PictureDecoder> MakePictureDecoder(bool mpeg2, const LogFn& log) {
    auto d = std::make_unique<Decoder>(mpeg2, log);
    if (!d->Ready()) {
        log("the MPEG video decoder of libavcodec could not be opened");
        return nullptr;
    }
    return d;
}

std::optional<std::vector<std::uint8_t>>
EncodePictures(const EncoderSettings& s, const std::vector<Picture>& pictures, const LogFn& log) {
    Quiet();
    ContextPtr c = OpenEncoder(s, static_cast<int>(pictures.size()), log);
    FramePtr f(av_frame_alloc());
    PacketPtr pkt(av_packet_alloc());
    if (!c || !f || !pkt) return std::nullopt;
    std::vector<std::uint8_t> out;
    std::int64_t n = 0;
    for (const Picture& p : pictures) {
        av_frame_unref(f.get());
        f->format = c->pix_fmt;
        f->width = p.width;
        f->height = p.height;
        if (!ToFrame(p, *f)) return std::nullopt;
        f->pts = n++;
        f->pict_type = n == 1 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (const int e = avcodec_send_frame(c.get(), f.get()); e < 0) {
            log("the picture encoder refused a picture: " + ErrorText(e));
            return std::nullopt;
        }
        if (!Collect(*c, *pkt, out)) return std::nullopt;
    }
    avcodec_send_frame(c.get(), nullptr);
    if (!Collect(*c, *pkt, out)) return std::nullopt;
    // The sequence ends with the stream, not here.
    if (out.size() >= 4 && out[out.size() - 4] == 0 && out[out.size() - 3] == 0 &&
        out[out.size() - 2] == 1 && out[out.size() - 1] == 0xB7)
        out.resize(out.size() - 4);
    return out;
}

double Psnr(const Picture& a, const Picture& b) {
    if (a.y.size() != b.y.size() || a.u.size() != b.u.size() || a.v.size() != b.v.size()) return 0;
    double sum = 0;
    std::size_t count = 0;
    for (auto [x, y] : {std::pair{&a.y, &b.y}, std::pair{&a.u, &b.u}, std::pair{&a.v, &b.v}}) {
        for (std::size_t i = 0; i < x->size(); ++i) {
            const double d = static_cast<double>((*x)[i]) - static_cast<double>((*y)[i]);
            sum += d * d;
        }
        count += x->size();
    }
    if (count == 0) return 0;
    const double mse = sum / static_cast<double>(count);
    return mse <= 0 ? 99.0 : std::min(99.0, 10 * std::log10(255.0 * 255.0 / mse));
}

} // namespace quorin::media
