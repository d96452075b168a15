#include "jobs/jobs.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/clip_record.h"
#include "disk/pvr_drive.h"
#include "jobs/clip_time.h"
#include "platform/text.h"
#include "platform/volume.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace quorin {
namespace {

constexpr const char* kCannotOpen = "File could not be opened !";

// The leading decimal integer of a field (optionally signed), as scanf's "%d" reads it.
std::optional<long long> LeadingInt(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    std::size_t n = 0;
    while (n < s.size() && n < 18 && std::isdigit(static_cast<unsigned char>(s[n])))
        ++n;
    if (n == 0) return std::nullopt;
    long long v = 0;
    std::from_chars(s.data(), s.data() + n, v);
    return negative ? -v : v;
}

int ClampToInt(long long v) {
    return static_cast<int>(std::clamp<long long>(v, INT_MIN + 1LL, INT_MAX));
}

// A flag column: the number read, its default when the column is missing or holds no number.
int FlagField(const std::vector<std::string_view>& fields, std::size_t at, int fallback) {
    if (at >= fields.size()) return fallback;
    auto v = LeadingInt(fields[at]);
    return v ? ClampToInt(*v) : fallback;
}

// Up to eight hex digits, as "%08X" reads them.
std::optional<std::uint32_t> HexField(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    std::size_t n = 0;
    while (n < s.size() && n < 8 && std::isxdigit(static_cast<unsigned char>(s[n])))
        ++n;
    if (n == 0) return std::nullopt;
    std::uint32_t v = 0;
    std::from_chars(s.data(), s.data() + n, v, 16);
    return v;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        std::size_t at = line.find(';');
        fields.push_back(line.substr(0, at));
        if (at == std::string_view::npos) break;
        line.remove_prefix(at + 1);
    }
    return fields;
}

// A name written into a line must keep the line and its columns intact.
std::string NameForFile(const std::string& name) {
    std::string out = name;
    for (char& c : out) {
        if (c == ';') c = ',';
        if (c == '\r' || c == '\n') c = ' ';
    }
    return out;
}

std::uint32_t TableChecksum(std::span<const std::uint32_t> table, int clipIndex) {
    if (clipIndex < 0 || static_cast<std::size_t>(clipIndex) >= table.size()) return 0;
    return table[static_cast<std::size_t>(clipIndex)];
}

// ParseJobList puts the line number in front and logs it.
void Refuse(Messages& messages, const std::string& text) {
    messages.push_back({kNotQueuedCaption, text});
}

// The cut of the n-th cut mark pair: from 10 s before its start mark to 20 s after its stop.
bool CutFromMarks(std::string_view field, const ClipRecord& record, RipJob& job,
                  Messages& messages) {
    field.remove_prefix(1); // the "x"
    auto n = LeadingInt(field);
    const std::string who = "\"" + job.name + "\": ";
    if (!n || *n < 0 || *n > 9) {
        Refuse(messages, who + "x" + std::string(field) +
                             " names no cut mark pair (x0 to x9); the job is not queued.");
        return false;
    }
    const SkipPair pair = record.Skip(static_cast<int>(*n));
    const std::string mark = Format("x%lld of clip %d", *n, job.clipIndex + 1);
    if (pair.start == 0xFFFF || pair.stop == 0xFFFF) {
        Refuse(messages, who + "the cut mark pair " + mark + " is empty; the job is not queued.");
        return false;
    }
    const auto start = static_cast<std::int16_t>(pair.start);
    const auto stop = static_cast<std::int16_t>(pair.stop);
    const double d = record.LengthInSeconds();
    const double b = d * start * 0.001;
    const double begin = b > 10 ? std::trunc(b) - 10 : 0;
    const double length = std::trunc(d * stop * 0.001) - begin + 20;
    if (start < 0 || stop < 0 || length <= 0) {
        Refuse(messages, who + "the cut mark pair " + mark + Format(" (%d, %d)", start, stop) +
                             " is not a cut; the job is not queued.");
        return false;
    }
    job.begin = begin;
    job.length = length;
    return true;
}

// Moves the job to the first clip with the line's checksum when its own clip has another one.
void Relocate(std::optional<std::uint32_t> checksum, const JobListContext& context, RipJob& job,
              Messages& messages) {
    if (!checksum || *checksum == TableChecksum(context.checksums, job.clipIndex)) return;
    auto it = std::find(context.checksums.begin(), context.checksums.end(), *checksum);
    if (it != context.checksums.end()) {
        job.clipIndex = static_cast<int>(it - context.checksums.begin());
        return;
    }
    LogLine(std::string(kNotFoundCaption) + ": " + job.name);
    messages.push_back({kNotFoundCaption, job.name});
}

// A field that reads as a job list time: digits, optionally a fraction, spaces around.
bool IsJobListTime(std::string_view s) {
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!s.empty() && space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && space(s.back()))
        s.remove_suffix(1);
    const std::size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : s.substr(dot + 1);
    auto digits = [](std::string_view d) {
        return std::all_of(d.begin(), d.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    };
    return !(whole.empty() && fraction.empty()) && digits(whole) && digits(fraction);
}

// A line meant as a job: its first field is a number (a sign allowed).
bool IsJobLine(std::string_view line) {
    if (line.find(';') == std::string_view::npos) return false;
    if (!line.empty() && (line.front() == '-' || line.front() == '+')) line.remove_prefix(1);
    return !line.empty() && std::isdigit(static_cast<unsigned char>(line.front()));
}

// The cut of a line's Begin and End fields; false with a message when they hold none.
bool CutFromTimes(std::string_view beginField, std::string_view endField, RipJob& job,
                  Messages& messages) {
    const std::string who = "\"" + job.name + "\": ";
    for (std::string_view field : {beginField, endField}) {
        if (IsJobListTime(field)) continue;
        Refuse(messages, who + (field == beginField ? "Begin" : "End") + " \"" +
                             std::string(field) +
                             "\" is not a time (hhmmss.cc); the job is not queued.");
        return false;
    }
    job.begin = ParseJobListTime(beginField);
    const double end = ParseJobListTime(endField);
    if (end < job.begin) {
        Refuse(messages, who + "its End " + FormatClipTime(end) + " lies before its Begin " +
                             FormatClipTime(job.begin) + "; the job is not queued.");
        return false;
    }
    job.length = end - job.begin;
    return true;
}

std::string RangesField(const std::vector<std::pair<double, double>>& ranges) {
    std::string field;
    for (const auto& [from, to] : ranges) {
        if (!field.empty()) field += ' ';
        field += FormatJobListTime(from);
        field += '-';
        field += FormatJobListTime(to);
    }
    return field;
}

// The ranges after the checksum, in order and apart; false with a message when they are not.
bool RangesFromField(std::string_view field, RipJob& job, Messages& messages) {
    while (!field.empty()) {
        const std::size_t space = field.find(' ');
        const std::string_view range = field.substr(0, space);
        field.remove_prefix(space == std::string_view::npos ? field.size() : space + 1);
        if (range.empty()) continue;
        const std::size_t dash = range.find('-');
        const std::string_view from = range.substr(0, dash);
        const std::string_view to = dash == std::string_view::npos ? "" : range.substr(dash + 1);
        const double at = job.ranges.empty() ? 0 : job.ranges.back().second;
        if (!IsJobListTime(from) || !IsJobListTime(to) ||
            ParseJobListTime(from) >= ParseJobListTime(to) || ParseJobListTime(from) < at) {
            Refuse(messages, "\"" + job.name + "\": the range \"" + std::string(range) +
                                 "\" is not a range after the one before it; the job is not "
                                 "queued.");
            return false;
        }
        job.ranges.emplace_back(ParseJobListTime(from), ParseJobListTime(to));
    }
    if (!job.ranges.empty()) {
        job.begin = job.ranges.front().first;
        job.length = job.ranges.back().second - job.begin;
    }
    return true;
}

// One line of the file (line end removed); nothing for lines that are not jobs or are refused.
std::optional<RipJob> ParseLine(std::string_view line, const JobListContext& context,
                                Messages& messages) {
    if (!IsJobLine(line)) return std::nullopt;
    const std::vector<std::string_view> f = SplitFields(line);
    auto field = [&f](std::size_t i) { return i < f.size() ? f[i] : std::string_view(); };

    RipJob job;
    // Kept one below the int range, so that messages can name clip clipIndex + 1.
    job.clipIndex = static_cast<int>(
        std::clamp<long long>(LeadingInt(f[0]).value_or(0) - 1, INT_MIN + 1LL, INT_MAX - 1LL));
    job.name = std::string(field(1));
    const std::string_view beginField = field(2);
    const bool marks = !beginField.empty() && beginField.front() == 'x';
    if (!marks && !CutFromTimes(beginField, field(3), job, messages)) return std::nullopt;
    const bool flagColumns = f.size() > 4;
    job.audio = flagColumns ? FlagField(f, 4, 1) : 1;
    job.video = flagColumns ? FlagField(f, 5, 1) : 1;
    job.rawAudio = flagColumns ? FlagField(f, 6, 0) : 0;
    job.rawVideo = flagColumns ? FlagField(f, 7, 0) : 0;
    if (flagColumns && f.size() > 8) Relocate(HexField(f[8]), context, job, messages);
    if (f.size() > 9 && !RangesFromField(f[9], job, messages)) return std::nullopt;
    job.exact = f.size() > 10 ? FlagField(f, 10, 0) : 0;

    // Everything below reads the clip the relocation settled on.
    const CPVRFile* clip = context.drive.GetFile(job.clipIndex);
    if (!clip) {
        Refuse(messages, "\"" + job.name + "\": " +
                             Format("clip %d is not on this disk (it has %d clips)",
                                    job.clipIndex + 1, context.drive.GetFileCount()) +
                             "; the job is not queued.");
        return std::nullopt;
    }
    const ClipRecord& record = clip->GetRecord();
    if (marks && !CutFromMarks(beginField, record, job, messages)) return std::nullopt;
    job.backup = 0;
    job.sizeEstimate = SizeEstimate(record, job.length);
    if (!flagColumns)
        job.rawAudio =
            MatchesRawAudioList(Latin1ToUtf8(record.Station()), context.rawAudioList) ? 1 : 0;
    return job;
}

// The next line of the text and its end: CR LF, LF or a lone CR.
std::string_view NextLine(std::string_view& text) {
    const std::size_t eol = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, eol);
    std::size_t skip = eol == std::string_view::npos ? text.size() : eol + 1;
    if (eol != std::string_view::npos && text[eol] == '\r' && eol + 1 < text.size() &&
        text[eol + 1] == '\n')
        ++skip;
    text.remove_prefix(skip);
    return line;
}

// 0, or the system's error number of a file that could not be read.
int ReadWholeFile(const std::string& path, std::string& text) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return EISDIR;
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return errno != 0 ? errno : EIO;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return in.bad() ? EIO : 0;
}

// The message of a file that could not be opened, with the system's reason.
std::string CannotOpenText(int error) {
    return std::string(kCannotOpen) + " (" + SystemErrorText(error) + ")";
}

} // namespace

double JobQueue::TotalSize() const {
    double total = 0;
    for (const RipJob& job : jobs_)
        total += job.sizeEstimate;
    return total;
}

bool JobQueue::Append(const RipJob& job, Messages& messages) {
    if (Full()) {
        std::string text =
            Format("The queue holds %d jobs; ", kMaxJobs) + "\"" + job.name + "\" is not added.";
        LogLine(text);
        messages.push_back({kQueueFullCaption, text});
        return false;
    }
    jobs_.push_back(job);
    queueMode_ = true;
    return true;
}

bool JobQueue::Add(RipJob job, Messages& messages) {
    job.name = UniqueJobName(job.name, jobs_);
    return Append(job, messages);
}

bool JobQueue::TakeNext(RipJob& job) {
    if (jobs_.empty()) return false;
    job = std::move(jobs_.back());
    jobs_.pop_back();
    return true;
}

void JobQueue::Clear() {
    jobs_.clear();
    queueMode_ = false;
}

double SizeEstimate(const ClipRecord& record, double length) {
    const int seconds = record.LengthInSeconds();
    if (seconds == 0) return 0;
    return (record.VClusters() + record.AClusters()) * 0.1 * length / seconds;
}

RipJob MakeJob(const ClipRecord& record, int clipIndex, double begin, double length, bool rawAudio,
               bool backup, bool audio, bool video) {
    RipJob job;
    job.begin = begin;
    job.length = length;
    job.clipIndex = clipIndex;
    job.rawAudio = rawAudio ? 1 : 0;
    job.name = Latin1ToUtf8(record.ClipName());
    job.backup = backup ? 1 : 0;
    job.audio = audio ? 1 : 0;
    job.video = video ? 1 : 0;
    job.sizeEstimate = SizeEstimate(record, length);
    return job;
}

std::string UniqueJobName(std::string_view name, std::span<const RipJob> queued) {
    std::string suffix;
    int counter = 1;
    for (const RipJob& job : queued) {
        if (std::string(name) + suffix == job.name) suffix = Format("_%02d", counter++);
    }
    return std::string(name) + suffix;
}

bool MatchesRawAudioList(std::string_view channel, std::span<const std::string> rawAudioList) {
    return std::any_of(rawAudioList.begin(), rawAudioList.end(), [channel](const std::string& e) {
        return !e.empty() && channel.starts_with(e);
    });
}

std::vector<std::uint32_t> BuildChecksumTable(const CPVRDrive& drive) {
    std::vector<std::uint32_t> table;
    table.reserve(static_cast<std::size_t>(drive.GetFileCount()));
    for (int i = 0; i < drive.GetFileCount(); ++i)
        table.push_back(ClipChecksum(drive.GetFile(i)->GetRecord()));
    return table;
}

std::string FormatJobList(std::span<const RipJob> jobs, std::span<const std::uint32_t> checksums) {
    std::string text = std::string(kJobListHeader) + "\r\n";
    for (const RipJob& job : jobs) {
        const double begin = job.ranges.empty() ? job.begin : job.ranges.front().first;
        const double end = job.ranges.empty() ? job.begin + job.length : job.ranges.back().second;
        text += Format("%d;", job.clipIndex + 1) + NameForFile(job.name) +
                Format(";%s;%s;%d;%d;%d;%d;%08X\r\n", FormatJobListTime(begin).c_str(),
                       FormatJobListTime(end).c_str(), job.audio, job.video, job.rawAudio,
                       job.rawVideo, TableChecksum(checksums, job.clipIndex));
        if (job.ranges.size() > 1 || job.exact) {
            text.resize(text.size() - 2);
            text += ';';
            text += RangesField(job.ranges);
            text += Format(";%d\r\n", job.exact);
        }
    }
    return text;
}

bool SaveJobList(const std::string& path, std::span<const RipJob> jobs,
                 std::span<const std::uint32_t> checksums, Messages& messages) {
    if (jobs.empty()) return true;
    const std::string text = FormatJobList(jobs, checksums);
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        const int error = errno != 0 ? errno : EIO;
        LogLine(std::string("could not create ") + path + ": " + SystemErrorText(error));
        messages.push_back({kJobListFileName, CannotOpenText(error)});
        return false;
    }
    errno = 0;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
        // A full disk must not pass for a saved list.
        const std::string why = SystemErrorText(errno != 0 ? errno : EIO);
        LogLine(std::string("could not write ") + path + ": " + why);
        messages.push_back({kJobListFileName, "File could not be written ! (" + why + ")"});
        return false;
    }
    return true;
}

std::vector<RipJob> ParseJobList(std::string_view text, const JobListContext& context,
                                 Messages& messages) {
    std::vector<RipJob> jobs;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3); // a byte-order mark
    for (int lineNo = 1; !text.empty(); ++lineNo) {
        const std::string_view raw = NextLine(text);
        // The file is UTF-8; a line that is not is taken as ISO-8859-1.
        const std::string line = IsValidUtf8(raw) ? std::string(raw) : Latin1ToUtf8(raw);
        const std::size_t before = messages.size();
        if (auto job = ParseLine(line, context, messages)) jobs.push_back(std::move(*job));
        for (std::size_t i = before; i < messages.size(); ++i) {
            if (messages[i].caption != kNotQueuedCaption) continue;
            messages[i].text = Format("line %d: ", lineNo) + messages[i].text;
            LogLine(messages[i].text);
        }
    }
    return jobs;
}

bool LoadJobList(const std::string& path, const JobListContext& context, JobQueue& queue,
                 Messages& messages) {
    std::string text;
    if (const int error = ReadWholeFile(path, text)) {
        LogLine("could not open " + path + ": " + SystemErrorText(error));
        messages.push_back({path, CannotOpenText(error)});
        return false;
    }
    Messages lineMessages;
    std::vector<RipJob> jobs = ParseJobList(text, context, lineMessages);
    if (jobs.empty()) {
        // A file of which nothing can run (a binary file, a list for another disk) is refused
        // as a whole rather than line by line.
        std::string refusal = "no line of " + path + " is a job that can run";
        const auto refused =
            std::count_if(lineMessages.begin(), lineMessages.end(),
                          [](const UserMessage& m) { return m.caption == kNotQueuedCaption; });
        const auto first =
            std::find_if(lineMessages.begin(), lineMessages.end(),
                         [](const UserMessage& m) { return m.caption == kNotQueuedCaption; });
        if (refused > 0)
            refusal += Format(" (%td job lines refused; the first: ", refused) + first->text + ")";
        LogLine(refusal);
        messages.push_back({kNotQueuedCaption, refusal});
        return false;
    }
    messages.insert(messages.end(), lineMessages.begin(), lineMessages.end());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (queue.Full()) {
            std::string msg =
                Format("The queue holds %d jobs; %zu jobs from ", kMaxJobs, jobs.size() - i) +
                "\"" + jobs[i].name + "\" on are not loaded.";
            LogLine(msg);
            messages.push_back({kQueueFullCaption, msg});
            break;
        }
        queue.Append(jobs[i], messages);
    }
    return true;
}

} // namespace quorin
