// Video packetisation as a broadcast receiver records it: one PES packet per
// coded picture in decode order, PTS from the display position, DTS from the
// decode position, pictures beyond one packet split at slice start codes.
#include "video.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "bytes.h"
#include "pes.h"

namespace quorin::testdisk::detail {
namespace {

constexpr std::uint8_t kPictureCode = 0x00;
constexpr std::uint8_t kSliceFirst = 0x01;
constexpr std::uint8_t kSliceLast = 0xAF;
constexpr std::uint8_t kUserData = 0xB2;
constexpr std::uint8_t kSequenceHeader = 0xB3;
constexpr std::uint8_t kExtension = 0xB5;
constexpr std::uint8_t kSequenceEnd = 0xB7;
constexpr std::uint8_t kGopHeader = 0xB8;

struct StartCode {
    std::size_t at;
    std::uint8_t code;
};

std::string Hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

std::vector<StartCode> FindStartCodes(std::span<const std::uint8_t> es) {
    std::vector<StartCode> codes;
    for (std::size_t i = 0; i + 3 < es.size();) {
        if (es[i + 2] > 1) {
            i += 3; // no prefix can end at i + 2
        } else if (IsStartCode(es, i)) {
            codes.push_back({i, es[i + 3]});
            i += 3;
        } else {
            ++i;
        }
    }
    return codes;
}

Error At(std::size_t offset, const std::string& what) {
    return Error{"video offset " + std::to_string(offset) + ": " + what};
}

// Builds the picture list from the start codes, one picture at a time.
class VideoParser {
public:
    explicit VideoParser(std::span<const std::uint8_t> es) : es_(es) {}

    Expected<VideoStreamInfo> Run() {
        const auto codes = FindStartCodes(es_);
        if (codes.empty()) return Error{"no start codes: not an MPEG video stream"};
        for (const auto& sc : codes) {
            if (auto st = OnStartCode(sc); !st) return Error{st.error()};
        }
        if (auto st = ClosePicture(es_.size()); !st) return Error{st.error()};
        if (info_.pictures.empty()) return Error{"video stream holds no pictures"};
        if (!haveRate_) return Error{"video stream has no sequence header"};
        if (auto st = AssignDisplayOrder(); !st) return Error{st.error()};
        return std::move(info_);
    }

private:
    bool Has(std::size_t at, std::size_t bytes) const { return at + bytes <= es_.size(); }

    Status OnStartCode(const StartCode& sc) {
        const std::uint8_t c = sc.code;
        if (c == kSequenceHeader || c == kGopHeader || c == kPictureCode) return OnUnitCode(sc);
        if (c >= kSliceFirst && c <= kSliceLast) {
            if (!open_) return At(sc.at, "slice outside a picture");
            open_->slices.push_back(sc.at);
            return Ok();
        }
        if (c == kExtension) return OnExtension(sc.at);
        if (c == kUserData) return Ok();
        if (c == kSequenceEnd) { // dropped: a recording never ends its sequence
            unitStart_.reset();
            return ClosePicture(sc.at);
        }
        return At(sc.at, "unexpected start code " + Hex2(c));
    }

    // Sequence header, GOP header and picture start code open a new unit.
    Status OnUnitCode(const StartCode& sc) {
        if (auto st = ClosePicture(sc.at); !st) return st;
        if (!unitStart_) {
            unitStart_ = sc.at;
            unitSequence_ = sc.code == kSequenceHeader;
            unitGop_.reset();
        }
        if (sc.code == kSequenceHeader) return OnSequenceHeader(sc.at);
        if (sc.code == kGopHeader) {
            unitGop_ = sc.at;
            return Ok();
        }
        return OpenPicture(sc.at);
    }

    Status OnSequenceHeader(std::size_t at) {
        if (!Has(at, 12)) return At(at, "truncated sequence header");
        if (haveRate_) return Ok();
        static constexpr std::int64_t kRates[9][2] = {{0, 0},  {24000, 1001}, {24, 1},
                                                      {25, 1}, {30000, 1001}, {30, 1},
                                                      {50, 1}, {60000, 1001}, {60, 1}};
        const unsigned code = es_[at + 7] & 0x0F;
        if (code == 0 || code > 8) return At(at, "unsupported frame rate code");
        info_.rateNum = kRates[code][0];
        info_.rateDen = kRates[code][1];
        haveRate_ = true;
        return Ok();
    }

    Status OnExtension(std::size_t at) {
        if (!Has(at, 10)) return At(at, "truncated extension");
        const unsigned id = es_[at + 4] >> 4;
        if (id == 1 && !info_.mpeg2) { // sequence extension: MPEG-2, rate extension
            info_.mpeg2 = true;
            const unsigned b = es_[at + 9];
            info_.rateNum *= ((b >> 5) & 3) + 1;
            info_.rateDen *= (b & 0x1F) + 1;
        } else if (id == 8 && open_ && (es_[at + 6] & 3) != 3) {
            return At(at, "field pictures are not supported");
        }
        return Ok();
    }

    Status OpenPicture(std::size_t at) {
        if (!Has(at, 8)) return At(at, "truncated picture header");
        static constexpr char kTypes[] = "?IPBD???";
        CodedPicture pic;
        pic.begin = *unitStart_;
        pic.sequenceHeader = unitSequence_;
        if (unitGop_) pic.gopHeader = *unitGop_;
        pic.temporalReference = (es_[at + 4] << 2) | (es_[at + 5] >> 6);
        pic.type = kTypes[(es_[at + 5] >> 3) & 7];
        if (pic.type == '?') return At(at, "invalid picture coding type");
        open_ = std::move(pic);
        unitStart_.reset();
        return Ok();
    }

    Status ClosePicture(std::size_t end) {
        if (!open_) return Ok();
        if (open_->slices.empty()) return At(open_->begin, "picture without slices");
        open_->end = end;
        info_.pictures.push_back(std::move(*open_));
        open_.reset();
        return Ok();
    }

    // Display index = pictures of earlier GOPs + temporal reference; the
    // indices of one pass must number the pictures 0..N-1.
    Status AssignDisplayOrder() {
        auto& pics = info_.pictures;
        std::int64_t gopBase = 0, inGop = 0;
        std::vector<bool> seen(pics.size(), false);
        for (std::size_t d = 0; d < pics.size(); ++d) {
            if (pics[d].gopHeader) {
                gopBase += inGop;
                inGop = 0;
            }
            ++inGop;
            const std::int64_t index = gopBase + pics[d].temporalReference;
            if (index < 0 || index >= static_cast<std::int64_t>(pics.size()) || seen[index])
                return At(pics[d].begin, "temporal references do not number the pictures "
                                         "consecutively (open GOP at the end?)");
            seen[index] = true;
            pics[d].displayIndex = index;
            info_.reorderDelay = std::max(info_.reorderDelay, static_cast<std::int64_t>(d) - index);
        }
        return Ok();
    }

    std::span<const std::uint8_t> es_;
    VideoStreamInfo info_;
    bool haveRate_ = false;
    std::optional<CodedPicture> open_;
    std::optional<std::size_t> unitStart_;
    bool unitSequence_ = false;
    std::optional<std::size_t> unitGop_;
};

// Shifts the GOP time code at `at` (a copy in `out`) by `pictures`.
void ShiftTimeCode(std::vector<std::uint8_t>& out, std::size_t at, std::int64_t pictures,
                   std::int64_t fps) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | out[at + 4 + i];
    const std::int64_t hours = (v >> 26) & 31, minutes = (v >> 20) & 63;
    const std::int64_t seconds = (v >> 13) & 63, frames = (v >> 7) & 63;
    std::int64_t total = ((hours * 60 + minutes) * 60 + seconds) * fps + frames + pictures;
    const auto p = static_cast<std::uint32_t>(total % fps);
    total /= fps;
    const auto s = static_cast<std::uint32_t>(total % 60),
               m = static_cast<std::uint32_t>(total / 60 % 60);
    const auto h = static_cast<std::uint32_t>(total / 3600 % 24);
    v = (v & 0x8000007Fu) | (h << 26) | (m << 20) | (1u << 19) | (s << 13) | (p << 7);
    for (int i = 0; i < 4; ++i)
        out[at + 4 + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Where the next packet of a picture ends: the whole rest, or the last slice
// start code that keeps the payload within one packet.
Expected<std::size_t> NextCut(const CodedPicture& pic, std::size_t start, std::size_t max) {
    if (pic.end - start <= max) return pic.end;
    auto it = std::upper_bound(pic.slices.begin(), pic.slices.end(), start + max);
    if (it == pic.slices.begin() || *(it - 1) <= start)
        return At(start, "a slice does not fit into one PES packet");
    return *(it - 1);
}

struct PictureTiming {
    PesHeader header;
    std::int64_t ptsLinear = 0;
    std::int64_t timeCodeShift = 0; // pictures to add to the GOP time code
};

Status AppendPicture(PacketisedStream& out, std::span<const std::uint8_t> es,
                     const CodedPicture& pic, const PictureTiming& timing, std::int64_t fps) {
    const std::size_t max = MaxPayload(timing.header);
    for (std::size_t start = pic.begin; start < pic.end;) {
        auto cut = NextCut(pic, start, max);
        if (!cut) return Error{cut.error()};
        const bool first = start == pic.begin;
        PacketInfo info;
        info.offset = out.bytes.size();
        info.streamId = timing.header.streamId;
        info.pts = WrapPts(timing.header.pts);
        if (timing.header.dts) info.dts = WrapPts(*timing.header.dts);
        info.ptsLinear = timing.ptsLinear;
        info.headerDataLength = HeaderDataLength(timing.header);
        info.pictureType = pic.type;
        info.sequenceHeader = first && pic.sequenceHeader;
        info.gopHeader = first && pic.gopHeader.has_value();
        info.continuation = !first;
        info.frames = first ? 1 : 0;
        AppendPesHeader(out.bytes, timing.header, *cut - start);
        const std::size_t payloadAt = out.bytes.size();
        out.bytes.insert(out.bytes.end(), es.begin() + static_cast<std::ptrdiff_t>(start),
                         es.begin() + static_cast<std::ptrdiff_t>(*cut));
        if (info.gopHeader && timing.timeCodeShift != 0)
            ShiftTimeCode(out.bytes, payloadAt + (*pic.gopHeader - pic.begin), timing.timeCodeShift,
                          fps);
        info.size = static_cast<std::uint32_t>(out.bytes.size() - info.offset);
        out.packets.push_back(info);
        start = *cut;
    }
    return Ok();
}

} // namespace

Expected<VideoStreamInfo> ParseVideo(std::span<const std::uint8_t> es) {
    return VideoParser(es).Run();
}

std::int64_t PictureTicks(const VideoStreamInfo& info, std::int64_t pictures) {
    return pictures * kPtsClock * info.rateDen / info.rateNum;
}

} // namespace quorin::testdisk::detail

namespace quorin::testdisk {

Expected<PacketisedStream> PacketiseVideo(std::span<const std::uint8_t> es,
                                          const VideoOptions& options) try {
    using namespace detail;
    if (options.loops < 1) return Error{"loop count must be at least 1"};
    auto parsed = ParseVideo(es);
    if (!parsed) return Error{parsed.error()};
    const VideoStreamInfo& info = *parsed;
    const auto n = static_cast<std::int64_t>(info.pictures.size());
    const std::int64_t fps = (info.rateNum + info.rateDen / 2) / info.rateDen;

    PacketisedStream out;
    out.streamId = kVideoStreamId;
    out.bytes.reserve(es.size() * static_cast<std::size_t>(options.loops) * 101 / 100 + 4096);
    for (std::int64_t loop = 0; loop < options.loops; ++loop) {
        for (std::int64_t d = 0; d < n; ++d) {
            const CodedPicture& pic = info.pictures[static_cast<std::size_t>(d)];
            PictureTiming timing;
            timing.ptsLinear = options.firstPts + PictureTicks(info, loop * n + pic.displayIndex);
            const std::int64_t dts =
                options.firstPts + PictureTicks(info, loop * n + d - info.reorderDelay);
            timing.header.streamId = kVideoStreamId;
            timing.header.pts = timing.ptsLinear;
            if (dts != timing.ptsLinear) timing.header.dts = dts;
            timing.timeCodeShift = loop * n;
            if (auto st = AppendPicture(out, es, pic, timing, fps); !st) return Error{st.error()};
        }
    }
    out.frameCount = static_cast<std::uint64_t>(n * options.loops);
    out.durationTicks = PictureTicks(info, n * options.loops);
    return out;
} catch (const std::exception& e) {
    return Error{std::string("video packetisation failed: ") + e.what()};
}

} // namespace quorin::testdisk
