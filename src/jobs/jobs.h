// The job queue and the job list file "QUORIN_Joblist.csv".
//
// Messages that the window shows as message boxes (stop icon) come back as data, so the window
// can show boxes and quorin-cli can print them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {

class ClipRecord;
class CPVRDrive;

inline constexpr int kMaxJobs = 100;
inline constexpr const char* kJobListFileName = "QUORIN_Joblist.csv";
inline constexpr const char* kJobListHeader =
    "Index;Name;Begin;End;Rip Audio;Rip Video;Rip Audio Raw;Rip Video Raw;Checksum";

// One queued rip. Flags are 0 or 1; fields a creator does not set stay 0.
struct RipJob {
    int rawAudio = 0;
    int rawVideo = 0; // loaded, kept and saved; running takes the window's "Rip Stream Raw"
    int reserved = 0;
    std::string name;        // UTF-8: names the output files and the clip's new title
    int clipIndex = 0;       // 0-based clip number
    double begin = 0;        // seconds
    double length = 0;       // seconds
    double sizeEstimate = 0; // GB
    int backup = 0;
    int reserved2 = 0;
    int audio = 0;
    int video = 0;
    // Ranges kept and joined in order (seconds from, to), in place of begin and length; begin
    // and length then span them. Empty: the one cut.
    std::vector<std::pair<double, double>> ranges;
    int exact = 0; // cut at the exact picture

    bool operator==(const RipJob&) const = default;
};

// Captions of the loader's message boxes.
inline constexpr const char* kNotFoundCaption =
    "Not Found - Correct CSV"; // the job keeps its index
inline constexpr const char* kNotQueuedCaption = "Job Not Queued";
inline constexpr const char* kQueueFullCaption = "Job Queue Full";

// A message box: caption and text.
struct UserMessage {
    std::string caption;
    std::string text;
    bool operator==(const UserMessage&) const = default;
};
using Messages = std::vector<UserMessage>;

// Up to 100 jobs. Jobs are appended at the end and run from the end (last added first).
class JobQueue {
public:
    const std::vector<RipJob>& Jobs() const { return jobs_; }
    int Count() const { return static_cast<int>(jobs_.size()); }
    bool Empty() const { return jobs_.empty(); }
    bool Full() const { return Count() >= kMaxJobs; }
    // On from the first added job until the queue has run empty or is cleared.
    bool QueueMode() const { return queueMode_; }
    void SetQueueMode(bool on) { queueMode_ = on; }
    // Sum of the jobs' size estimates in GB ("Size: %.02f GB").
    double TotalSize() const;

    // Appends the job as it is (preview hand-over, loading). Refused with a message when the
    // queue is full.
    bool Append(const RipJob& job, Messages& messages);
    // "Add": makes the name unique among the queued jobs first.
    bool Add(RipJob job, Messages& messages);
    // Removes and returns the job to run next (the last one); false when empty.
    bool TakeNext(RipJob& job);
    // "Del": empties the queue and ends queue mode.
    void Clear();

private:
    std::vector<RipJob> jobs_;
    bool queueMode_ = false;
};

// Estimated size in GB of length seconds of the clip; 0 for a clip of length 0.
double SizeEstimate(const ClipRecord& record, double length);

// The job for the window's cut of a clip: name from the clip, size estimated.
RipJob MakeJob(const ClipRecord& record, int clipIndex, double begin, double length, bool rawAudio,
               bool backup, bool audio, bool video);

// The name with the suffix "_01", "_02"... that "Add" gives it against the queued jobs, in one
// pass over the queue (as the window has always done it).
std::string UniqueJobName(std::string_view name, std::span<const RipJob> queued);

// Whether a channel text begins with one of the raw-audio list's entries.
bool MatchesRawAudioList(std::string_view channel, std::span<const std::string> rawAudioList);

// One fingerprint per clip of the drive, in clip order.
std::vector<std::uint32_t> BuildChecksumTable(const CPVRDrive& drive);

// The file's text: the header and one line per job, CR LF line ends. A job whose clip number
// names no entry of the table gets the checksum 0. A job of several ranges, or of exact cuts,
// spans them with Begin and End and lists them after the checksum ("hhmmss.cc-hhmmss.cc ...",
// then 1 for exact cuts), where older readers find nothing they read.
std::string FormatJobList(std::span<const RipJob> jobs, std::span<const std::uint32_t> checksums);

// "Save": writes the file; an empty queue writes nothing. False with a message when the file
// could not be created or written.
bool SaveJobList(const std::string& path, std::span<const RipJob> jobs,
                 std::span<const std::uint32_t> checksums, Messages& messages);

// What loading needs of the drive: its clips, the checksum table built when the drive was first
// read, and the raw-audio list of the settings.
struct JobListContext {
    const CPVRDrive& drive;
    std::span<const std::uint32_t> checksums;
    std::span<const std::string> rawAudioList;
};

// Reads the job lines of a job list text into jobs (not queued). Lines that cannot run are
// refused with a message naming the job.
std::vector<RipJob> ParseJobList(std::string_view text, const JobListContext& context,
                                 Messages& messages);

// "Load": appends the file's jobs to the queue (names are not made unique) and sets queue mode
// when at least one job was added. False with a message when the file cannot be read; loading
// stops with a message when the queue is full.
bool LoadJobList(const std::string& path, const JobListContext& context, JobQueue& queue,
                 Messages& messages);

} // namespace quorin
