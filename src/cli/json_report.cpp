#include "cli/json_report.h"

#include "cli/cli_common.h"

#include "base/format.h"
#include "disk/clip_texts.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "platform/text.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace quorin::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr double kGigabytesPerCluster = 0.1; // as the list shows sizes

double Seconds(std::int64_t ticks) {
    return static_cast<double>(ticks) / 90'000.0;
}

// Gigabytes of a count of clusters, to the tenth the list shows.
double Gigabytes(int clusters) {
    return std::round(clusters * kGigabytesPerCluster * 10) / 10;
}

// Seconds of a stage from its milliseconds; null when the stage did not run.
Json StageSeconds(std::int64_t ms) {
    return ms < 0 ? Json() : Json(ms / 1000.0);
}

Json Stream(std::uint16_t first, std::uint16_t clusters) {
    return Json{{"first_cluster", first}, {"clusters", clusters}};
}

// The receiver's clock time of the recording; null for a record that holds no date.
Json Recorded(const ClipRecord& r) {
    if (r.Year() == 0 || r.Month() < 1 || r.Month() > 12 || r.Day() < 1 || r.Day() > 31)
        return Json();
    return Format("%04d-%02d-%02dT%02d:%02d:%02d", r.Year(), r.Month(), r.Day(), r.Hour(),
                  r.Minute(), r.Second());
}

// The station without the spaces the record pads it with.
std::string Station(const ClipRecord& r) {
    std::string station = Latin1ToUtf8(r.Station());
    while (!station.empty() && station.back() == ' ')
        station.pop_back();
    return station;
}

// Seconds from the first time stamp; null when either is not known.
Json SecondsFrom(std::int64_t ticks, std::int64_t first) {
    return first == PTS_NONE || ticks == PTS_NONE ? Json() : Json(Seconds(ticks - first));
}

} // namespace

Json JsonDocument(const std::string& command) {
    return Json{{"version", kJsonVersion}, {"command", command}};
}

Json ClipJson(const CPVRFile& clip, int number) {
    const ClipRecord& r = clip.GetRecord();
    return Json{
        {"number", number},
        {"station", Station(r)},
        {"name", Latin1ToUtf8(r.ClipName())},
        {"recorded", Recorded(r)},
        {"length_seconds", r.LengthInSeconds()},
        {"size_gb", Gigabytes(r.VClusters() + r.AClusters())},
        {"checksum", Format("%08X", ClipChecksum(r))},
        {"record_read", clip.RecordRead()},
        {"video", Stream(r.VideoFirstCluster(), r.VClusters())},
        {"audio", Stream(r.AudioFirstCluster(), r.AClusters())},
    };
}

Json DriveJson(const CPVRDrive& drive) {
    const int used = drive.GetUsedClusters();
    const int free = drive.GetFreeClusters();
    Json clips = Json::array();
    for (int i = 0; i < drive.GetFileCount(); ++i)
        clips.push_back(ClipJson(*drive.GetFile(i), i + 1));
    return Json{{"label", Latin1ToUtf8(DriveNameFromLabel(drive.GetDriveLabel()))},
                {"capacity_gb", Gigabytes(used + free)},
                {"free_gb", Gigabytes(free)},
                {"clips", clips}};
}

const char* OutcomeText(RipOutcome outcome) {
    switch (outcome) {
    case RipOutcome::kDone:
        return "done";
    case RipOutcome::kNothingToRip:
        return "nothing to rip";
    case RipOutcome::kCancelled:
        return "cancelled";
    case RipOutcome::kOutputFailed:
        return "output failed";
    case RipOutcome::kReadError:
        return "read error";
    }
    return "failed";
}

Json ClipItemJson(int number, const CPVRFile& clip, const char* outcome, int status,
                  const std::string& message) {
    const Json none;
    return Json{{"clip", number},
                {"name", Latin1ToUtf8(clip.GetRecord().ClipName())},
                {"outcome", outcome},
                {"status", status},
                {"message", message},
                {"files", Json::array()},
                {"stages", Json{{"audio", none}, {"video", none}, {"mux", none}}},
                {"cut", Json{{"requested_begin", none},
                             {"requested_length", none},
                             {"video_start", none},
                             {"audio_start", none}}},
                {"av_offset_ms", none},
                {"lost", Json::array()},
                {"lost_seconds", 0}};
}

Json RipJson(const CPVRFile& clip, int number, const RipRunReport& run, int status) {
    if (!run.started) return ClipItemJson(number, clip, "refused", status, run.refusal);
    const RipReport& r = run.stages;
    Json j = ClipItemJson(number, clip, run.outcome ? OutcomeText(*run.outcome) : "not run", status,
                          r.message);
    for (const RipReport::File& f : r.files) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(f.name, ec);
        if (ec) continue; // never created after all
        j["files"].push_back(Json{{"name", ReportedName(f.name)},
                                  {"size", size},
                                  {"kind", FileKindText(f.kind)},
                                  {"complete", !f.partial}});
    }
    j["stages"] = Json{{"audio", StageSeconds(r.audioMs)},
                       {"video", StageSeconds(r.videoMs)},
                       {"mux", StageSeconds(r.muxMs)}};
    const std::int64_t first =
        r.analysis.videoFirstPts != PTS_NONE ? r.analysis.videoFirstPts : r.analysis.audioFirstPts;
    j["cut"] = Json{{"requested_begin", run.cut.begin},
                    {"requested_length", run.cut.length},
                    {"video_start", SecondsFrom(r.videoStartPts, first)},
                    {"audio_start", SecondsFrom(r.audioStartPts, first)}};
    if (r.videoStartPts != PTS_NONE && r.audioStartPts != PTS_NONE)
        j["av_offset_ms"] = Seconds(r.videoStartPts - r.audioStartPts) * 1000.0;
    for (const RipReport::Lost& l : r.lost) {
        Json item{{"stream", l.Stream()}, {"disk_offset", l.diskByte}, {"bytes", l.bytes}};
        item["from"] = l.from < 0 ? Json() : Json(l.from);
        item["to"] = l.to < 0 ? Json() : Json(l.to);
        j["lost"].push_back(item);
    }
    j["lost_seconds"] = std::round(r.LostSeconds() * 100) / 100;
    if (!r.segments.empty()) {
        j["segments"] = Json::array();
        for (const RipReport::Segment& s : r.segments)
            j["segments"].push_back(
                Json{{"from", std::round(s.from * 100'000) / 100'000},
                     {"to", std::round(s.to * 100'000) / 100'000},
                     {"output_from", std::round(s.outputFrom * 100'000) / 100'000}});
        j["notices"] = r.notices;
    }
    return j;
}

Json ScanJson(const std::vector<ScanHit>& hits) {
    Json bad = Json::array();
    for (const ScanHit& h : hits)
        bad.push_back(Json{{"disk_offset", h.diskByte},
                           {"bytes", h.bytes},
                           {"clip", h.clip > 0 ? Json(h.clip) : Json()},
                           {"what", h.what},
                           {"from", h.from < 0 ? Json() : Json(h.from)},
                           {"to", h.to < 0 ? Json() : Json(h.to)}});
    return bad;
}

void PrintJson(const Json& document) {
    // Invalid bytes in a text are replaced, so the document always parses.
    const std::string text = document.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace quorin::cli
