// Raw rips (contiguous copies of the recorded packets between two time stamps) and the cluster
// backup (the record and both streams byte for byte).
#include "disk_image.h"
#include "rip_fixture.h"

#include "disk/layout.h"
#include "platform/volume.h"
#include "rip/backup.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <cmath>
#include <fstream>

namespace quorin {
namespace {

using namespace riptest;

constexpr std::int64_t kMiB = 1'048'576;

td::DiskSpec RawDisk() {
    td::ClipSpec c = SampleClip("Raw", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 8);
    c.videoClusters = {9, 4};
    c.audioClusters = {6};
    c.videoStartSector = 196'608; // 4 MiB before the end of the first cluster
    c.audioStartSector = 64;
    td::DiskSpec desc;
    desc.clips.push_back(c);
    return desc;
}

// The stream's data as the disk holds it: up to its end offset, the sector padding after the
// last packet included.
std::vector<std::uint8_t> StreamData(const TestDisk& disk, const td::StreamLayout& s) {
    std::uint64_t dataEnd = static_cast<std::uint64_t>(
        (static_cast<std::int64_t>(s.chain.size()) - 1) * 104'857'600 +
        std::int64_t{s.endSector} * 512 - std::int64_t{s.startSector} * 512);
    auto chain = td::ReadChain(disk.Image(), s.chain, s.startSector, dataEnd);
    EXPECT_TRUE(chain.ok());
    return chain.ok() ? *chain : std::vector<std::uint8_t>{};
}

// Where `part` lies in `whole` (it must be a contiguous copy), or -1.
std::int64_t FindCopy(const std::vector<std::uint8_t>& whole,
                      const std::vector<std::uint8_t>& part) {
    if (part.size() < 16 || part.size() > whole.size()) return -1;
    auto it = std::search(whole.begin(), whole.end(), part.begin(), part.begin() + 16);
    while (it != whole.end()) {
        std::int64_t at = it - whole.begin();
        if (static_cast<std::size_t>(at) + part.size() <= whole.size() &&
            std::equal(part.begin(), part.end(), it))
            return at;
        it = std::search(it + 1, whole.end(), part.begin(), part.begin() + 16);
    }
    return -1;
}

// Index of the packet that starts at stream offset `at`, or -1.
std::int64_t PacketAt(const td::StreamLayout& s, std::int64_t at) {
    for (std::size_t i = 0; i < s.stream.packets.size(); ++i)
        if (static_cast<std::int64_t>(s.stream.packets[i].offset) == at)
            return static_cast<std::int64_t>(i);
    return -1;
}

struct RawCase {
    const char* name;
    double begin; // seconds after the first video PTS
    double length;
};

TEST(RawRip, VideoAndAudioAreContiguousCopiesCutAtPackets) {
    ScratchDir out;
    TestDisk disk(RawDisk(), "raw");
    const td::ClipResult& res = disk.Result(0);
    ASSERT_EQ(res.video.chain.size(), 2u);
    const std::int64_t first = res.video.stream.packets.front().pts;
    // The first time stamp of the second video cluster: begins equal to it, above and below.
    std::int64_t boundaryPts = 0;
    for (const td::PacketInfo& p : res.video.stream.packets)
        if (ChainPos(res.video, p) >= 104'857'600) {
            boundaryPts = p.pts;
            break;
        }
    const double atBoundary = static_cast<double>(boundaryPts - first) / 90'000;
    const auto video = StreamData(disk, res.video);
    const auto audio = StreamData(disk, res.audio);
    for (const RawCase& c :
         {RawCase{"equal", atBoundary, 4.0}, RawCase{"above", atBoundary + 0.3, 4.0},
          RawCase{"below", atBoundary - 0.3, 4.0}, RawCase{"start", 0.0, 2.0},
          RawCase{"first cluster", 1.0, 3.0}, RawCase{"late", 20.0, 5.0}}) {
        SCOPED_TRACE(c.name);
        disk.Options();
        disk.request.rawAudio = true;
        disk.request.rawVideo = true;
        disk.request.outputName = c.name;
        RipReport report;
        ASSERT_EQ(disk.Rip(0, c.begin, c.length, &report), RipOutcome::kDone) << report.message;
        const std::int64_t B = first + static_cast<std::int64_t>(std::trunc(c.begin * 90'000));
        const std::int64_t E = B + static_cast<std::int64_t>(std::trunc(c.length * 90'000));

        // Video: starts at the first packet of its 1 MiB chunk that lies within 15,000 ticks of
        // B or after it; no packet before it in that chunk qualifies.
        auto v = ReadFile(std::string(c.name) + ".pva");
        std::int64_t at = FindCopy(video, v);
        ASSERT_GE(at, 0) << "not a contiguous copy of the video stream";
        std::int64_t startPacket = PacketAt(res.video, at);
        ASSERT_GE(startPacket, 0) << "does not start at a packet";
        auto qualifies = [&](const td::PacketInfo& p, std::int64_t tolerance) {
            std::int64_t T = Lifted(p.pts, first);
            return std::llabs(T - B) <= tolerance || T > B;
        };
        EXPECT_TRUE(
            qualifies(res.video.stream.packets[static_cast<std::size_t>(startPacket)], 15'000));
        const std::int64_t chunkStart =
            (std::int64_t{res.video.startSector} * 512 + at) / kMiB * kMiB;
        for (std::int64_t i = startPacket - 1; i >= 0; --i) {
            const td::PacketInfo& p = res.video.stream.packets[static_cast<std::size_t>(i)];
            if (ChainPos(res.video, p) < chunkStart) break;
            EXPECT_FALSE(qualifies(p, 15'000))
                << "packet " << i << " qualifies earlier in the chunk";
        }
        // It is close to the first packet at B: within two chunks.
        for (const td::PacketInfo& p : res.video.stream.packets)
            if (Lifted(p.pts, first) >= B) {
                EXPECT_LE(std::llabs(ChainPos(res.video, p) -
                                     (std::int64_t{res.video.startSector} * 512 + at)),
                          2 * kMiB);
                break;
            }
        std::int64_t end = at + static_cast<std::int64_t>(v.size());
        bool atPacketEnd = false;
        for (const td::PacketInfo& p : res.video.stream.packets)
            if (static_cast<std::int64_t>(p.offset + p.size) == end) {
                atPacketEnd = true;
                EXPECT_LE(Lifted(p.pts, first), E - 1);
            }
        EXPECT_TRUE(atPacketEnd) << "the fine end must stop at a packet boundary";

        // Audio: starts at the first packet within 10,000 ticks of B or after it, copies whole
        // chunks after it, never past the end of the stream's data.
        auto a = ReadFile(std::string(c.name) + ".mpp");
        std::int64_t aat = FindCopy(audio, a);
        ASSERT_GE(aat, 0) << "not a contiguous copy of the audio stream";
        std::int64_t astart = PacketAt(res.audio, aat);
        ASSERT_GE(astart, 0);
        EXPECT_GE(Lifted(res.audio.stream.packets[static_cast<std::size_t>(astart)].pts, first),
                  B - 10'000);
        if (astart > 0) {
            EXPECT_LT(
                Lifted(res.audio.stream.packets[static_cast<std::size_t>(astart - 1)].pts, first),
                B - 10'000);
        }
        std::int64_t aend =
            std::int64_t{res.audio.startSector} * 512 + aat + static_cast<std::int64_t>(a.size());
        EXPECT_TRUE(aend % kMiB == 0 || aat + static_cast<std::int64_t>(a.size()) ==
                                            static_cast<std::int64_t>(audio.size()))
            << "the audio copy ends at a chunk boundary or at the end of the data";
        ASSERT_EQ(report.files.size(), 2u);
        EXPECT_EQ(report.files[0].kind, FileKind::kRawAudio);
        EXPECT_EQ(report.files[1].kind, FileKind::kRawVideo);
    }
    // Taken names are numbered.
    disk.Options();
    disk.request.rawAudio = true;
    disk.request.rawVideo = true;
    disk.request.outputName = "start";
    RipReport again;
    ASSERT_EQ(disk.Rip(0, 0, 2.0, &again), RipOutcome::kDone);
    EXPECT_TRUE(ReadFile("start_000.pva") == ReadFile("start.pva"));
    EXPECT_TRUE(ReadFile("start_000.mpp") == ReadFile("start.mpp"));
}

// The backup's example: a 3-cluster audio stream with start offset 2,048 sectors (1 MiB) and end
// offset 4,097 sectors, hand-built with a marker byte at every place that matters.
class BackupTest : public ::testing::Test {
protected:
    // The audio stream as in the example, or (short) only its first cluster's part.
    void Build(bool shortAudio = false) {
        SetConsoleTrace(false);
        img_.Header(20, 0, 1, "BACKUP");
        img_.Link(7, shortAudio ? 0xFFFF : 3);
        img_.Link(3, 12);
        img_.Link(12, 0xFFFF);
        img_.Link(15, 0xFFFF);
        test::RecordSpec r;
        r.name = "Konzert";
        r.aclusters = shortAudio ? 1 : 3;
        r.afirst = 7;
        r.astart = 2048;
        r.aend = 4097;
        r.vclusters = 1;
        r.vfirst = 15;
        r.vstart = 100;
        r.vend = 300;
        img_.Record(0, test::OldRecord(r, 0));
        Mark(7, 2048 * 512 - 1, 0xEE); // before the stream: not copied
        Mark(7, 2048 * 512, 0xA1);     // first byte
        Mark(7, kClusterBytes - 1, 0xA2);
        Mark(3, 0, 0xA3);
        Mark(3, kClusterBytes - 1, 0xA4);
        Mark(4, 0, 0xEE); // physically after cluster 3: not part of the chain
        Mark(12, 0, 0xA5);
        Mark(12, 4097 * 512 - 1, 0xA6); // last byte
        Mark(12, 4097 * 512, 0xEE);     // after the end: left over, not copied
        Mark(15, 100 * 512, 0xB1);
        Mark(15, 300 * 512 - 1, 0xB2);
        img_.Resize(test::DiskImage::ClusterOffset(21));
        bool ok = false;
        table_ = std::make_unique<ClusterTable>(img_.Path(), ok);
        ASSERT_TRUE(ok);
        run_.reset();
        clip_ = std::make_unique<CPVRFile>(img_.Path(), 0, table_.get()); // the old layout
    }
    void Mark(std::uint32_t cluster, std::int64_t at, std::uint8_t v) {
        img_.Write(test::DiskImage::ClusterOffset(cluster) + at, &v, 1);
    }

    test::DiskImage img_{"backup"};
    std::unique_ptr<ClusterTable> table_;
    std::unique_ptr<CPVRFile> clip_;
    RipProgress audio_, video_;
    std::unique_ptr<RipRun> run_;

    // A fresh run of the clip with the test's blocks.
    RipRun& Run(RipRequest request = {}) {
        run_ = std::make_unique<RipRun>(*clip_, std::move(request), &audio_, &video_);
        return *run_;
    }
};

// The byte at an offset of a (large) file.
int ByteAt(const std::string& file, std::int64_t at) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(at);
    int c = in.get();
    return in ? c : -1;
}

TEST_F(BackupTest, ExactSizesBytesAndTheWorkingRecord) {
    Build();
    ScratchDir out;
    // Backups never overwrite: the names are taken, so numbered ones are used.
    for (const char* taken : {"Konzert.sFileDescription", "Konzert.mpp", "Konzert.pva"})
        std::ofstream(taken) << "keep";
    std::vector<std::string> files;
    ASSERT_EQ(Backup(Run(), &files), RipOutcome::kDone);
    EXPECT_EQ(files, (std::vector<std::string>{"Konzert_000.sFileDescription", "Konzert_000.mpp",
                                               "Konzert_000.pva", "Konzert_000.map"}));
    EXPECT_EQ(ReadText("Konzert.mpp"), "keep");
    EXPECT_EQ(audio_.rangeHigh.load(), 201); // 3 x 100 + 2 - 1 - 100 MB
    const std::string a = "Konzert_000.mpp";
    ASSERT_EQ(std::filesystem::file_size(a),
              static_cast<std::uintmax_t>(99 * kMiB + 100 * kMiB + 2 * kMiB + 512));
    EXPECT_EQ(ByteAt(a, 0), 0xA1);
    EXPECT_EQ(ByteAt(a, 99 * kMiB - 1), 0xA2);
    EXPECT_EQ(ByteAt(a, 99 * kMiB), 0xA3);
    EXPECT_EQ(ByteAt(a, 199 * kMiB - 1), 0xA4);
    EXPECT_EQ(ByteAt(a, 199 * kMiB), 0xA5);
    EXPECT_EQ(ByteAt(a, 201 * kMiB + 511), 0xA6);
    EXPECT_EQ(audio_.megabytes.load(), 201); // every whole unit counted, not the remainder
    auto v = ReadFile("Konzert_000.pva");
    ASSERT_EQ(v.size(), 200u * 512);
    EXPECT_EQ(v.front(), 0xB1);
    EXPECT_EQ(v.back(), 0xB2);
    // The description is the record in the working layout, although the disk uses the old one.
    auto d = ReadFile("Konzert_000.sFileDescription");
    ASSERT_EQ(d.size(), 512u);
    EXPECT_TRUE(std::equal(d.begin(), d.end(), clip_->GetRecord().bytes.begin()));
    EXPECT_FALSE(std::equal(d.begin(), d.end(), clip_->GetRawRecord().bytes.begin()));
}

TEST_F(BackupTest, ReadErrorStopsTheStreamAndSaysSo) {
    Build();
    ScratchDir out;
    VolumeFaults faults;
    std::int64_t bad = test::DiskImage::ClusterOffset(3) + 10 * kMiB + 5;
    faults.failingReads.push_back({bad, bad + 1});
    SetVolumeFaults(img_.Path(), faults);
    OpenLog("backup", false);
    RipRequest stop;
    stop.readPolicy = ReadPolicy::kStop;
    RipOutcome r = Backup(Run(stop));
    CloseLog();
    ClearVolumeFaults();
    EXPECT_EQ(r, RipOutcome::kReadError);
    // What was copied before the failing unit stays; no buffer garbage after it.
    EXPECT_EQ(std::filesystem::file_size("Konzert.mpp"),
              static_cast<std::uintmax_t>(99 * kMiB + 10 * kMiB));
    EXPECT_EQ(audio_.Status().rfind("read error at byte ", 0), 0u) << audio_.Status();
    EXPECT_NE(ReadText("Quorin.log").find("read error"), std::string::npos);
    // The video stream is still backed up.
    EXPECT_EQ(std::filesystem::file_size("Konzert.pva"), 200u * 512);
}

TEST_F(BackupTest, ThroughTheRipDriver) {
    Build(true);
    ScratchDir out;
    RipRequest backup;
    backup.backup = true;
    RipReport report;
    EXPECT_EQ(RipStream(Run(backup), report), RipOutcome::kDone);
    ASSERT_EQ(report.files.size(), 4u);
    EXPECT_EQ(report.files[1].name, "Konzert.mpp");
    EXPECT_EQ(report.files[2].kind, FileKind::kBackup);
    EXPECT_EQ(report.files[3].name, "Konzert.map");
    EXPECT_EQ(report.files[3].kind, FileKind::kMap);
    // A one-cluster stream: from the start offset to the end offset.
    auto a = ReadFile("Konzert.mpp");
    ASSERT_EQ(a.size(), (4097u - 2048u) * 512);
    EXPECT_EQ(a.front(), 0xA1);
    EXPECT_EQ(video_.startPts.load(), 0);
}

} // namespace
} // namespace quorin
