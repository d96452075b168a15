#include "rip/start_search.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_file.h"
#include "rip/pes.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <vector>

namespace quorin {
namespace {

constexpr std::int64_t kCluster = kClusterBytes; // 104,857,600
constexpr int kMaxCorrections = 16;
// Half a second: more than any picture reordering, so a probe that lands just after an I picture
// (on the B pictures that follow it with earlier time stamps) still backs off.
constexpr std::int64_t kBackOffMargin = 45'000;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

class Search {
public:
    Search(RipRun& run, std::int64_t S, CIBits& reader, std::uint8_t s,
           std::vector<std::uint32_t> chain, std::int32_t clusters, VolumeHandle& handle,
           StartSearchStats& stats)
        : run_(run), e_(run.State()), S_(S), reader_(reader), s_(s), chain_(std::move(chain)),
          N_(clusters), handle_(handle), stats_(stats) {
        n_ = static_cast<int>(std::min<std::int64_t>(std::max(clusters, 0), chain_.size()));
        skipBytes_ = std::clamp<std::int64_t>(std::int64_t{e_.m_lSkipSectors} * 512, 0, kCluster);
        endBytes_ = std::clamp<std::int64_t>(std::int64_t{e_.m_lEndSectors} * 512, 0, kCluster);
    }

    void Run() {
        if (n_ <= 0) {
            Position(0, 0);
            return;
        }
        if (!SearchByByteRate()) SearchFromClusterShare();
    }

private:
    void Say(const std::string& text) { run_.StatusMessage(text, true); }

    // One 1 MiB probe at byte o of chain index c. An offset at or past a cluster's end continues
    // in the next cluster of the chain; nothing outside the chain or outside the stream's data
    // is read.
    std::int64_t Probe(int c, std::int64_t o) {
        if (o >= kCluster) {
            c += static_cast<int>(o / kCluster);
            o %= kCluster;
        }
        if (c < 0 || c >= n_ || o < 0) return PTS_NONE;
        if (c == 0 && o < skipBytes_) o = skipBytes_;
        std::int64_t bytes = std::min(kStepBytes, kCluster - o);
        if (c == n_ - 1) bytes = std::min(bytes, endBytes_ - o);
        if (bytes <= 0) return PTS_NONE;
        ++stats_.probes;
        const std::span<std::uint8_t> buffer = run_.Buffer();
        return GetNextPTS(run_, s_, reader_, chain_[static_cast<std::size_t>(c)], c, o, handle_,
                          buffer, bytes);
    }

    std::int64_t Lift(std::int64_t p) const {
        // The wrap rule without touching m_bPTSWrapped.
        if (p != PTS_NONE && p < e_.m_i64FirstPTS - 180'000) p += kPtsWrap;
        return p;
    }

    // Predicts the begin's byte from the stream's average byte rate and corrects the guess by
    // the time stamps found there; false hands over to the search from the cluster share.
    bool SearchByByteRate() {
        double length = run_.Clip().ClipLength(); // hundredths of a second
        if (!(length > 0)) return false;          // the rate would divide by 0
        std::int64_t D;
        if (N_ <= 1)
            D = (std::int64_t{e_.m_lEndSectors} - e_.m_lSkipSectors) * 512;
        else
            D = (std::int64_t{e_.m_lEndSectors} - e_.m_lSkipSectors + kClusterSectors) * 512 +
                (std::int64_t{N_} - 2) * kCluster;
        std::int64_t R = static_cast<std::int64_t>(static_cast<double>(D) / (length * 0.01));
        if (R <= 0) return false;
        std::int64_t X = static_cast<std::int64_t>(std::trunc(e_.m_dBegin)) * R;
        int c = static_cast<int>(X / kCluster);
        std::int64_t o = X % kCluster / kStepBytes * kStepBytes;
        if (c == 0) o += skipBytes_;
        std::int64_t lastPos = X;
        Say("StartPTS 0x" + PtsHex(S_) + "\n");
        Say(Format("Predicted Cluster: %d\n", c));
        if (c > n_ - 1) return false; // the prediction left the chain
        std::int64_t P = Probe(c, o);
        if (P == PTS_NONE) return false; // nothing to correct from: the cluster share at once
        P = WrapPTS(e_, P);
        reader_.ClearEOF();
        std::int64_t lastPts = P;
        std::int64_t F = ((P - S_) / kTicksPerSecond) * R;
        for (;;) {
            Say(Format("Prediction fault: %" PRId64 "\n", F));
            if (F >= -kStepBytes && F <= kStepBytes) break;
            if (++stats_.corrections > kMaxCorrections) return false;
            std::int64_t target = static_cast<std::int64_t>(c) * kCluster + o - F;
            std::int64_t nc = FloorDiv(target, kCluster);
            if (nc < 0 || nc > n_ - 1) return false; // the prediction left the chain
            c = static_cast<int>(nc);
            o = (target - nc * kCluster) / kStepBytes * kStepBytes;
            std::int64_t newPos = static_cast<std::int64_t>(c) * kCluster + o;
            std::int64_t P2 = Probe(c, o);
            if (P2 == PTS_NONE) return false;
            P2 = Lift(P2);
            if ((P2 - lastPts) / kTicksPerSecond != 0) {
                std::int64_t dt = std::llabs(P2 - lastPts) / kTicksPerSecond;
                R = std::llabs(newPos - lastPos) / dt;
            }
            lastPos = newPos;
            lastPts = P2;
            P = P2;
            F = ((P - S_) / kTicksPerSecond + 1) * R;
        }
        // Back-off: the probe must see a stamp clearly before S.
        while (P >= S_ - kBackOffMargin) {
            Say("too far\n");
            ++stats_.backoffs;
            o -= kStepBytes;
            if (c == 0 && o < skipBytes_) {
                o = skipBytes_; // nothing of the stream lies before its start
                break;
            }
            if (o < 0) {
                if (c > 0) {
                    --c;
                    o = 99 * kStepBytes;
                } else {
                    o = skipBytes_;
                    break;
                }
            }
            P = Probe(c, o);
            if (P == PTS_NONE) return false;
            P = Lift(P);
        }
        Say("Silk and Smooth ..... running\n");
        stats_.byteRate = true;
        Position(c, o);
        return true;
    }

    // Starts in the cluster that holds the begin's share of the clip and reads on from there.
    void SearchFromClusterShare() {
        stats_.clusterShare = true;
        Say("Trying old version\n");
        double length = run_.Clip().ClipLength();
        int c = 0;
        if (length > 0) {
            double v = std::trunc(e_.m_dBegin * 100.0 / length * N_);
            c = static_cast<int>(std::clamp(v, 0.0, static_cast<double>(n_ - 1)));
        }
        c = std::clamp(c, 0, n_ - 1);
        std::int64_t o = c == 0 ? skipBytes_ : 0;
        Say("StartPTS 0x" + PtsHex(S_) + "\n");
        Say(Format("Predicted Cluster: %d\n", c));
        std::int64_t P0 = Probe(c, o);
        e_.m_bPTSWrapped = false;
        P0 = WrapPTS(e_, P0);
        reader_.ClearEOF();
        if (P0 < S_) ++c; // PTS_NONE counts as below
        if (P0 >= S_ || P0 == PTS_NONE) {
            c -= 2; // an exact hit counts as past S
            if (e_.m_bPTSWrapped && P0 > kPtsWrap) e_.m_bPTSWrapped = false;
        }
        Say(Format("Prediction fault: %d\n", static_cast<std::int32_t>(S_ - P0)));
        c = std::clamp(c, 0, n_ - 1);

        // Cluster scan: the last cluster whose first stamp lies before S.
        int chosen = -1;
        int lastBelow = -1; // last cluster probed with a stamp below S
        bool havePrev = false, stepMeasured = false, jumped = false, extrapolate = true;
        std::int64_t prev = 0, step = 0;
        int cc = c;
        for (; cc <= n_ - 1; ++cc) {
            if (run_.IsCancelled()) break;
            std::int64_t P = Probe(cc, cc == 0 ? skipBytes_ : 0);
            if (P == PTS_NONE) continue;
            Say(Format("Searching Cluster %02d\n", cc));
            P = WrapPTS(e_, P);
            if (P >= S_) {
                if (jumped && lastBelow < cc - 1) {
                    // The extrapolation overshot: scan the clusters it skipped one by one.
                    cc = lastBelow;
                    jumped = false;
                    extrapolate = false;
                    continue;
                }
                chosen = cc - 1;
                if (cc > 0 && lastBelow != cc - 1) chosen = BackTo(cc - 1, lastBelow);
                break;
            }
            lastBelow = cc;
            if (extrapolate &&
                ((cc == 1 && e_.m_lSkipSectors == 0) || (cc > 2 && run_.VideoActive()))) {
                if (havePrev) {
                    if (!stepMeasured) {
                        step = P - prev;
                        stepMeasured = true;
                    }
                    // A step of 0 or less (damaged stamps) is no base for extrapolation.
                    if (step > 0 && S_ - P > 2 * step) {
                        std::int64_t jump = (S_ - P) / (2 * step);
                        // Never past the last cluster, which must still be probed.
                        jump = std::min<std::int64_t>(jump, std::max(0, n_ - 2 - cc));
                        if (jump > 0) {
                            cc += static_cast<int>(jump);
                            jumped = true;
                        }
                    }
                }
            }
            prev = P;
            havePrev = true;
        }
        if (chosen < 0) chosen = std::min(cc, n_) - 1;
        chosen = std::clamp(chosen, 0, n_ - 1);

        // Buffer scan inside the chosen cluster.
        e_.m_bPTSWrapped = false;
        prev = 0;
        stepMeasured = false;
        step = 0;
        bool guard = true;
        extrapolate = true;
        jumped = false;
        int lastProbed = -1;
        std::int64_t P = PTS_NONE;
        bool stopped = false;
        int b = 0;
        for (; b < 100; ++b) {
            if (run_.IsCancelled()) {
                b = 0;
                stopped = true;
                break;
            }
            o = static_cast<std::int64_t>(b) * kStepBytes;
            if (b == 0 && chosen == 0) {
                o += skipBytes_;
                b = static_cast<int>(o / kStepBytes);
            }
            P = Probe(chosen, o);
            if (P == PTS_NONE && chosen == n_ - 1 && b == 0 && n_ >= 2) {
                // The last cluster holds nothing at its start: go on in the one before it.
                reader_.ClearEOF();
                chosen = n_ - 2;
                b = 90;
                lastProbed = -1;
                continue;
            }
            if (chosen == n_ - 1 && static_cast<std::int64_t>(b) * kStepBytes > endBytes_) {
                reader_.ClearEOF();
                b = static_cast<int>(std::max<std::int64_t>(endBytes_ / kStepBytes - 1, 0));
                P = S_;
                stopped = true;
                break;
            }
            if (P == PTS_NONE) continue;
            P = WrapPTS(e_, P);
            if (P >= S_) { // an exact hit counts as past S
                if (jumped && lastProbed >= 0 && lastProbed < b - 1) {
                    b = lastProbed; // overshot: go on one MiB at a time
                    jumped = false;
                    extrapolate = false;
                    continue;
                }
                b = std::max(b - 2, 0);
                stopped = true;
                break;
            }
            int probed = b;
            if (extrapolate && ((b == 1 && chosen != 0 && e_.m_lSkipSectors == 0) ||
                                (b > 2 && run_.VideoActive()))) {
                if (!stepMeasured && !guard) {
                    step = P - prev;
                    stepMeasured = true;
                }
                if (!guard && step > 0 && static_cast<double>(S_ - P) > 1.5 * step) {
                    int jump = static_cast<int>(std::trunc(static_cast<double>(S_ - P) /
                                                           (1.5 * static_cast<double>(step))));
                    jump = std::min(jump, std::max(0, 98 - b)); // the last MiB is still probed
                    if (jump > 0) {
                        b += jump;
                        jumped = true;
                    }
                }
                if (chosen != 0 ||
                    static_cast<std::int64_t>(b) * kStepBytes - kStepBytes > skipBytes_)
                    guard = false;
            }
            Say(Format("Searching Buffer %02d ...\n", b));
            prev = P;
            lastProbed = probed;
        }
        if (!stopped) b = 99; // the last MiB of the cluster, still before S

        if (P == PTS_NONE || P < S_ / 2) {
            Say(Format("Shit something is fucked up (i64CurrentPTS = %f) rewinding\n",
                       static_cast<double>(P)));
            stats_.rewound = true;
            reader_.ClearEOF();
            reader_.Rewind();
            // The stream begins at its start offset, not at the first byte of its cluster.
            reader_.SeekBitPosition(skipBytes_ * 8);
            stats_.landingByte = BytePosition(reader_);
            return;
        }
        Say("Silk and Smooth ..... running\n");
        Position(chosen, static_cast<std::int64_t>(b) * kStepBytes);
    }

    // Walks back from cluster `from` to the first cluster whose first stamp lies below S (not
    // below `floor` + 1, a cluster already known to lie below S).
    int BackTo(int from, int floor) {
        for (int c = from; c > floor && c >= 0; --c) {
            if (run_.IsCancelled()) return c;
            std::int64_t P = Probe(c, c == 0 ? skipBytes_ : 0);
            if (P == PTS_NONE) continue;
            Say(Format("Searching Cluster %02d\n", c));
            if (WrapPTS(e_, P) < S_) return c;
        }
        return std::max(floor, 0);
    }

    void Position(int c, std::int64_t o) {
        reader_.ClearEOF();
        if (c == 0 && o < skipBytes_)
            reader_.SeekBitPosition(std::int64_t{e_.m_lSkipSectors} * 4096);
        else
            reader_.SeekBitPosition(static_cast<std::int64_t>(c) * kClusterBits + o * 8);
        stats_.landingByte =
            static_cast<std::int64_t>(c) * kCluster + std::max(o, c == 0 ? skipBytes_ : 0);
    }

    RipRun& run_;
    RipState& e_;
    std::int64_t S_;
    CIBits& reader_;
    std::uint8_t s_;
    std::vector<std::uint32_t> chain_;
    std::int32_t N_;
    int n_ = 0;
    std::int64_t skipBytes_ = 0;
    std::int64_t endBytes_ = 0;
    VolumeHandle& handle_;
    StartSearchStats& stats_;
};

} // namespace

bool SearchForStart(RipRun& run, std::int64_t S, CIBits& reader, std::uint8_t s,
                    std::uint32_t firstCluster, std::int32_t clusters, StartSearchStats* stats) {
    StartSearchStats local;
    StartSearchStats& st = stats ? *stats : local;
    st = StartSearchStats{};
    run.StatusMessage("CPVRFile::SearchForStart\n", true);
    VolumeHandle handle;
    if (!run.OpenVolume(handle)) {
        run.StatusMessage(Format("OpenDrive(hFile %d, Drive %s)... failed\n", handle.Value(),
                                 run.Clip().DriveName().c_str()),
                          true);
        return false;
    }
    run.StatusMessage(Format("OpenDrive(hFile %d, Drive %s)... success\n", handle.Value(),
                             run.Clip().DriveName().c_str()),
                      true);
    std::vector<std::uint32_t> chain;
    if (run.Clip().Table()) chain = run.Clip().Table()->GetClusterChain(firstCluster);
    Search search(run, S, reader, s, std::move(chain), clusters, handle, st);
    search.Run();
    return true;
}

} // namespace quorin
