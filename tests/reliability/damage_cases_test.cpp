// Damage a user meets on a failing disk, injected as failing reads: every stretch the outputs lack
// is reported, the pictures that are written are shown when the clean rip shows them (ffmpeg's
// per-frame checksums of the muxed files), bridges keep the clip's length, and the check names
// exactly what it could not read, reading each bad sector as few times as it must.
#include "cli_in_process.h"

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

namespace quorin::reliability {
namespace {

constexpr std::int64_t kSector = 512;
// The video of two loops of the sample starts 4000 sectors before the end of its first cluster:
// about half of it lies in the second.
constexpr std::int32_t kVideoStart = static_cast<std::int32_t>(td::kClusterSectors - 4'000);

std::int64_t DiskByteOf(const td::StreamLayout& s, std::int64_t streamByte) {
    const std::int64_t at = std::int64_t{s.startSector} * kSector + streamByte;
    return td::ClusterByteOffset(s.chain[static_cast<std::size_t>(at / td::kClusterBytes)]) +
           at % td::kClusterBytes;
}

// Seconds into the clip of the video packet that holds a stream byte.
double SecondsAt(const td::StreamLayout& s, std::int64_t streamByte) {
    const auto& packets = s.stream.packets;
    auto it = std::upper_bound(packets.begin(), packets.end(), streamByte,
                               [](std::int64_t b, const td::PacketInfo& p) {
                                   return b < static_cast<std::int64_t>(p.offset);
                               });
    if (it != packets.begin()) --it;
    return static_cast<double>(it->ptsLinear - packets.front().ptsLinear) / 90'000;
}

struct Frame {
    double seconds;
    std::string sum;
};

// The video frames of a container as ffmpeg decodes them: time and checksum of each.
std::vector<Frame> Frames(const std::string& file) {
    Command c = Run(std::string(QUORIN_FFMPEG) + " -nostdin -v error -i " + Quote(file) +
                    " -map 0:v:0 -f framemd5 -");
    std::vector<Frame> frames;
    double timeBase = 1;
    std::istringstream lines(c.out);
    for (std::string line; std::getline(lines, line);) {
        long long num = 1, den = 1;
        if (std::sscanf(line.c_str(), "#tb 0: %lld/%lld", &num, &den) == 2)
            timeBase = static_cast<double>(num) / static_cast<double>(den);
        if (line.empty() || line[0] == '#') continue;
        long long pts = 0;
        if (std::sscanf(line.c_str(), "%*d, %lld,", &pts) != 1) continue;
        frames.push_back({static_cast<double>(pts) * timeBase, line.substr(line.rfind(',') + 2)});
    }
    return frames;
}

// Pictures of the damaged file that the clean one also has, each at its first appearance (a
// bridge repeats a picture shown before), must be shown when the clean file shows that picture
// (the sample loops: at one of the times it shows it).
std::string MisplacedPictures(const std::vector<Frame>& clean, const std::vector<Frame>& damaged) {
    std::multimap<std::string, double> when;
    for (const Frame& f : clean)
        when.emplace(f.sum, f.seconds);
    std::map<std::string, bool> seen;
    std::string out;
    for (const Frame& f : damaged) {
        if (std::exchange(seen[f.sum], true)) continue;
        const auto [from, to] = when.equal_range(f.sum);
        if (from == to) continue;
        if (std::none_of(from, to,
                         [&](const auto& w) { return std::abs(w.second - f.seconds) < 0.002; }))
            out += Format(" %.3f;", f.seconds);
    }
    return out;
}

struct Case {
    const char* what;
    std::string cut; // rip options of the cut ("" the whole clip)
    // The injected failing reads, from the clip's layout.
    std::vector<VolumeFaults::Range> (*bad)(const td::ClipResult&);
    double (*begin)(const td::ClipResult&); // where the cut begins; null: 0
};

std::vector<VolumeFaults::Range> Stretch(std::int64_t diskByte, std::int64_t bytes) {
    return {{diskByte / kSector * kSector, diskByte / kSector * kSector + bytes}};
}

const Case kCases[] = {
    {"the first sector of the video", "",
     [](const td::ClipResult& c) { return Stretch(DiskByteOf(c.video, 0), kSector); }, nullptr},
    {"a sector 30000 bytes into the video", "",
     [](const td::ClipResult& c) { return Stretch(DiskByteOf(c.video, 30'000), kSector); },
     nullptr},
    {"the whole second video cluster", "",
     [](const td::ClipResult& c) {
         const std::int64_t at = td::ClusterByteOffset(c.video.chain[1]);
         return std::vector<VolumeFaults::Range>{{at, at + td::kClusterBytes}};
     },
     nullptr},
    {"16 KiB at the cluster boundary inside an 8 s cut", "--length 8",
     [](const td::ClipResult& c) {
         const std::int64_t end = td::ClusterByteOffset(c.video.chain[0]) + td::kClusterBytes;
         const std::int64_t next = td::ClusterByteOffset(c.video.chain[1]);
         return std::vector<VolumeFaults::Range>{{end - 8 * 1024, end}, {next, next + 8 * 1024}};
     },
     [](const td::ClipResult& c) {
         const std::int64_t boundary = td::kClusterBytes - std::int64_t{kVideoStart} * kSector;
         return std::max(0.0, std::floor(SecondsAt(c.video, boundary)) - 2);
     }},
};

// Many bridged stretches: the container must give the bridged pictures consecutive times.
const Case kMuxCases[] = {
    {"ten stretches of 30 KiB", "",
     [](const td::ClipResult& c) {
         std::vector<VolumeFaults::Range> r;
         const auto bytes = static_cast<std::int64_t>(c.video.stream.bytes.size());
         for (int i = 0; i < 10; ++i)
             r.push_back(Stretch(DiskByteOf(c.video, bytes * (2 * i + 1) / 21), 30 * 1024)[0]);
         return r;
     },
     nullptr},
};

class DamageCases : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", out_.Path().c_str(), 1); // no settings file
        td::ClipSpec clip = FaultClip();
        clip.loops = 2;
        clip.lengthSeconds = 8; // the record's length, past the last picture (7.68 s)
        clip.videoClusters = {4, 6};
        clip.videoStartSector = kVideoStart;
        disk_ = std::make_unique<TestDisk>(OneClip(clip), "damage-cases");
        ASSERT_FALSE(HasFailure());
    }
    void TearDown() override {
        ClearVolumeFaults();
        ::unsetenv("XDG_CONFIG_HOME");
    }
    void Check(const Case& c) {
        SCOPED_TRACE(c.what);
        const td::ClipResult& clip = disk_->Result(0);
        const std::string cut =
            Format("--begin %.2f ", c.begin ? c.begin(clip) : 0.0) + c.cut + " --mux mkv --json";
        const CliRun clean = Cli("rip --clip 1 --out clean " + cut);
        ASSERT_EQ(clean.status, 0) << clean.out;
        VolumeFaults faults;
        faults.failingReads = c.bad(clip);
        FaultScope scope(disk_->Image(), faults);
        const CliRun damaged = Cli("rip --clip 1 --out damaged " + cut);
        EXPECT_EQ(damaged.status, 6) << damaged.out;
        const auto report = nlohmann::json::parse(damaged.out, nullptr, false);
        ASSERT_FALSE(report.is_discarded()) << damaged.out;
        const auto& lost = report["clips"][0]["lost"];
        EXPECT_FALSE(lost.empty()) << damaged.out;
        for (const auto& l : lost)
            EXPECT_EQ(l["stream"], "video") << damaged.out;
        const auto cleanFrames = Frames("clean/Film.mkv");
        const auto damagedFrames = Frames("damaged/Film.mkv");
        ASSERT_FALSE(cleanFrames.empty());
        ASSERT_FALSE(damagedFrames.empty());
        EXPECT_EQ(MisplacedPictures(cleanFrames, damagedFrames), "");
        // Bridged, the video is as long as the clean one: to its last picture, within a frame.
        EXPECT_NEAR(damagedFrames.back().seconds, cleanFrames.back().seconds, 0.041);
        EXPECT_EQ(damagedFrames.size(), cleanFrames.size());

        // The check finds the same stretches, each with its times in order.
        const CliRun scan = Cli("scan --on-read-error salvage");
        EXPECT_EQ(scan.status, 6) << scan.out;
        std::istringstream lines(scan.out);
        for (std::string line; std::getline(lines, line);) {
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');)
                fields.push_back(field);
            ASSERT_EQ(fields.size(), 7u) << line;
            if (fields[5] != "-" && fields[6] != "-") {
                EXPECT_LE(fields[5], fields[6]) << line;
            }
        }
        std::filesystem::remove_all("clean");
        std::filesystem::remove_all("damaged");
    }

    CliRun Cli(const std::string& args) {
        return RunCommand(args + " --firmware190 --disk " + Quote(disk_->Image()), true);
    }

    ScratchDir out_;
    std::unique_ptr<TestDisk> disk_;
};

TEST_F(DamageCases, EveryLossIsReportedAndThePicturesKeepTheirTimes) {
    for (const Case& c : kCases)
        Check(c);
}

TEST_F(DamageCases, BridgedStretchesKeepTheirTimesInTheContainer) {
    for (const Case& c : kMuxCases)
        Check(c);
}

// The container's time stamps of a salvaged rip: the pictures that bridge damage follow one
// another and the pictures after them, one frame apart, with no hole and no two at one time.
TEST_F(DamageCases, BridgedPicturesFollowOneAnotherInTheContainer) {
    const td::ClipResult& clip = disk_->Result(0);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        VolumeFaults faults;
        faults.failingReads = c.bad(clip);
        FaultScope scope(disk_->Image(), faults);
        const CliRun damaged =
            Cli(Format("rip --clip 1 --out damaged --begin %.2f ", c.begin ? c.begin(clip) : 0.0) +
                c.cut + " --mux mkv");
        ASSERT_TRUE(std::filesystem::exists("damaged/Film.mkv")) << damaged.out;
        Command probe =
            riptest::Run(std::string(QUORIN_FFPROBE) +
                         " -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 " +
                         Quote("damaged/Film.mkv"));
        std::vector<double> times;
        std::istringstream lines(probe.out);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) times.push_back(std::stod(line));
        std::sort(times.begin(), times.end());
        ASSERT_GT(times.size(), 2u) << probe.out;
        for (std::size_t i = 1; i < times.size(); ++i)
            ASSERT_NEAR(times[i] - times[i - 1], 0.04, 0.002) << "picture " << i;
        std::filesystem::remove_all("damaged");
    }
}

// The directory and the device's end: a record that cannot be read is read at most twice in a
// whole check, and a chain that runs past the device's end is damage.
TEST_F(DamageCases, TheCheckNamesUnreadableRecordsAndADeviceThatEndsEarly) {
    {
        FaultScope scope(disk_->Image(), FailingRead(10 * kSector, 11 * kSector));
        const CliRun scan = RunCommand("scan --on-read-error salvage --firmware190 --disk " +
                                       Quote(disk_->Image()));
        EXPECT_EQ(scan.status, 6) << scan.out;
        EXPECT_TRUE(Contains(scan.out, Format("bad\t%d\t512\t1\trecord\t", 10 * 512))) << scan.out;
        EXPECT_LE(ReadCounts(disk_->Image()).failed, 2);
    }
    const std::int64_t end = DiskByteOf(disk_->Result(0).video, 1'000'000);
    FaultScope scope(disk_->Image(), DeviceEnd(end));
    const CliRun scan = Cli("scan --on-read-error salvage");
    EXPECT_EQ(scan.status, 6) << scan.out;
    EXPECT_TRUE(Contains(scan.out, Format("bad\t%lld\t", static_cast<long long>(end)))) << scan.out;
}

// A cut that begins at the clip's end (past its last picture) rips nothing and writes nothing.
TEST_F(DamageCases, NothingIsWrittenForNothing) {
    const int length = disk_->Result(0).lengthSeconds;
    const CliRun atEnd = Cli(Format("rip --clip 1 --out end --json --begin %d", length));
    EXPECT_EQ(atEnd.status, 3) << atEnd.out;
    EXPECT_TRUE(!std::filesystem::exists("end") || std::filesystem::is_empty("end"));
}

// A clip whose record cannot be read is said to be unreadable, with the system's reason, by every
// command; the list shows the others.
TEST_F(DamageCases, AnUnreadableRecordIsSaidByEveryCommand) {
    FaultScope scope(disk_->Image(), FailingRead(10 * kSector, 11 * kSector));
    const struct {
        std::string args;
        int status;
        std::string shows;
    } cases[] = {{"info --clip 1", 2, "could not be read (Input/output error)"},
                 {"rip --clip 1 --out record", 2, "could not be read (Input/output error)"},
                 {"preview --clip 1 --at 0 --out record.bmp", 2, "(Input/output error)"},
                 {"list", 6, "01\t\t(unreadable record)\t"}};
    for (const auto& c : cases) {
        const CliRun run = Cli(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.out;
        EXPECT_FALSE(Contains(run.out, "RecordNo    = 0")) << c.args;
        EXPECT_TRUE(Contains(run.out + run.err, c.shows)) << c.args << "\n" << run.out;
    }
    EXPECT_TRUE(std::filesystem::is_empty("record")); // made before the disk is read, left empty
}

} // namespace
} // namespace quorin::reliability
