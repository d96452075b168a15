#include "media/video_index.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <span>

namespace quorin::media {
namespace {

// Reads bit fields from the bytes after a start code.
class Bits {
public:
    explicit Bits(std::span<const std::uint8_t> b) : b_(b) {}
    std::uint32_t Get(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos_) {
            const std::size_t byte = pos_ / 8;
            const int bit = byte < b_.size() ? (b_[byte] >> (7 - pos_ % 8)) & 1 : 0;
            v = (v << 1) | static_cast<std::uint32_t>(bit);
        }
        return v;
    }

private:
    std::span<const std::uint8_t> b_;
    std::size_t pos_ = 0;
};

class Indexer {
public:
    // A start code at offset with the bytes after its four (at least 16 of them when there).
    void StartCode(std::int64_t at, std::uint8_t code, std::span<const std::uint8_t> after) {
        if (code == 0x00 || code == 0xB3 || code == 0xB8 || code == 0xB7) CloseFrame(at);
        if (code == 0xB3)
            Sequence(at, after);
        else if (code == 0xB5)
            Extension(after);
        else if (code == 0xB8)
            Gop(at, after);
        else if (code == 0x00)
            Picture(at, after);
        else if (code == 0xB7)
            ended_ = at;
    }

    IndexResult Finish(std::int64_t size) {
        CloseFrame(ended_ >= 0 ? ended_ : size);
        IndexResult r;
        idx_.size = size;
        idx_.dataEnd = ended_ >= 0 ? ended_ : size;
        if (idx_.frames.empty()) r.error = "no picture in the video stream";
        if (idx_.sequenceOffset < 0) r.error = "no sequence header in the video stream";
        r.index = std::move(idx_);
        return r;
    }

private:
    void Sequence(std::int64_t at, std::span<const std::uint8_t> after) {
        Bits b(after);
        SequenceInfo& s = idx_.sequence;
        s.width = static_cast<int>(b.Get(12));
        s.height = static_cast<int>(b.Get(12));
        s.aspectCode = static_cast<int>(b.Get(4));
        s.frameRateCode = static_cast<int>(b.Get(4));
        const std::uint32_t rate = b.Get(18);
        rawRate_ = rate;
        b.Get(1);
        s.vbvBits = std::int64_t{b.Get(10)} * 16 * 1024;
        s.constrained = b.Get(1) != 0;
        s.bitRate = rate == 0x3FFFF ? 0 : std::int64_t{rate} * 400;
        if (idx_.sequenceOffset < 0) {
            idx_.sequenceOffset = at;
            sequenceOpen_ = true;
        }
        pendingGop_ = at;
        pendingSequence_ = at;
        inSequenceHeader_ = true;
    }

    void Extension(std::span<const std::uint8_t> after) {
        Bits b(after);
        const std::uint32_t id = b.Get(4);
        if (id == 1 && inSequenceHeader_) {
            SequenceInfo& s = idx_.sequence;
            s.mpeg2 = true;
            s.profileLevel = static_cast<int>(b.Get(8));
            s.progressiveSequence = b.Get(1) != 0;
            s.chromaFormat = static_cast<int>(b.Get(2));
            b.Get(4);
            const std::uint32_t rateExt = b.Get(12);
            b.Get(1);
            const std::uint32_t vbvExt = b.Get(8);
            if (rawRate_ != 0x3FFFF) s.bitRate = ((std::int64_t{rateExt} << 18) | rawRate_) * 400;
            s.vbvBits += std::int64_t{vbvExt} * 16 * 1024 * 1024;
        }
    }

    void Gop(std::int64_t at, std::span<const std::uint8_t> after) {
        EndSequenceBlock(at);
        Bits b(after);
        b.Get(25);
        GopEntry g;
        g.offset = pendingGop_ >= 0 ? pendingGop_ : at;
        g.sequenceHeader = pendingSequence_;
        g.gopHeader = at;
        g.closed = b.Get(1) != 0;
        g.brokenLink = b.Get(1) != 0;
        StartGop(g);
    }

    void Picture(std::int64_t at, std::span<const std::uint8_t> after) {
        EndSequenceBlock(at);
        if (pendingGop_ >= 0 || idx_.gops.empty()) {
            // A sequence header without a group header (or a stream beginning with a picture).
            GopEntry g;
            g.offset = pendingGop_ >= 0 ? pendingGop_ : at;
            g.sequenceHeader = pendingSequence_;
            StartGop(g);
        }
        GopEntry& g = idx_.gops.back();
        if (g.frames == 0 && !frameOpen_) g.firstPicture = at;
        Bits b(after);
        const int tr = static_cast<int>(b.Get(10));
        const int type = static_cast<int>(b.Get(3));
        // A second field shares the first's temporal reference and follows it at once.
        if (frameOpen_ && !idx_.frames.empty() && idx_.frames.back().temporalReference == tr &&
            idx_.frames.back().pictures.size() == 1 && idx_.sequence.mpeg2 &&
            !idx_.sequence.progressiveSequence && fieldPending_) {
            idx_.frames.back().pictures.push_back(at);
            fieldPending_ = false;
            return;
        }
        CloseFrame(at);
        FrameEntry f;
        f.offset = at;
        f.pictures = {at};
        f.type = type;
        f.temporalReference = tr;
        f.gop = static_cast<int>(idx_.gops.size()) - 1;
        f.display = gopBase_ + tr;
        idx_.frames.push_back(f);
        ++g.frames;
        shownInGop_ = std::max<std::int64_t>(shownInGop_, tr + 1);
        frameOpen_ = true;
        fieldPending_ = true;
    }

public:
    // A picture coding extension says whether the picture is a field.
    void PictureStructure(int structure) {
        if (structure == 3) fieldPending_ = false;
    }

private:
    void StartGop(GopEntry g) {
        CloseFrame(g.offset);
        gopBase_ += shownInGop_;
        shownInGop_ = 0;
        g.firstFrame = static_cast<int>(idx_.frames.size());
        g.firstPicture = g.offset;
        idx_.gops.push_back(g);
        pendingGop_ = -1;
        pendingSequence_ = -1;
    }

    void EndSequenceBlock(std::int64_t at) {
        if (sequenceOpen_) idx_.sequenceLength = at - idx_.sequenceOffset;
        sequenceOpen_ = false;
        inSequenceHeader_ = false;
    }

    void CloseFrame(std::int64_t at) {
        if (frameOpen_ && !idx_.frames.empty()) idx_.frames.back().end = at;
        frameOpen_ = false;
    }

    VideoIndex idx_;
    std::int64_t pendingGop_ = -1;
    std::int64_t pendingSequence_ = -1;
    std::int64_t gopBase_ = 0;
    std::int64_t shownInGop_ = 0;
    std::int64_t ended_ = -1;
    bool frameOpen_ = false;
    bool fieldPending_ = false;
    bool sequenceOpen_ = false;
    bool inSequenceHeader_ = false;
    std::uint32_t rawRate_ = 0;
};

// Feeds every start code of a block to the indexer; the block carries lookahead bytes past
// `scan` so headers are whole.
void ScanBlock(Indexer& ix, std::int64_t base, std::span<const std::uint8_t> b, std::size_t scan) {
    const std::size_t limit = std::min(scan, b.size() >= 4 ? b.size() - 3 : 0);
    std::size_t i = 0;
    while (i < limit) {
        const void* hit = std::memchr(b.data() + i + 2, 0x01, limit - i);
        if (!hit) return;
        const auto j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - b.data());
        i = j - 2;
        if (b[i] != 0 || b[i + 1] != 0) {
            i = j - 1;
            continue;
        }
        const std::uint8_t code = b[j + 1];
        const auto after = b.subspan(j + 2);
        if (code == 0xB5 && after.size() > 2 && (after[0] >> 4) == 8)
            ix.PictureStructure(after[2] & 3);
        ix.StartCode(base + static_cast<std::int64_t>(i), code,
                     after.first(std::min<std::size_t>(after.size(), 16)));
        i += 4;
    }
}

} // namespace

std::int64_t SequenceInfo::FrameTicks() const {
    static constexpr std::int64_t kTicks[16] = {3600, 3754, 3750, 3600, 3003, 3000, 1800, 1502,
                                                1500, 3600, 3600, 3600, 3600, 3600, 3600, 3600};
    return kTicks[frameRateCode & 15];
}

std::int64_t VideoIndex::FirstShown() const {
    for (const FrameEntry& f : frames)
        if (f.type == 1) return f.display;
    return frames.empty() ? 0 : frames.front().display;
}

IndexResult IndexVideoBytes(const std::vector<std::uint8_t>& bytes) {
    Indexer ix;
    ScanBlock(ix, 0, bytes, bytes.size());
    return ix.Finish(static_cast<std::int64_t>(bytes.size()));
}

IndexResult IndexVideoFile(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) return {{}, "cannot open " + path};
    constexpr std::size_t kBlock = 4 << 20, kLook = 96;
    std::vector<std::uint8_t> buf(kBlock + kLook);
    Indexer ix;
    std::int64_t base = 0;
    std::size_t have = std::fread(buf.data(), 1, buf.size(), f.get());
    while (have > 0) {
        const bool last = have < buf.size();
        const std::size_t scan = last ? have : kBlock;
        ScanBlock(ix, base, std::span<const std::uint8_t>(buf.data(), have), scan);
        if (last) {
            base += static_cast<std::int64_t>(have);
            break;
        }
        std::memmove(buf.data(), buf.data() + kBlock, kLook);
        base += kBlock;
        have = kLook + std::fread(buf.data() + kLook, 1, kBlock, f.get());
        if (have == kLook) {
            ScanBlock(ix, base, std::span<const std::uint8_t>(buf.data(), have), have);
            base += kLook;
            break;
        }
    }
    return ix.Finish(base);
}

} // namespace quorin::media
