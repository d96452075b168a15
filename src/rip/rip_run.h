// One rip of one clip: what was asked for, and everything that lives only as long as the rip
// (the engine's positions and time stamps, its buffer, the losses met, the files' base name).
// The runner makes one for every run; stages take it together with the clip, which they only
// read, so runs of one clip on several threads never share state.
#pragma once

#include "base/run_state.h"
#include "disk/pvr_file.h"
#include "platform/volume.h"
#include "rip/keep_ranges.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

// A missing presentation time stamp.
inline constexpr std::int64_t PTS_NONE = -1;

// How a run, or one stage of it, ended.
enum class RipOutcome {
    kDone,         // every stage ran to its end
    kNothingToRip, // no stream id, first time stamp or packet at or after the begin was found
    kCancelled,    // the cancel flag stopped a stage
    kOutputFailed, // an output file could not be created or written
    kReadError,    // the disk could not be read where a stage needed it
};

// The worse of two endings, in the one order every run uses: done, nothing to rip, read error,
// cancelled, output failed.
inline int Severity(RipOutcome r) {
    switch (r) {
    case RipOutcome::kDone:
        return 0;
    case RipOutcome::kNothingToRip:
        return 1;
    case RipOutcome::kReadError:
        return 2;
    case RipOutcome::kCancelled:
        return 3;
    case RipOutcome::kOutputFailed:
        return 4;
    }
    return 0;
}
inline RipOutcome Worse(RipOutcome a, RipOutcome b) {
    return Severity(b) > Severity(a) ? b : a;
}

// The extensions of the output files (the settings file's four postfixes).
struct OutputPostfixes {
    std::string video = "m2v";
    std::string audio = "mp2";
    std::string rawVideo = "pva";
    std::string rawAudio = "mpp";
};

// The container a stream rip ends in (rip/mux.h writes it); kNone: the elementary streams.
enum class MuxFormat { kNone, kMatroska, kProgramStream, kTransportStream };

struct MuxChoice {
    MuxFormat format = MuxFormat::kNone;
    bool keepStreams = false; // keep the elementary streams and the delay log after a mux
};

// Advert breaks a stream rip marks in its outputs (chapters in a Matroska container, an edit
// decision list beside the files): seconds on the video's clock, as begin.
struct BreakMarks {
    struct Stretch {
        double from = 0;
        double to = 0;
    };
    std::vector<Stretch> breaks;
    double end = 0; // the video's length on its clock
};

// What a run does where the disk cannot be read: keep every readable sector and go on over what
// is missing, or stop the stage at the first unreadable sector.
enum class ReadPolicy { kSalvage, kStop };

struct RipRequest {
    double begin = 0;             // seconds from the clip's start
    std::optional<double> length; // seconds; none: to the clip's end
    bool audio = true;
    bool video = true;
    bool rawAudio = false;
    bool rawVideo = false;
    bool backup = false;
    bool patchSequenceHeader = false;
    std::optional<std::string> outputName; // none: the clip's own name names the files
    bool rename = false;                   // the output name also becomes the clip's title
    std::string outputFolder;              // where the files go; empty: the current directory
    OutputPostfixes postfixes;
    MuxChoice mux; // the container a stream rip ends in; raw rips and backups ignore it
    ReadPolicy readPolicy = ReadPolicy::kSalvage;
    std::optional<BreakMarks> marks; // none: nothing marked
    // Ranges kept and joined in order, in place of begin and length; empty: the one cut.
    KeepRanges keep;
    bool exact = false; // ranges cut at the exact picture (a few pictures re-encoded at joints)
};

// What the engine learns about a clip that holds for every rip of it: the stream ids and the
// first time stamps. A caller that rips a clip again passes the last run's analysis in, so the
// streams are not searched again.
struct ClipAnalysis {
    std::uint8_t videoId = 0; // 0: not found yet
    std::uint8_t audioId = 0;
    std::int64_t videoFirstPts = PTS_NONE;
    std::int64_t audioFirstPts = PTS_NONE;
};

// A damaged stretch of the disk that a rip could not take into its output: where it lies, how
// long it is and the time stamps of the stream on either side of what was dropped (as the
// engine met them, and in seconds of the clip once the run reports it).
struct LostStretch {
    bool video = false;
    std::int64_t diskByte = 0;
    std::int64_t bytes = 0;
    std::int64_t fromPts = PTS_NONE;
    std::int64_t toPts = PTS_NONE;
    double from = -1; // seconds into the clip; -1: not known
    double to = -1;
    const char* Stream() const { return video ? "video" : "audio"; }
};

// The engine's working values during one run.
struct RipState {
    std::int32_t m_lSkipSectors = 0; // start offset (sectors) of the stream being processed
    std::int32_t m_lEndSectors = 0;  // end offset (sectors) of that stream in its last cluster
    std::int32_t m_lVideoSkip = 0;
    std::int32_t m_lAudioSkip = 0;
    std::int64_t m_i64FirstPTS = PTS_NONE; // reference of the run's times
    bool m_bPTSWrapped = false;
    std::int64_t m_i64VideoEndBit = 0;
    std::int64_t m_i64AudioEndBit = 0;
    std::int64_t m_i64RipStartPTS = 0;
    // The exact starts of the run's files (after the wrap rule): the first picture the video file
    // can show and the first audio frame written; PTS_NONE until a stage writes one.
    std::int64_t m_i64VideoStartPTS = PTS_NONE;
    std::int64_t m_i64AudioStartPTS = PTS_NONE;
    // Where the audio written ends (PTS_NONE when the run wrote none): how far a video whose
    // chain cannot be read to its end is bridged.
    std::int64_t m_i64AudioEndPTS = PTS_NONE;
    // PTS of the packet holding the sequence header the video stage began with: the time of the
    // first picture it wrote (m_i64RipStartPTS is the packet that reached the start).
    std::int64_t m_i64RipPicturePTS = PTS_NONE;
    double m_dAspectRatio = 4.0 / 3.0;
    double m_dBegin = 0;
    double m_dLength = 0;
    std::vector<std::uint8_t> m_vecLastPayload;
};

class RipRun {
public:
    // The request's output name (or the clip's title) in its output folder names the files until
    // the run claims its base name. Without blocks the run writes into blocks of its own.
    RipRun(const CPVRFile& clip, RipRequest request, RipProgress* audio = nullptr,
           RipProgress* video = nullptr, const std::atomic<bool>* cancel = nullptr,
           ClipAnalysis analysis = {});
    ~RipRun();
    RipRun(const RipRun&) = delete;
    RipRun& operator=(const RipRun&) = delete;

    const CPVRFile& Clip() const { return clip_; }
    const RipRequest& Request() const { return request_; }
    RipState& State() { return state_; }
    const RipState& State() const { return state_; }
    ClipAnalysis& Analysis() { return analysis_; }
    const ClipAnalysis& Analysis() const { return analysis_; }

    RipProgress& AudioProgress() { return *audio_; }
    RipProgress& VideoProgress() { return *video_; }
    // The stream being worked on, whose block gets the status texts.
    void SetVideoActive(bool video) { videoActive_ = video; }
    bool VideoActive() const { return videoActive_; }
    RipProgress& ActiveProgress() { return videoActive_ ? *video_ : *audio_; }
    // Puts a text into the active stream's status and, with log, into the program log.
    void StatusMessage(std::string_view text, bool log);

    bool IsCancelled() const { return cancel_ && cancel_->load(); }
    const std::atomic<bool>* CancelFlag() const { return cancel_; }

    // The 4 MiB buffer of the run's bulk reads, allocated on first use and not cleared: its
    // memory is only taken as reads fill it (a probe reads 1 MiB).
    std::span<std::uint8_t> Buffer();
    static constexpr std::size_t kBufferSize = 4 * 1024 * 1024;

    // What the run's data reads found missing (null under the stop policy): every handle the run
    // opens for data shares it, so no sector fails twice in one run.
    const std::shared_ptr<MissingSectors>& Missing() const { return missing_; }
    bool Salvages() const { return missing_ != nullptr; }
    // Opens the clip's volume for the run's data reads (errno set when it fails).
    [[nodiscard]] bool OpenVolume(VolumeHandle& handle) const;
    void NoteLost(const LostStretch& lost) { lost_.push_back(lost); }
    std::vector<LostStretch>& Lost() { return lost_; }

    // The path every file of the run is named after: the claimed base once the run has claimed
    // one, else the output folder and the output base name.
    const std::string& BasePath() const { return basePath_; }
    void SetBasePath(std::string path) { basePath_ = std::move(path); }
    // A file name in the run's output folder.
    std::string InFolder(const std::string& name) const;
    // A file of the run as status texts name it: by its name in the output folder.
    std::string Shown(const std::string& path) const;

private:
    const CPVRFile& clip_;
    RipRequest request_;
    std::unique_ptr<RipProgress> ownAudio_, ownVideo_;
    RipProgress* audio_;
    RipProgress* video_;
    const std::atomic<bool>* cancel_;
    ClipAnalysis analysis_;
    RipState state_;
    bool videoActive_ = false;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::shared_ptr<MissingSectors> missing_;
    std::vector<LostStretch> lost_;
    std::string basePath_;
};

} // namespace quorin
