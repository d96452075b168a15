// Cluster backup.
#include "rip/backup.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_file.h"
#include "platform/clock.h"
#include "platform/volume.h"
#include "rip/obits.h"
#include "rip/rescue_map.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quorin {
namespace {

constexpr std::int64_t kUnit = 1'048'576;

// What the backup read of the disk and what it found missing there.
struct ReadAccount {
    std::vector<DiskArea> read;
    std::vector<MissingRange> missing;
};

struct StreamExtent {
    std::uint32_t first;
    int clusters;
    std::int64_t start; // sectors
    std::int64_t end;   // sectors
};

class StreamCopy {
public:
    StreamCopy(RipRun& run, VolumeHandle& h, OutputFile& out, RipProgress& block,
               ReadAccount& account, bool video)
        : run_(run), h_(h), out_(out), block_(block), buf_(run.Buffer()), account_(account),
          video_(video) {}

    // Copies the stream; the result says how it ended. loop: the cluster the table's chain
    // returned to (the chain is cut before it), or 0.
    RipOutcome Copy(const std::vector<std::uint32_t>& chain, const StreamExtent& x,
                    std::uint32_t loop) {
        loop_ = loop;
        const int k = x.clusters;
        if (k <= 0) return RipOutcome::kDone;
        const std::int64_t s = std::clamp<std::int64_t>(x.start, 0, kClusterSectors);
        const std::int64_t e = std::clamp<std::int64_t>(x.end, 0, kClusterSectors);
        if (k == 1) {
            if (!Position(chain, 0, s)) return result_;
            std::int64_t left = std::max<std::int64_t>((e - s) * 512, 0);
            while (left >= kUnit) {
                if (!Transfer(kUnit, true)) return result_;
                left -= kUnit;
            }
            Transfer(left, false);
            return result_;
        }
        if (!Position(chain, 0, s)) return result_;
        if (!Transfer(kUnit - (s * 512) % kUnit, true)) return result_;
        for (std::int64_t u = 0; u < 99 - (s * 512) / kUnit; ++u)
            if (!Transfer(kUnit, true)) return result_;
        for (int c = 1; c <= k - 2; ++c) {
            if (!Position(chain, c, 0)) return result_;
            for (int u = 0; u < 100; ++u)
                if (!Transfer(kUnit, true)) return result_;
        }
        if (!Position(chain, k - 1, 0)) return result_;
        for (std::int64_t u = 0; u < (e * 512) / kUnit; ++u)
            if (!Transfer(kUnit, true)) return result_;
        Transfer((e * 512) % kUnit, false);
        return result_;
    }

private:
    bool Position(const std::vector<std::uint32_t>& chain, int index, std::int64_t sector) {
        const std::uint32_t cluster =
            index < static_cast<int>(chain.size()) ? chain[static_cast<std::size_t>(index)] : 0;
        if (index >= static_cast<int>(chain.size()))
            failure_ = ChainShortText(chain.size(), loop_);
        else if (!IsDataCluster(cluster))
            failure_ = BadClusterText(cluster);
        if (!IsDataCluster(cluster) ||
            !SetToPhysicalSector(h_, ClusterStartSector(cluster) + sector)) {
            ReadError();
            return false;
        }
        return true;
    }

    bool Transfer(std::int64_t n, bool count) {
        if (n <= 0) return true;
        const std::int64_t at = h_.Position();
        std::int64_t got = h_.ReadData(std::span(buf_.data(), static_cast<std::size_t>(n)));
        const int error = errno;
        if (got > 0) {
            account_.read.push_back({at, at + got});
            for (const MissingRange& m : h_.MissingIn(at, at + got)) {
                account_.missing.push_back(m);
                run_.NoteLost({video_, m.begin, m.end - m.begin, PTS_NONE, PTS_NONE});
            }
        }
        if (got > 0 && !out_.Write(std::span<const std::uint8_t>(buf_.data(),
                                                                 static_cast<std::size_t>(got)))) {
            result_ = RipOutcome::kOutputFailed;
            run_.StatusMessage("could not write " + run_.Shown(out_.Name()) + ": " +
                                   OutputErrorText(out_.Error()) + "\n",
                               true);
            return false;
        }
        if (got < n) {
            // No buffer garbage in the file: the stream stops here and says so.
            failure_ = ReadFailureText(run_.Clip().DriveName(), at + std::max<std::int64_t>(got, 0),
                                       got < 0 ? error : 0);
            ReadError();
            return false;
        }
        if (count) {
            block_.position = block_.position + 1;
            block_.megabytes = block_.megabytes + 1;
        }
        return true;
    }

    void ReadError() {
        result_ = RipOutcome::kReadError;
        run_.StatusMessage((failure_.empty() ? std::string("read error") : failure_) + "\n", true);
    }

    RipRun& run_;
    VolumeHandle& h_;
    OutputFile& out_;
    RipProgress& block_;
    std::span<std::uint8_t> buf_;
    RipOutcome result_ = RipOutcome::kDone;
    std::string failure_; // what the failed read was, for the status
    std::uint32_t loop_ = 0;
    ReadAccount& account_;
    bool video_;
};

// NAME.map beside the backup's files (NAME: the record file's name without its extension).
void WriteMap(RipRun& run, const std::string& recordFile, ReadAccount& account,
              std::vector<std::string>* files) {
    const std::string name = recordFile.substr(0, recordFile.rfind('.')) + ".map";
    account.read.push_back({(10 + run.Clip().FileNo()) * 512, (11 + run.Clip().FileNo()) * 512});
    const std::string text = RescueMapText(account.read, account.missing);
    OutputFile map(name, OutputFile::Preview::kNumbered);
    if (!map.IsOpen() ||
        !map.Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))) {
        LogLine("could not write " + run.Shown(map.Name()) + ": " + OutputErrorText(map.Error()));
        return;
    }
    map.Close();
    if (files) files->push_back(map.Name());
}

std::int32_t TotalMB(const StreamExtent& x) {
    return static_cast<std::int32_t>(std::int64_t{x.clusters} * 100 + x.end * 512 / kUnit -
                                     x.start * 512 / kUnit - 100);
}

} // namespace

RipOutcome Backup(RipRun& run, std::vector<std::string>* files, std::string* why,
                  std::vector<std::string>* incomplete) {
    std::string unused;
    std::string& failure = why ? *why : unused;
    const ClipRecord& rec = run.Clip().GetRecord();
    const std::string base = run.BasePath();
    RipProgress& ap = run.AudioProgress();
    RipProgress& vp = run.VideoProgress();

    // Backups never overwrite: a taken name is numbered like every other output.
    OutputFile desc(base + ".sFileDescription", OutputFile::Preview::kNumbered);
    if (!desc.IsOpen()) {
        run.StatusMessage("Backup File could not be opened\n", true);
        failure =
            "could not create " + run.Shown(desc.Name()) + ": " + OutputErrorText(desc.Error());
        LogLine(failure);
        return RipOutcome::kOutputFailed;
    }
    if (files) files->push_back(desc.Name());
    const bool written = desc.Write(rec.bytes);
    desc.Close();
    if (!written || desc.WriteFailed()) {
        failure =
            "could not write " + run.Shown(desc.Name()) + ": " + OutputErrorText(desc.Error());
        run.StatusMessage(failure + "\n", true);
        return RipOutcome::kOutputFailed;
    }

    vp.startPts = 0;
    vp.endPts = 0;
    VolumeHandle h;
    if (!run.OpenVolume(h)) {
        failure = "could not open " + run.Clip().DriveName() + ": " + SystemErrorText(errno);
        LogLine(failure);
        return RipOutcome::kReadError;
    }

    RipOutcome result = RipOutcome::kDone;
    ReadAccount account;
    struct Stage {
        int active;
        RipProgress* block;
        StreamExtent extent;
        const char* what;
        const char* ext;
        const char* failText;
    };
    const Stage stages[2] = {
        {0,
         &ap,
         {rec.AudioFirstCluster(), rec.AClusters(), rec.AudioStart(), rec.AudioEnd()},
         "Audio",
         ".mpp",
         "Audio Backup File could not be opened\n"},
        {1,
         &vp,
         {rec.VideoFirstCluster(), rec.VClusters(), rec.VideoStart(), rec.VideoEnd()},
         "Video",
         ".pva",
         "Video Backup File could not be opened\n"},
    };
    for (const Stage& st : stages) {
        run.SetVideoActive(st.active == 1);
        RipProgress& b = *st.block;
        std::int32_t total = TotalMB(st.extent);
        b.rangeHigh = total;
        b.rangeLow = 0;
        b.position = 0;
        b.megabytes = 0;
        b.active = true;
        b.rangeChanged = true;
        run.StatusMessage(Format("Backing up %s Clusters (%d MB)\n", st.what, total), true);
        std::vector<std::uint32_t> chain;
        if (run.Clip().Table()) chain = run.Clip().Table()->GetClusterChain(st.extent.first);
        const std::uint32_t loop = CutChainLoop(chain);
        std::int64_t t0 = TickCountMs();
        OutputFile out(base + st.ext, OutputFile::Preview::kNumbered);
        if (!out.IsOpen()) {
            run.StatusMessage(st.failText, true);
            failure =
                "could not create " + run.Shown(out.Name()) + ": " + OutputErrorText(out.Error());
            LogLine(failure);
            b.seconds = static_cast<std::int32_t>((TickCountMs() - t0) / 1000);
            return RipOutcome::kOutputFailed; // a failed audio file also skips the video stage
        }
        if (files) files->push_back(out.Name());
        StreamCopy copy(run, h, out, b, account, st.active == 1);
        RipOutcome r = copy.Copy(chain, st.extent, loop);
        out.Close();
        if (r == RipOutcome::kDone && out.WriteFailed()) {
            run.StatusMessage("could not write " + run.Shown(out.Name()) + ": " +
                                  OutputErrorText(out.Error()) + "\n",
                              true);
            r = RipOutcome::kOutputFailed;
        }
        if (r != RipOutcome::kDone && failure.empty()) failure = b.Status();
        if (r != RipOutcome::kDone && incomplete) incomplete->push_back(out.Name());
        result = Worse(result, r);
        b.seconds = static_cast<std::int32_t>((TickCountMs() - t0) / 1000);
    }
    if (run.Salvages()) WriteMap(run, desc.Name(), account, files);
    return result;
}

} // namespace quorin
