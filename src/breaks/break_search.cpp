// The pass over a clip's streams: packets read as a rip reads them, payloads to the analysers.
#include "breaks/break_search.h"

#include "base/program_log.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_file.h"
#include "media/signal_analysers.h"
#include "rip/pes.h"

#include <algorithm>
#include <array>
#include <memory>

namespace quorin {
namespace {

using breaks::SignalTrack;

constexpr int kCornerEvery = 5; // pictures per logo sample

std::int64_t EndBitOf(int clusters, std::int32_t endSectors) {
    return (std::int64_t{clusters} - 1) * kClusterBits +
           std::clamp<std::int64_t>(endSectors, 0, kClusterSectors) * 4096;
}

// One stream of the clip: its reader, stream id and the bytes it spans.
struct Stream {
    std::unique_ptr<CIBits> reader;
    std::uint8_t id = 0;
    std::int64_t startByte = 0;
    std::int64_t endByte = 0;
    std::int64_t firstPts = PTS_NONE;
    bool video = false;
};

// The stream id and first time stamp, found as the rip driver finds them.
bool Prepare(RipRun& run, bool video, Stream& s) {
    const CPVRFile& clip = run.Clip();
    const ClipRecord& rec = clip.GetRecord();
    RipState& e = run.State();
    const int clusters = video ? rec.VClusters() : rec.AClusters();
    if (clusters <= 0) return false;
    s.video = video;
    run.SetVideoActive(video);
    std::int32_t skip = video ? rec.VideoStart() : rec.AudioStart();
    if (skip < 0 || skip >= kClusterSectors) return false;
    e.m_lEndSectors = video ? rec.VideoEnd() : rec.AudioEnd();
    s.reader = std::make_unique<CIBits>(clip.DriveName(), clip.Table(),
                                        video ? rec.VideoFirstCluster() : rec.AudioFirstCluster(),
                                        run.Missing());
    s.endByte = EndBitOf(clusters, e.m_lEndSectors) / 8;
    if (!GetStreamIDs(run, *s.reader, s.id, skip)) return false;
    e.m_lSkipSectors = skip;
    s.startByte = std::int64_t{skip} * 512;
    return FirstPTS(run, *s.reader, s.id, s.firstPts);
}

class Pass {
public:
    Pass(RipRun& run, const BreakSearchOptions& options, const BreakProgress& progress,
         const std::atomic<bool>& cancel, BreakSearchReport& report)
        : run_(run), options_(options), progress_(progress), cancel_(cancel), report_(report) {}

    BreakSearchOutcome Run(SignalTrack& track) {
        Stream video, audio;
        if (!Prepare(run_, true, video)) return Fail(video, "no video stream found");
        const bool hasAudio = Prepare(run_, false, audio);
        if (cancel_) return BreakSearchOutcome::kCancelled;
        run_.State().m_i64FirstPTS = video.firstPts;
        firstPts_ = video.firstPts;
        total_ =
            (video.endByte - video.startByte) + (hasAudio ? audio.endByte - audio.startByte : 0);
        auto log = [](std::string_view text) { LogLine(std::string(text)); };
        if (hasAudio) {
            const bool ac3 = StreamTypeOf(audio.id) != kKindAudio;
            auto levels = media::MakeAudioAnalyser(
                ac3 ? media::AudioCodec::kAc3 : media::AudioCodec::kMpeg, log);
            if (levels) {
                int mode = -1;
                auto onAudio = [&](std::span<const std::uint8_t> payload, std::int64_t pts) {
                    if (ac3) NoteAudioMode(payload, pts, mode, track);
                    levels->Feed(payload, pts);
                    Collect(levels->Take(), track);
                };
                if (BreakSearchOutcome o = Walk(audio, onAudio, [&] { levels->Reset(); });
                    o != BreakSearchOutcome::kDone)
                    return o;
                levels->Flush();
                Collect(levels->Take(), track);
                std::ranges::sort(track.levels, {}, &breaks::LevelSample::time);
            }
        }
        auto pictures = media::MakePictureAnalyser(2, log);
        if (!pictures) return Fail(video, "the video decoder cannot be opened");
        pictures->KeepCornersEvery(kCornerEvery);
        int aspect = -1;
        auto onVideo = [&](std::span<const std::uint8_t> payload, std::int64_t pts) {
            NoteAspect(payload, pts, aspect, track);
            pictures->Feed(payload, pts);
            Collect(pictures->Take(), track);
        };
        if (BreakSearchOutcome o = Walk(video, onVideo, [&] { pictures->Reset(); });
            o != BreakSearchOutcome::kDone)
            return o;
        pictures->Flush();
        Collect(pictures->Take(), track);
        std::ranges::sort(track.pictures, {}, &breaks::PictureSample::time);
        if (track.pictures.empty()) return Fail(video, "no picture could be decoded");
        return BreakSearchOutcome::kDone;
    }

private:
    BreakSearchOutcome Fail(const Stream& s, const std::string& why) {
        if (cancel_) return BreakSearchOutcome::kCancelled;
        if (s.reader) {
            const std::string shortfall = s.reader->Shortfall(s.endByte * 8);
            if (!shortfall.empty() || s.reader->LastEnd() == CIBits::EndReason::kReadError ||
                !s.reader->HasVolume()) {
                report_.message = shortfall.empty() ? "the disk cannot be read" : shortfall;
                return BreakSearchOutcome::kReadError;
            }
        }
        report_.message = why;
        return BreakSearchOutcome::kNothingFound;
    }

    double Seconds(std::int64_t pts) const {
        return static_cast<double>(pts - firstPts_) / static_cast<double>(kTicksPerSecond);
    }

    // Every packet of the stream in disk order: its payload with its time stamp (after the wrap
    // rule). Packets that damage touches are left out; the analyser starts again after them.
    template <class OnPayload, class OnGap>
    BreakSearchOutcome Walk(Stream& s, OnPayload onPayload, OnGap onGap) {
        CIBits& r = *s.reader;
        r.ClearEOF();
        r.SeekBitPosition(s.startByte * 8);
        const std::uint32_t code = 0x00000100u + s.id;
        std::int64_t lastPts = PTS_NONE;
        std::size_t headers = 0;
        while (!r.IsEOF() && NextStartCodeBefore(r, s.endByte)) {
            const std::int64_t at = BytePosition(r);
            if (++headers % 64 == 0) {
                if (cancel_) return BreakSearchOutcome::kCancelled;
                Progress(at - s.startByte);
            }
            if (r.Peek32() != code) {
                r.SkipByte();
                continue;
            }
            std::array<std::uint8_t, 9> head{};
            for (std::uint8_t& b : head)
                b = r.ReadByte();
            r.SeekBitPosition(at * 8);
            CPESHeader h(r, s.id);
            const std::int64_t length = (head[4] << 8) | head[5];
            const std::int64_t from = at + 9 + head[8];
            const std::int64_t to = std::min(at + 6 + length, s.endByte);
            if (!h.IsValid() || length == 0 || from > to) {
                r.ClearEOF();
                r.SeekBitPosition((at + 1) * 8);
                continue;
            }
            const std::int64_t pts = WrapPTS(run_.State(), h.GetPTS());
            payload_.resize(static_cast<std::size_t>(to - from));
            r.SeekBitPosition(from * 8);
            const bool whole = Read(r, payload_);
            if (const CIBits::Damage* d = r.DamageFrom(at); d && d->begin < to) {
                if (options_.stopOnReadError) return ReadError(*d);
                NoteLost(s, *d, lastPts);
                onGap();
                r.ClearEOF();
                r.SeekBitPosition(std::max(d->end, at + 1) * 8);
                continue;
            }
            if (!whole) break;
            lastPts = pts;
            if (!lost_.empty() && lost_.back().to < 0 && lost_.back().video == s.video)
                lost_.back().to = Seconds(pts);
            onPayload(payload_, pts);
        }
        if (options_.stopOnReadError || r.LastEnd() == CIBits::EndReason::kReadError) {
            const std::string shortfall = r.Shortfall(s.endByte * 8);
            if (!shortfall.empty()) {
                report_.message = shortfall;
                return BreakSearchOutcome::kReadError;
            }
        }
        done_ += s.endByte - s.startByte;
        for (RipReport::Lost& l : lost_)
            report_.lost.push_back(l);
        lost_.clear();
        return BreakSearchOutcome::kDone;
    }

    BreakSearchOutcome ReadError(const CIBits::Damage& d) {
        report_.message = ReadFailureText(run_.Clip().DriveName(), d.diskByte, 0);
        return BreakSearchOutcome::kReadError;
    }

    void NoteLost(const Stream& s, const CIBits::Damage& d, std::int64_t lastPts) {
        if (!lost_.empty() && lost_.back().diskByte == d.diskByte) return;
        LostStretch lost{s.video, d.diskByte, d.end - d.begin};
        lost.from = lastPts == PTS_NONE ? -1 : Seconds(lastPts);
        lost_.push_back(lost);
    }

    static bool Read(CIBits& r, std::vector<std::uint8_t>& out) {
        std::size_t have = 0;
        while (have < out.size()) {
            std::span<const std::uint8_t> buf = r.BufferedBytes();
            if (buf.empty()) {
                if (r.IsEOF()) return false;
                out[have++] = r.ReadByte();
                continue;
            }
            const std::size_t n = std::min(buf.size(), out.size() - have);
            std::copy_n(buf.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(have));
            r.ConsumeBuffered(static_cast<std::int32_t>(n));
            have += n;
        }
        return true;
    }

    void Progress(std::int64_t bytes) {
        if (progress_ && total_ > 0)
            progress_(std::clamp(static_cast<double>(done_ + bytes) / static_cast<double>(total_),
                                 0.0, 1.0),
                      done_ + bytes);
    }

    void NoteAspect(std::span<const std::uint8_t> p, std::int64_t pts, int& last,
                    SignalTrack& track) const {
        for (std::size_t i = 0; i + 8 < p.size(); ++i) {
            if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1 || p[i + 3] != 0xB3) continue;
            const int code = p[i + 7] >> 4;
            if (code != last) track.aspect.push_back({Seconds(pts), code});
            last = code;
            return;
        }
    }

    // The coding mode of the first AC-3 frame that begins in the payload.
    void NoteAudioMode(std::span<const std::uint8_t> p, std::int64_t pts, int& last,
                       SignalTrack& track) const {
        for (std::size_t i = 0; i + 7 < p.size(); ++i) {
            if (p[i] != 0x0B || p[i + 1] != 0x77 || (p[i + 5] >> 3) > 10) continue;
            const int acmod = p[i + 6] >> 5;
            if (acmod != last) track.audioMode.push_back({Seconds(pts), acmod});
            last = acmod;
            return;
        }
    }

    void Collect(std::vector<media::PictureSignals> pictures, SignalTrack& track) const {
        for (media::PictureSignals& p : pictures) {
            if (p.pts == media::kNoTime) continue;
            if (!p.corners.empty()) {
                track.cornerWidth = p.cornerWidth;
                track.cornerHeight = p.cornerHeight;
                track.corners.push_back(
                    {p.pts, breaks::EdgeBits(p.corners, p.cornerWidth, p.cornerHeight)});
            }
            track.pictures.push_back({Seconds(p.pts), p.meanLuma, p.lumaSpread, p.change});
        }
    }

    void Collect(const std::vector<media::AudioLevel>& levels, SignalTrack& track) const {
        for (const media::AudioLevel& l : levels)
            if (l.pts != media::kNoTime)
                track.levels.push_back(
                    {Seconds(l.pts), static_cast<double>(l.duration) / kTicksPerSecond, l.rmsDb});
    }

    RipRun& run_;
    const BreakSearchOptions& options_;
    const BreakProgress& progress_;
    const std::atomic<bool>& cancel_;
    BreakSearchReport& report_;
    std::int64_t firstPts_ = 0;
    std::int64_t total_ = 0;
    std::int64_t done_ = 0;
    std::vector<std::uint8_t> payload_;
    std::vector<RipReport::Lost> lost_;
};

// The pictures the corner samples belong to, once the pictures are in order.
void IndexCorners(SignalTrack& track, std::int64_t firstPts) {
    for (breaks::CornerEdges& c : track.corners) {
        const double t = static_cast<double>(c.picture - firstPts) / kTicksPerSecond;
        auto at =
            std::ranges::lower_bound(track.pictures, t - 1e-6, {}, &breaks::PictureSample::time);
        c.picture = static_cast<std::size_t>(std::min(
            at - track.pictures.begin(), static_cast<std::ptrdiff_t>(track.pictures.size()) - 1));
    }
}

} // namespace

BreakSearchReport FindClipBreaks(const CPVRFile& clip, const BreakSearchOptions& options,
                                 const BreakProgress& progress, const std::atomic<bool>& cancel) {
    BreakSearchReport report;
    // A run of its own: the searches for stream ids and time stamps keep their state in it.
    RipRequest request;
    request.readPolicy = options.stopOnReadError ? ReadPolicy::kStop : ReadPolicy::kSalvage;
    RipRun run(clip, request, nullptr, nullptr, &cancel);
    SignalTrack track;
    Pass pass(run, options, progress, cancel, report);
    report.outcome = pass.Run(track);
    if (report.outcome != BreakSearchOutcome::kDone) return report;
    IndexCorners(track, run.State().m_i64FirstPTS);
    report.seconds = track.End();
    report.breaks = breaks::FindBreaks(track);
    if (progress) progress(1.0, -1);
    return report;
}

} // namespace quorin
