// The rip driver: analysis, first time stamps, bounds, then audio and video.
#include "rip/rip_driver.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_file.h"
#include "platform/clock.h"
#include "rip/backup.h"
#include "rip/break_marks.h"
#include "rip/extract.h"
#include "rip/mux.h"
#include "rip/obits.h"
#include "rip/pes.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <tuple>

namespace quorin {
namespace {

// One stream of the run as the analysis finds it.
struct StreamSide {
    bool video = false;
    bool on = false;
    std::unique_ptr<CIBits> reader;
    std::uint8_t id = 0;
};

class Run {
public:
    Run(RipRun& run, RipReport& report)
        : run_(run), clip_(run.Clip()), e_(run.State()), ap_(run.AudioProgress()),
          vp_(run.VideoProgress()), request_(run.Request()), report_(report),
          mux_(run.Request().mux) {
        video_.video = true;
        video_.on = request_.video;
        audio_.on = request_.audio;
    }

    RipOutcome Go() {
        StringOut dump;
        clip_.DumpInfo(dump);
        Trace() << dump.str();
        Log() << dump.str();
        Trace() << "analyzing streams..." << endl;
        ap_.ClearStatus();
        vp_.ClearStatus();
        e_.m_lSkipSectors = 0;
        e_.m_i64VideoStartPTS = PTS_NONE;
        e_.m_i64AudioStartPTS = PTS_NONE;
        e_.m_i64AudioEndPTS = PTS_NONE;

        if (request_.backup) return RunBackup();

        const ClipRecord& rec = clip_.GetRecord();
        if (request_.rawAudio || request_.rawVideo) mux_.format = MuxFormat::kNone;
        if (const std::string damaged = DamagedStart(rec, audio_.on, video_.on); !damaged.empty()) {
            run_.SetVideoActive(damaged.find("video") != std::string::npos);
            run_.StatusMessage(damaged + "\n", true);
            CantGoOn(RipOutcome::kNothingToRip, damaged);
            return outcome_;
        }
        bool unreadable = false;
        if (video_.on) unreadable |= FindStreamId(video_);
        if (audio_.on) unreadable |= FindStreamId(audio_);
        Both() << "Videostream=" << hex << static_cast<int>(video_.id) << " " << dec << endl;
        Both() << "Audiostream=" << hex << static_cast<int>(audio_.id) << " " << dec << endl;
        if (run_.IsCancelled()) return Cancelled();
        if ((audio_.on && audio_.id == 0) || (video_.on && video_.id == 0) ||
            (!audio_.on && !video_.on)) {
            CantGoOn(unreadable ? RipOutcome::kReadError : RipOutcome::kNothingToRip,
                     unreadable ? ReadFailure() : "stream id not found");
            return outcome_;
        }

        // First time stamps (kept in the clip's analysis across runs).
        if (audio_.on) unreadable |= !FindFirstPts(audio_);
        if (video_.on) unreadable |= !FindFirstPts(video_);
        if (run_.IsCancelled()) return Cancelled();
        // A first PTS that is not found ends the run like a missing stream id.
        if ((audio_.on && run_.Analysis().audioFirstPts == PTS_NONE) ||
            (video_.on && run_.Analysis().videoFirstPts == PTS_NONE)) {
            if (unreadable)
                CantGoOn(RipOutcome::kReadError, ReadFailure());
            else
                CantGoOn(RipOutcome::kNothingToRip, "first time stamp not found");
            return outcome_;
        }

        // Bounds.
        e_.m_i64FirstPTS =
            video_.on ? run_.Analysis().videoFirstPts : run_.Analysis().audioFirstPts;
        vp_.firstPts = e_.m_i64FirstPTS;
        const std::int64_t S =
            e_.m_i64FirstPTS + static_cast<std::int64_t>(std::trunc(e_.m_dBegin * 90'000));
        const std::int64_t E = S + static_cast<std::int64_t>(std::trunc(e_.m_dLength * 90'000));
        run_.StatusMessage("First PTS=" + PtsHex(S) + "\nMax   PTS=" + PtsHex(E) + "\n", true);
        ClaimBase(Suffixes());

        RipOutcome audio = RipOutcome::kDone;
        if (audio_.on && (audio = AudioStage(S, E)) == RipOutcome::kCancelled) {
            // A run cancelled during the audio stage does not start the video stage.
            vp_.seconds = 0;
            return Cancelled();
        }
        if (video_.on && outcome_ == RipOutcome::kDone && MuxesAlongside(request_)) {
            streamed_ = std::make_unique<StreamedMux>(run_, mux_.format, report_,
                                                      base_ + "." + request_.postfixes.video);
            if (!streamed_->Running()) streamed_.reset();
        }
        const RipOutcome video = video_.on ? VideoStage(S, E) : audio;
        // A cut in which the main stream has nothing (it begins after its last picture) leaves
        // no files, not the few frames of sound or the end code written before that was known.
        if (video == RipOutcome::kNothingToRip) RemoveFiles();
        if (streamed_) {
            Note(streamed_->Finish(outcome_ == RipOutcome::kDone, report_));
            streamed_.reset();
        } else if (mux_.format != MuxFormat::kNone && outcome_ == RipOutcome::kDone) {
            Note(RunMuxStage(run_, mux_.format, mux_.keepStreams, report_));
        }
        if (outcome_ == RipOutcome::kDone) Note(WriteBreakList(run_, report_));
        Trace() << "cleaning up" << endl;
        return outcome_;
    }

    // Ends the run's claim on its names: files a stage reported stay even when empty.
    void Finish() {
        if (claim_)
            for (const RipReport::File& f : report_.files)
                claim_->Keep(f.name);
        claim_.reset();
    }

private:
    RipOutcome RunBackup() {
        ClaimBase({".sFileDescription", ".mpp", ".pva"});
        std::vector<std::string> files, incomplete;
        std::string why;
        const RipOutcome r = Backup(run_, &files, &why, &incomplete);
        for (const std::string& f : files)
            report_.files.push_back({f, f.ends_with(".map") ? FileKind::kMap : FileKind::kBackup,
                                     std::ranges::find(incomplete, f) != incomplete.end()});
        if (report_.message.empty()) report_.message = why;
        Note(r);
        return outcome_;
    }

    // Opens the stream's chain and finds its id (unless an earlier run of the clip did); true
    // when the disk failed the search.
    bool FindStreamId(StreamSide& side) {
        const ClipRecord& rec = clip_.GetRecord();
        run_.SetVideoActive(side.video);
        std::int32_t& skip = side.video ? e_.m_lVideoSkip : e_.m_lAudioSkip;
        std::int64_t& endBit = side.video ? e_.m_i64VideoEndBit : e_.m_i64AudioEndBit;
        skip = side.video ? rec.VideoStart() : rec.AudioStart();
        e_.m_lEndSectors = side.video ? rec.VideoEnd() : rec.AudioEnd();
        const int clusters = side.video ? rec.VClusters() : rec.AClusters();
        // A stream of 0 clusters is empty (its end position would be negative).
        if (clusters <= 0) {
            run_.StatusMessage("Stream ID not found\n", true);
            endBit = 0;
            return false;
        }
        side.reader = std::make_unique<CIBits>(
            clip_.DriveName(), clip_.Table(),
            side.video ? rec.VideoFirstCluster() : rec.AudioFirstCluster(), run_.Missing());
        endBit = EndBit(clusters, e_.m_lEndSectors);
        bool unreadable = !side.reader->HasVolume();
        std::uint8_t& known = side.video ? run_.Analysis().videoId : run_.Analysis().audioId;
        if (known == 0) GetStreamIDs(run_, *side.reader, known, skip);
        side.id = known;
        if (side.id == 0) unreadable |= Unreadable(*side.reader, endBit);
        side.reader->Rewind();
        return unreadable;
    }

    // False when the first time stamp could not be read off the disk.
    bool FindFirstPts(StreamSide& side) {
        run_.SetVideoActive(side.video);
        Trace() << (side.video ? "try to find first pts for Video..."
                               : "try to find first pts for Audio...")
                << endl;
        const ClipRecord& rec = clip_.GetRecord();
        e_.m_lEndSectors = side.video ? rec.VideoEnd() : rec.AudioEnd();
        e_.m_lSkipSectors = side.video ? e_.m_lVideoSkip : e_.m_lAudioSkip;
        std::int64_t& first =
            side.video ? run_.Analysis().videoFirstPts : run_.Analysis().audioFirstPts;
        bool readable = true;
        if (first == PTS_NONE && !FirstPTS(run_, *side.reader, side.id, first))
            readable =
                !Unreadable(*side.reader, side.video ? e_.m_i64VideoEndBit : e_.m_i64AudioEndBit);
        run_.StatusMessage(std::string(side.video ? "Videostream" : "AudioStream") +
                               " PTS=" + PtsHex(first) + "\n",
                           true);
        return readable;
    }

    RipOutcome AudioStage(std::int64_t S, std::int64_t E) {
        run_.SetVideoActive(false);
        Trace() << "now ripping audio" << endl;
        const std::int64_t t0 = TickCountMs();
        const std::size_t firstFile = report_.files.size();
        const ClipRecord& rec = clip_.GetRecord();
        const bool raw = request_.rawAudio;
        std::unique_ptr<COBits> w;
        RipOutcome r = RipOutcome::kOutputFailed;
        StageFiles files;
        e_.m_lSkipSectors = e_.m_lAudioSkip;
        e_.m_lEndSectors = rec.AudioEnd();
        CIBits& reader = *audio_.reader;
        bool runs = true;
        if (StreamTypeOf(audio_.id) == kKindAudio || raw) {
            if (!raw)
                runs = (w = Writer(base_ + "." + request_.postfixes.audio, FileKind::kAudio)) !=
                       nullptr;
            if (runs) r = RipAudioStream(run_, reader, w.get(), audio_.id, S, E, &files);
        } else {
            runs = (w = Writer(base_ + ".ac3", FileKind::kAudio)) != nullptr;
            if (runs) r = RipPrivateStream(run_, reader, *w, audio_.id, S, E);
        }
        if (runs) {
            const std::string said = raw && Failed(r) ? ap_.Status() : std::string();
            const std::int64_t ms = TickCountMs() - t0;
            run_.StatusMessage(Format("... it took %d  seconds...\n", static_cast<int>(ms / 1000)),
                               true);
            Reshow(said);
            if (w) r = CloseWriter(std::move(w), r);
            if (!files.raw.empty()) report_.files.push_back({files.raw, FileKind::kRawAudio});
            ap_.seconds = static_cast<std::int32_t>(ms / 1000);
            report_.audioMs = ms;
        }
        if (!raw) r = CheckReader(reader, e_.m_i64AudioEndBit, r);
        Note(r);
        MarkPartial(firstFile, r);
        return run_.IsCancelled() ? RipOutcome::kCancelled : r;
    }

    void RemoveFiles() {
        for (const RipReport::File& f : report_.files)
            std::remove(f.name.c_str());
        report_.files.clear();
    }

    RipOutcome VideoStage(std::int64_t S, std::int64_t E) {
        run_.SetVideoActive(true);
        Trace() << "now ripping video" << endl;
        const std::int64_t t0 = TickCountMs();
        const std::size_t firstFile = report_.files.size();
        const bool raw = request_.rawVideo;
        std::unique_ptr<COBits> w;
        RipOutcome r = RipOutcome::kOutputFailed;
        StageFiles files;
        CIBits& reader = *video_.reader;
        const std::string requested = base_ + "." + request_.postfixes.video;
        if (streamed_) w = std::make_unique<COBits>(streamed_->Target(), requested);
        const bool runs = raw || w || (w = Writer(requested, FileKind::kVideo)) != nullptr;
        e_.m_lSkipSectors = e_.m_lVideoSkip;
        e_.m_lEndSectors = clip_.GetRecord().VideoEnd();
        if (runs) {
            r = RipVideoStream(run_, reader, w.get(), video_.id, S, E, &files);
            const std::string said = raw && Failed(r) ? vp_.Status() : std::string();
            std::string failure;
            if (w) {
                // The sequence end code, also after a cancel.
                for (std::uint8_t code : {0x00, 0x00, 0x01, 0xB7})
                    w->WriteByte(code);
                w->Flush();
                const std::string name = w->GetFileName();
                const RipOutcome closed = CloseWriter(std::move(w), r, &failure);
                if (closed != RipOutcome::kOutputFailed && request_.patchSequenceHeader)
                    PatchSequenceHeader(run_, name);
                r = closed;
            }
            if (!files.delayLog.empty())
                report_.files.push_back({files.delayLog, FileKind::kDelayLog});
            if (!files.raw.empty()) report_.files.push_back({files.raw, FileKind::kRawVideo});
            const std::int64_t ms = TickCountMs() - t0;
            run_.StatusMessage(Format("... it took %d  seconds...\n", static_cast<int>(ms / 1000)),
                               true);
            Reshow(said);
            if (!failure.empty()) run_.StatusMessage(failure + "\n", true);
            vp_.seconds = static_cast<std::int32_t>(ms / 1000);
            report_.videoMs = ms;
        }
        if (!raw) r = CheckReader(reader, e_.m_i64VideoEndBit, r);
        Note(r);
        MarkPartial(firstFile, r);
        if (r == RipOutcome::kCancelled) Cancelled();
        return r;
    }

    // The data files of a stage that stopped before its end (the delay log is whole even then).
    void MarkPartial(std::size_t firstFile, RipOutcome r) {
        if (r != RipOutcome::kCancelled && r != RipOutcome::kOutputFailed &&
            r != RipOutcome::kReadError)
            return;
        for (std::size_t i = firstFile; i < report_.files.size(); ++i)
            if (report_.files[i].kind != FileKind::kDelayLog) report_.files[i].partial = true;
    }

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
        outcome_ = Worse(outcome_, o);
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
    RipOutcome CheckReader(const CIBits& reader, std::int64_t endBit, RipOutcome r) {
        if (r != RipOutcome::kDone && r != RipOutcome::kNothingToRip && r != RipOutcome::kReadError)
            return r;
        const std::string why = reader.Shortfall(endBit);
        if (why.empty()) return r;
        run_.StatusMessage(why + "\n", true);
        if (report_.message.empty()) report_.message = why;
        return RipOutcome::kReadError;
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

    static bool Failed(RipOutcome r) {
        return r == RipOutcome::kReadError || r == RipOutcome::kOutputFailed;
    }

    // A raw rip's failure stays the status after the stage's timing line (which would
    // otherwise hide it) and is the run's message; it is in the log already.
    void Reshow(const std::string& said) {
        if (said.empty()) return;
        run_.StatusMessage(said, false);
        if (report_.message.empty()) report_.message = said;
    }

    void CantGoOn(RipOutcome o, const std::string& why) {
        Both() << "can't go on..." << endl;
        if (o == RipOutcome::kReadError) run_.StatusMessage(why + "\n", true);
        report_.message = why;
        Note(o);
        Trace() << "cleaning up" << endl;
    }

    // The files this run will write, after its base name.
    std::vector<std::string> Suffixes() const {
        const OutputPostfixes& p = request_.postfixes;
        std::vector<std::string> s;
        if (audio_.on)
            s.push_back("." + (request_.rawAudio                       ? p.rawAudio
                               : StreamTypeOf(audio_.id) == kKindAudio ? p.audio
                                                                       : std::string("ac3")));
        if (video_.on && request_.rawVideo) s.push_back("." + p.rawVideo);
        if (video_.on && !request_.rawVideo) {
            s.push_back("." + p.video);
            s.push_back(" delay.log");
        }
        if (mux_.format != MuxFormat::kNone)
            s.push_back("." + std::string(MuxExtension(mux_.format)));
        if (request_.marks && video_.on && !request_.rawVideo) s.push_back(".edl");
        return s;
    }

    // One number for all files of the run, taken at once.
    void ClaimBase(const std::vector<std::string>& suffixes) {
        claim_ = std::make_unique<OutputNameClaim>(run_.BasePath(), suffixes);
        base_ = claim_->Base();
        run_.SetBasePath(base_);
    }

    // Creates the writer of a stage. A file that cannot be created stops the stage, and the
    // status and the log say so with the system's reason.
    std::unique_ptr<COBits> Writer(const std::string& name, FileKind kind) {
        bool ok = false;
        auto w = std::make_unique<COBits>(name, ok);
        if (!ok) {
            std::string text = "could not create " + run_.Shown(w->GetFileName()) + ": " +
                               OutputErrorText(w->IsOpen() ? ENOMEM : w->Error());
            run_.StatusMessage(text + "\n", true);
            if (report_.message.empty()) report_.message = text;
            return nullptr;
        }
        report_.files.push_back({w->GetFileName(), kind});
        w->WriteInBackground();
        return w;
    }

    // Flushes and closes a stage's writer. A failed write turns the stage's result into
    // kOutputFailed; its text goes to the status and the log at once, or into *deferred.
    RipOutcome CloseWriter(std::unique_ptr<COBits> w, RipOutcome r,
                           std::string* deferred = nullptr) {
        w->Flush();
        std::string name = w->GetFileName();
        bool failed = w->WriteFailed();
        int error = w->Error();
        w.reset();
        if (!failed) return r;
        // A stream into the container writer: the mux stage says why it broke off.
        if (streamed_) return r;
        std::string text = "could not write " + run_.Shown(name) + ": " + OutputErrorText(error);
        if (deferred)
            *deferred = text;
        else
            run_.StatusMessage(text + "\n", true);
        if (report_.message.empty()) report_.message = text;
        return RipOutcome::kOutputFailed;
    }

    RipRun& run_;
    const CPVRFile& clip_;
    RipState& e_;
    RipProgress& ap_;
    RipProgress& vp_;
    const RipRequest& request_;
    RipReport& report_;
    MuxChoice mux_;
    StreamSide video_, audio_;
    std::string base_;
    std::unique_ptr<OutputNameClaim> claim_;
    std::unique_ptr<StreamedMux> streamed_;
    RipOutcome outcome_ = RipOutcome::kDone;
    std::string readFailure_;
};

// The losses of the run, once each, in disk order per stream, logged as the report lines.
void ReportLosses(RipRun& run, RipReport& rep) {
    std::vector<LostStretch>& met = run.Lost();
    std::sort(met.begin(), met.end(), [](const LostStretch& a, const LostStretch& b) {
        return std::tie(a.video, a.diskByte) < std::tie(b.video, b.diskByte);
    });
    const std::int64_t first = run.State().m_i64FirstPTS;
    auto seconds = [first](std::int64_t pts) {
        if (pts == PTS_NONE || first == PTS_NONE) return -1.0;
        return std::max<double>(0, static_cast<double>(pts - first) / 90'000);
    };
    for (std::size_t i = 0; i < met.size(); ++i) {
        LostStretch l = met[i];
        if (i > 0 && l.video == met[i - 1].video && l.diskByte == met[i - 1].diskByte) continue;
        // A stretch read in pieces (raw rips, backups) is one stretch.
        if (!rep.lost.empty() && rep.lost.back().video == l.video &&
            rep.lost.back().diskByte + rep.lost.back().bytes == l.diskByte &&
            rep.lost.back().from < 0 && l.fromPts == PTS_NONE) {
            rep.lost.back().bytes += l.bytes;
            continue;
        }
        l.from = seconds(l.fromPts);
        l.to = seconds(l.toPts);
        rep.lost.push_back(l);
    }
    for (const RipReport::Lost& l : rep.lost)
        LogLine(LostLine(l));
}

// What the run found out, for the caller to show and to keep.
void ReportState(const RipRun& run, RipReport& rep) {
    const RipState& e = run.State();
    rep.analysis = run.Analysis();
    rep.firstPts = e.m_i64FirstPTS;
    rep.videoStartPts = e.m_i64VideoStartPTS;
    rep.audioStartPts = e.m_i64AudioStartPTS;
    rep.ripStartPts = e.m_i64RipStartPTS;
    rep.ripPicturePts = e.m_i64RipPicturePTS;
    rep.aspect = e.m_dAspectRatio;
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
    return Format("lost\t%s\t%lld\t%lld\t", l.Stream(), static_cast<long long>(l.diskByte),
                  static_cast<long long>(l.bytes)) +
           ClipTimeText(l.from) + "\t" + ClipTimeText(l.to);
}

double RipReport::LostSeconds() const {
    double total = 0;
    for (const Lost& l : lost)
        if (l.from >= 0 && l.to >= l.from) total += l.to - l.from;
    return total;
}

const char* FileKindText(FileKind kind) {
    switch (kind) {
    case FileKind::kAudio:
        return "audio";
    case FileKind::kVideo:
        return "video";
    case FileKind::kDelayLog:
        return "delay log";
    case FileKind::kRawAudio:
        return "raw audio";
    case FileKind::kRawVideo:
        return "raw video";
    case FileKind::kBackup:
        return "backup";
    case FileKind::kMap:
        return "map";
    case FileKind::kMuxed:
        return "muxed";
    case FileKind::kNfo:
        return "nfo";
    case FileKind::kPoster:
        return "poster";
    case FileKind::kFanart:
        return "fanart";
    case FileKind::kEdl:
        return "edl";
    }
    return "";
}

RipOutcome RipStream(RipRun& run, RipReport& report) {
    report = RipReport{};
    run.Lost().clear();
    Run driver(run, report);
    const RipOutcome outcome = driver.Go();
    driver.Finish();
    ReportLosses(run, report);
    ReportState(run, report);
    return outcome;
}

} // namespace quorin
