// Raw audio and raw video rips.
#include "rip/raw_rip.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_file.h"
#include "rip/obits.h"
#include "rip/pes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace quorin {
namespace {

constexpr std::int64_t kChunk = 1'048'576;
constexpr std::int64_t kCluster = kClusterBytes;

class RawRip {
public:
    RawRip(RipRun& run, std::int64_t B, std::int64_t E, CIBits& r, std::uint8_t s, bool video)
        : run_(run), e_(run.State()), r_(r), s_(s), B_(B), E_(E), video_(video),
          bp_(video ? run.VideoProgress() : run.AudioProgress()) {}

    RipOutcome Run() {
        if (!video_) run_.SetVideoActive(false);
        if (!run_.OpenVolume(handle_)) {
            run_.StatusMessage("could not open " + run_.Clip().DriveName() + ": " +
                                   SystemErrorText(errno) + "\n",
                               true);
            return RipOutcome::kReadError;
        }
        const ClipRecord& rec = run_.Clip().GetRecord();
        std::uint32_t first = video_ ? rec.VideoFirstCluster() : rec.AudioFirstCluster();
        int clusters = video_ ? rec.VClusters() : rec.AClusters();
        if (run_.Clip().Table()) chain_ = run_.Clip().Table()->GetClusterChain(first);
        const std::uint32_t loop = CutChainLoop(chain_);
        n_ = static_cast<int>(std::min<std::int64_t>(std::max(clusters, 0), chain_.size()));
        if (run_.Clip().Table() && n_ < clusters) {
            // The end offset belongs to a cluster the chain does not reach; nothing of such
            // a stream can be cut by its time stamps.
            run_.StatusMessage(ChainShortText(chain_.size(), loop) + "\n", true);
            return RipOutcome::kReadError;
        }
        skipBytes_ = std::clamp<std::int64_t>(std::int64_t{e_.m_lSkipSectors} * 512, 0, kCluster);
        endBytes_ = std::clamp<std::int64_t>(std::int64_t{e_.m_lEndSectors} * 512, 0, kCluster);
        std::string requested =
            run_.BasePath() + "." +
            (video_ ? run_.Request().postfixes.rawVideo : run_.Request().postfixes.rawAudio);
        out_ = std::make_unique<OutputFile>(requested, OutputFile::Preview::kOverwrite);
        if (!out_->IsOpen()) {
            // A file that cannot be created is reported, with the system's reason.
            run_.StatusMessage("could not create " + run_.Shown(out_->Name()) + ": " +
                                   OutputErrorText(out_->Error()) + "\n",
                               true);
            return RipOutcome::kOutputFailed;
        }
        fileName_ = out_->Name();
        if (n_ <= 0) {
            run_.StatusMessage("done ....\n", true);
            return RipOutcome::kDone;
        }

        bp_.rangeHigh = n_ * 100;
        bp_.rangeLow = 0;
        bp_.position = 0;
        bp_.megabytes = 0;
        run_.StatusMessage(
            video_ ? "Seeking End of RawVideo ....\n" : "Seeking End of RawAudio ....\n", true);
        e_.m_bPTSWrapped = false;

        ClusterScan();
        e_.m_bPTSWrapped = false;
        StartChunk();
        EndChunk();

        if (video_) run_.SetVideoActive(true);
        bp_.rangeHigh = (endC_ - startC_) * 100 + endChunk_ - startChunk_;
        bp_.active = true;
        bp_.rangeChanged = true;
        run_.StatusMessage(video_ ? "Ripping Raw Video ....\n" : "Ripping Raw Audio ....\n", true);
        if (run_.IsCancelled()) return Cancelled();

        const bool combined = video_ && startC_ == endC_ && startChunk_ == endChunk_;
        // From the first packet that reaches the begin to the end of its chunk.
        if (!FineStart(combined)) return Failed();
        // The rest of the start cluster.
        for (int j = startChunk_ + 1; j < 100; ++j) {
            if (startC_ == endC_ && j >= endChunk_) break;
            if (run_.IsCancelled()) return Cancelled();
            if (!CopyChunk(startC_, j)) break;
            if (failed_) return Failed();
        }
        if (failed_) return Failed();
        // The clusters between.
        for (int i = startC_ + 1; i < endC_; ++i) {
            for (int j = 0; j < 100; ++j) {
                if (run_.IsCancelled()) return Cancelled();
                int done = i - startC_ - 1;
                int value = (video_ ? 100 * (done + 1) : 100 * done) + j;
                bp_.position = value;
                bp_.megabytes = value;
                if (!CopyChunk(i, j, false)) break;
                if (failed_) return Failed();
            }
        }
        // The end cluster up to the chunk that holds the end.
        if (endC_ != startC_) {
            int count = endChunk_;
            if (!video_ && endC_ == n_ - 1)
                count = static_cast<int>(std::min<std::int64_t>(endChunk_, endBytes_ / kChunk + 1));
            count = std::clamp(count, 0, 100);
            for (int j = 0; j < count; ++j) {
                if (run_.IsCancelled()) return Cancelled();
                if (!CopyChunk(endC_, j)) break;
                if (failed_) return Failed();
            }
        }
        // The end chunk up to the last packet before the end.
        if (video_) {
            if (run_.IsCancelled()) return Cancelled();
            bool after = endC_ > startC_ || endChunk_ > startChunk_;
            if (combined || after) {
                if (!FineEnd(combined)) return Failed();
            }
        }
        bp_.position = bp_.position + 1;
        bp_.megabytes = bp_.megabytes + 1;
        handle_.Close();
        out_->Close();
        if (out_->WriteFailed()) return Failed();
        run_.StatusMessage("done ....\n", true);
        return RipOutcome::kDone;
    }

    const std::string& FileName() const { return fileName_; }

private:
    // GetNextPTS at byte `off` of chain index i, reading nothing outside the stream's data.
    std::int64_t Probe(int i, std::int64_t off) {
        if (i < 0 || i >= n_) return PTS_NONE;
        if (i == 0 && off < skipBytes_) off = skipBytes_;
        std::int64_t bytes = std::min(kChunk, kCluster - off);
        if (i == n_ - 1) bytes = std::min(bytes, endBytes_ - off);
        if (bytes <= 0) return PTS_NONE;
        return GetNextPTS(run_, s_, r_, chain_[static_cast<std::size_t>(i)], i, off, handle_,
                          run_.Buffer(), bytes);
    }

    // The clusters that hold the begin and the end.
    void ClusterScan() {
        bool startSet = false, endSet = false;
        for (int i = 0; i < n_ && !run_.IsCancelled(); ++i) {
            std::int64_t T = WrapPTS(e_, Probe(i, i == 0 ? skipBytes_ : 0));
            if (T == PTS_NONE) break;
            if (T > B_ && !startSet) {
                startC_ = i - 1;
                startSet = true;
            }
            if (T < B_ && !startSet && i == n_ - 1) {
                startC_ = i;
                startSet = true;
            }
            if (T > E_) {
                endC_ = i - 1;
                endSet = true;
                break;
            }
            if (T == E_) {
                endC_ = i;
                endSet = true;
                break;
            }
        }
        if (!startSet) startC_ = n_ - 1;
        if (!endSet) endC_ = n_ - 1;
        startC_ = std::max(startC_, 0);
        endC_ = std::max(endC_, 0);
        if (endC_ < startC_) endC_ = startC_;
    }

    int FirstChunk(int cluster) const {
        return cluster == 0 ? static_cast<int>(skipBytes_ / kChunk) : 0;
    }

    bool BeyondEnd(int cluster, int j) const {
        return cluster == n_ - 1 && static_cast<std::int64_t>(j) * kChunk > endBytes_;
    }

    // The chunk that holds the begin.
    void StartChunk() {
        int j0 = FirstChunk(startC_);
        int lastProbed = -1;
        bool set = false;
        for (int j = j0; j < 100 && !run_.IsCancelled(); ++j) {
            if (BeyondEnd(startC_, j)) break;
            std::int64_t T = Probe(startC_, static_cast<std::int64_t>(j) * kChunk);
            if (T == PTS_NONE) continue; // On to the next chunk
            T = WrapPTS(e_, T);
            lastProbed = j;
            if (T >= B_) {
                startChunk_ = T == B_ ? j : j - 1;
                set = true;
                break;
            }
        }
        // When no chunk reached the begin it lies after the last chunk probed, not at the
        // cluster's start (which would copy up to 99 MiB too much).
        if (!set) startChunk_ = lastProbed >= 0 ? lastProbed : j0;
        startChunk_ = std::clamp(startChunk_, j0, 99);
    }

    // The chunk that holds the end.
    void EndChunk() {
        int j0 = FirstChunk(endC_);
        int stop = 100;
        std::int64_t Tstop = PTS_NONE;
        bool haveHighest = false;
        int j = j0;
        for (; j < 100; ++j) {
            if (run_.IsCancelled()) break;
            if (BeyondEnd(endC_, j)) {
                stop = j;
                break;
            }
            std::int64_t T = Probe(endC_, static_cast<std::int64_t>(j) * kChunk);
            if (T == PTS_NONE) continue; // On to the next chunk
            T = WrapPTS(e_, T);
            if (T >= E_ || (haveHighest && T < highest_)) {
                stop = j;
                Tstop = T;
                break;
            }
            highest_ = T;
            haveHighest = true;
        }
        if (j >= 100 || run_.IsCancelled()) stop = std::min(j, 100);
        if (!haveHighest) highest_ = PTS_NONE;
        endChunk_ = video_ ? (Tstop == E_ ? stop : stop - 1) : stop;
        endChunk_ = std::clamp(endChunk_, 0, video_ ? 99 : 100);
    }

    // Reads chunk j of chain index i (the part inside the stream's data); -1 on a read error.
    std::int64_t ReadChunk(int i, int j, std::span<std::uint8_t> buf) {
        std::int64_t off = static_cast<std::int64_t>(j) * kChunk;
        std::int64_t len = kChunk;
        if (i == n_ - 1) len = std::min(len, endBytes_ - off);
        if (len <= 0) return 0;
        const std::uint32_t cluster = chain_[static_cast<std::size_t>(i)];
        if (!IsDataCluster(cluster)) {
            failure_ = BadClusterText(cluster);
            return -1;
        }
        if (!SetToPhysicalSector(handle_, ClusterStartSector(cluster) + off / 512)) return -1;
        const std::int64_t at = handle_.Position();
        std::int64_t got = handle_.ReadData(std::span(buf.data(), static_cast<std::size_t>(len)));
        for (const MissingRange& m : handle_.MissingIn(at, at + std::max<std::int64_t>(got, 0)))
            run_.NoteLost({video_, m.begin, m.end - m.begin, PTS_NONE, PTS_NONE});
        if (got < len) {
            failure_ = ReadFailureText(run_.Clip().DriveName(), at + std::max<std::int64_t>(got, 0),
                                       got < 0 ? errno : 0);
            if (got > 0) Write(buf.data(), got);
            return -1;
        }
        return got;
    }

    void Write(const std::uint8_t* data, std::int64_t n) {
        if (n <= 0) return;
        if (!out_->Write(std::span<const std::uint8_t>(data, static_cast<std::size_t>(n))))
            failed_ = true;
    }

    // Copies one whole chunk; false when there is nothing more to copy (end of the data or a
    // read error, which also sets failed_).
    bool CopyChunk(int i, int j, bool count = true) {
        const std::span<std::uint8_t> buf = run_.Buffer();
        std::int64_t got = ReadChunk(i, j, buf);
        if (got < 0) {
            ReadError();
            return false;
        }
        if (got == 0) return false;
        Write(buf.data(), got);
        if (count) {
            bp_.position = bp_.position + 1;
            bp_.megabytes = bp_.megabytes + 1;
        }
        return true;
    }

    void ReadError() {
        readError_ = true;
        failed_ = true;
        run_.StatusMessage((failure_.empty() ? std::string("read error") : failure_) + "\n", true);
    }

    std::int64_t HeaderPts(int i, std::int64_t byteInCluster, std::int64_t* length) {
        r_.ClearEOF();
        if (!r_.SeekBitPosition(static_cast<std::int64_t>(i) * kClusterBits + byteInCluster * 8))
            return PTS_NONE;
        CPESHeader h(r_, s_);
        if (length && h.IsValid()) *length = static_cast<std::int64_t>(h.PacketLength()) + 6;
        return h.IsValid() ? WrapPTS(e_, h.GetPTS()) : PTS_NONE;
    }

    // From the first packet of the start chunk that reaches the begin (within the tolerance)
    // to the end of the chunk.
    bool FineStart(bool combined) {
        const std::span<std::uint8_t> buf = run_.Buffer();
        std::int64_t len = ReadChunk(startC_, startChunk_, buf);
        if (len < 0) {
            ReadError();
            return false;
        }
        const std::int64_t chunkOff = static_cast<std::int64_t>(startChunk_) * kChunk;
        const std::int64_t tolerance = video_ ? 15'000 : 10'000;
        std::int64_t o = startC_ == 0 ? std::max<std::int64_t>(0, skipBytes_ - chunkOff) : 0;
        for (; o + 3 < len; ++o) {
            if (!(buf[o] == 0 && buf[o + 1] == 0 && buf[o + 2] == 1 && buf[o + 3] == s_)) continue;
            std::int64_t T = HeaderPts(startC_, chunkOff + o, nullptr);
            if (T != PTS_NONE && (std::llabs(T - B_) <= tolerance || T > B_)) {
                startOffset_ = o;
                if (!combined) Write(buf.data() + o, len - o);
                return !failed_;
            }
            o += 3; // the scan goes on 4 bytes further
        }
        startOffset_ = -1; // nothing of this chunk qualifies
        return !failed_;
    }

    // The end chunk up to the end of the last packet that does not pass the end.
    bool FineEnd(bool combined) {
        if (combined && startOffset_ < 0) return true;
        const std::span<std::uint8_t> buf = run_.Buffer();
        std::int64_t len = ReadChunk(endC_, endChunk_, buf);
        if (len < 0) {
            ReadError();
            return false;
        }
        const std::int64_t chunkOff = static_cast<std::int64_t>(endChunk_) * kChunk;
        // Combined with the fine start, the first packet is the one the fine start chose.
        std::int64_t accepted = combined ? PTS_NONE : highest_;
        std::int64_t endAt = -1;
        std::int64_t o = endC_ == 0 ? std::max<std::int64_t>(0, skipBytes_ - chunkOff) : 0;
        if (combined) o = startOffset_;
        for (; o + 3 < len; ++o) {
            if (!(buf[o] == 0 && buf[o + 1] == 0 && buf[o + 2] == 1 && buf[o + 3] == s_)) continue;
            std::int64_t bit = (static_cast<std::int64_t>(endC_) * kCluster + chunkOff + o) * 8;
            if (bit > e_.m_i64VideoEndBit) break;
            std::int64_t length = 0;
            std::int64_t T = HeaderPts(endC_, chunkOff + o, &length);
            if (T == PTS_NONE || T > E_ || T < accepted) break;
            accepted = T;
            endAt = o + length;
            o += 3;
        }
        if (endAt < 0) return true; // Nothing of the chunk
        std::int64_t from = combined ? startOffset_ : 0;
        endAt = std::min(endAt, len);
        if (endAt > from) Write(buf.data() + from, endAt - from);
        return !failed_;
    }

    RipOutcome Cancelled() {
        handle_.Close();
        if (out_) out_->Close();
        run_.StatusMessage("cancelled\n", true);
        return RipOutcome::kCancelled;
    }

    RipOutcome Failed() {
        handle_.Close();
        if (out_) out_->Close();
        if (readError_) return RipOutcome::kReadError;
        run_.StatusMessage("could not write " + run_.Shown(fileName_) + ": " +
                               OutputErrorText(out_->Error()) + "\n",
                           true);
        return RipOutcome::kOutputFailed;
    }

    RipRun& run_;
    RipState& e_;
    CIBits& r_;
    std::uint8_t s_;
    std::int64_t B_, E_;
    bool video_;
    RipProgress& bp_;
    VolumeHandle handle_;
    std::vector<std::uint32_t> chain_;
    int n_ = 0;
    std::int64_t skipBytes_ = 0, endBytes_ = 0;
    std::unique_ptr<OutputFile> out_;
    std::string fileName_;
    int startC_ = 0, endC_ = 0, startChunk_ = 0, endChunk_ = 0;
    std::int64_t highest_ = PTS_NONE;
    std::int64_t startOffset_ = -1;
    bool failed_ = false;
    bool readError_ = false;
    std::string failure_; // what the failed read was, for the status
};

} // namespace

RipOutcome RipRawAudio(RipRun& run, std::int64_t B, std::int64_t E, CIBits& reader, std::uint8_t s,
                       std::string* file) {
    RawRip rip(run, B, E, reader, s, false);
    RipOutcome result = rip.Run();
    if (file) *file = rip.FileName();
    return result;
}

RipOutcome RipRawVideo(RipRun& run, std::int64_t B, std::int64_t E, CIBits& reader, std::uint8_t s,
                       std::string* file) {
    RawRip rip(run, B, E, reader, s, true);
    RipOutcome result = rip.Run();
    if (file) *file = rip.FileName();
    return result;
}

} // namespace quorin
