// Rips, raw rips and backups from a failing disk: every readable second is kept, damage never
// turns into data, the streams stay in sync, and the report names exactly what was lost.
#include "reliability_support.h"

#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "rip/disk_scan.h"
#include "rip/rescue_map.h"

#include <cstdlib>

namespace quorin::reliability {
namespace {

constexpr std::int64_t kSector = 512;

std::int64_t SectorOf(std::int64_t diskByte) {
    return diskByte / kSector * kSector;
}

// The disk byte of a stream byte, for streams whose chain the factory laid out.
std::int64_t DiskByteOf(const td::StreamLayout& s, std::int64_t streamByte) {
    const std::int64_t at = std::int64_t{s.startSector} * kSector + streamByte;
    return td::ClusterByteOffset(s.chain[static_cast<std::size_t>(at / td::kClusterBytes)]) +
           at % td::kClusterBytes;
}

// The first packet at or after a fraction of the stream that matches.
const td::PacketInfo& PacketNear(const td::StreamLayout& s, double fraction,
                                 bool (*match)(const td::PacketInfo&)) {
    const auto from =
        static_cast<std::size_t>(static_cast<double>(s.stream.packets.size()) * fraction);
    for (std::size_t i = from; i < s.stream.packets.size(); ++i)
        if (match(s.stream.packets[i])) return s.stream.packets[i];
    return s.stream.packets.back();
}

double AudioSeconds(const std::string& file) {
    Command c = Run(std::string(QUORIN_FFPROBE) +
                    " -v error -show_entries format=duration -of default=nw=1:nk=1 " + Quote(file));
    return c.status == 0 ? std::atof(c.out.c_str()) : -1;
}

// Bytes the two files share at their start and at their end.
std::pair<std::size_t, std::size_t> SharedEnds(const std::vector<std::uint8_t>& a,
                                               const std::vector<std::uint8_t>& b) {
    const std::size_t head = static_cast<std::size_t>(
        std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
    const std::size_t tail = static_cast<std::size_t>(
        std::mismatch(a.rbegin(), a.rend(), b.rbegin(), b.rend()).first - a.rbegin());
    return {head, tail};
}

struct Rips {
    Ripped clean, damaged;
    std::string cleanDir;
};

class SalvageTest : public ::testing::Test {
protected:
    void TearDown() override { ClearVolumeFaults(); }

    // The clean rip into a folder of its own, then the rip with the faults into the current one.
    static Rips RipBoth(TestDisk& disk, VolumeFaults faults, double begin, double length) {
        Rips r;
        {
            ScratchDir dir;
            r.cleanDir = std::filesystem::current_path().string();
            r.clean = Rip(disk, begin, length);
            for (const auto& f : r.clean.report.files)
                std::filesystem::copy_file(f.name, CleanName(f.name),
                                           std::filesystem::copy_options::overwrite_existing);
        }
        disk.Open();
        SetVolumeFaults(disk.Image(), std::move(faults));
        r.damaged = Rip(disk, begin, length);
        return r;
    }
    // Where the clean rip's files are kept (outside the folders the rips run in).
    static std::string CleanName(const std::string& name) {
        return (std::filesystem::temp_directory_path() /
                ("salvage-clean-" + std::to_string(::getpid()) + "-" + name))
            .string();
    }
    static std::vector<std::uint8_t> Clean(const std::string& name) {
        return ReadFile(CleanName(name));
    }

    ScratchDir out_;
};

struct StreamCase {
    const char* what;
    bool ac3;
    bool acrossClusters;
    double begin;
    // The injected bad ranges on the disk, from the clip's layout.
    std::vector<VolumeFaults::Range> (*bad)(const td::ClipResult&);
    const char* stream; // the stream the losses are in
};

std::vector<VolumeFaults::Range> OneSector(std::int64_t diskByte) {
    return {{SectorOf(diskByte), SectorOf(diskByte) + kSector}};
}

const StreamCase kStreamCases[] = {
    {"inside a video packet", false, false, 0,
     [](const td::ClipResult& c) {
         const auto& p = PacketNear(c.video, 0.4, [](const td::PacketInfo& i) {
             return i.pictureType == 'P' && i.size > 4 * kSector;
         });
         return OneSector(DiskByteOf(c.video, static_cast<std::int64_t>(p.offset + p.size / 2)));
     },
     "video"},
    {"across a GOP header", false, false, 0,
     [](const td::ClipResult& c) {
         const auto& p =
             PacketNear(c.video, 0.6, [](const td::PacketInfo& i) { return i.gopHeader; });
         const std::int64_t at = SectorOf(DiskByteOf(c.video, static_cast<std::int64_t>(p.offset)));
         return std::vector<VolumeFaults::Range>{{at, at + 2 * kSector}};
     },
     "video"},
    {"across a cluster boundary", false, true, 0,
     [](const td::ClipResult& c) {
         const std::int64_t end = td::ClusterByteOffset(c.video.chain[0]) + td::kClusterBytes;
         return std::vector<VolumeFaults::Range>{
             {end - kSector, end},
             {td::ClusterByteOffset(c.video.chain[1]),
              td::ClusterByteOffset(c.video.chain[1]) + kSector}};
     },
     "video"},
    {"at the first probe of the start search", false, false, 3,
     [](const td::ClipResult& c) { return OneSector(StreamStart(c.video) + 2 * kSector); },
     nullptr},
    {"inside an audio packet", false, false, 0,
     [](const td::ClipResult& c) {
         const auto& p = PacketNear(c.audio, 0.5, [](const td::PacketInfo&) { return true; });
         return OneSector(DiskByteOf(c.audio, static_cast<std::int64_t>(p.offset + p.size / 2)));
     },
     "audio"},
    {"inside an AC-3 packet", true, false, 0,
     [](const td::ClipResult& c) {
         const auto& p = PacketNear(c.audio, 0.5, [](const td::PacketInfo&) { return true; });
         return OneSector(DiskByteOf(c.audio, static_cast<std::int64_t>(p.offset + p.size / 2)));
     },
     "audio"},
};

td::ClipSpec CaseClip(const StreamCase& c) {
    td::ClipSpec clip = FaultClip();
    if (c.ac3) clip.audioFile = Sample("tone-48k-448k.ac3");
    if (c.acrossClusters) {
        clip.videoClusters = {4, 6}; // apart on the disk: two stretches
        clip.videoStartSector = static_cast<std::int32_t>(td::kClusterSectors - 1'500);
    }
    return clip;
}

TEST_F(SalvageTest, DamagedStreamsAreBridgedInSyncAndTheLossIsNamed) {
    for (const StreamCase& c : kStreamCases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        TestDisk disk(OneClip(CaseClip(c)), "salvage");
        disk.Options();
        const td::ClipResult& res = disk.Result(0);
        const auto bad = c.bad(res);
        VolumeFaults faults;
        faults.failingReads = bad;
        const double length = res.lengthSeconds - c.begin;
        Rips r = RipBoth(disk, faults, c.begin, length);
        ClearVolumeFaults();
        ASSERT_EQ(r.clean.outcome, RipOutcome::kDone) << r.clean.report.message;
        EXPECT_EQ(r.damaged.outcome, RipOutcome::kDone) << r.damaged.report.message;

        // The losses are the injected sectors (none where the damage lies outside the cut).
        std::vector<VolumeFaults::Range> lost;
        for (const auto& l : r.damaged.report.lost) {
            EXPECT_EQ(std::string(l.Stream()), c.stream ? c.stream : "") << LostLine(l);
            lost.push_back({l.diskByte, l.diskByte + l.bytes});
            EXPECT_LE(l.from, l.to);
            EXPECT_EQ(LostLine(l).rfind("lost\t" + std::string(l.Stream()) + "\t", 0), 0u);
        }
        if (c.stream) {
            ASSERT_EQ(lost.size(), bad.size());
            for (std::size_t i = 0; i < bad.size(); ++i) {
                EXPECT_EQ(lost[i].begin, bad[i].begin);
                EXPECT_EQ(lost[i].end, bad[i].end);
            }
        } else {
            EXPECT_TRUE(lost.empty());
        }

        const std::string audio = c.ac3 ? "Film.ac3" : "Film.mp2";
        for (const std::string& f : {std::string("Film.m2v"), audio})
            EXPECT_TRUE(DecodesCleanly(f));
        EXPECT_NEAR(AudioSeconds(audio), AudioSeconds(CleanName(audio)), 0.1);
        // As many pictures as the time stamps span: the dropped ones are bridged.
        EXPECT_NEAR(FrameCount("Film.m2v"), FrameCount(CleanName("Film.m2v")), 2);

        // Outside the dropped pictures or packets, the bytes are the clean rip's.
        const std::string hit = c.stream == nullptr                ? ""
                                : c.stream == std::string("video") ? "Film.m2v"
                                                                   : audio;
        for (const std::string& f : {std::string("Film.m2v"), audio}) {
            const auto damaged = ReadFile(f);
            const auto clean = Clean(f);
            if (f != hit) {
                EXPECT_EQ(damaged, clean) << f;
                continue;
            }
            const auto [head, tail] = SharedEnds(damaged, clean);
            EXPECT_LE(clean.size() - std::min(clean.size(), head + tail),
                      f == "Film.m2v" ? 600'000u : 4'000u)
                << f;
        }
    }
}

TEST_F(SalvageTest, ASectorThatFailsOnceCostsNothing) {
    TestDisk disk(OneClip(FaultClip()), "salvage-once");
    disk.Options();
    const td::ClipResult& res = disk.Result(0);
    VolumeFaults faults;
    faults.onceFailingReads = OneSector(StreamByte(res.video, 0.5));
    Rips r = RipBoth(disk, faults, 0, res.lengthSeconds);
    EXPECT_EQ(r.damaged.outcome, RipOutcome::kDone);
    EXPECT_TRUE(r.damaged.report.lost.empty());
    EXPECT_EQ(ReadFile("Film.m2v"), Clean("Film.m2v"));
    EXPECT_EQ(ReadFile("Film.mp2"), Clean("Film.mp2"));
}

// A dead stretch of 5 MiB: a bounded number of reads, then the rip goes on after it.
TEST_F(SalvageTest, ADeadStretchCostsFewReads) {
    td::ClipSpec clip = FaultClip();
    clip.loops = 8;
    TestDisk disk(OneClip(clip), "salvage-dead");
    disk.Options();
    disk.request.audio = false;
    const td::ClipResult& res = disk.Result(0);
    const std::int64_t from = SectorOf(StreamByte(res.video, 0.3));
    const std::int64_t to = from + 5 * 1'048'576;
    VolumeFaults faults;
    faults.failingReads = {{from, to}};
    Rips r = RipBoth(disk, faults, 0, res.lengthSeconds);
    EXPECT_EQ(r.damaged.outcome, RipOutcome::kDone);
    const VolumeReadCounts reads = ReadCounts(disk.Image());
    // 1 + 128 + ceil(log2(80)) + 15 by the read policy, plus the probes of the analysis.
    EXPECT_LE(reads.failed, 151 + 20) << reads.reads;
    ASSERT_FALSE(r.damaged.report.lost.empty());
    EXPECT_EQ(r.damaged.report.lost.front().diskByte, from);
    std::int64_t lostBytes = 0;
    for (const auto& l : r.damaged.report.lost)
        lostBytes += l.bytes;
    EXPECT_GE(lostBytes, to - from);
    EXPECT_LE(lostBytes, to - from + 4 * kSector); // the bisection finds the stretch's end
    EXPECT_TRUE(DecodesCleanly("Film.m2v"));
    EXPECT_NEAR(FrameCount("Film.m2v"), FrameCount(CleanName("Film.m2v")), 2);
}

// Raw rips and backups keep every offset true (zeros for what is missing); the backup's map says
// where, in ddrescue's format.
TEST_F(SalvageTest, RawRipsAndBackupsHoldZerosWhereSectorsAreMissing) {
    TestDisk disk(OneClip(FaultClip()), "salvage-raw");
    const td::ClipResult& res = disk.Result(0);
    const std::int64_t bad = SectorOf(StreamByte(res.video, 0.5));
    for (const bool backup : {false, true}) {
        SCOPED_TRACE(backup ? "backup" : "raw");
        ScratchDir dir;
        disk.Options();
        disk.request.rawVideo = !backup;
        disk.request.rawAudio = !backup;
        disk.request.backup = backup;
        FaultScope faults(disk.Image(), FailingRead(bad, bad + kSector));
        Ripped r = Rip(disk, 0, res.lengthSeconds);
        EXPECT_EQ(r.outcome, RipOutcome::kDone) << r.report.message;
        ASSERT_EQ(r.report.lost.size(), 1u);
        EXPECT_EQ(LostLine(r.report.lost[0]),
                  Format("lost\tvideo\t%lld\t512\t-\t-", static_cast<long long>(bad)));
        const auto video = ReadFile("Film.pva");
        const std::vector<std::uint8_t>& whole = res.video.stream.bytes;
        // The stream's bytes, the bad sector zeroed (a raw rip starts at its first packet).
        std::vector<std::uint8_t> expected = whole;
        const std::int64_t at = bad - StreamStart(res.video);
        std::fill_n(expected.begin() + at, kSector, 0);
        ASSERT_GE(video.size(), static_cast<std::size_t>(at + kSector));
        EXPECT_TRUE(std::equal(
            video.begin(),
            video.begin() + static_cast<std::ptrdiff_t>(std::min(video.size(), expected.size())),
            expected.begin()));
        if (backup) {
            const std::string map = ReadText("Film.map");
            EXPECT_NE(map.find(Format("0x%08llX  0x00000200  -\n", static_cast<long long>(bad))),
                      std::string::npos)
                << map;
            EXPECT_NE(map.find(Format("0x%08llX  0x%08llX  +\n",
                                      static_cast<long long>(StreamStart(res.video)),
                                      static_cast<long long>(bad - StreamStart(res.video)))),
                      std::string::npos)
                << map;
        }
    }
}

// With the stop policy the first unreadable sector still ends the stage.
TEST_F(SalvageTest, TheStopPolicyEndsTheStageAtTheFirstBadSector) {
    TestDisk disk(OneClip(FaultClip()), "salvage-stop");
    disk.Options();
    disk.request.readPolicy = ReadPolicy::kStop;
    const std::int64_t bad = StreamByte(disk.Result(0).video, 0.5);
    FaultScope faults(disk.Image(), FailingRead(bad, bad + 1));
    Ripped r = Rip(disk, 0, disk.Result(0).lengthSeconds);
    EXPECT_EQ(r.outcome, RipOutcome::kReadError);
    EXPECT_TRUE(r.report.lost.empty());
}

// The check finds exactly the injected ranges, each named by what it hits.
TEST_F(SalvageTest, TheScanFindsExactlyTheInjectedRanges) {
    TestDisk disk(OneClip(FaultClip()), "salvage-scan");
    const td::ClipResult& res = disk.Result(0);
    const std::int64_t video = SectorOf(StreamByte(res.video, 0.5));
    const std::int64_t audio = SectorOf(StreamByte(res.audio, 0.25));
    VolumeFaults faults;
    faults.failingReads = {
        {video, video + 3 * kSector}, {audio, audio + kSector}, {11 * 512, 12 * 512}};
    FaultScope scope(disk.Image(), faults);
    bool ok = false;
    ClusterTable table(disk.Image(), ok);
    CPVRDrive drive(disk.Image(), &table, RecordLayout::kFirmware190);
    std::vector<std::string> lines;
    for (const ScanHit& h : ScanDisk(disk.Image(), &drive, &table, std::nullopt, {}, nullptr))
        lines.push_back(
            ScanLine(h).substr(0, ScanLine(h).rfind('\t', ScanLine(h).rfind('\t') - 1)));
    const std::vector<std::string> expected = {
        "bad\t5632\t512\t2\trecord",
        Format("bad\t%lld\t1536\t1\tvideo", static_cast<long long>(video)),
        Format("bad\t%lld\t512\t1\taudio", static_cast<long long>(audio))};
    EXPECT_EQ(lines, expected);
}

// A real block device with a bad sector: the device-mapper error target over a loop device.
TEST(RealDevice, TheScanFindsTheBadSectorOfAnErrorTarget) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for losetup and dmsetup";
    const Command version = riptest::Run("dmsetup version");
    if (version.status != 0 || version.out.find("Driver version") == std::string::npos)
        GTEST_SKIP() << "no device-mapper driver here: " << version.out << version.err;
    ScratchDir dir;
    TestDisk disk(OneClip(FaultClip()), "salvage-dm");
    const std::int64_t sectors =
        static_cast<std::int64_t>(std::filesystem::file_size(disk.Image())) / kSector;
    const std::int64_t bad = SectorOf(StreamByte(disk.Result(0).video, 0.5)) / kSector;
    const Command loop = riptest::Run("losetup -f --show " + Quote(disk.Image()));
    ASSERT_EQ(loop.status, 0) << loop.err;
    const std::string device = loop.out.substr(0, loop.out.find('\n'));
    const std::string name = "quorin-salvage-" + std::to_string(::getpid());
    const std::string table = Format(
        "0 %lld linear %s 0\n%lld 1 error\n%lld %lld linear %s %lld\n", static_cast<long long>(bad),
        device.c_str(), static_cast<long long>(bad), static_cast<long long>(bad + 1),
        static_cast<long long>(sectors - bad - 1), device.c_str(), static_cast<long long>(bad + 1));
    const Command created = riptest::Run("printf " + Quote(table) + " | dmsetup create " + name);
    if (created.status == 0) {
        const std::string mapped = "/dev/mapper/" + name;
        bool ok = false;
        ClusterTable clusters(mapped, ok);
        CPVRDrive drive(mapped, &clusters);
        const auto hits = ScanDisk(mapped, &drive, &clusters, std::nullopt, {}, nullptr);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_EQ(hits[0].diskByte, bad * kSector);
        EXPECT_EQ(hits[0].bytes, kSector);
        riptest::Run("dmsetup remove " + name);
    }
    riptest::Run("losetup -d " + Quote(device));
    ASSERT_EQ(created.status, 0) << created.err;
}

TEST(RescueMap, MarksReadBadAndSkippedAreasInDdrescueFormat) {
    const std::string text =
        RescueMapText({{4096, 8192}, {1024, 2048}}, {{5120, 5632, false}, {6144, 7168, true}});
    EXPECT_EQ(text.substr(text.find("#      pos")), "#      pos        size  status\n"
                                                    "0x00000000  0x00000400  ?\n"
                                                    "0x00000400  0x00000400  +\n"
                                                    "0x00000800  0x00000800  ?\n"
                                                    "0x00001000  0x00000400  +\n"
                                                    "0x00001400  0x00000200  -\n"
                                                    "0x00001600  0x00000200  +\n"
                                                    "0x00001800  0x00000400  ?\n"
                                                    "0x00001C00  0x00000400  +\n");
}

} // namespace
} // namespace quorin::reliability
