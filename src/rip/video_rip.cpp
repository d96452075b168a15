// Video stream extraction.
#include "rip/extract.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/ibits.h"
#include "disk/pvr_file.h"
#include "rip/obits.h"
#include "rip/pes.h"
#include "rip/progress_blocks.h"
#include "rip/raw_rip.h"
#include "rip/start_search.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace quorin {
namespace {

enum class CopyEnd { kEndPts, kDataEnd, kEof, kCancelled };

class VideoCopy {
public:
    VideoCopy(CPVRFile& clip, CIBits& r, COBits& out, RipProgress& vp, std::uint8_t s,
              std::int64_t S, std::int64_t E1, std::int64_t T0, int k, std::string* delayLog)
        : clip_(clip), e_(clip.m_Engine), r_(r), out_(out), vp_(vp), s_(s), S_(S), E1_(E1), T0_(T0),
          L_(T0), k_(k), delayLog_(delayLog) {
        endByte_ = e_.m_i64VideoEndBit / 8;
    }

    // Copies from the reader position (the first sequence header) on. Every byte before the end
    // of the stream's data is written except the PES headers of the stream; GOP time codes are
    // rewritten. The result is byte for byte that of a loop that moves one byte per step.
    CopyEnd Run() {
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
                std::span<const std::uint8_t> buf = r_.BufferedBytes();
                if (buf.empty()) {
                    // Not byte-aligned (never after the parsers here): one byte the slow way.
                    std::uint8_t b = r_.ReadByte();
                    Write(std::span<const std::uint8_t>(&b, 1));
                    continue;
                }
                std::int64_t n = static_cast<std::int64_t>(buf.size());
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

    std::int64_t L() const { return L_; }
    std::int64_t Bytes() const { return counter_; }

private:
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

    void Write(std::span<const std::uint8_t> bytes) {
        out_.WriteBytes(bytes);
        counter_ += static_cast<std::int64_t>(bytes.size());
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
            if (clip_.IsCancelled()) {
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
        if (clip_.IsCancelled()) {
            end = CopyEnd::kCancelled;
            return true;
        }
        // Mend: the delay is measured after the wrap rule, so a cut across 2^33 logs a sane value.
        std::int64_t P = WrapPTS(e_, h.GetPTS());
        if (!delayWritten_) {
            WriteDelay(P);
            delayWritten_ = true;
        }
        L_ = P;
        if (h.HasPTSandDTS()) {
            std::int64_t d = P - e_.m_i64FirstPTS;
            clip_.StatusMessage(
                Format(" at PTS = %d:%02d:%02d\n", static_cast<int>(d / 324'000'000),
                       static_cast<int>((d / 5'400'000) % 60), static_cast<int>((d / 90'000) % 60)),
                false);
        }
        // Mend: a packet whose payload starts with a slice continues the picture being copied
        // (pictures larger than a packet are split at slices, each piece repeating the PTS), so
        // it never ends the copy; otherwise a short cut or a preview keeps half a picture.
        const std::uint32_t next = r_.Peek32();
        const bool continuesPicture = next >= 0x00000101u && next <= 0x000001AFu;
        if ((P > E1_ && P - E1_ < (std::int64_t{1} << 31) && !continuesPicture) ||
            r_.GetBitPosition() > e_.m_i64VideoEndBit) {
            clip_.StatusMessage(" at PTS = " + PtsHex(P) + " ", true);
            clip_.StatusMessage("Stream ripped successfully...\n", true);
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
        static const std::uint8_t kGop[4] = {0x00, 0x00, 0x01, 0xB8};
        out_.WriteBytes(kGop);
        r_.ReadBits(32);
        out_.WriteBits(r_.ReadBits(1), 1); // drop_frame_flag
        r_.ReadBits(24);                   // the old time code
        std::int64_t D = L_ - T0_;
        std::int64_t hours = D / 324'000'000;
        if (hours > 23) hours = 0;
        out_.WriteBits(static_cast<std::uint32_t>(hours), 5);
        out_.WriteBits(static_cast<std::uint32_t>((D / 5'400'000) % 60), 6);
        out_.WriteBits(1, 1);
        out_.WriteBits(static_cast<std::uint32_t>((D / 90'000) % 60), 6);
        out_.WriteBits(static_cast<std::uint32_t>(((D / 3'600) + 1) % 25), 6);
        out_.WriteBits(r_.ReadBits(7), 7); // closed_gop, broken_link, 5 bits to the byte
        counter_ += 8;
        return false;
    }

    void WriteDelay(std::int64_t P) {
        // Mend: named after the video file actually written, so "Film_000.m2v" keeps its own.
        std::string name = DelayLogName(out_.GetFileName());
        if (std::FILE* f = std::fopen(name.c_str(), "w")) {
            std::string text = Format("Delay: %.0f ms", static_cast<double>(P - S_) * (1.0 / 90));
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
            if (delayLog_) *delayLog_ = name;
        }
    }

    CPVRFile& clip_;
    ClipEngineState& e_;
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
    bool delayWritten_ = false;
};

} // namespace

std::string DelayLogName(const std::string& videoFile) {
    std::size_t dot = videoFile.rfind('.');
    std::string base = dot == std::string::npos ? videoFile : videoFile.substr(0, dot);
    return base + " delay.log";
}

StageResult RipVideoStream(CPVRFile& clip, CIBits& r, COBits* writer, std::uint8_t s,
                           std::int64_t S, std::int64_t E, StageFiles* files) {
    ClipEngineState& e = clip.m_Engine;
    RipProgress& vp = VideoBlock(clip);
    clip.StatusMessage("CPVRFile::RipVideoStream\n", true);
    clip.StatusMessage("rewinding stream", true);
    const std::int64_t E1 = E - 1;
    if (vp.raw) return RipRawVideo(clip, S, E1, r, s, files ? &files->raw : nullptr);
    if (!writer) return StageResult::kOutputFailed;
    COBits& out = *writer;
    bool rewound = r.Rewind();
    clip.StatusMessage(rewound ? "...okay\n" : "...failed!!!\n", true);
    if (clip.IsCancelled()) return StageResult::kCancelled;

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
    clip.m_lActiveStream = 1;

    const std::uint32_t code = 0x00000100u + s;
    clip.StatusMessage(Format("seeking stream start code %X\n", code), true);
    const ClipRecord& rec = clip.GetRecord();
    SearchForStart(clip, S, r, s, rec.VideoFirstCluster(), rec.VClusters());
    e.m_bPTSWrapped = false;

    // Start phase: the first packet at S, then the next sequence header.
    const std::int64_t endByte = e.m_i64VideoEndBit / 8;
    bool reached = false;
    bool found = false;
    std::int64_t L = 0;
    e.m_i64RipPicturePTS = PTS_NONE;
    std::int64_t picture = PTS_NONE; // the packet the next sequence header is in
    while (!r.IsEOF() && BytePosition(r) < endByte) {
        if (reached && r.Peek32() == code) {
            // Only looked at: the reader goes back, so the search continues as before. The wrap
            // rule without touching m_bPTSWrapped, which the copy phase decides.
            const std::int64_t at = r.GetBitPosition();
            CPESHeader h(r, s);
            const std::int64_t P = h.GetPTS();
            if (h.IsValid() && P != PTS_NONE)
                picture = P < e.m_i64FirstPTS - 180'000 ? P + kPtsWrap : P;
            r.SeekBitPosition(at);
        }
        if (!reached && r.Peek32() == code) {
            CPESHeader h(r, s);
            if (clip.IsCancelled()) return StageResult::kCancelled;
            std::int64_t P = WrapPTS(e, h.GetPTS());
            L = P;
            picture = P;
            if (h.IsValid() && (P >= S || std::llabs(P - S) < 25)) {
                clip.StatusMessage("reached pts " + PtsHex(P) + "\n", true);
                reached = true;
                clip.StatusMessage("shit.. i'm video and i have to wait until 0x000001B3....\n",
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
            e.m_i64RipPicturePTS = picture;
            found = true;
            break;
        }
        if (clip.IsCancelled()) return StageResult::kCancelled;
        r.SkipByte();
        NextStartCodeBefore(r, endByte);
    }
    e.m_i64RipStartPTS = L;
    const std::int64_t T0 = L;
    if (!found) clip.StatusMessage(Format("EOF reached! No PTS for Code %X\n", code), true);
    clip.StatusMessage("now ripping until eobs...\n", true);

    StageResult result = StageResult::kNothingFound;
    if (found) {
        VideoCopy copy(clip, r, out, vp, s, S, E1, T0, k, files ? &files->delayLog : nullptr);
        CopyEnd end = copy.Run();
        if (end == CopyEnd::kCancelled) return StageResult::kCancelled;
        if (end == CopyEnd::kEof) {
            clip.StatusMessage("EOBS Reached...\n", true);
        } else if (end == CopyEnd::kDataEnd) {
            // Mend: the end of the stream's data ends the copy, also between packet headers.
            clip.StatusMessage(" at PTS = " + PtsHex(copy.L()) + " ", true);
            clip.StatusMessage("Stream ripped successfully...\n", true);
        }
        vp.megabytes = static_cast<std::int32_t>(copy.Bytes() >> 20);
        result = StageResult::kDone;
    } else {
        clip.StatusMessage("EOBS Reached...\n", true);
    }
    vp.position = vp.rangeHigh.load();
    out.Flush();
    LogLine("return");
    return result;
}

bool PatchSequenceHeader(CPVRFile& clip, const std::string& fileName) {
    std::FILE* f = std::fopen(fileName.c_str(), "r+b");
    if (!f) return false;
    std::vector<std::uint8_t>& buf = clip.ExtractionBuffer();
    std::size_t n = std::fread(buf.data(), 1, 1'048'576, f);
    struct stat st {};
    std::int64_t fileLength = ::fstat(fileno(f), &st) == 0 ? st.st_size : 0;
    const std::int64_t seconds = static_cast<std::int64_t>(clip.m_Engine.m_dLength);
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
