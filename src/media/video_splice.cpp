#include "media/video_splice.h"

#include "media/video_index.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

namespace quorin::media {
namespace {

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::string Seconds(std::int64_t ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(ticks) / 90'000);
    return text;
}

// What one range takes from the stream.
struct Plan {
    std::vector<std::int64_t> head; // times re-encoded before the copy
    std::vector<int> copied;        // frames copied, decode order
    std::vector<std::int64_t> tail; // times re-encoded after it
    int gop = -1;                   // the first group copied
    int dropped = 0;                // leading pictures of that group left out
};

class Splicer {
public:
    Splicer(VideoIndex index, FilePtr in, FilePtr out, std::int64_t firstTime,
            const SpliceOptions& o)
        : ix_(std::move(index)), in_(std::move(in)), out_(std::move(out)), o_(o),
          ft_(ix_.sequence.FrameTicks()), first_(firstTime), shown_(ix_.FirstShown()) {
        for (std::size_t i = 0; i < ix_.frames.size(); ++i)
            byTime_[Time(static_cast<int>(i))] = static_cast<int>(i);
    }

    SpliceResult Run(std::span<const TimeRange> ranges) {
        result_.frameTicks = ft_;
        for (std::size_t r = 0; r < ranges.size() && result_.error.empty(); ++r)
            Range(ranges[r], static_cast<int>(r));
        if (result_.error.empty()) {
            static const std::uint8_t kEnd[4] = {0, 0, 1, 0xB7};
            Write(kEnd);
        }
        if (out_ && std::fclose(out_.release()) != 0 && result_.error.empty())
            result_.error = "the video output could not be written";
        if (!psnr_.empty()) {
            result_.minPsnr = *std::min_element(psnr_.begin(), psnr_.end());
            double sum = 0;
            for (double p : psnr_)
                sum += p;
            result_.meanPsnr = sum / static_cast<double>(psnr_.size());
        }
        result_.pictures = written_;
        return std::move(result_);
    }

private:
    std::int64_t Time(int frame) const {
        return first_ + (ix_.frames[static_cast<std::size_t>(frame)].display - shown_) * ft_;
    }
    std::int64_t IntraTime(const GopEntry& g) const {
        for (int i = g.firstFrame; i < g.firstFrame + g.frames; ++i)
            if (ix_.frames[static_cast<std::size_t>(i)].type == 1) return Time(i);
        return INT64_MAX;
    }

    Plan MakePlan(const TimeRange& range) const {
        Plan p;
        const std::int64_t from = std::max(range.from, first_);
        const std::int64_t slack = o_.exact ? 0 : 25;
        for (std::size_t k = 0; k < ix_.gops.size(); ++k) {
            const std::int64_t t = IntraTime(ix_.gops[k]);
            if (t != INT64_MAX && t >= from - slack) {
                p.gop = static_cast<int>(k);
                break;
            }
        }
        if (p.gop >= 0) {
            const GopEntry& g = ix_.gops[static_cast<std::size_t>(p.gop)];
            const std::int64_t intra = IntraTime(g);
            bool leadingBefore = false;
            for (int i = g.firstFrame; i < g.firstFrame + g.frames; ++i)
                if (Time(i) < from) leadingBefore = true;
            // Leading pictures stay when they need nothing before the group: a closed group, wholly
            // in the range with exact cuts.
            const bool keepLeading = g.closed && (!o_.exact || !leadingBefore);
            bool stop = false;
            for (std::size_t k = static_cast<std::size_t>(p.gop); k < ix_.gops.size() && !stop;
                 ++k) {
                const GopEntry& gk = ix_.gops[k];
                for (int i = gk.firstFrame; i < gk.firstFrame + gk.frames; ++i) {
                    if (Time(i) >= range.to) {
                        stop = true;
                        break;
                    }
                    if (static_cast<int>(k) == p.gop && !keepLeading && Time(i) < intra) {
                        ++p.dropped;
                        continue;
                    }
                    p.copied.push_back(i);
                }
            }
        }
        if (!o_.exact) return p;
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (int i : p.copied) {
            lo = std::min(lo, Time(i));
            hi = std::max(hi, Time(i));
        }
        for (const auto& [t, i] : byTime_) {
            if (t < from || t >= range.to) continue;
            if (p.copied.empty() || t < lo)
                p.head.push_back(t);
            else if (t > hi)
                p.tail.push_back(t);
        }
        return p;
    }

    void Range(const TimeRange& range, int number) {
        Plan p = MakePlan(range);
        SegmentWritten seg;
        seg.outputFrom = written_ * ft_;
        lo_ = INT64_MAX;
        hi_ = INT64_MIN;
        if (!p.head.empty() && !Encode(p.head, number, "begins")) p.head.clear();
        if (!result_.error.empty()) return;
        CopyFrames(p);
        if (!p.tail.empty() && !Encode(p.tail, number, "ends")) p.tail.clear();
        seg.reencoded = static_cast<int>(p.head.size() + p.tail.size());
        result_.reencoded += seg.reencoded;
        if (lo_ == INT64_MAX) return; // nothing of the range is in the stream
        seg.from = lo_;
        seg.to = hi_ + ft_;
        result_.segments.push_back(seg);
    }

    void Note(std::int64_t t) {
        lo_ = std::min(lo_, t);
        hi_ = std::max(hi_, t);
    }

    void CopyFrames(const Plan& p) {
        int gop = -1;
        for (int i : p.copied) {
            const FrameEntry& f = ix_.frames[static_cast<std::size_t>(i)];
            if (f.gop != gop) {
                gop = f.gop;
                GroupHeader(ix_.gops[static_cast<std::size_t>(gop)], gop == p.gop && p.dropped > 0);
            }
            std::vector<std::uint8_t> bytes = Read(f.offset, f.end - f.offset);
            if (gop == p.gop && p.dropped > 0)
                for (std::int64_t at : f.pictures)
                    Renumber(bytes, static_cast<std::size_t>(at - f.offset), p.dropped);
            Write(bytes);
            Note(Time(i));
            ++written_; // a group's pictures follow the ones before it in display order too
        }
    }

    // The sequence header (the group's own, or the stream's where the output needs one), then
    // the group header with the output's time code.
    void GroupHeader(const GopEntry& g, bool closes) {
        if (g.sequenceHeader >= 0) {
            const std::int64_t end = g.gopHeader >= 0 ? g.gopHeader : g.firstPicture;
            Write(Read(g.sequenceHeader, end - g.sequenceHeader));
        } else if (needSequence_) {
            Write(Read(ix_.sequenceOffset, ix_.sequenceLength));
        }
        needSequence_ = false;
        std::uint32_t low7 = 0;
        if (g.gopHeader >= 0) {
            const std::vector<std::uint8_t> old = Read(g.gopHeader, 8);
            low7 = old[7] & 0x7F;
        }
        if (closes || encodedLast_) low7 = (low7 | 0x40) & ~0x20u;
        Write(GroupBytes(written_ * ft_, low7));
        if (g.gopHeader >= 0 && g.firstPicture > g.gopHeader + 8)
            Write(Read(g.gopHeader + 8, g.firstPicture - g.gopHeader - 8));
        encodedLast_ = false;
    }

    std::vector<std::uint8_t> GroupBytes(std::int64_t d, std::uint32_t low7) const {
        const std::int64_t rate = std::max<std::int64_t>(1, (90'000 + ft_ / 2) / ft_);
        const std::int64_t frames = d / ft_;
        const std::int64_t secs = frames / rate;
        const std::uint32_t v = (static_cast<std::uint32_t>(secs / 3600 % 24) << 26) |
                                (static_cast<std::uint32_t>(secs / 60 % 60) << 20) | (1u << 19) |
                                (static_cast<std::uint32_t>(secs % 60) << 13) |
                                (static_cast<std::uint32_t>(frames % rate) << 7) | (low7 & 0x7F);
        return {0x00,
                0x00,
                0x01,
                0xB8,
                static_cast<std::uint8_t>(v >> 24),
                static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v)};
    }

    static void Renumber(std::vector<std::uint8_t>& b, std::size_t at, int by) {
        if (at + 6 > b.size()) return;
        int tr = (b[at + 4] << 2) | (b[at + 5] >> 6);
        tr = std::max(0, tr - by);
        b[at + 4] = static_cast<std::uint8_t>(tr >> 2);
        b[at + 5] = static_cast<std::uint8_t>((b[at + 5] & 0x3F) | ((tr & 3) << 6));
    }

    // Decodes the source around the times (from the group before the first to the group after
    // the last), so every picture has its references.
    std::vector<Picture> Decode(const std::vector<std::int64_t>& times) {
        std::set<std::int64_t> wanted(times.begin(), times.end());
        int a = INT32_MAX, b = -1;
        for (std::int64_t t : times) {
            const auto it = byTime_.find(t);
            if (it == byTime_.end()) return {};
            const int g = ix_.frames[static_cast<std::size_t>(it->second)].gop;
            a = std::min(a, g);
            b = std::max(b, g);
        }
        a = std::max(0, a - 1);
        b = std::min(static_cast<int>(ix_.gops.size()) - 1, b + 1);
        auto decoder = MakePictureDecoder(ix_.sequence.mpeg2, o_.log);
        if (!decoder) return {};
        std::vector<std::uint8_t> seq = Read(ix_.sequenceOffset, ix_.sequenceLength);
        for (int g = a; g <= b; ++g) {
            const GopEntry& ge = ix_.gops[static_cast<std::size_t>(g)];
            for (int i = ge.firstFrame; i < ge.firstFrame + ge.frames; ++i) {
                const FrameEntry& f = ix_.frames[static_cast<std::size_t>(i)];
                const std::int64_t from = i == ge.firstFrame ? ge.offset : f.offset;
                std::vector<std::uint8_t> bytes = Read(from, f.end - from);
                if (g == a && i == ge.firstFrame)
                    bytes.insert(bytes.begin(), seq.begin(), seq.end());
                decoder->Send(bytes, Time(i));
            }
        }
        decoder->Flush();
        std::vector<Picture> got;
        for (Picture& p : decoder->Take())
            if (wanted.erase(p.time) > 0) got.push_back(std::move(p));
        if (!wanted.empty()) return {};
        std::sort(got.begin(), got.end(),
                  [](const Picture& x, const Picture& y) { return x.time < y.time; });
        return got;
    }

    EncoderSettings Settings() const {
        const SequenceInfo& s = ix_.sequence;
        EncoderSettings e;
        e.mpeg2 = s.mpeg2;
        e.width = s.width;
        e.height = s.height;
        static constexpr int kRate[9][2] = {{25, 1}, {24000, 1001}, {24, 1},
                                            {25, 1}, {30000, 1001}, {30, 1},
                                            {50, 1}, {60000, 1001}, {60, 1}};
        const int code = s.frameRateCode >= 1 && s.frameRateCode <= 8 ? s.frameRateCode : 3;
        e.rateNum = kRate[code][0];
        e.rateDen = kRate[code][1];
        if (s.mpeg2) {
            // Display aspect ratios: the sample aspect follows from the size.
            int dw = 1, dh = 1;
            if (s.aspectCode == 2) dw = 4, dh = 3;
            if (s.aspectCode == 3) dw = 16, dh = 9;
            if (s.aspectCode == 4) dw = 221, dh = 100;
            if (s.aspectCode == 1) dw = s.width, dh = s.height;
            e.sarNum = dw * s.height;
            e.sarDen = dh * s.width;
        } else {
            static constexpr double kPel[15] = {1,      1,      0.6735, 0.7031, 0.7615,
                                                0.8055, 0.8437, 0.8935, 0.9157, 0.9815,
                                                1.0255, 1.0695, 1.0950, 1.1575, 1.2015};
            e.sarNum = 10'000;
            e.sarDen = static_cast<int>(std::lround(kPel[s.aspectCode % 15] * 10'000));
        }
        e.interlaced = s.mpeg2 && !s.progressiveSequence;
        e.chromaFormat = s.chromaFormat;
        // The most the source's profile and level allow.
        e.bitRate = 15'000'000;
        e.vbvBits = 1'835'008;
        if (!s.mpeg2) {
            e.bitRate = s.constrained || s.bitRate == 0 ? 1'856'000 : s.bitRate;
            e.vbvBits = s.constrained || s.vbvBits == 0 ? 327'680 : s.vbvBits;
        } else if (s.profileLevel & 0x80) {
            e.profile = 0;
            e.level = s.profileLevel & 15;
            e.bitRate = (s.profileLevel & 15) == 2 ? 300'000'000 : 50'000'000;
            e.vbvBits = (s.profileLevel & 15) == 2 ? 47'185'920 : 9'437'184;
        } else if (s.profileLevel != 0) {
            e.profile = (s.profileLevel >> 4) & 7;
            e.level = s.profileLevel & 15;
            switch (e.level) {
            case 10:
                e.bitRate = 4'000'000, e.vbvBits = 475'136;
                break;
            case 6:
                e.bitRate = 60'000'000, e.vbvBits = 7'340'032;
                break;
            case 4:
                e.bitRate = 80'000'000, e.vbvBits = 9'781'248;
                break;
            default:
                break;
            }
        }
        return e;
    }

    // Re-encodes the pictures at the times and writes them as one closed group; false (with a
    // notice) when they could not be made well enough, and nothing is written then.
    bool Encode(const std::vector<std::int64_t>& times, int number, const char* where) {
        auto fail = [&](const std::string& why) {
            result_.notices.push_back("range " + std::to_string(number + 1) + " " + where +
                                      " at its picture group: " + why + " (" +
                                      std::to_string(times.size()) + " pictures from " +
                                      Seconds(times.front()) + " left out)");
            o_.log(result_.notices.back());
            return false;
        };
        std::vector<Picture> source = Decode(times);
        if (source.size() != times.size()) return fail("the source pictures could not be decoded");
        std::optional<std::vector<std::uint8_t>> coded = EncodePictures(Settings(), source, o_.log);
        if (!coded) return fail("the pictures could not be encoded");
        std::vector<double> quality;
        if (!Check(*coded, source, quality)) return fail("the re-encoded pictures do not decode");
        const double worst = *std::min_element(quality.begin(), quality.end());
        if (worst < o_.minPsnr) {
            char text[64];
            std::snprintf(text, sizeof text, "re-encoded at %.1f dB PSNR", worst);
            return fail(text);
        }
        psnr_.insert(psnr_.end(), quality.begin(), quality.end());
        PatchGroup(*coded);
        Write(*coded);
        for (std::int64_t t : times)
            Note(t);
        written_ += static_cast<std::int64_t>(times.size());
        needSequence_ = true;
        encodedLast_ = true;
        return true;
    }

    // Decodes the coded pictures one by one and compares each with its source.
    bool Check(const std::vector<std::uint8_t>& coded, const std::vector<Picture>& source,
               std::vector<double>& quality) {
        auto decoder = MakePictureDecoder(ix_.sequence.mpeg2, o_.log);
        if (!decoder) return false;
        std::vector<std::size_t> starts;
        for (std::size_t i = 0; i + 3 < coded.size(); ++i)
            if (coded[i] == 0 && coded[i + 1] == 0 && coded[i + 2] == 1 && coded[i + 3] == 0)
                starts.push_back(i);
        if (starts.empty()) return false;
        starts.front() = 0;
        starts.push_back(coded.size());
        for (std::size_t k = 0; k + 1 < starts.size(); ++k)
            decoder->Send(std::span(coded).subspan(starts[k], starts[k + 1] - starts[k]),
                          static_cast<std::int64_t>(k));
        decoder->Flush();
        std::vector<Picture> back = decoder->Take();
        if (back.size() != source.size()) return false;
        for (std::size_t i = 0; i < back.size(); ++i)
            quality.push_back(Psnr(back[i], source[i]));
        return true;
    }

    void PatchGroup(std::vector<std::uint8_t>& coded) const {
        for (std::size_t i = 0; i + 8 <= coded.size() && i < 4096; ++i) {
            if (coded[i] || coded[i + 1] || coded[i + 2] != 1 || coded[i + 3] != 0xB8) continue;
            const std::vector<std::uint8_t> gop = GroupBytes(written_ * ft_, 0x40);
            std::copy(gop.begin(), gop.end(), coded.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }

    std::vector<std::uint8_t> Read(std::int64_t at, std::int64_t n) {
        std::vector<std::uint8_t> b(static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
        if (b.empty()) return b;
        if (fseeko(in_.get(), at, SEEK_SET) != 0 ||
            std::fread(b.data(), 1, b.size(), in_.get()) != b.size())
            result_.error = "the video input could not be read";
        return b;
    }

    void Write(std::span<const std::uint8_t> b) {
        if (!result_.error.empty() || b.empty()) return;
        if (std::fwrite(b.data(), 1, b.size(), out_.get()) != b.size())
            result_.error = "the video output could not be written";
    }

    VideoIndex ix_;
    FilePtr in_, out_;
    SpliceOptions o_;
    std::int64_t ft_, first_, shown_;
    std::map<std::int64_t, int> byTime_;
    SpliceResult result_;
    std::vector<double> psnr_;
    std::int64_t written_ = 0; // pictures in the output
    std::int64_t lo_ = 0, hi_ = 0;
    bool needSequence_ = true;
    bool encodedLast_ = false;
};

} // namespace

SpliceResult SpliceVideo(const std::string& input, const std::string& output,
                         std::int64_t firstTime, std::span<const TimeRange> ranges,
                         const SpliceOptions& options) {
    IndexResult indexed = IndexVideoFile(input);
    SpliceResult failed;
    if (!indexed.error.empty()) {
        failed.error = indexed.error;
        return failed;
    }
    FilePtr in(std::fopen(input.c_str(), "rb"), &std::fclose);
    FilePtr out(std::fopen(output.c_str(), "wbx"), &std::fclose);
    if (!in || !out) {
        failed.error = "cannot open " + (in ? output : input);
        return failed;
    }
    Splicer s(std::move(indexed.index), std::move(in), std::move(out), firstTime, options);
    return s.Run(ranges);
}

} // namespace quorin::media
