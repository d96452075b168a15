// Audio and private stream extraction.
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
#include <cinttypes>
#include <cmath>

namespace quorin {
namespace {

constexpr std::int64_t kRecoveryBudget = 10'485'760;

// The common run of RipAudioStream ([A], priv false) and RipPrivateStream ([P], priv true).
class AudioRun {
public:
    AudioRun(RipRun& run, CIBits& r, COBits& out, std::uint8_t s, std::int64_t S, std::int64_t E,
             bool priv, int k)
        : run_(run), e_(run.State()), r_(r), out_(out), ap_(run.AudioProgress()), s_(s),
          code_(0x00000100u + s), S_(S), E_(E), priv_(priv), k_(k) {
        endBit_ = e_.m_i64AudioEndBit;
        endByte_ = endBit_ / 8;
    }

    RipOutcome Run() {
        const ClipRecord& rec = run_.Clip().GetRecord();
        if (!SearchForStart(run_, S_, r_, s_, rec.AudioFirstCluster(), rec.AClusters()))
            return RipOutcome::kReadError;
        e_.m_bPTSWrapped = false;
        RipOutcome start = StartPhase();
        if (start != RipOutcome::kDone) return start;
        const RipOutcome copied = CopyPhase();
        // A stage that ran to its end shows all of its range, as the video stage does.
        if (copied == RipOutcome::kDone) ap_.position = ap_.rangeHigh.load();
        return copied;
    }

private:
    std::int64_t PayloadLength(const CPESHeader& h) const {
        std::int64_t header = priv_ ? h.HeaderDataLength() : h.Understood();
        return static_cast<std::int64_t>(h.PacketLength()) - 3 - header;
    }

    void Recover(std::int64_t fromBit) {
        r_.ClearEOF();
        r_.SeekBitPosition(fromBit);
        NextStartCodeBefore(r_, std::min(BytePosition(r_) + kRecoveryBudget - 2, endByte_));
    }

    // Whether the packet whose payload starts at bit p and holds n bytes is followed by another
    // packet of the stream. A packet that ends in the last sector of the stream's data is the
    // stream's last one (what lies after it is not part of the recording): it counts as followed,
    // and `last` says so.
    bool Follows(std::int64_t p, std::int64_t n, bool& last) {
        last = false;
        if (n < 0) return false;
        std::int64_t next = p + 8 * n;
        r_.ClearEOF();
        if (r_.SeekBitPosition(next) && ProbePacket(r_, s_) != 0) return true;
        if (next <= endBit_ && endBit_ - next < 512 * 8) {
            last = true;
            return true;
        }
        return false;
    }

    RipOutcome StartPhase() {
        while (!r_.IsEOF()) {
            std::int64_t pos = BytePosition(r_);
            // Nothing of the stream lies beyond the end of its data.
            if (pos >= endByte_) break;
            std::uint32_t w = r_.Peek32();
            if (w != code_) {
                if (priv_)
                    LogLine("this is not the expected startcode!");
                else
                    LogLine(Format("%x is not the expected startcode!", w));
                r_.SkipByte();
                NextStartCodeBefore(r_, std::min(BytePosition(r_) + kRecoveryBudget - 2, endByte_));
                continue;
            }
            CPESHeader h(r_, s_);
            if (run_.IsCancelled()) return RipOutcome::kCancelled;
            std::int64_t P = WrapPTS(e_, h.GetPTS());
            if (!h.IsValid() || (P < S_ && S_ - P >= 12'000)) {
                LogLine("PES ist not okay OR PTS is less then StartPTS");
                r_.SkipByte();
                NextStartCodeBefore(r_, std::min(BytePosition(r_) + kRecoveryBudget - 2, endByte_));
                continue;
            }
            S_ = P;
            L_ = P;
            latest_ = P;
            std::int64_t p = r_.GetBitPosition();
            std::int64_t n = PayloadLength(h);
            bool last = false;
            if (!Follows(p, n, last)) {
                LogLine("this is not a PES_PACKET");
                Recover(p + 8);
                continue;
            }
            // The packet's time stamp is that of the first frame beginning in it: the one the
            // copy starts with.
            e_.m_i64AudioStartPTS = P;
            r_.ClearEOF();
            r_.SeekBitPosition(p);
            if (priv_) {
                counter_ = CopyPayload(run_, r_, out_, n, endByte_);
                run_.StatusMessage("found PTS " + PtsHex(P) + "  running...\n", true);
            } else {
                // The first frame sync in the payload, tested on 16-bit halves of 32-bit words.
                std::int64_t frame = -1;
                while (!r_.IsEOF() && BytePosition(r_) < endByte_) {
                    std::int64_t wpos = BytePosition(r_);
                    std::uint32_t word = r_.ReadBits(32);
                    if ((word & 0xFFFE) == 0xFFFC) {
                        frame = wpos + 2;
                        break;
                    }
                    if (((word >> 16) & 0xFFFE) == 0xFFFC) {
                        frame = wpos;
                        break;
                    }
                }
                if (frame >= 0) r_.SeekBitPosition(frame * 8);
                std::int64_t m = BytePosition(r_) - p / 8;
                counter_ = CopyPayload(run_, r_, out_, std::max<std::int64_t>(n - m, 0), endByte_);
            }
            if (last) {
                finished_ = true;
            }
            return RipOutcome::kDone;
        }
        return RipOutcome::kNothingToRip;
    }

    RipOutcome CopyPhase() {
        run_.StatusMessage("patience... running...\n", false);
        bool error = false;
        if (priv_) e_.m_bPTSWrapped = false;
        while (!finished_ && !r_.IsEOF()) {
            // The copy ends at the end of the stream's data (for both kinds).
            const std::int64_t at = BytePosition(r_);
            if (at >= endByte_) break;
            if (const CIBits::Damage* d = r_.DamageFrom(at); d && d->begin <= at) {
                SkipDamage(*d);
                continue;
            }
            CPESHeader h(r_, s_);
            if (h.IsValid()) latest_ = WrapPTS(e_, h.GetPTS());
            ap_.position = static_cast<std::int32_t>(latest_ >> k_);
            ap_.megabytes = static_cast<std::int32_t>(counter_ >> 20);
            if (run_.IsCancelled()) return RipOutcome::kCancelled;
            if (!h.IsValid()) {
                run_.StatusMessage("error recovery\n", true);
                error = true;
                r_.SkipByte();
                NextStartCodeBefore(r_, endByte_);
                continue;
            }
            std::int64_t P = WrapPTS(e_, h.GetPTS());
            if (P >= E_) break;
            if (r_.GetBitPosition() > endBit_) break;
            std::int64_t p = r_.GetBitPosition();
            std::int64_t n = PayloadLength(h);
            if (const CIBits::Damage* d = r_.DamageFrom(at); d && d->begin < p / 8 + n) {
                // A packet the damage reaches is dropped whole.
                r_.ClearEOF();
                r_.SeekBitPosition(d->begin * 8);
                continue;
            }
            bool last = false;
            if (!Follows(p, n, last)) {
                run_.StatusMessage("error recovery\n", true);
                error = true;
                r_.ClearEOF();
                r_.SeekBitPosition(p + 8);
                NextStartCodeBefore(r_, endByte_);
                continue;
            }
            if (damaged_) {
                Bridge(P);
                error = false;
            }
            if (error) {
                if (priv_) {
                    run_.StatusMessage(Format("DIFF= %" PRId64 "\n", P - L_), true);
                    counter_ += PadPrivateGap(run_, out_, static_cast<std::int32_t>(P - L_));
                } else {
                    counter_ += PadAudioGap(run_, out_, static_cast<std::int32_t>(P - L_));
                }
                error = false;
            }
            r_.ClearEOF();
            r_.SeekBitPosition(p);
            if (!priv_ && n >= 2 && (r_.Peek32() >> 16) == 0xFFFF) {
                r_.SkipByte();
                r_.SkipByte();
                counter_ += CopyPayload(run_, r_, out_, n - 2, endByte_);
            } else {
                counter_ += CopyPayload(run_, r_, out_, n, endByte_);
            }
            L_ = P;
            lastBytes_ = n;
            if (last) break;
        }
        if (damaged_) NoteLoss(PTS_NONE);
        ap_.megabytes = static_cast<std::int32_t>(counter_ >> 20);
        if (r_.IsEOF()) run_.StatusMessage("EOBS reached!\n", true);
        return RipOutcome::kDone;
    }

    // Damage: what follows it is searched for the next packet; the gap is filled when one is
    // found.
    void SkipDamage(const CIBits::Damage& d) {
        if (!damaged_) {
            damaged_ = true;
            lossBegin_ = d.begin;
        }
        r_.ClearEOF();
        if (!r_.SeekBitPosition(d.end * 8)) return;
        NextStartCodeBefore(r_, endByte_);
    }

    // The gap from the end of the last packet copied to P, filled with its payload repeated.
    void Bridge(std::int64_t P) {
        const std::int64_t unit = priv_ ? 1'792 : 576;
        const std::int64_t ticks = priv_ ? 2'880 : 2'160;
        const std::int64_t lastEnd = L_ + lastBytes_ / unit * ticks;
        const auto gap = static_cast<std::int32_t>(std::max<std::int64_t>(P - lastEnd, 0));
        counter_ += priv_ ? PadPrivateGap(run_, out_, gap) : PadAudioGap(run_, out_, gap);
        NoteLoss(P);
    }

    void NoteLoss(std::int64_t toPts) {
        const std::int64_t upTo = r_.IsEOF() ? INT64_MAX : BytePosition(r_);
        for (const CIBits::Damage& d : r_.DamageIn(lossBegin_, upTo))
            run_.NoteLost({false, d.diskByte, d.end - d.begin, L_, toPts});
        damaged_ = false;
    }

    RipRun& run_;
    RipState& e_;
    CIBits& r_;
    COBits& out_;
    RipProgress& ap_;
    bool damaged_ = false;
    std::int64_t lossBegin_ = 0;
    std::int64_t lastBytes_ = 0;
    std::uint8_t s_;
    std::uint32_t code_;
    std::int64_t S_, E_;
    bool priv_;
    int k_;
    std::int64_t endBit_ = 0, endByte_ = 0;
    std::int64_t L_ = 0;
    std::int64_t latest_ = 0;
    std::int64_t counter_ = 0;
    bool finished_ = false;
};

void SetUpProgress(RipRun& run, std::int64_t S, std::int64_t E, int k) {
    RipProgress& ap = run.AudioProgress();
    ap.rangeHigh = static_cast<std::int32_t>(E >> k);
    ap.rangeLow = static_cast<std::int32_t>(S >> k);
    ap.position = static_cast<std::int32_t>(S >> k);
    ap.active = true;
    ap.rangeChanged = true;
    ap.ClearStatus();
    run.SetVideoActive(false);
}

std::int64_t Pad(RipRun& run, COBits& out, std::int64_t count) {
    const std::vector<std::uint8_t>& last = run.State().m_vecLastPayload;
    if (count <= 0 || last.empty()) return 0;
    std::int64_t left = count;
    while (left > 0) {
        std::int64_t n = std::min<std::int64_t>(left, static_cast<std::int64_t>(last.size()));
        out.WriteBytes(std::span<const std::uint8_t>(last.data(), static_cast<std::size_t>(n)));
        left -= n;
    }
    return count;
}

} // namespace

std::int64_t CopyPayload(RipRun& run, CIBits& r, COBits& out, std::int64_t n,
                         std::int64_t limitByte) {
    std::vector<std::uint8_t>& last = run.State().m_vecLastPayload;
    last.clear();
    std::int64_t copied = 0;
    while (copied < n && !r.IsEOF()) {
        std::int64_t pos = BytePosition(r);
        if (pos >= limitByte) break;
        std::span<const std::uint8_t> buf = r.BufferedBytes();
        if (buf.empty()) {
            std::uint8_t b = 0;
            r.TryReadByte(b);
            out.WriteByte(b);
            last.push_back(b);
            ++copied;
            continue;
        }
        std::int64_t take =
            std::min({n - copied, static_cast<std::int64_t>(buf.size()), limitByte - pos});
        auto part = buf.first(static_cast<std::size_t>(take));
        out.WriteBytes(part);
        last.insert(last.end(), part.begin(), part.end());
        r.ConsumeBuffered(static_cast<std::int32_t>(take));
        copied += take;
    }
    return copied;
}

std::int64_t PadAudioGap(RipRun& run, COBits& out, std::int32_t d) {
    std::int64_t units = static_cast<std::int64_t>(std::trunc(d / 2'160.0 + 0.5));
    return Pad(run, out, units * 576);
}

std::int64_t PadPrivateGap(RipRun& run, COBits& out, std::int32_t d) {
    std::int64_t units = static_cast<std::int64_t>(std::trunc(d / 2'880.0 + 0.5));
    return Pad(run, out, units * 1'792);
}

RipOutcome RipAudioStream(RipRun& run, CIBits& r, COBits* writer, std::uint8_t s, std::int64_t S,
                          std::int64_t E, StageFiles* files) {
    run.StatusMessage("CPVRFile::RipAudioStream\n", true);
    run.StatusMessage("Try to rewind...", true);
    if (run.Request().rawAudio) return RipRawAudio(run, S, E, r, s, files ? &files->raw : nullptr);
    if (!writer) return RipOutcome::kOutputFailed;
    if (!r.Rewind()) {
        run.StatusMessage("failed!\n", true);
        return RipOutcome::kReadError;
    }
    run.StatusMessage(" passed!\n", true);
    if (run.IsCancelled()) return RipOutcome::kCancelled;
    int k = 0;
    while (k < 62 && (E >> k) > 0x1000000)
        ++k;
    SetUpProgress(run, S, E, k);
    AudioRun audio(run, r, *writer, s, S, E, false, k);
    return audio.Run();
}

RipOutcome RipPrivateStream(RipRun& run, CIBits& r, COBits& writer, std::uint8_t s, std::int64_t S,
                            std::int64_t E) {
    run.StatusMessage("CPVRFile::RipPrivateStream\n", true);
    run.StatusMessage("Try to rewind...", true);
    if (!r.Rewind()) {
        run.StatusMessage(" failed!\n", true);
        return RipOutcome::kReadError;
    }
    run.StatusMessage(" passed!\n", true);
    if (run.IsCancelled()) return RipOutcome::kCancelled;
    SetUpProgress(run, S, E, 3);
    AudioRun audio(run, r, writer, s, S, E, true, 3);
    return audio.Run();
}

} // namespace quorin
