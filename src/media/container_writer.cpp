// The container writer over libavformat.
#include "media/container_writer.h"
#include "media/start_code.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <sys/stat.h>

#if defined(__SSE2__)
#endif

namespace quorin::media {
namespace {

constexpr AVRational kTicks{1, 90'000};
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WriteData = const std::uint8_t*;
#else
using WriteData = std::uint8_t*;
#endif
// Pictures read ahead of the one written: more than any reorder distance of broadcast video.
constexpr std::size_t kVideoWindow = 16;
constexpr std::size_t kReorderTail = 4;

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct InputCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputFreer {
    void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
struct IoFreer {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputFreer>;
using IoPtr = std::unique_ptr<AVIOContext, IoFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

PacketPtr NewPacket() {
    return PacketPtr(av_packet_alloc());
}

// One elementary stream opened by libavformat's raw demuxer (forced, as the extensions are the
// user's postfixes).
class Input {
public:
    bool Open(const std::string& file, const char* demuxer, std::string& why) {
        return OpenContext(nullptr, file, demuxer, why);
    }

    // The feed's bytes from its start, through an AVIOContext of our own.
    bool Open(StreamFeed& feed, const std::string& name, const char* demuxer, std::string& why) {
        constexpr int kBuffer = 1 << 16;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
        if (buffer)
            io_.reset(avio_alloc_context(buffer, kBuffer, 0, this, &ReadFeed, nullptr, nullptr));
        AVFormatContext* c = io_ ? avformat_alloc_context() : nullptr;
        if (!c) {
            if (!io_) av_free(buffer);
            why = "could not open " + name + ": " + AvError(AVERROR(ENOMEM));
            return false;
        }
        feed_ = &feed;
        c->pb = io_.get();
        c->flags |= AVFMT_FLAG_CUSTOM_IO;
        return OpenContext(c, name, demuxer, why);
    }

    // The feed's account of a failure, if it broke off.
    std::string FeedWhy() const { return feed_ ? feed_->Why() : std::string(); }

private:
    static int ReadFeed(void* opaque, std::uint8_t* buffer, int size) {
        auto* self = static_cast<Input*>(opaque);
        const std::int64_t n =
            self->feed_->Read(self->fed_, {buffer, static_cast<std::size_t>(size)});
        if (n < 0) return AVERROR(EIO);
        if (n == 0) return AVERROR_EOF;
        self->fed_ += n;
        return static_cast<int>(n);
    }

    bool OpenContext(AVFormatContext* c, const std::string& file, const char* demuxer,
                     std::string& why) {
        // The raw demuxers hand the parser 1 KiB at a time unless told otherwise.
        AVDictionary* options = nullptr;
        av_dict_set(&options, "raw_packet_size", "1048576", 0);
        int rc = avformat_open_input(&c, io_ ? nullptr : file.c_str(),
                                     av_find_input_format(demuxer), &options);
        av_dict_free(&options);
        if (rc < 0) {
            why = "could not open " + file + ": " + AvError(rc);
            return false;
        }
        ctx_.reset(c);
        rc = avformat_find_stream_info(c, nullptr);
        if (rc < 0 || c->nb_streams < 1) {
            why = "could not read " + file + ": " + AvError(rc < 0 ? rc : AVERROR_INVALIDDATA);
            return false;
        }
        // The MPEG audio demuxer starts a running checksum for a tag it looks for in the first
        // frame and, without one, never stops it: every byte read after would pay for it.
        if (c->pb) c->pb->update_checksum = nullptr;
        file_ = file;
        return true;
    }

public:
    AVStream* Stream() const { return ctx_->streams[0]; }
    // 1 with a packet, 0 at the end, an AVERROR on a read error.
    int Read(AVPacket* p) {
        int rc = av_read_frame(ctx_.get(), p);
        return rc == AVERROR_EOF ? 0 : rc < 0 ? rc : 1;
    }
    std::int64_t Position() const { return ctx_ && ctx_->pb ? avio_tell(ctx_->pb) : 0; }
    const std::string& File() const { return file_; }

private:
    // Declared before the context, which reads through it.
    IoPtr io_;
    StreamFeed* feed_ = nullptr;
    std::int64_t fed_ = 0;
    InputPtr ctx_;
    std::string file_;
};

struct BufferUnref {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct PoolCloser {
    void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
};
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The coded pictures of a video elementary stream, each with the headers in front of it, read in
// large blocks and handed out as packets that share the block (the raw demuxer's parser looks at
// every byte and copies it twice; this is the copy's hot path).
class PictureSource {
public:
    bool Open(const std::string& file, std::string& why) {
        file_.reset(std::fopen(file.c_str(), "rb"));
        if (!file_) why = "could not open " + file + ": " + AvError(AVERROR(errno));
        name_ = file;
        return file_ != nullptr;
    }
    void Open(StreamFeed& feed, const std::string& name) {
        feed_ = &feed;
        name_ = name;
    }

    // 1 with a picture, 0 at the end, an AVERROR on a read error.
    int Next(AVPacket* p) {
        for (;;) {
            if (const std::optional<std::size_t> end = Boundary()) return Emit(p, *end);
            if (eof_) return unit_ < size_ ? Emit(p, size_) : 0;
            if (int rc = Refill(); rc < 0) return rc;
        }
    }
    std::int64_t Position() const { return read_; }
    const std::string& File() const { return name_; }

private:
    static constexpr std::size_t kFileBlock = 4 << 20;
    // From a feed, which holds the bytes in memory already: smaller blocks keep less alive.
    static constexpr std::size_t kFeedBlock = 1 << 20;

    // The start of the next picture's unit: a sequence header, group header or picture start
    // code after the current unit's slices.
    std::optional<std::size_t> Boundary() {
        const std::uint8_t* d = block_ ? block_->data : nullptr;
        // i walks the 01 of a possible 00 00 01 whose code byte is in the block.
        std::size_t i = scan_ + 2;
        const std::size_t end = size_ > 0 ? size_ - 1 : 0;
        while (i < end) {
            const std::size_t one = NextStartCode(d, i, end);
            if (one == end) {
                i = end;
                break;
            }
            i = one + 1;
            const std::size_t at = one - 2;
            const std::uint8_t code = d[one + 1];
            if (code >= 0x01 && code <= 0xAF) {
                slices_ = true;
            } else if (slices_ && (code == 0xB3 || code == 0xB8 || code == 0x00)) {
                slices_ = false;
                scan_ = at + 1;
                return at;
            }
        }
        scan_ = size_ > 3 ? std::min(i, size_ - 1) - 2 : 0;
        return std::nullopt;
    }

    int Emit(AVPacket* p, std::size_t end) {
        p->buf = av_buffer_ref(block_.get());
        if (!p->buf) return AVERROR(ENOMEM);
        p->data = block_->data + unit_;
        p->size = static_cast<int>(end - unit_);
        unit_ = end;
        return 1;
    }

    // A new block: the unfinished unit moved to its front (the old block lives on in the
    // packets that share it), then as much of the file as fits.
    int Refill() {
        const std::size_t keep = size_ - unit_;
        // Blocks come back to the pool once their packets are written: fresh pages for every
        // block would cost more than reading them.
        const std::size_t block = feed_ ? kFeedBlock : kFileBlock;
        const std::size_t capacity = 2 * keep > block ? 2 * keep : block;
        if (!pool_) pool_.reset(av_buffer_pool_init(block + AV_INPUT_BUFFER_PADDING_SIZE, nullptr));
        std::unique_ptr<AVBufferRef, BufferUnref> next(
            capacity == block && pool_ ? av_buffer_pool_get(pool_.get())
                                       : av_buffer_alloc(capacity + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!next) return AVERROR(ENOMEM);
        if (keep > 0) std::memcpy(next->data, block_->data + unit_, keep);
        const std::int64_t got = feed_ ? FromFeed(next->data + keep, capacity - keep)
                                       : static_cast<std::int64_t>(std::fread(
                                             next->data + keep, 1, capacity - keep, file_.get()));
        if (got < 0 || (!feed_ && std::ferror(file_.get()))) return AVERROR(EIO);
        const auto n = static_cast<std::size_t>(got);
        if (n < capacity - keep) eof_ = true;
        std::memset(next->data + keep + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        read_ += static_cast<std::int64_t>(n);
        scan_ = scan_ >= unit_ ? scan_ - unit_ : 0;
        block_ = std::move(next);
        size_ = keep + n;
        unit_ = 0;
        return 0;
    }

    // Whole blocks, as from the file: packets share the blocks, which are not to be half empty.
    std::int64_t FromFeed(std::uint8_t* to, std::size_t want) {
        std::size_t got = 0;
        while (got < want) {
            const std::int64_t n =
                feed_->Read(read_ + static_cast<std::int64_t>(got), {to + got, want - got});
            if (n < 0) return -1;
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        feed_->Release(read_ + static_cast<std::int64_t>(got));
        return static_cast<std::int64_t>(got);
    }

    std::unique_ptr<std::FILE, FileCloser> file_;
    StreamFeed* feed_ = nullptr;
    std::string name_;
    std::unique_ptr<AVBufferPool, PoolCloser> pool_;
    std::unique_ptr<AVBufferRef, BufferUnref> block_;
    std::size_t size_ = 0; // bytes in the block
    std::size_t unit_ = 0; // start of the current picture's unit
    std::size_t scan_ = 0; // where the boundary search goes on
    bool slices_ = false;
    bool eof_ = false;
    std::int64_t read_ = 0;
};

// What a video packet (one coded picture with the headers before it) says about its display.
struct Picture {
    bool found = false;
    bool gop = false;
    int temporalReference = 0;
    int type = 0; // 1 I, 2 P, 3 B
};

Picture ParsePicture(const std::uint8_t* d, int n) {
    Picture p;
    for (int i = 0; i + 5 < n; ++i) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
        if (d[i + 3] == 0xB8) p.gop = true;
        if (d[i + 3] == 0x00) {
            p.found = true;
            p.temporalReference = (d[i + 4] << 2) | (d[i + 5] >> 6);
            p.type = (d[i + 5] >> 3) & 7;
            return p;
        }
    }
    return p;
}

// A stream's packets with their time stamps in 90 kHz ticks counted from the stream's start (its
// first picture or frame): what the elementary stream lost and the rip knows.
struct Timed {
    PacketPtr packet;
    std::int64_t pts = 0;
    std::int64_t dts = 0;
};

class VideoTrack {
public:
    VideoTrack(Input& in, PictureSource& source) : in_(in), source_(source) {
        AVRational rate = in.Stream()->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) rate = in.Stream()->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) rate = {25, 1};
        rate_ = rate;
    }

    // Reads the window ahead; false on a read error (why says so).
    bool Fill(std::string& why) {
        while (!ended_ && window_.size() < kVideoWindow) {
            PacketPtr p = NewPacket();
            int rc = source_.Next(p.get());
            if (rc < 0) {
                why = in_.FeedWhy();
                if (why.empty()) why = "could not read " + source_.File() + ": " + AvError(rc);
                return false;
            }
            if (rc == 0) {
                ended_ = true;
                break;
            }
            Add(std::move(p));
        }
        if (!delayKnown_) Delay();
        return true;
    }

    bool Empty() const { return window_.empty(); }
    // The earliest display time in the window (leading pictures of an open group included).
    std::int64_t EarliestPts() const { return *order_.begin(); }
    std::int64_t NextDts() const { return *order_.begin() - delay_; }

    Timed Take() {
        Timed t = std::move(window_.front());
        window_.pop_front();
        // The n-th picture in decode order is decoded one reorder delay before the n-th in
        // display order is shown.
        t.dts = std::min(*order_.begin() - delay_, t.pts);
        order_.erase(order_.begin());
        if (lastDts_ && t.dts <= *lastDts_) t.dts = std::min(*lastDts_ + 1, t.pts);
        lastDts_ = t.dts;
        return t;
    }

private:
    void Add(PacketPtr p) {
        const Picture pic = ParsePicture(p->data, p->size);
        std::int64_t slot = lastSlot_ + 1; // no picture header: shown after the previous one
        if (pic.found) {
            if (pic.gop && count_ > 0) {
                // A group starts at the first display slot the groups before it left free from
                // the first picture of the last one on: where damage dropped pictures, the
                // pictures that bridge it take their places, one after another.
                gopBase_ = FirstFree(gopFirst_);
            } else if (!pic.gop && count_ > 0 && pic.temporalReference + 512 < lastRef_) {
                gopBase_ += 1024; // no group headers: the reference wrapped
            }
            lastRef_ = pic.temporalReference;
            slot = gopBase_ + pic.temporalReference;
            if (pic.type == 1) p->flags |= AV_PKT_FLAG_KEY;
        }
        slot = Occupy(slot);
        if (count_ == 0) firstSlot_ = slot;
        if (pic.gop || count_ == 0) gopFirst_ = slot;
        lastSlot_ = slot;
        ++count_;
        const std::int64_t pts =
            av_rescale(slot - firstSlot_, std::int64_t{90'000} * rate_.den, rate_.num);
        order_.insert(pts);
        window_.push_back({std::move(p), pts, 0});
    }

    std::int64_t FirstFree(std::int64_t from) const {
        while (taken_.contains(from))
            ++from;
        return from;
    }

    // The slot, or the first free one after it (taken only in a stream with damage).
    std::int64_t Occupy(std::int64_t slot) {
        slot = FirstFree(slot);
        taken_.insert(slot);
        taken_.erase(taken_.begin(), taken_.lower_bound(std::min(gopBase_, gopFirst_)));
        return slot;
    }

    // The reorder delay: the most any picture of the first window is shown before its turn in
    // decode order, and at least one picture (a stream may begin without B pictures and have
    // them later). The window's last pictures are left out while the stream goes on: pictures
    // after the window may still be shown before them.
    void Delay() {
        std::int64_t d = 0;
        auto sorted = order_.begin();
        const std::size_t judged = ended_ || window_.size() <= kReorderTail
                                       ? window_.size()
                                       : window_.size() - kReorderTail;
        for (std::size_t i = 0; i < judged; ++i)
            d = std::max(d, *sorted++ - window_[i].pts);
        d = std::max(d, av_rescale(1, std::int64_t{90'000} * rate_.den, rate_.num));
        delay_ = d;
        delayKnown_ = true;
    }

    Input& in_;
    PictureSource& source_;
    AVRational rate_{25, 1};
    std::deque<Timed> window_;
    std::multiset<std::int64_t> order_;
    bool ended_ = false;
    bool delayKnown_ = false;
    std::int64_t delay_ = 0;
    std::optional<std::int64_t> lastDts_;
    std::int64_t gopBase_ = 0;
    std::int64_t gopFirst_ = 0;    // the display slot of the running group's first picture
    std::set<std::int64_t> taken_; // display slots taken from the running group's on
    int lastRef_ = 0;
    std::int64_t count_ = 0;
    std::int64_t firstSlot_ = 0;
    std::int64_t lastSlot_ = -1;
};

class AudioTrack {
public:
    explicit AudioTrack(Input& in) : in_(in) {}

    bool Fill(std::string& why) {
        if (next_ || ended_) return true;
        PacketPtr p = NewPacket();
        int rc = in_.Read(p.get());
        if (rc < 0) {
            why = "could not read " + in_.File() + ": " + AvError(rc);
            return false;
        }
        if (rc == 0) {
            ended_ = true;
            return true;
        }
        const AVStream* st = in_.Stream();
        std::int64_t duration = p->duration;
        if (duration <= 0 && st->codecpar->frame_size > 0 && st->codecpar->sample_rate > 0)
            duration = av_rescale_q(st->codecpar->frame_size, {1, st->codecpar->sample_rate},
                                    st->time_base);
        const std::int64_t pts = av_rescale_q(elapsed_, st->time_base, kTicks);
        elapsed_ += std::max<std::int64_t>(duration, 0);
        next_ = Timed{std::move(p), pts, pts};
        return true;
    }
    bool Empty() const { return !next_; }
    std::int64_t NextDts() const { return next_->dts; }
    Timed Take() {
        Timed t = std::move(*next_);
        next_.reset();
        return t;
    }

private:
    Input& in_;
    std::optional<Timed> next_;
    bool ended_ = false;
    std::int64_t elapsed_ = 0;
};

// The container file: created by the output naming rule, written and sought through an
// AVIOContext of our own, removed again unless Keep() was called.
// The caller's file as libavformat's output, through an AVIOContext of our own.
class SinkIo {
public:
    bool Open(ByteSink& sink, const std::string& name, std::string& why) {
        constexpr int kBuffer = 1 << 16;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
        if (buffer)
            io_.reset(
                avio_alloc_context(buffer, kBuffer, 1, &sink, nullptr, &WritePacket, &SeekTo));
        if (!io_) {
            av_free(buffer);
            why = "could not write " + name + ": " + AvError(AVERROR(ENOMEM));
            return false;
        }
        return true;
    }
    AVIOContext* Io() const { return io_.get(); }
    // Flushes; the error of a failed write, else 0.
    int Flush() {
        avio_flush(io_.get());
        return io_->error < 0 ? io_->error : 0;
    }

private:
    static int WritePacket(void* opaque, WriteData data, int size) {
        auto* sink = static_cast<ByteSink*>(opaque);
        if (!sink->Write({data, static_cast<std::size_t>(size)})) return AVERROR(sink->Error());
        return size;
    }
    static std::int64_t SeekTo(void* opaque, std::int64_t offset, int whence) {
        auto* sink = static_cast<ByteSink*>(opaque);
        if (whence & AVSEEK_SIZE) return AVERROR(ENOSYS);
        std::int64_t at = sink->Seek(offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(sink->Error()) : at;
    }

    IoPtr io_;
};

const char* MuxerName(ContainerFormat format, const AVStream* video) {
    switch (format) {
    case ContainerFormat::kMatroska:
        return "matroska";
    case ContainerFormat::kTransportStream:
        return "mpegts";
    case ContainerFormat::kProgramStream:
        // MPEG-2 video in an MPEG-2 program stream, MPEG-1 video (or audio alone) in MPEG-1's.
        return video && video->codecpar->codec_id == AV_CODEC_ID_MPEG2VIDEO ? "vob" : "mpeg";
    }
    return nullptr;
}

const char* AudioDemuxer(const std::string& file) {
    unsigned char head[2] = {};
    if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
        if (std::fread(head, 1, 2, f) != 2) head[0] = 0;
        std::fclose(f);
    }
    return head[0] == 0x0B && head[1] == 0x77 ? "ac3" : "mp3";
}

void SetMetadata(AVFormatContext* out, ContainerFormat format, const ContainerTags& m) {
    AVDictionary** d = &out->metadata;
    if (format == ContainerFormat::kTransportStream) {
        av_dict_set(d, "service_name", m.title.c_str(), 0);
        av_dict_set(d, "service_provider", m.station.c_str(), 0);
        return;
    }
    av_dict_set(d, "title", m.title.c_str(), 0);
    if (format != ContainerFormat::kMatroska) return;
    if (!m.station.empty()) av_dict_set(d, "SERVICE_PROVIDER", m.station.c_str(), 0);
    // The receiver's clock is local time of an unknown zone: the date goes in as it is, without
    // a zone, and no creation time (a UTC field) is claimed.
    if (!m.recorded.empty()) av_dict_set(d, "DATE_RECORDED", m.recorded.c_str(), 0);
    av_dict_set(d, "encoding_tool", m.application.c_str(), 0);
}

class Writer : public ContainerWriter {
public:
    Writer(const ContainerJob& job, LogSink log) : job_(job), log_(std::move(log)) {}

    std::int64_t InputBytes() const override { return total_; }
    std::int64_t VideoStart() const override { return videoShift_; }

    ContainerOutcome Write(ByteSink& out, const std::string& name,
                           const ContainerProgress& progress, std::string& why) override {
        name_ = name;
        progress_ = &progress;
        if (!io_.Open(out, name_, why)) return ContainerOutcome::kFailed;
        if (!OpenOutput(why)) return ContainerOutcome::kFailed;
        if (video_ && !video_->Fill(why)) return ContainerOutcome::kFailed;
        if (audio_ && !audio_->Fill(why)) return ContainerOutcome::kFailed;
        if (job_.videoFeed && !job_.videoFeed->Start(job_.video.startPts, job_.chapters)) {
            why = job_.videoFeed->Why();
            return ContainerOutcome::kFailed;
        }
        Offsets();
        if (!AddChapters()) return Failed(AVERROR(ENOMEM), why);
        // Matroska's optional CRC elements would cost more than the copy itself.
        AVDictionary* options = nullptr;
        if (job_.format == ContainerFormat::kMatroska) av_dict_set(&options, "write_crc32", "0", 0);
        int rc = avformat_init_output(out_.get(), &options);
        av_dict_free(&options);
        if (rc < 0) return Failed(rc, why);
        // After the initialisation, which names libavformat as the file's encoder.
        if (job_.format == ContainerFormat::kMatroska)
            av_dict_set(&out_->metadata, "encoder", job_.tags.application.c_str(), 0);
        rc = avformat_write_header(out_.get(), nullptr);
        if (rc < 0) return Failed(rc, why);
        const ContainerOutcome copied = Copy(why);
        if (copied != ContainerOutcome::kDone) return copied;
        rc = av_write_trailer(out_.get());
        if (rc < 0) return Failed(rc, why);
        rc = io_.Flush();
        if (rc < 0) return Failed(rc, why);
        return ContainerOutcome::kDone;
    }

    bool OpenInputs(std::string& why) {
        if (job_.videoFeed) {
            if (!videoIn_.Open(*job_.videoFeed, job_.video.file, "mpegvideo", why)) return false;
            pictures_.Open(*job_.videoFeed, job_.video.file);
            video_.emplace(videoIn_, pictures_);
        } else if (!job_.video.file.empty()) {
            if (!videoIn_.Open(job_.video.file, "mpegvideo", why)) return false;
            if (!pictures_.Open(job_.video.file, why)) return false;
            video_.emplace(videoIn_, pictures_);
            total_ += FileSize(job_.video.file);
        }
        if (!job_.audio.file.empty()) {
            if (!audioIn_.Open(job_.audio.file, AudioDemuxer(job_.audio.file), why)) return false;
            audio_.emplace(audioIn_);
            total_ += FileSize(job_.audio.file);
        }
        if (!video_ && !audio_) {
            why = "no stream to mux";
            return false;
        }
        return true;
    }

private:
    bool OpenOutput(std::string& why) {
        AVFormatContext* c = nullptr;
        const char* muxer = MuxerName(job_.format, video_ ? videoIn_.Stream() : nullptr);
        int rc = avformat_alloc_output_context2(&c, nullptr, muxer, name_.c_str());
        if (rc < 0 || !c) {
            why = "could not write " + name_ + ": " + AvError(rc);
            return false;
        }
        out_.reset(c);
        c->pb = io_.Io();
        c->flags |= AVFMT_FLAG_CUSTOM_IO;
        SetMetadata(c, job_.format, job_.tags);
        if (video_) videoOut_ = AddStream(videoIn_.Stream(), why);
        if (audio_) audioOut_ = AddStream(audioIn_.Stream(), why);
        return (!video_ || videoOut_) && (!audio_ || audioOut_);
    }

    AVStream* AddStream(const AVStream* in, std::string& why) {
        AVStream* st = avformat_new_stream(out_.get(), nullptr);
        int rc = st ? avcodec_parameters_copy(st->codecpar, in->codecpar) : AVERROR(ENOMEM);
        if (rc < 0) {
            why = "could not write " + name_ + ": " + AvError(rc);
            return nullptr;
        }
        st->codecpar->codec_tag = 0;
        st->time_base = kTicks;
        st->disposition |= AV_DISPOSITION_DEFAULT;
        if (in->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            st->sample_aspect_ratio = in->codecpar->sample_aspect_ratio;
            st->avg_frame_rate = in->avg_frame_rate;
            st->r_frame_rate = in->r_frame_rate;
        } else {
            av_dict_set(&st->metadata, "language", "und", 0);
            // A compressed stream has no bit depth; the decoder's sample format is not one.
            st->codecpar->format = -1;
            st->codecpar->bits_per_raw_sample = 0;
            st->codecpar->bits_per_coded_sample = 0;
        }
        return st;
    }

    // The track that starts first starts at 0; the other keeps its distance in ticks.
    // On the video's clock, rounded as its packets are (Matroska keeps milliseconds), so that
    // each chapter starts exactly at its picture.
    bool AddChapters() {
        if (job_.format != ContainerFormat::kMatroska || !video_) return true;
        constexpr AVRational kMs{1, 1000};
        for (const ContainerChapter& c : job_.chapters) {
            auto* list = static_cast<AVChapter**>(
                av_realloc_array(out_->chapters, out_->nb_chapters + 1, sizeof(AVChapter*)));
            if (!list) return false;
            out_->chapters = list;
            auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
            if (!chapter) return false;
            chapter->id = out_->nb_chapters + 1;
            chapter->time_base = kMs;
            chapter->start = av_rescale_q(c.start + videoShift_, kTicks, kMs);
            chapter->end = std::max(chapter->start, av_rescale_q(c.end + videoShift_, kTicks, kMs));
            av_dict_set(&chapter->metadata, "title", c.title.c_str(), 0);
            out_->chapters[out_->nb_chapters++] = chapter;
        }
        return true;
    }

    void Offsets() {
        const bool bothKnown = job_.video.startPts >= 0 && job_.audio.startPts >= 0;
        std::int64_t videoStart = 0, audioStart = 0;
        if (video_ && audio_ && bothKnown) {
            videoStart = job_.video.startPts;
            audioStart = job_.audio.startPts;
        }
        // Pictures of an open group shown before the first one count towards the video's start.
        const std::int64_t lead =
            video_ && !video_->Empty() ? std::min<std::int64_t>(video_->EarliestPts(), 0) : 0;
        const std::int64_t base = std::min(videoStart + lead, audioStart);
        videoShift_ = videoStart - base;
        audioShift_ = audioStart - base;
        char line[96];
        std::snprintf(line, sizeof line, "mux: video starts at %.3f s, audio at %.3f s",
                      static_cast<double>(videoShift_) / 90'000,
                      static_cast<double>(audioShift_) / 90'000);
        if (log_) log_(line);
    }

    ContainerOutcome Copy(std::string& why) {
        std::int64_t n = 0;
        for (;;) {
            const bool haveVideo = video_ && !video_->Empty();
            const bool haveAudio = audio_ && !audio_->Empty();
            if (!haveVideo && !haveAudio) return ContainerOutcome::kDone;
            const bool takeVideo = haveVideo && (!haveAudio || video_->NextDts() + videoShift_ <=
                                                                   audio_->NextDts() + audioShift_);
            Timed t = takeVideo ? video_->Take() : audio_->Take();
            const std::int64_t shift = takeVideo ? videoShift_ : audioShift_;
            AVStream* st = takeVideo ? videoOut_ : audioOut_;
            AVPacket* p = t.packet.get();
            p->stream_index = st->index;
            p->pts = av_rescale_q(t.pts + shift, kTicks, st->time_base);
            p->dts = av_rescale_q(t.dts + shift, kTicks, st->time_base);
            p->duration = av_rescale_q(p->duration,
                                       takeVideo ? videoIn_.Stream()->time_base
                                                 : audioIn_.Stream()->time_base,
                                       st->time_base);
            p->pos = -1;
            int rc = av_interleaved_write_frame(out_.get(), p);
            if (rc < 0) return Failed(rc, why);
            if (!(takeVideo ? video_->Fill(why) : audio_->Fill(why)))
                return ContainerOutcome::kFailed;
            if (++n % 64 == 0) {
                if (progress_->cancel && progress_->cancel->load()) {
                    why = "cancelled";
                    return ContainerOutcome::kCancelled;
                }
                Progress();
            }
        }
    }

    void Progress() {
        if (!progress_->update || total_ <= 0) return;
        const std::int64_t read = pictures_.Position() + audioIn_.Position();
        progress_->update(std::min<std::int64_t>(read, total_), total_);
    }

    ContainerOutcome Failed(int rc, std::string& why) {
        if (why.empty()) why = "could not write " + name_ + ": " + AvError(rc);
        return ContainerOutcome::kFailed;
    }

    static std::int64_t FileSize(const std::string& file) {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? st.st_size : 0;
    }

    ContainerJob job_; // a feed's start and chapters come in late
    LogSink log_;
    std::string name_;
    const ContainerProgress* progress_ = nullptr;
    // Declared before the output context, which writes into the container's I/O context.
    SinkIo io_;
    Input videoIn_, audioIn_;
    PictureSource pictures_;
    std::optional<VideoTrack> video_;
    std::optional<AudioTrack> audio_;
    OutputPtr out_;
    AVStream* videoOut_ = nullptr;
    AVStream* audioOut_ = nullptr;
    std::int64_t videoShift_ = 0, audioShift_ = 0;
    std::int64_t total_ = 0;
};

} // namespace

std::unique_ptr<ContainerWriter> OpenContainerWriter(const ContainerJob& job, const LogSink& log,
                                                     std::string& why) {
    av_log_set_level(AV_LOG_ERROR);
    auto writer = std::make_unique<Writer>(job, log);
    if (!writer->OpenInputs(why)) return nullptr;
    return writer;
}

} // namespace quorin::media
