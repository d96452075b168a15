// Video stream extraction.
#include "rip/extract.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/ibits.h"
#include "disk/pvr_file.h"
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

class VideoCopy {
public:
    VideoCopy(RipRun& run, CIBits& r, COBits& out, RipProgress& vp, std::uint8_t s, std::int64_t S,
              std::int64_t E1, std::int64_t T0, int k, std::int64_t headerPts,
              std::string* delayLog)
        : run_(run), e_(run.State()), r_(r), out_(out), vp_(vp), s_(s), S_(S), E1_(E1), T0_(T0),
          L_(T0), k_(k), delayLog_(delayLog), packetPts_(headerPts) {
        endByte_ = e_.m_i64VideoEndBit / 8;
    }

    // Copies from the reader position (the first sequence header) on. Every byte before the end
    // of the stream's data is written except the PES headers of the stream; GOP time codes are
    // rewritten. The result is byte for byte that of a loop that moves one byte per step, but for
    // damage: bytes the disk could not deliver end the picture they fall in, which is dropped with
    // everything up to the next sequence or GOP header.
    CopyEnd Run() {
        CopyEnd end = Copy();
        if (dropping_)
            NoteLoss(PTS_NONE);
        else
            EmitUnit(unit_.size());
        return end;
    }

    std::int64_t L() const { return L_; }
    std::int64_t Bytes() const { return counter_; }

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
                        Write(buf.first(static_cast<std::size_t>(clean)));
                        if (clean > 0) r_.ConsumeBuffered(static_cast<std::int32_t>(clean));
                        if (pos + clean >= endByte_) return CopyEnd::kDataEnd;
                        continue;
                    }
                    Write(buf.first(static_cast<std::size_t>(at)));
                    if (at > 0) r_.ConsumeBuffered(static_cast<std::int32_t>(at));
                    CopyEnd end;
                    if (Special(end)) return end;
                    continue;
                }
                std::int64_t limit = std::min(n, endByte_ - pos);
                std::int64_t checked = std::max<std::int64_t>(0, std::min(limit, n - 3));
                std::int64_t at = FindSpecial(buf.data(), checked);
                if (at < 0) {
                    Write(buf.first(static_cast<std::size_t>(checked)));
                    if (checked > 0) r_.ConsumeBuffered(static_cast<std::int32_t>(checked));
                    if (pos + checked >= endByte_) return CopyEnd::kDataEnd;
                    carryPos = pos + checked;
                    carryLen = static_cast<int>(n - checked);
                    std::memcpy(carry, buf.data() + checked, static_cast<std::size_t>(carryLen));
                    r_.ConsumeBuffered(carryLen);
                    continue;
                }
                Write(buf.first(static_cast<std::size_t>(at)));
                if (at > 0) r_.ConsumeBuffered(static_cast<std::int32_t>(at));
            }
            // The reader stands on 00 00 01 s or 00 00 01 B8.
            CopyEnd end;
            if (Special(end)) return end;
        }
    }

    // First i < count with bytes i..i+3 = 00 00 01 s or 00 00 01 B8 (all four inside).
    std::int64_t FindSpecial(const std::uint8_t* b, std::int64_t count) const {
        std::int64_t i = 2;
        std::int64_t end = count + 2; // the 0x01 of a start at i - 2 < count
        while (i < end) {
            const void* hit = std::memchr(b + i, 0x01, static_cast<std::size_t>(end - i));
            if (!hit) return -1;
            std::int64_t j = static_cast<const std::uint8_t*>(hit) - b;
            if (b[j - 1] == 0 && b[j - 2] == 0 && (b[j + 1] == s_ || b[j + 1] == 0xB8))
                return j - 2;
            i = j + 1;
        }
        return -1;
    }

    // Output is held back one picture (with the headers before it) until the next picture,
    // sequence or GOP header shows it whole.
    void Write(std::span<const std::uint8_t> bytes) {
        unit_.insert(unit_.end(), bytes.begin(), bytes.end());
        counter_ += static_cast<std::int64_t>(bytes.size());
        ScanUnit();
        if (!pictureSeen_) LookForPicture(bytes);
    }

    void ScanUnit() {
        std::size_t j = std::max<std::size_t>(scanned_, 2);
        while (j + 1 < unit_.size()) {
            const void* hit = std::memchr(unit_.data() + j, 0x01, unit_.size() - 1 - j);
            if (!hit) {
                j = unit_.size() - 1;
                break;
            }
            j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - unit_.data());
            const std::uint8_t code = unit_[j + 1];
            if (unit_[j - 1] != 0 || unit_[j - 2] != 0 ||
                (code != 0x00 && code != 0xB3 && code != 0xB8)) {
                ++j;
                continue;
            }
            if (j + 5 >= unit_.size()) break; // the header's first bytes are still to come
            if (unitHasPicture_) {
                EmitUnit(j - 2);
                j = 2;
            }
            if (code == 0x00) {
                unitHasPicture_ = true;
                picture_ = j - 2;
                pictureType_ = (unit_[j + 3] >> 3) & 7;
                unitPts_ = L_;
            } else if (code == 0xB3) {
                static const std::int64_t kTicks[16] = {3600, 3754, 3750, 3600, 3003, 3000,
                                                        1800, 1502, 1500, 3600, 3600, 3600,
                                                        3600, 3600, 3600, 3600};
                frameTicks_ = kTicks[unit_[j + 5] & 0x0F];
            }
            ++j;
        }
        scanned_ = j;
    }

    // Writes (or drops) the first n bytes of the held unit.
    void EmitUnit(std::size_t n) {
        const bool picture = unitHasPicture_;
        const std::size_t pictureAt = picture_;
        unitHasPicture_ = false;
        bool keep = !dropping_;
        if (keep && picture && awaitingIntra_) {
            keep = pictureType_ == 1;
            if (keep) {
                awaitingIntra_ = false;
                Bridge(std::span<const std::uint8_t>(unit_.data() + pictureAt, n - pictureAt));
            }
        } else if (keep && picture && dropLeadingB_) {
            keep = pictureType_ != 3;
            if (pictureType_ != 3) dropLeadingB_ = false;
        }
        if (keep) {
            out_.WriteBytes(std::span<const std::uint8_t>(unit_.data(), n));
            if (picture) {
                ++pictures_;
                minPts_ = std::min(minPts_, unitPts_);
                if (pictureType_ == 1)
                    lastIntra_.assign(unit_.begin() + pictureAt, unit_.begin() + n);
            }
        }
        unit_.erase(unit_.begin(), unit_.begin() + static_cast<std::ptrdiff_t>(n));
        scanned_ = 0;
    }

    // Before the first picture after damage (an intra picture at unitPts_): as many repeats of the
    // last whole intra picture (or of this one), each a closed group of its own, as the time
    // stamps leave room for, so the picture count matches the time again.
    void Bridge(std::span<const std::uint8_t> intra) {
        if (pictures_ == 0 || unitPts_ < minPts_) return;
        const std::int64_t due = (unitPts_ - minPts_ + frameTicks_ / 2) / frameTicks_;
        std::vector<std::uint8_t> picture = lastIntra_;
        if (picture.empty()) picture.assign(intra.begin(), intra.end());
        if (picture.size() < 6) return;
        picture[4] = 0; // temporal_reference 0
        picture[5] &= 0x3F;
        for (std::int64_t k = pictures_; k < due; ++k) {
            const auto gop = GopBytes(minPts_ + k * frameTicks_ - T0_, 0, 0x40);
            out_.WriteBytes(gop);
            out_.WriteBytes(picture);
            ++pictures_;
            ++bridged_;
        }
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
            lossFrom_ = L_;
            lossBegin_ = first.begin;
        }
        unit_.clear();
        unitHasPicture_ = false;
        scanned_ = 0;
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
        return false;
    }

    // The damage met since the drop began, each stretch with the time stamps on either side.
    void NoteLoss(std::int64_t toPts) {
        const std::int64_t upTo = r_.IsEOF() ? INT64_MAX : BytePosition(r_);
        for (const CIBits::Damage& d : r_.DamageIn(lossBegin_, upTo))
            run_.NoteLost({true, d.diskByte, d.end - d.begin, lossFrom_, toPts});
        dropping_ = false;
    }

    // The first picture start code written is the intra picture after the sequence header; its
    // time stamp is that of the packet it begins in. Leading B pictures of an open group come
    // after it in decode order and cannot be shown, so they never count.
    void LookForPicture(std::span<const std::uint8_t> bytes) {
        for (std::uint8_t b : bytes) {
            if (zeros_ >= 2 && b == 0x01) {
                afterPrefix_ = true;
                zeros_ = 0;
                continue;
            }
            if (afterPrefix_ && b == 0x00) {
                pictureSeen_ = true;
                if (packetPts_ != PTS_NONE) StartsAt(packetPts_);
                return;
            }
            afterPrefix_ = false;
            zeros_ = b == 0 ? zeros_ + 1 : 0;
        }
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
    std::int64_t counter_ = 0;
    std::int64_t headers_ = 0;
    std::int64_t packetPts_; // of the packet whose payload is being copied
    int zeros_ = 0;
    bool afterPrefix_ = false;
    bool pictureSeen_ = false;
    bool delayWritten_ = false;
    // The held unit: headers and at most one picture (starting at picture_).
    std::vector<std::uint8_t> unit_;
    std::size_t scanned_ = 0;
    bool unitHasPicture_ = false;
    std::size_t picture_ = 0;
    int pictureType_ = 0; // 1 I, 2 P, 3 B
    std::int64_t unitPts_ = 0;
    std::int64_t frameTicks_ = 3600;
    std::int64_t pictures_ = 0; // pictures written, repeats included
    std::int64_t minPts_ = INT64_MAX;
    std::vector<std::uint8_t> lastIntra_;
    // Damage: dropping until a header, then waiting for an intra picture.
    bool dropping_ = false;
    bool awaitingIntra_ = false;
    bool resumedGop_ = false;
    bool dropLeadingB_ = false;
    std::int64_t lossFrom_ = PTS_NONE;
    std::int64_t lossBegin_ = 0;

public:
    std::int64_t Bridged() const { return bridged_; }

private:
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
    while (!r.IsEOF() && BytePosition(r) < endByte) {
        if (reached && r.Peek32() == code) {
            const std::int64_t at = r.GetBitPosition();
            CPESHeader h(r, s);
            if (h.IsValid() && h.PTS_DTS_flags() >= 2) headerPts = WrapPTS(e, h.GetPTS());
            r.SeekBitPosition(at);
        }
        if (!reached && r.Peek32() == code) {
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
        VideoCopy copy(run, r, out, vp, s, S, E1, T0, k, headerPts,
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
    std::vector<std::uint8_t>& buf = run.Buffer();
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
