// Video stream extraction.
#include "rip/extract.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/ibits.h"
#include "disk/pvr_file.h"
#include "media/start_code.h"
#include "rip/obits.h"
#include "rip/pes.h"
#include "rip/raw_rip.h"
#include "rip/start_search.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace quorin {
namespace {

enum class CopyEnd { kEndPts, kDataEnd, kEof, kCancelled };

// Bits into bytes, most significant first.
class BitSink {
public:
    explicit BitSink(std::vector<std::uint8_t>& out) : out_(out) {}
    void Put(std::uint32_t value, int n) {
        while (n-- > 0) {
            acc_ = static_cast<std::uint8_t>((acc_ << 1) | ((value >> n) & 1));
            if (++used_ == 8) Flush();
        }
    }
    // Zero bits to the next byte.
    void Align() {
        if (used_ > 0) Put(0, 8 - used_);
    }

private:
    void Flush() {
        out_.push_back(acc_);
        acc_ = 0;
        used_ = 0;
    }
    std::vector<std::uint8_t>& out_;
    std::uint8_t acc_ = 0;
    int used_ = 0;
};

// A uniform grey intra picture coded like `intra` (its picture header and extensions, then one
// slice per macroblock row whose blocks hold nothing but the reset DC value): what a cut shows for
// the time before its first picture when damage took the pictures there, a picture no recording
// has. Empty when the coding does not allow it (field pictures, concealment vectors).
std::vector<std::uint8_t> GreyPicture(std::span<const std::uint8_t> intra, int width, int height) {
    std::size_t slices = 0;
    bool mpeg2 = false;
    bool framePredFrameDct = true;
    bool intraVlc = false;
    for (std::size_t i = 4; i + 4 <= intra.size() && slices == 0; ++i) {
        if (intra[i] != 0 || intra[i + 1] != 0 || intra[i + 2] != 1) continue;
        const std::uint8_t code = intra[i + 3];
        if (code >= 0x01 && code <= 0xAF) slices = i;
        if (code == 0xB5 && i + 8 <= intra.size() && (intra[i + 4] >> 4) == 8) {
            mpeg2 = true;
            // picture_structure frame, no concealment motion vectors
            if ((intra[i + 6] & 3) != 3 || (intra[i + 7] & 0x20) != 0) return {};
            framePredFrameDct = (intra[i + 7] & 0x40) != 0;
            intraVlc = (intra[i + 7] & 0x08) != 0;
        }
    }
    if (slices < 6 || width <= 0 || height <= 0 || height > 2800) return {};
    std::vector<std::uint8_t> out(intra.begin(),
                                  intra.begin() + static_cast<std::ptrdiff_t>(slices));
    out[4] = 0; // temporal_reference 0
    out[5] &= 0x3F;
    BitSink bits(out);
    for (int row = 0; row < (height + 15) / 16; ++row) {
        for (std::uint8_t b : {0x00, 0x00, 0x01})
            out.push_back(b);
        out.push_back(static_cast<std::uint8_t>(row + 1));
        bits.Put(1, 5); // quantiser_scale_code
        bits.Put(0, 1); // extra_bit_slice
        for (int mb = 0; mb < (width + 15) / 16; ++mb) {
            bits.Put(1, 1);                                  // macroblock_address_increment 1
            bits.Put(1, 1);                                  // macroblock_type intra
            if (mpeg2 && !framePredFrameDct) bits.Put(0, 1); // dct_type
            for (int block = 0; block < 6; ++block) {
                if (block < 4)
                    bits.Put(0b100, 3); // dct_dc_size_luminance 0
                else
                    bits.Put(0b00, 2); // dct_dc_size_chrominance 0
                if (intraVlc)
                    bits.Put(0b0110, 4); // end of block
                else
                    bits.Put(0b10, 2);
            }
        }
        bits.Align();
    }
    return out;
}

class VideoCopy {
public:
    VideoCopy(RipRun& run, CIBits& r, COBits& out, RipProgress& vp, std::uint8_t s, std::int64_t S,
              std::int64_t E1, std::int64_t T0, int k, std::int64_t headerPts,
              std::int64_t startPts, std::string* delayLog)
        : run_(run), e_(run.State()), r_(r), out_(out), vp_(vp), s_(s), S_(S), E1_(E1), T0_(T0),
          L_(T0), k_(k), delayLog_(delayLog), packetPts_(headerPts), firstPts_(headerPts),
          startPts_(startPts) {
        endByte_ = e_.m_i64VideoEndBit / 8;
        // The pictures before the sequence header found are lost: as after damage.
        if (startPts_ != firstPts_) awaitingIntra_ = resumedGop_ = held_ = true;
    }

    // Copies from the reader position (the first sequence header) on. Every byte before the end
    // of the stream's data is written except the PES headers of the stream; GOP time codes are
    // rewritten. The result is byte for byte that of a loop that moves one byte per step, but for
    // damage: bytes the disk could not deliver end the picture they fall in, which is dropped with
    // everything up to the next sequence or GOP header.
    CopyEnd Run() {
        CopyEnd end = Copy();
        if (end == CopyEnd::kCancelled) return end;
        if (dropping_) {
            // Damage that runs to the end: bridged to where the clean copy would have ended.
            const std::int64_t to = EndPts(end);
            Fill(to);
            NoteLoss(to);
        } else {
            EmitUnit(counter_);
            if (awaitingIntra_) Fill(EndPts(end));
        }
        return end;
    }

    std::int64_t L() const { return L_; }
    std::int64_t Bytes() const { return counter_; }
    std::int64_t Bridged() const { return bridged_; }

    // A copy that ended before its first picture (or before a packet header said when it is
    // shown) still logs a delay: that of the last packet read.
    void FinishDelay() {
        if (!delayWritten_ && packetPts_ != PTS_NONE) StartsAt(packetPts_);
    }

private:
    CopyEnd Copy() {
        std::uint8_t carry[3];
        int carryLen = 0;
        std::int64_t carryPos = 0;
        for (;;) {
            if (carryLen > 0) {
                // The last bytes of a block: a start code may continue in the next block.
                std::span<const std::uint8_t> next;
                if (!r_.IsEOF()) next = r_.BufferedBytes();
                std::uint8_t head[6];
                int headLen = 0;
                for (int i = 0; i < carryLen; ++i)
                    head[headLen++] = carry[i];
                for (std::size_t i = 0; i < next.size() && headLen < 6; ++i)
                    head[headLen++] = next[i];
                int special = -1;
                for (int i = 0; i < carryLen && i + 3 < headLen; ++i) {
                    if (head[i] == 0 && head[i + 1] == 0 && head[i + 2] == 1 &&
                        (head[i + 3] == s_ || head[i + 3] == 0xB8)) {
                        special = i;
                        break;
                    }
                }
                int n = special >= 0 ? special : carryLen;
                std::int64_t allowed = endByte_ - carryPos;
                if (allowed < n) {
                    Write(std::span<const std::uint8_t>(
                        carry, static_cast<std::size_t>(std::max<std::int64_t>(allowed, 0))));
                    return CopyEnd::kDataEnd;
                }
                Write(std::span<const std::uint8_t>(carry, static_cast<std::size_t>(n)));
                carryLen = 0;
                if (special < 0) {
                    if (r_.IsEOF()) return CopyEnd::kEof;
                    continue;
                }
                // Rare: back into the previous block, onto the start code.
                if (!r_.SeekBitPosition((carryPos + special) * 8)) return CopyEnd::kEof;
            } else {
                if (r_.IsEOF()) return CopyEnd::kEof;
                std::int64_t pos = BytePosition(r_);
                if (pos >= endByte_) return CopyEnd::kDataEnd;
                const CIBits::Damage* damage = r_.DamageFrom(pos);
                if (damage && damage->begin <= pos) {
                    CopyEnd end;
                    if (SkipDamage(*damage, end)) return end;
                    continue;
                }
                std::span<const std::uint8_t> buf = r_.BufferedBytes();
                if (buf.empty()) {
                    // Not byte-aligned (never after the parsers here): one byte the slow way.
                    std::uint8_t b = r_.ReadByte();
                    Write(std::span<const std::uint8_t>(&b, 1));
                    continue;
                }
                std::int64_t n = static_cast<std::int64_t>(buf.size());
                if (damage && damage->begin < pos + n) {
                    // The clean bytes before the damage; no start code can continue into it.
                    const std::int64_t clean = std::min(damage->begin, endByte_) - pos;
                    std::int64_t at = FindSpecial(buf.data(), std::max<std::int64_t>(clean - 3, 0));
                    if (at < 0) {
                        Write(buf.first(static_cast<std::size_t>(clean)), clean - 3);
                        if (clean > 0) r_.ConsumeBuffered(static_cast<std::int32_t>(clean));
                        if (pos + clean >= endByte_) return CopyEnd::kDataEnd;
                        continue;
                    }
                    Write(buf.first(static_cast<std::size_t>(at)), at);
                    if (at > 0) r_.ConsumeBuffered(static_cast<std::int32_t>(at));
                    CopyEnd end;
                    if (Special(end)) return end;
                    continue;
                }
                std::int64_t limit = std::min(n, endByte_ - pos);
                std::int64_t checked = std::max<std::int64_t>(0, std::min(limit, n - 3));
                std::int64_t at = FindSpecial(buf.data(), checked);
                if (at < 0) {
                    Write(buf.first(static_cast<std::size_t>(checked)), checked);
                    if (checked > 0) r_.ConsumeBuffered(static_cast<std::int32_t>(checked));
                    if (pos + checked >= endByte_) return CopyEnd::kDataEnd;
                    carryPos = pos + checked;
                    carryLen = static_cast<int>(n - checked);
                    std::memcpy(carry, buf.data() + checked, static_cast<std::size_t>(carryLen));
                    r_.ConsumeBuffered(carryLen);
                    continue;
                }
                Write(buf.first(static_cast<std::size_t>(at)), at);
                if (at > 0) r_.ConsumeBuffered(static_cast<std::int32_t>(at));
            }
            // The reader stands on 00 00 01 s or 00 00 01 B8.
            CopyEnd end;
            if (Special(end)) return end;
        }
    }

    // First i < count with bytes i..i+3 = 00 00 01 s or 00 00 01 B8 (all four inside). The same
    // pass notes the picture and sequence headers that begin before it (b[0] is the next byte the
    // copy writes), so the copied bytes are searched once.
    std::int64_t FindSpecial(const std::uint8_t* b, std::int64_t count) {
        const auto end = static_cast<std::size_t>(count) + 2; // the 01 of a start before count
        for (std::size_t one = 2;; ++one) {
            one = media::NextStartCode(b, one, end);
            if (one >= end) return -1;
            const auto i = static_cast<std::int64_t>(one) - 2;
            const std::uint8_t code = b[one + 1];
            if (code == s_ || code == 0xB8) return i;
            if (code == 0x00 || code == 0xB3) NoteCode(counter_ + i, code);
        }
    }

    // The output is watched for picture, sequence and GOP headers: each ends the unit held
    // before it (headers and at most one picture), which is then written or dropped whole. The
    // copy writes clean data straight through and keeps only the positions of the held unit;
    // after damage, until pictures can be shown again, the unit's bytes are held back.
    struct Code {
        std::int64_t at; // position in the copy (counter_)
        std::uint8_t code;
    };

    // searched: the starts below counter_ + searched were looked at by FindSpecial.
    void Write(std::span<const std::uint8_t> bytes, std::int64_t searched = 0) {
        const std::int64_t begin = counter_;
        const auto n = static_cast<std::int64_t>(bytes.size());
        if (held_)
            unit_.insert(unit_.end(), bytes.begin(), bytes.end());
        else
            out_.WriteBytes(bytes);
        // Starts FindSpecial could not see: the last bytes before this write and, for bytes it
        // did not search (a carried block end, a rewritten GOP header), these.
        const std::int64_t seen = begin + std::max<std::int64_t>(searched, 0);
        const std::int64_t upTo = std::max(seen, begin + n - 3);
        const std::int64_t from = std::max(searched_, begin - kHistory);
        Examine(from, std::min(begin, upTo), bytes, begin);
        Examine(std::max(from, seen), upTo, bytes, begin);
        // A start whose four bytes are still to come waits for the next write, unless
        // FindSpecial looked at it already.
        searched_ = std::max(searched_, searched > 0 ? upTo : std::min(upTo, begin + n - 3));
        counter_ += n;
        // Each header is handled once the bytes it needs are written (its first eight).
        while (next_ < codes_.size() && codes_[next_].at + 7 < counter_) {
            const Code c = codes_[next_++];
            std::array<std::uint8_t, 4> header{};
            for (int i = 0; i < 4; ++i)
                header[static_cast<std::size_t>(i)] = ByteAt(c.at + 4 + i, bytes, begin);
            Handle(c, header);
        }
        if (next_ == codes_.size()) {
            codes_.clear();
            next_ = 0;
        }
        for (std::int64_t i = std::max<std::int64_t>(0, n - kHistory); i < n; ++i)
            history_[static_cast<std::size_t>((begin + i) % kHistory)] =
                bytes[static_cast<std::size_t>(i)];
    }

    // Notes the headers that begin in [from, to) and whose first four bytes are written.
    void Examine(std::int64_t from, std::int64_t to, std::span<const std::uint8_t> bytes,
                 std::int64_t begin) {
        const std::int64_t end = begin + static_cast<std::int64_t>(bytes.size());
        for (std::int64_t p = from; p < to && p + 3 < end; ++p) {
            if (ByteAt(p, bytes, begin) != 0 || ByteAt(p + 1, bytes, begin) != 0 ||
                ByteAt(p + 2, bytes, begin) != 1)
                continue;
            const std::uint8_t code = ByteAt(p + 3, bytes, begin);
            if (code == 0x00 || code == 0xB3 || code == 0xB8) NoteCode(p, code);
        }
    }

    void NoteCode(std::int64_t at, std::uint8_t code) {
        // Junction starts may be met twice (before and after a carried block end).
        if (!codes_.empty() && codes_.back().at >= at) {
            if (codes_.back().at == at) return;
            auto it =
                std::upper_bound(codes_.begin() + static_cast<std::ptrdiff_t>(next_), codes_.end(),
                                 at, [](std::int64_t a, const Code& c) { return a < c.at; });
            if (it != codes_.begin() && std::prev(it)->at == at) return;
            codes_.insert(it, {at, code});
            return;
        }
        codes_.push_back({at, code});
    }

    // A byte of the copy at position p: in the bytes just written (from position begin) or in
    // the last few before them.
    std::uint8_t ByteAt(std::int64_t p, std::span<const std::uint8_t> bytes,
                        std::int64_t begin) const {
        if (p >= begin) return bytes[static_cast<std::size_t>(p - begin)];
        return history_[static_cast<std::size_t>(p % kHistory)];
    }

    // A header with its bytes 4 to 7.
    void Handle(const Code& c, const std::array<std::uint8_t, 4>& b) {
        if (c.at < unitBase_) return; // before damage that dropped it
        if (unitHasPicture_) EmitUnit(c.at);
        if (c.code == 0x00) {
            unitHasPicture_ = true;
            picture_ = c.at;
            pictureType_ = (b[1] >> 3) & 7;
            unitPts_ = packetPts_ != PTS_NONE ? packetPts_ : L_;
            unitPacketPts_ = packetPts_;
        } else if (c.code == 0xB3) {
            static const std::int64_t kTicks[16] = {3600, 3754, 3750, 3600, 3003, 3000, 1800, 1502,
                                                    1500, 3600, 3600, 3600, 3600, 3600, 3600, 3600};
            frameTicks_ = kTicks[b[3] & 0x0F];
            width_ = (b[0] << 4) | (b[1] >> 4);
            height_ = ((b[1] & 0x0F) << 8) | b[2];
        }
    }

    // The output position of a copy position of the unit written straight through.
    std::uint64_t OutAt(std::int64_t p) const {
        return out_.Position() - static_cast<std::uint64_t>(counter_ - p);
    }

    // Writes (or drops) the held unit up to copy position end.
    void EmitUnit(std::int64_t end) {
        const bool picture = unitHasPicture_;
        unitHasPicture_ = false;
        if (!held_) {
            // Clean data: already written.
            if (picture)
                Shown(OutAt(unitBase_), OutAt(picture_), static_cast<std::size_t>(end - picture_));
            unitBase_ = end;
            return;
        }
        const auto n = static_cast<std::size_t>(end - unitBase_);
        const auto pictureAt = static_cast<std::size_t>(picture_ - unitBase_);
        bool keep = !dropping_;
        if (keep && picture && awaitingIntra_) {
            keep = pictureType_ == 1;
            if (keep) {
                awaitingIntra_ = false;
                Bridge(std::span<const std::uint8_t>(unit_.data(), pictureAt),
                       std::span<const std::uint8_t>(unit_.data() + pictureAt, n - pictureAt));
            }
        } else if (keep && picture && dropLeadingB_) {
            keep = pictureType_ != 3;
            if (pictureType_ != 3) dropLeadingB_ = false;
        }
        if (keep) {
            const std::uint64_t at = out_.Position();
            out_.WriteBytes(std::span<const std::uint8_t>(unit_.data(), n));
            if (picture) Shown(at, at + pictureAt, n - pictureAt);
        }
        unit_.erase(unit_.begin(), unit_.begin() + static_cast<std::ptrdiff_t>(n));
        unitBase_ = end;
        if (!dropping_ && !awaitingIntra_ && !dropLeadingB_) {
            // Pictures can be shown again: back to writing straight through.
            out_.WriteBytes(unit_);
            unit_.clear();
            held_ = false;
        }
    }

    // The display slot of a time stamp: frames from the first picture written.
    std::int64_t Slot(std::int64_t pts) const {
        const std::int64_t d = pts - slotBase_ + frameTicks_ / 2;
        return d >= 0 ? d / frameTicks_ : -((-d + frameTicks_ - 1) / frameTicks_);
    }
    std::int64_t SlotPts(std::int64_t slot) const { return slotBase_ + slot * frameTicks_; }

    // A picture written at output position at, n bytes long, in a unit that begins at unitAt.
    // Pictures are stored in decode order: a reference picture is shown after the B pictures
    // that follow it, so it stays ahead of the slots shown until they come.
    void Shown(std::uint64_t unitAt, std::uint64_t at, std::size_t n) {
        ++pictures_;
        if (pictureType_ == 1) {
            lastIntraAt_ = at;
            lastIntraBytes_ = n;
        }
        if (!delayWritten_ && unitPacketPts_ != PTS_NONE) StartsAt(unitPacketPts_);
        if (slotBase_ == PTS_NONE) slotBase_ = unitPts_;
        const std::int64_t slot = Slot(unitPts_);
        if (slot < frontier_ - kReorder || slot > frontier_ + kReorder) {
            // A jump of the time stamps: the slots begin anew.
            ahead_.clear();
            frontier_ = slot + 1;
            return;
        }
        if (slot < frontier_ || std::ranges::find(ahead_, slot) != ahead_.end()) return;
        if (slot > frontier_) {
            if (ahead_.empty()) {
                cutAt_ = unitAt;
                cutFrontier_ = frontier_;
            }
            ahead_.insert(std::ranges::upper_bound(ahead_, slot), slot);
            return;
        }
        ++frontier_;
        while (!ahead_.empty() && ahead_.front() <= frontier_) {
            if (ahead_.front() == frontier_) ++frontier_;
            ahead_.erase(ahead_.begin());
        }
    }

    // Before the first picture after damage (an intra picture at unitPts_): repeats of the last
    // whole intra picture written (or of this one) for the slots the damage emptied.
    // headers: what precedes the intra picture in its unit.
    void Bridge(std::span<const std::uint8_t> headers, std::span<const std::uint8_t> intra) {
        if (slotBase_ != PTS_NONE) {
            Repeat(Slot(unitPts_), intra);
            return;
        }
        // Damage took the first pictures: grey from where the cut begins, after the sequence
        // header the unit begins with.
        if (startPts_ == PTS_NONE || unitPts_ <= startPts_ || headers.size() < 4 ||
            headers[0] != 0 || headers[1] != 0 || headers[2] != 1 || headers[3] != 0xB3)
            return;
        const std::vector<std::uint8_t> grey = GreyPicture(intra, width_, height_);
        if (grey.empty()) return;
        std::size_t sequence = 4;
        while (sequence + 4 <= headers.size() &&
               !(headers[sequence] == 0 && headers[sequence + 1] == 0 &&
                 headers[sequence + 2] == 1 && headers[sequence + 3] == 0xB8))
            ++sequence;
        out_.WriteBytes(headers.first(std::min(sequence, headers.size())));
        slotBase_ = startPts_;
        frontier_ = 0;
        RepeatBytes(Slot(unitPts_), grey);
    }

    // After damage that reaches the end: repeats up to the time to.
    void Fill(std::int64_t to) {
        if (slotBase_ == PTS_NONE || to == PTS_NONE) return;
        Repeat(Slot(to), {});
    }

    // The slots from the frontier to `to` filled with the last intra picture, each a closed group
    // of its own.
    void Repeat(std::int64_t to, std::span<const std::uint8_t> intra) {
        if (to <= frontier_) return;
        std::vector<std::uint8_t> picture;
        if (lastIntraBytes_ == 0 || !out_.ReadBack(lastIntraAt_, lastIntraBytes_, picture))
            picture.assign(intra.begin(), intra.end());
        if (picture.size() < 6) return;
        picture[4] = 0; // temporal_reference 0
        picture[5] &= 0x3F;
        RepeatBytes(to, picture);
    }

    void RepeatBytes(std::int64_t to, std::span<const std::uint8_t> picture) {
        if (!delayWritten_ && frontier_ < to) StartsAt(SlotPts(frontier_));
        for (; frontier_ < to; ++frontier_) {
            const auto gop = GopBytes(SlotPts(frontier_) - T0_, 0, 0x40);
            out_.WriteBytes(gop);
            out_.WriteBytes(picture);
            ++pictures_;
            ++bridged_;
        }
    }

    // Where the clean copy would have ended: after the last picture before the packet that ended
    // the cut or, when the stream's data ended, also where the clip's audio (or the cut) ends.
    std::int64_t EndPts(CopyEnd end) const {
        if (slotBase_ == PTS_NONE || maxPts_ == PTS_NONE) return PTS_NONE;
        std::int64_t to = SlotPts(Slot(maxPts_) + 1);
        if (end == CopyEnd::kEndPts) return to;
        // The streams of a recording end as far apart as they begin.
        const ClipAnalysis& clip = run_.Analysis();
        std::int64_t known = e_.m_i64AudioEndPTS;
        if (known != PTS_NONE && clip.audioFirstPts != PTS_NONE && clip.videoFirstPts != PTS_NONE)
            known += clip.videoFirstPts - clip.audioFirstPts;
        if (known == PTS_NONE && e_.m_i64FirstPTS != PTS_NONE)
            known = e_.m_i64FirstPTS +
                    static_cast<std::int64_t>(run_.Clip().ClipLength() / 100 * 90'000);
        if (known != PTS_NONE && known > to) to = known;
        return std::min(to, E1_ + 1);
    }

    // A GOP header for display time D: the drop frame flag, the time code and the low 7 bits
    // (closed_gop, broken_link, 5 bits to the byte).
    static std::array<std::uint8_t, 8> GopBytes(std::int64_t D, std::uint32_t drop,
                                                std::uint32_t low7) {
        std::int64_t hours = D / 324'000'000;
        if (hours > 23) hours = 0;
        const std::uint32_t v = (drop << 31) | (static_cast<std::uint32_t>(hours) << 26) |
                                (static_cast<std::uint32_t>((D / 5'400'000) % 60) << 20) |
                                (1u << 19) | (static_cast<std::uint32_t>((D / 90'000) % 60) << 13) |
                                (static_cast<std::uint32_t>(((D / 3'600) + 1) % 25) << 7) |
                                (low7 & 0x7F);
        return {0x00,
                0x00,
                0x01,
                0xB8,
                static_cast<std::uint8_t>(v >> 24),
                static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v)};
    }

    // At damage: the picture it falls in is dropped, and everything up to the next sequence or
    // GOP header after it. True when the copy ends there.
    bool SkipDamage(const CIBits::Damage& first, CopyEnd& end) {
        if (!dropping_) {
            dropping_ = true;
            lossBegin_ = first.begin;
            // The unit damage falls in is not shown, nor a reference picture written before it
            // whose B pictures it takes (it would be shown in their place).
            std::uint64_t cut = held_ ? out_.Position() : OutAt(unitBase_);
            if (!ahead_.empty()) {
                cut = std::min(cut, cutAt_);
                frontier_ = cutFrontier_;
                ahead_.clear();
            }
            out_.TruncateTo(cut);
            if (lastIntraAt_ + lastIntraBytes_ > cut) lastIntraBytes_ = 0;
            lossFrom_ = slotBase_ != PTS_NONE ? SlotPts(frontier_) : firstPts_;
        }
        unit_.clear();
        held_ = true;
        unitHasPicture_ = false;
        codes_.clear();
        next_ = 0;
        for (;;) {
            if (run_.IsCancelled()) {
                end = CopyEnd::kCancelled;
                return true;
            }
            if (r_.IsEOF()) {
                end = CopyEnd::kEof;
                return true;
            }
            const std::int64_t pos = BytePosition(r_);
            if (pos >= endByte_) {
                end = CopyEnd::kDataEnd;
                return true;
            }
            const CIBits::Damage* d = r_.DamageFrom(pos);
            if (d && d->begin <= pos) {
                if (!r_.SeekBitPosition(d->end * 8)) {
                    end = CopyEnd::kEof;
                    return true;
                }
                continue;
            }
            const std::uint32_t w = r_.Peek32();
            if (w == 0x000001B3 || w == 0x000001B8) break;
            if (w == 0x00000100u + s_) {
                CPESHeader h(r_, s_);
                if (h.IsValid() && !(d && d->begin < BytePosition(r_))) {
                    L_ = WrapPTS(e_, h.GetPTS());
                    if (L_ > E1_ && L_ - E1_ < (std::int64_t{1} << 31)) {
                        end = CopyEnd::kEndPts;
                        return true;
                    }
                    if (h.PTS_DTS_flags() >= 2) {
                        packetPts_ = L_;
                        NotePts(L_);
                    }
                    continue;
                }
                r_.ClearEOF();
                r_.SeekBitPosition((pos + 1) * 8);
                continue;
            }
            r_.SkipByte();
            NextStartCodeBefore(r_, endByte_);
        }
        NoteLoss(L_);
        dropping_ = false;
        awaitingIntra_ = true;
        resumedGop_ = true;
        unitBase_ = counter_; // nothing is written across the damage
        searched_ = counter_;
        return false;
    }

    // The damage met since the drop began, each stretch with the time stamps on either side.
    void NoteLoss(std::int64_t toPts) {
        const std::int64_t upTo = r_.IsEOF() ? INT64_MAX : BytePosition(r_);
        for (const CIBits::Damage& d : r_.DamageIn(lossBegin_, upTo))
            run_.NoteLost({true, d.diskByte, d.end - d.begin, lossFrom_, toPts});
        dropping_ = false;
    }

    // The latest time stamp of the packets the copy met (the last reference picture's).
    void NotePts(std::int64_t pts) {
        if (maxPts_ == PTS_NONE || pts > maxPts_) maxPts_ = pts;
    }

    void StartsAt(std::int64_t pts) {
        e_.m_i64VideoStartPTS = pts;
        if (!delayWritten_) WriteDelay(pts);
        delayWritten_ = true;
    }

    // Handles the start code at the reader position; true when the copy ends.
    bool Special(CopyEnd& end) {
        std::int64_t pos = BytePosition(r_);
        std::uint32_t w = r_.Peek32();
        if (w == 0x00000100u + s_) return Header(pos, end);
        if (w == 0x000001B8) return Gop(pos, end);
        // Cannot happen (the scan found one of the two); copy one byte and go on.
        std::uint8_t b = r_.ReadByte();
        Write(std::span<const std::uint8_t>(&b, 1));
        return false;
    }

    bool Header(std::int64_t pos, CopyEnd& end) {
        CPESHeader h(r_, s_);
        if (!h.IsValid()) {
            if (run_.IsCancelled()) {
                end = CopyEnd::kCancelled;
                return true;
            }
            // Not a packet: its bytes are copied like any others.
            const std::uint8_t zero = 0;
            Write(std::span<const std::uint8_t>(&zero, 1));
            if (!r_.SeekBitPosition((pos + 1) * 8)) {
                end = CopyEnd::kEof;
                return true;
            }
            return false;
        }
        if (++headers_ % 12 == 0) {
            vp_.position = static_cast<std::int32_t>(L_ >> k_);
            vp_.megabytes = static_cast<std::int32_t>(counter_ >> 20);
        }
        if (run_.IsCancelled()) {
            end = CopyEnd::kCancelled;
            return true;
        }
        std::int64_t P = WrapPTS(e_, h.GetPTS());
        if (h.PTS_DTS_flags() >= 2) packetPts_ = P;
        L_ = P;
        if (h.HasPTSandDTS()) {
            std::int64_t d = P - e_.m_i64FirstPTS;
            run_.StatusMessage(Format(" at PTS = %d:%02d:%02d\n", static_cast<int>(d / 324'000'000),
                                      static_cast<int>((d / 5'400'000) % 60),
                                      static_cast<int>((d / 90'000) % 60)),
                               false);
        }
        // A packet whose payload starts with a slice continues the picture being copied
        // (pictures larger than a packet are split at slices, each piece repeating the PTS), so
        // it never ends the copy; otherwise a short cut or a preview keeps half a picture.
        const std::uint32_t next = r_.Peek32();
        const bool continuesPicture = next >= 0x00000101u && next <= 0x000001AFu;
        if ((P > E1_ && P - E1_ < (std::int64_t{1} << 31) && !continuesPicture) ||
            r_.GetBitPosition() > e_.m_i64VideoEndBit) {
            run_.StatusMessage(" at PTS = " + PtsHex(P) + " ", true);
            run_.StatusMessage("Stream ripped successfully...\n", true);
            end = CopyEnd::kEndPts;
            return true;
        }
        if (h.PTS_DTS_flags() >= 2) NotePts(P);
        return false; // the reader is on the first start code of the payload
    }

    bool Gop(std::int64_t pos, CopyEnd& end) {
        if (pos + 8 > endByte_) {
            // A GOP header cut by the end of the stream's data: its bytes as they are.
            for (std::int64_t p = pos; p < endByte_ && !r_.IsEOF(); ++p) {
                std::uint8_t b = r_.ReadByte();
                Write(std::span<const std::uint8_t>(&b, 1));
            }
            end = CopyEnd::kDataEnd;
            return true;
        }
        r_.ReadBits(32);
        const std::uint32_t drop = r_.ReadBits(1); // drop_frame_flag
        r_.ReadBits(24);                           // the old time code
        std::uint32_t low7 = r_.ReadBits(7);       // closed_gop, broken_link, 5 bits to the byte
        if (resumedGop_) {
            // After damage the leading B pictures of an open group lack their reference: they
            // are dropped, which closes the group.
            resumedGop_ = false;
            dropLeadingB_ = (low7 & 0x40) == 0;
            low7 |= 0x40;
        }
        const auto gop = GopBytes(L_ - T0_, drop, low7);
        Write(gop);
        return false;
    }

    // The exact offset a muxer needs: the first picture shown minus the first audio frame written
    // (after the wrap rule, so a cut across 2^33 logs a sane value); without audio in the rip,
    // minus the start of the cut.
    void WriteDelay(std::int64_t P) {
        // Named after the video file actually written, so "Film_000.m2v" keeps its own.
        std::string name = DelayLogName(out_.GetFileName());
        const std::int64_t audio = e_.m_i64AudioStartPTS != PTS_NONE ? e_.m_i64AudioStartPTS : S_;
        if (std::FILE* f = std::fopen(name.c_str(), "w")) {
            std::string text =
                Format("Delay: %.0f ms", static_cast<double>(P - audio) * (1.0 / 90));
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
            if (delayLog_) *delayLog_ = name;
        }
    }

    RipRun& run_;
    RipState& e_;
    CIBits& r_;
    COBits& out_;
    RipProgress& vp_;
    std::uint8_t s_;
    std::int64_t S_, E1_, T0_, L_;
    int k_;
    std::string* delayLog_;
    std::int64_t endByte_ = 0;
    std::int64_t counter_ = 0; // bytes the copy wrote or held
    std::int64_t headers_ = 0;
    std::int64_t packetPts_; // of the packet whose payload is being copied
    std::int64_t firstPts_;  // of the picture the copy begins with
    std::int64_t startPts_;  // where the cut's pictures should begin
    int width_ = 0, height_ = 0;
    bool delayWritten_ = false;
    // Headers found in the copy and not handled yet (from next_ on), in order; the starts below
    // searched_ have been looked at; the last bytes written.
    static constexpr std::int64_t kHistory = 8;
    std::vector<Code> codes_;
    std::size_t next_ = 0;
    std::int64_t searched_ = 0;
    std::array<std::uint8_t, kHistory> history_{};
    // The unit: from unitBase_ (a copy position) on; its bytes are in unit_ only while held_.
    bool held_ = false;
    std::vector<std::uint8_t> unit_;
    std::int64_t unitBase_ = 0;
    bool unitHasPicture_ = false;
    std::int64_t picture_ = 0; // copy position of the unit's picture
    int pictureType_ = 0;      // 1 I, 2 P, 3 B
    std::int64_t unitPts_ = 0;
    std::int64_t unitPacketPts_ = PTS_NONE; // of the packet the unit's picture begins in
    std::int64_t frameTicks_ = 3600;
    std::int64_t pictures_ = 0; // pictures written, repeats included
    // Display slots (frames from the first picture written, at slotBase_): the first one not
    // shown yet, those shown beyond it, and where the first of those began in the output with
    // the frontier of then.
    static constexpr std::int64_t kReorder = 32;
    std::int64_t slotBase_ = PTS_NONE;
    std::int64_t frontier_ = 0;
    std::vector<std::int64_t> ahead_;
    std::uint64_t cutAt_ = 0;
    std::int64_t cutFrontier_ = 0;
    std::int64_t maxPts_ = PTS_NONE;
    std::uint64_t lastIntraAt_ = 0; // output position and size of the last intra picture written
    std::size_t lastIntraBytes_ = 0;
    // Damage: dropping until a header, then waiting for an intra picture.
    bool dropping_ = false;
    bool awaitingIntra_ = false;
    bool resumedGop_ = false;
    bool dropLeadingB_ = false;
    std::int64_t lossFrom_ = PTS_NONE;
    std::int64_t lossBegin_ = 0;
    std::int64_t bridged_ = 0;
};

} // namespace

std::string DelayLogName(const std::string& videoFile) {
    std::size_t dot = videoFile.rfind('.');
    std::string base = dot == std::string::npos ? videoFile : videoFile.substr(0, dot);
    return base + " delay.log";
}

RipOutcome RipVideoStream(RipRun& run, CIBits& r, COBits* writer, std::uint8_t s, std::int64_t S,
                          std::int64_t E, StageFiles* files) {
    RipState& e = run.State();
    RipProgress& vp = run.VideoProgress();
    run.StatusMessage("CPVRFile::RipVideoStream\n", true);
    run.StatusMessage("rewinding stream", true);
    const std::int64_t E1 = E - 1;
    if (run.Request().rawVideo) return RipRawVideo(run, S, E1, r, s, files ? &files->raw : nullptr);
    if (!writer) return RipOutcome::kOutputFailed;
    COBits& out = *writer;
    bool rewound = r.Rewind();
    run.StatusMessage(rewound ? "...okay\n" : "...failed!!!\n", true);
    if (run.IsCancelled()) return RipOutcome::kCancelled;

    int k = 0;
    while (k < 62 && (E >> k) > 0x10000000)
        ++k;
    vp.position = static_cast<std::int32_t>(S >> k);
    vp.rangeLow = static_cast<std::int32_t>(S >> k);
    vp.rangeHigh = static_cast<std::int32_t>(E >> k);
    vp.startPts = S;
    vp.endPts = E1;
    vp.active = true;
    vp.rangeChanged = true;
    vp.ClearStatus();
    run.SetVideoActive(true);

    const std::uint32_t code = 0x00000100u + s;
    run.StatusMessage(Format("seeking stream start code %X\n", code), true);
    const ClipRecord& rec = run.Clip().GetRecord();
    if (!SearchForStart(run, S, r, s, rec.VideoFirstCluster(), rec.VClusters()))
        return RipOutcome::kReadError;
    e.m_bPTSWrapped = false;

    // Start phase: the first packet at S, then the next sequence header.
    const std::int64_t endByte = e.m_i64VideoEndBit / 8;
    bool reached = false;
    bool found = false;
    std::int64_t L = 0;
    e.m_i64RipPicturePTS = PTS_NONE;
    std::int64_t headerPts = PTS_NONE; // of the last packet header passed
    // A cut from the clip's start begins where the stream's data does, also when damage took the
    // first packets.
    std::int64_t beforeCut = BytePosition(r);
    if (S <= run.Analysis().videoFirstPts)
        beforeCut = std::min(beforeCut, std::int64_t{e.m_lSkipSectors} * 512);
    while (!r.IsEOF() && BytePosition(r) < endByte) {
        if (reached && r.Peek32() == code) {
            const std::int64_t at = r.GetBitPosition();
            CPESHeader h(r, s);
            if (h.IsValid() && h.PTS_DTS_flags() >= 2) headerPts = WrapPTS(e, h.GetPTS());
            r.SeekBitPosition(at);
        }
        if (!reached && r.Peek32() == code) {
            const std::int64_t at = BytePosition(r);
            CPESHeader h(r, s);
            if (run.IsCancelled()) return RipOutcome::kCancelled;
            std::int64_t P = WrapPTS(e, h.GetPTS());
            L = P;
            if (h.IsValid() && h.PTS_DTS_flags() >= 2) headerPts = P;
            if (h.IsValid() && (P >= S || std::llabs(P - S) < 25)) {
                run.StatusMessage("reached pts " + PtsHex(P) + "\n", true);
                reached = true;
                run.StatusMessage("shit.. i'm video and i have to wait until 0x000001B3....\n",
                                  true);
            } else if (h.IsValid()) {
                beforeCut = at; // what lies before it lies before the cut
            }
        }
        if (reached && r.PeekBits(32) == 0x000001B3) {
            r.ReadBits(32);
            r.ReadBits(12); // horizontal_size
            r.ReadBits(12); // vertical_size
            std::uint32_t aspect = r.ReadBits(4);
            e.m_dAspectRatio = aspect == 3 ? 16.0 / 9.0 : 4.0 / 3.0;
            r.SeekBitPosition(r.GetBitPosition() - 60);
            LogText("yeah.. i'm video and i reached 0x000001B3....");
            LogLine(aspect == 3 ? " aspect ratio = 16:9" : " aspect ratio = 4:3");
            e.m_i64RipPicturePTS = headerPts;
            found = true;
            break;
        }
        if (run.IsCancelled()) return RipOutcome::kCancelled;
        r.SkipByte();
        NextStartCodeBefore(r, endByte);
    }
    e.m_i64RipStartPTS = L;
    const std::int64_t T0 = L;
    if (!found) run.StatusMessage(Format("EOF reached! No PTS for Code %X\n", code), true);
    run.StatusMessage("now ripping until eobs...\n", true);

    RipOutcome result = RipOutcome::kNothingToRip;
    if (found) {
        // Damage before the sequence header found may have taken the pictures the cut begins
        // with: they are lost, and the copy shows grey for them.
        std::int64_t startPts = headerPts;
        for (const CIBits::Damage& d : r.DamageIn(beforeCut, BytePosition(r))) {
            run.NoteLost({true, d.diskByte, d.end - d.begin, S, headerPts});
            startPts = S;
        }
        VideoCopy copy(run, r, out, vp, s, S, E1, T0, k, headerPts, startPts,
                       files ? &files->delayLog : nullptr);
        CopyEnd end = copy.Run();
        copy.FinishDelay();
        if (end == CopyEnd::kCancelled) return RipOutcome::kCancelled;
        if (end == CopyEnd::kEof) {
            run.StatusMessage("EOBS Reached...\n", true);
        } else if (end == CopyEnd::kDataEnd) {
            // The end of the stream's data ends the copy, also between packet headers.
            run.StatusMessage(" at PTS = " + PtsHex(copy.L()) + " ", true);
            run.StatusMessage("Stream ripped successfully...\n", true);
        }
        vp.megabytes = static_cast<std::int32_t>(copy.Bytes() >> 20);
        result = RipOutcome::kDone;
    } else {
        run.StatusMessage("EOBS Reached...\n", true);
    }
    vp.position = vp.rangeHigh.load();
    out.Flush();
    LogLine("return");
    return result;
}

bool PatchSequenceHeader(RipRun& run, const std::string& fileName) {
    std::FILE* f = std::fopen(fileName.c_str(), "r+b");
    if (!f) return false;
    const std::span<std::uint8_t> buf = run.Buffer();
    std::size_t n = std::fread(buf.data(), 1, 1'048'576, f);
    struct stat st {};
    std::int64_t fileLength = ::fstat(fileno(f), &st) == 0 ? st.st_size : 0;
    const std::int64_t seconds = static_cast<std::int64_t>(run.State().m_dLength);
    int handled = 0;
    std::int64_t first = -1;
    for (std::size_t j = 0; j + 10 < n && handled < 2; ++j) {
        if (!(buf[j] == 0 && buf[j + 1] == 0 && buf[j + 2] == 1 && buf[j + 3] == 0xB3)) continue;
        if (first < 0) first = static_cast<std::int64_t>(j);
        int horizontal = (buf[j + 4] << 4) + (buf[j + 5] >> 4);
        if (handled == 0 && horizontal != 352 && horizontal != 704 && horizontal != 720) {
            buf[j + 4] = 0x16;
            buf[j + 5] &= 0x0F;
        }
        // The bit rate has no defined value for a rip of less than a second: left as it is.
        if (seconds != 0) {
            std::int32_t R = static_cast<std::int32_t>(fileLength / seconds);
            std::uint32_t V = static_cast<std::uint32_t>(R) * 8u / 400u;
            buf[j + 8] = static_cast<std::uint8_t>((V >> 10) & 0xFF);
            buf[j + 9] = static_cast<std::uint8_t>((V >> 2) & 0xFF);
            buf[j + 10] = static_cast<std::uint8_t>((buf[j + 10] & 0x3F) | ((V & 3) << 6));
        }
        ++handled;
    }
    bool ok = true;
    if (first >= 0) {
        if (std::fseek(f, static_cast<long>(first), SEEK_SET) != 0 ||
            std::fwrite(buf.data() + first, 1, n - static_cast<std::size_t>(first), f) !=
                n - static_cast<std::size_t>(first))
            ok = false;
    }
    if (std::fclose(f) != 0) ok = false;
    return ok;
}

} // namespace quorin
