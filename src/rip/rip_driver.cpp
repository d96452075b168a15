// The rip driver: analysis, first time stamps, bounds, then audio and video.
#include "rip/rip_driver.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_file.h"
#include "platform/clock.h"
#include "rip/backup.h"
#include "rip/extract.h"
#include "rip/mux.h"
#include "rip/obits.h"
#include "rip/pes.h"
#include "rip/progress_blocks.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <tuple>

namespace quorin {
namespace {

StageResult ToStage(RipOutcome o) {
    switch (o) {
    case RipOutcome::kDone:
        return StageResult::kDone;
    case RipOutcome::kNothingToRip:
        return StageResult::kNothingFound;
    case RipOutcome::kReadError:
        return StageResult::kReadError;
    case RipOutcome::kCancelled:
        return StageResult::kCancelled;
    case RipOutcome::kOutputFailed:
        return StageResult::kOutputFailed;
    }
    return StageResult::kDone;
}

RipOutcome FromStage(StageResult r) {
    switch (r) {
    case StageResult::kDone:
        return RipOutcome::kDone;
    case StageResult::kNothingFound:
        return RipOutcome::kNothingToRip;
    case StageResult::kCancelled:
        return RipOutcome::kCancelled;
    case StageResult::kOutputFailed:
        return RipOutcome::kOutputFailed;
    case StageResult::kReadError:
        return RipOutcome::kReadError;
    }
    return RipOutcome::kDone;
}

class Run {
public:
    Run(CPVRFile& clip, RipReport& report, const MuxChoice& mux)
        : clip_(clip), e_(clip.m_Engine), ap_(AudioBlock(clip)), vp_(VideoBlock(clip)),
          report_(report), mux_(mux) {}

    RipOutcome Go(double b, double l) {
        StringOut dump;
        clip_.DumpInfo(dump);
        Trace() << dump.str();
        Log() << dump.str();
        Trace() << "analyzing streams..." << endl;
        e_.m_dBegin = b;
        e_.m_dLength = l;
        ap_.ClearStatus();
        vp_.ClearStatus();
        e_.m_lSkipSectors = 0;
        e_.m_i64VideoStartPTS = PTS_NONE;
        e_.m_i64AudioStartPTS = PTS_NONE;

        if (vp_.backup) {
            ClaimBase({".sFileDescription", ".mpp", ".pva"});
            std::vector<std::string> files, incomplete;
            std::string why;
            StageResult r = Backup(clip_, &files, &why, &incomplete);
            for (const std::string& f : files)
                report_.files.push_back({f, f.ends_with(".map") ? "map" : "backup",
                                         std::ranges::find(incomplete, f) != incomplete.end()});
            if (report_.message.empty()) report_.message = why;
            Note(FromStage(r));
            return outcome_;
        }

        const ClipRecord& rec = clip_.GetRecord();
        const bool audioOn = ap_.enabled;
        const bool videoOn = vp_.enabled;
        if (ap_.raw || vp_.raw) mux_.format = MuxFormat::kNone;
        if (const std::string damaged = DamagedStart(rec, audioOn, videoOn); !damaged.empty()) {
            clip_.m_lActiveStream = damaged.find("video") != std::string::npos ? 1 : 0;
            clip_.StatusMessage(damaged + "\n", true);
            CantGoOn(RipOutcome::kNothingToRip, damaged);
            return outcome_;
        }
        std::uint8_t vid = 0, aid = 0;
        bool unreadable = false;
        if (videoOn) {
            clip_.m_lActiveStream = 1;
            e_.m_lVideoSkip = rec.VideoStart();
            e_.m_lEndSectors = rec.VideoEnd();
            // A stream of 0 clusters is empty (its end position would be negative).
            if (rec.VClusters() > 0) {
                vr_ = std::make_unique<CIBits>(clip_.DriveName(), clip_.Table(),
                                               rec.VideoFirstCluster());
                e_.m_i64VideoEndBit = EndBit(rec.VClusters(), rec.VideoEnd());
                if (!vr_->HasVolume()) unreadable = true;
                GetStreamIDs(clip_, *vr_, vid, e_.m_lVideoSkip);
                if (vid == 0) unreadable |= Unreadable(*vr_, e_.m_i64VideoEndBit);
                vr_->Rewind();
            } else {
                clip_.StatusMessage("Stream ID not found\n", true);
                e_.m_i64VideoEndBit = 0;
            }
        }
        if (audioOn) {
            clip_.m_lActiveStream = 0;
            e_.m_lAudioSkip = rec.AudioStart();
            e_.m_lEndSectors = rec.AudioEnd();
            if (rec.AClusters() > 0) {
                ar_ = std::make_unique<CIBits>(clip_.DriveName(), clip_.Table(),
                                               rec.AudioFirstCluster());
                e_.m_i64AudioEndBit = EndBit(rec.AClusters(), rec.AudioEnd());
                if (!ar_->HasVolume()) unreadable = true;
                GetStreamIDs(clip_, *ar_, aid, e_.m_lAudioSkip);
                if (aid == 0) unreadable |= Unreadable(*ar_, e_.m_i64AudioEndBit);
                ar_->Rewind();
            } else {
                clip_.StatusMessage("Stream ID not found\n", true);
                e_.m_i64AudioEndBit = 0;
            }
        }
        Both() << "Videostream=" << hex << static_cast<int>(vid) << " " << dec << endl;
        Both() << "Audiostream=" << hex << static_cast<int>(aid) << " " << dec << endl;
        if (clip_.IsCancelled()) return Cancelled();
        if ((audioOn && aid == 0) || (videoOn && vid == 0) || (!audioOn && !videoOn)) {
            CantGoOn(unreadable ? RipOutcome::kReadError : RipOutcome::kNothingToRip,
                     unreadable ? ReadFailure() : "stream id not found");
            return outcome_;
        }

        // First time stamps (cached per clip).
        if (audioOn) {
            clip_.m_lActiveStream = 0;
            Trace() << "try to find first pts for Audio..." << endl;
            e_.m_lEndSectors = rec.AudioEnd();
            e_.m_lSkipSectors = e_.m_lAudioSkip;
            if (e_.m_i64AudioFirstPTS == PTS_NONE &&
                !FirstPTS(clip_, *ar_, aid, e_.m_i64AudioFirstPTS))
                unreadable |= Unreadable(*ar_, e_.m_i64AudioEndBit);
            clip_.StatusMessage("AudioStream PTS=" + PtsHex(e_.m_i64AudioFirstPTS) + "\n", true);
        }
        if (videoOn) {
            clip_.m_lActiveStream = 1;
            Trace() << "try to find first pts for Video..." << endl;
            e_.m_lEndSectors = rec.VideoEnd();
            e_.m_lSkipSectors = e_.m_lVideoSkip;
            if (e_.m_i64VideoFirstPTS == PTS_NONE &&
                !FirstPTS(clip_, *vr_, vid, e_.m_i64VideoFirstPTS))
                unreadable |= Unreadable(*vr_, e_.m_i64VideoEndBit);
            clip_.StatusMessage("Videostream PTS=" + PtsHex(e_.m_i64VideoFirstPTS) + "\n", true);
        }
        if (clip_.IsCancelled()) return Cancelled();
        // A first PTS that is not found ends the run like a missing stream id.
        if ((audioOn && e_.m_i64AudioFirstPTS == PTS_NONE) ||
            (videoOn && e_.m_i64VideoFirstPTS == PTS_NONE)) {
            if (unreadable)
                CantGoOn(RipOutcome::kReadError, ReadFailure());
            else
                CantGoOn(RipOutcome::kNothingToRip, "first time stamp not found");
            return outcome_;
        }

        // Bounds.
        e_.m_i64FirstPTS = videoOn ? e_.m_i64VideoFirstPTS : e_.m_i64AudioFirstPTS;
        vp_.firstPts = e_.m_i64FirstPTS;
        const std::int64_t S = e_.m_i64FirstPTS + static_cast<std::int64_t>(std::trunc(b * 90'000));
        const std::int64_t E = S + static_cast<std::int64_t>(std::trunc(l * 90'000));
        clip_.StatusMessage("First PTS=" + PtsHex(S) + "\nMax   PTS=" + PtsHex(E) + "\n", true);
        const std::string base = ClaimBase(Suffixes(audioOn, videoOn, aid));

        // Audio.
        if (audioOn) {
            clip_.m_lActiveStream = 0;
            Trace() << "now ripping audio" << endl;
            std::int64_t t0 = TickCountMs();
            const std::size_t firstFile = report_.files.size();
            std::unique_ptr<COBits> w;
            StageResult r = StageResult::kOutputFailed;
            StageFiles files;
            e_.m_lSkipSectors = e_.m_lAudioSkip;
            e_.m_lEndSectors = rec.AudioEnd();
            bool runs = true;
            if (StreamTypeOf(aid) == kKindAudio || ap_.raw) {
                if (!ap_.raw) runs = (w = Writer(base + "." + ap_.postfix, "audio")) != nullptr;
                if (runs) r = RipAudioStream(clip_, *ar_, w.get(), aid, S, E, &files);
            } else {
                runs = (w = Writer(base + ".ac3", "audio")) != nullptr;
                if (runs) r = RipPrivateStream(clip_, *ar_, *w, aid, S, E);
            }
            if (runs) {
                const std::string said = ap_.raw && Failed(r) ? ap_.Status() : std::string();
                std::int64_t ms = TickCountMs() - t0;
                clip_.StatusMessage(
                    Format("... it took %d  seconds...\n", static_cast<int>(ms / 1000)), true);
                Reshow(said);
                if (w) r = CloseWriter(std::move(w), r);
                if (!files.raw.empty()) report_.files.push_back({files.raw, "raw audio"});
                ap_.seconds = static_cast<std::int32_t>(ms / 1000);
                report_.audioMs = ms;
            }
            if (!ap_.raw) r = CheckReader(*ar_, e_.m_i64AudioEndBit, r);
            Note(FromStage(r));
            MarkPartial(firstFile, r);
            if (r == StageResult::kCancelled || clip_.IsCancelled()) {
                // A run cancelled during the audio stage does not start the video stage.
                vp_.seconds = 0;
                return Cancelled();
            }
        }

        // Video.
        if (videoOn) {
            clip_.m_lActiveStream = 1;
            Trace() << "now ripping video" << endl;
            std::int64_t t0 = TickCountMs();
            const std::size_t firstFile = report_.files.size();
            std::unique_ptr<COBits> w;
            StageResult r = StageResult::kOutputFailed;
            StageFiles files;
            bool runs = vp_.raw || (w = Writer(base + "." + vp_.postfix, "video")) != nullptr;
            e_.m_lSkipSectors = e_.m_lVideoSkip;
            e_.m_lEndSectors = rec.VideoEnd();
            if (runs) {
                r = RipVideoStream(clip_, *vr_, w.get(), vid, S, E, &files);
                const std::string said = vp_.raw && Failed(r) ? vp_.Status() : std::string();
                std::string failure;
                if (w) {
                    // The sequence end code, also after a cancel.
                    for (std::uint8_t code : {0x00, 0x00, 0x01, 0xB7})
                        w->WriteByte(code);
                    w->Flush();
                    std::string name = w->GetFileName();
                    StageResult closed = CloseWriter(std::move(w), r, &failure);
                    if (closed != StageResult::kOutputFailed && vp_.patchSequenceHeader)
                        PatchSequenceHeader(clip_, name);
                    r = closed;
                }
                if (!files.delayLog.empty()) report_.files.push_back({files.delayLog, "delay log"});
                if (!files.raw.empty()) report_.files.push_back({files.raw, "raw video"});
                std::int64_t ms = TickCountMs() - t0;
                clip_.StatusMessage(
                    Format("... it took %d  seconds...\n", static_cast<int>(ms / 1000)), true);
                Reshow(said);
                if (!failure.empty()) clip_.StatusMessage(failure + "\n", true);
                vp_.seconds = static_cast<std::int32_t>(ms / 1000);
                report_.videoMs = ms;
            }
            if (!vp_.raw) r = CheckReader(*vr_, e_.m_i64VideoEndBit, r);
            Note(FromStage(r));
            MarkPartial(firstFile, r);
            if (r == StageResult::kCancelled) Cancelled();
        }
        if (mux_.format != MuxFormat::kNone && outcome_ == RipOutcome::kDone)
            Note(RunMuxStage(clip_, mux_.format, mux_.keepStreams, report_));
        Trace() << "cleaning up" << endl;
        return outcome_;
    }

    // The data files of a stage that stopped before its end (the delay log is whole even then).
    void MarkPartial(std::size_t firstFile, StageResult r) {
        if (r != StageResult::kCancelled && r != StageResult::kOutputFailed &&
            r != StageResult::kReadError)
            return;
        for (std::size_t i = firstFile; i < report_.files.size(); ++i)
            if (report_.files[i].what != "delay log") report_.files[i].partial = true;
    }

    // Ends the run's claim on its names: files a stage reported stay even when empty.
    void Finish() {
        if (claim_)
            for (const RipReport::File& f : report_.files)
                claim_->Keep(f.name);
        claim_.reset();
        e_.m_strRunBase.clear();
    }

private:
    // A text to the console trace and to the log alike.
    class BothOut : public TextOut {
    public:
        BothOut()
            : TextOut([](std::string_view t) {
                  Trace() << t;
                  Log() << t;
              }) {}
    };
    static TextOut& Both() {
        thread_local BothOut out;
        return out;
    }

    void Note(RipOutcome o) {
        if (o == RipOutcome::kNothingToRip && report_.message.empty())
            report_.message = "no packet of the stream at or after the begin";
        if (o == RipOutcome::kReadError && report_.message.empty()) report_.message = "read error";
        if (Severity(ToStage(o)) > Severity(ToStage(outcome_))) outcome_ = o;
    }

    RipOutcome Cancelled() {
        Note(RipOutcome::kCancelled);
        if (report_.message.empty()) report_.message = "cancelled";
        Trace() << "cleaning up" << endl;
        return outcome_;
    }

    // After the analysis of a stream found nothing: whether the disk failed it (the reason is
    // kept for the message).
    bool Unreadable(const CIBits& reader, std::int64_t endBit) {
        std::string why = reader.Shortfall(endBit);
        if (why.empty()) return false;
        if (readFailure_.empty()) readFailure_ = why;
        return true;
    }

    std::string ReadFailure() const {
        return readFailure_.empty() ? "the disk could not be read" : readFailure_;
    }

    // A stage whose reader stopped before the end of the stream's data (a read error, the
    // disk's end, a broken chain) did not rip the stream; it ends as a read error that says why,
    // after the stage's last status.
    StageResult CheckReader(const CIBits& reader, std::int64_t endBit, StageResult r) {
        if (r != StageResult::kDone && r != StageResult::kNothingFound &&
            r != StageResult::kReadError)
            return r;
        const std::string why = reader.Shortfall(endBit);
        if (why.empty()) return r;
        clip_.StatusMessage(why + "\n", true);
        if (report_.message.empty()) report_.message = why;
        return StageResult::kReadError;
    }

    // An end offset beyond its cluster (a damaged record) ends the stream with the
    // cluster, not gigabytes later.
    static std::int64_t EndBit(int clusters, std::int32_t endSectors) {
        return (std::int64_t{clusters} - 1) * kClusterBits +
               std::clamp<std::int64_t>(endSectors, 0, kClusterSectors) * 4096;
    }

    // A start offset outside the stream's first cluster (a damaged record) locates
    // nothing; such a stream is not searched.
    static std::string DamagedStart(const ClipRecord& rec, bool audioOn, bool videoOn) {
        auto outside = [](int clusters, std::int32_t start) {
            return clusters > 0 && (start < 0 || start >= kClusterSectors);
        };
        const char* text = "the start offset of the %s stream (%d sectors) lies outside its "
                           "first cluster";
        if (videoOn && outside(rec.VClusters(), rec.VideoStart()))
            return Format(text, "video", rec.VideoStart());
        if (audioOn && outside(rec.AClusters(), rec.AudioStart()))
            return Format(text, "audio", rec.AudioStart());
        return {};
    }

    static bool Failed(StageResult r) {
        return r == StageResult::kReadError || r == StageResult::kOutputFailed;
    }

    // A raw rip's failure stays the status after the stage's timing line (which would
    // otherwise hide it) and is the run's message; it is in the log already.
    void Reshow(const std::string& said) {
        if (said.empty()) return;
        clip_.StatusMessage(said, false);
        if (report_.message.empty()) report_.message = said;
    }

    void CantGoOn(RipOutcome o, const std::string& why) {
        Both() << "can't go on..." << endl;
        if (o == RipOutcome::kReadError) clip_.StatusMessage(why + "\n", true);
        report_.message = why;
        Note(o);
        Trace() << "cleaning up" << endl;
    }

    // The files this run will write, after the clip's base name.
    std::vector<std::string> Suffixes(bool audioOn, bool videoOn, std::uint8_t aid) const {
        std::vector<std::string> s;
        if (audioOn)
            s.push_back("." + (ap_.raw                           ? ap_.rawPostfix
                               : StreamTypeOf(aid) == kKindAudio ? ap_.postfix
                                                                 : std::string("ac3")));
        if (videoOn && vp_.raw) s.push_back("." + vp_.rawPostfix);
        if (videoOn && !vp_.raw) {
            s.push_back("." + vp_.postfix);
            s.push_back(" delay.log");
        }
        if (mux_.format != MuxFormat::kNone)
            s.push_back("." + std::string(MuxExtension(mux_.format)));
        return s;
    }

    // One number for all files of the run, taken at once.
    std::string ClaimBase(const std::vector<std::string>& suffixes) {
        claim_ = std::make_unique<OutputNameClaim>(clip_.OutputBasePath(), suffixes);
        e_.m_strRunBase = claim_->Base();
        return claim_->Base();
    }

    // Creates the writer of a stage. A file that cannot be created stops the stage, and the
    // status and the log say so with the system's reason.
    std::unique_ptr<COBits> Writer(const std::string& name, const char* what) {
        bool ok = false;
        auto w = std::make_unique<COBits>(name, ok);
        if (!ok) {
            std::string text = "could not create " + w->GetFileName() + ": " +
                               OutputErrorText(w->IsOpen() ? ENOMEM : w->Error());
            clip_.StatusMessage(text + "\n", true);
            if (report_.message.empty()) report_.message = text;
            return nullptr;
        }
        report_.files.push_back({w->GetFileName(), what});
        return w;
    }

    // Flushes and closes a stage's writer. A failed write turns the stage's result into
    // kOutputFailed; its text goes to the status and the log at once, or into *deferred.
    StageResult CloseWriter(std::unique_ptr<COBits> w, StageResult r,
                            std::string* deferred = nullptr) {
        w->Flush();
        std::string name = w->GetFileName();
        bool failed = w->WriteFailed();
        int error = w->Error();
        w.reset();
        if (!failed) return r;
        std::string text = "could not write " + name + ": " + OutputErrorText(error);
        if (deferred)
            *deferred = text;
        else
            clip_.StatusMessage(text + "\n", true);
        if (report_.message.empty()) report_.message = text;
        return StageResult::kOutputFailed;
    }

    CPVRFile& clip_;
    ClipEngineState& e_;
    RipProgress& ap_;
    RipProgress& vp_;
    RipReport& report_;
    MuxChoice mux_;
    std::unique_ptr<CIBits> vr_, ar_;
    std::unique_ptr<OutputNameClaim> claim_;
    RipOutcome outcome_ = RipOutcome::kDone;
    std::string readFailure_;
};

// The losses of the run, once each, in disk order per stream, logged as the report lines.
void ReportLosses(CPVRFile& clip, RipReport& rep) {
    ClipEngineState& e = clip.m_Engine;
    std::sort(e.m_vecLost.begin(), e.m_vecLost.end(),
              [](const LostStretch& a, const LostStretch& b) {
                  return std::tie(a.video, a.diskByte) < std::tie(b.video, b.diskByte);
              });
    auto seconds = [&e](std::int64_t pts) {
        if (pts == PTS_NONE || e.m_i64FirstPTS == PTS_NONE) return -1.0;
        return std::max<double>(0, static_cast<double>(pts - e.m_i64FirstPTS) / 90'000);
    };
    for (std::size_t i = 0; i < e.m_vecLost.size(); ++i) {
        const LostStretch& l = e.m_vecLost[i];
        if (i > 0 && l.video == e.m_vecLost[i - 1].video &&
            l.diskByte == e.m_vecLost[i - 1].diskByte)
            continue;
        // A stretch read in pieces (raw rips, backups) is one stretch.
        if (!rep.lost.empty() && rep.lost.back().stream == (l.video ? "video" : "audio") &&
            rep.lost.back().diskByte + rep.lost.back().bytes == l.diskByte &&
            rep.lost.back().from < 0 && l.fromPts == PTS_NONE) {
            rep.lost.back().bytes += l.bytes;
            continue;
        }
        rep.lost.push_back({l.video ? "video" : "audio", l.diskByte, l.bytes, seconds(l.fromPts),
                            seconds(l.toPts)});
    }
    for (const RipReport::Lost& l : rep.lost)
        LogLine(LostLine(l));
    e.m_vecLost.clear();
}

} // namespace

std::string ClipTimeText(double seconds) {
    if (seconds < 0) return "-";
    const auto cs = static_cast<std::int64_t>(std::llround(seconds * 100));
    return Format("%lld:%02lld:%02lld.%02lld", static_cast<long long>(cs / 360'000),
                  static_cast<long long>(cs / 6'000 % 60), static_cast<long long>(cs / 100 % 60),
                  static_cast<long long>(cs % 100));
}

std::string LostLine(const RipReport::Lost& l) {
    return Format("lost\t%s\t%lld\t%lld\t", l.stream.c_str(), static_cast<long long>(l.diskByte),
                  static_cast<long long>(l.bytes)) +
           ClipTimeText(l.from) + "\t" + ClipTimeText(l.to);
}

double RipReport::LostSeconds() const {
    double total = 0;
    for (const Lost& l : lost)
        if (l.from >= 0 && l.to >= l.from) total += l.to - l.from;
    return total;
}

RipOutcome RipStream(CPVRFile& clip, double begin, double length, RipReport* report) {
    return RipStream(clip, begin, length, report, MuxChoice{});
}

RipOutcome RipStream(CPVRFile& clip, double begin, double length, RipReport* report,
                     const MuxChoice& mux) {
    RipReport local;
    RipReport& rep = report ? *report : local;
    rep = RipReport{};
    // What a run finds missing is read no more during the run, and only during it.
    ForgetMissingSectors(clip.DriveName());
    clip.m_Engine.m_vecLost.clear();
    Run run(clip, rep, mux);
    const RipOutcome outcome = run.Go(begin, length);
    run.Finish();
    ReportLosses(clip, rep);
    return outcome;
}

RipOutcome RipStream(CPVRFile& clip, double begin, double length) {
    return RipStream(clip, begin, length, nullptr);
}

} // namespace quorin
