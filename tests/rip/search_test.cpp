// The start search on factory disks: wherever the cut begins, the reader must end before the
// first packet (in decode order) whose time stamp reaches the begin, and close to it.
#include "rip_fixture.h"

#include "disk/ibits.h"
#include "rip/pes.h"
#include "rip/start_search.h"

#include <cmath>
#include <iostream>

namespace quorin {
namespace {

using namespace riptest;

constexpr std::int64_t kMiB = 1'048'576;

struct Landing {
    std::int64_t reader = 0; // where the search left the reader (chain bytes)
    std::int64_t target = 0; // the first packet that reaches S
    StartSearchStats stats;
};

// Runs the search for a begin of `begin` seconds on one stream of clip 0.
Landing Search(TestDisk& disk, bool video, double begin, int clipNo = 0) {
    CPVRFile& clip = disk.Clip(clipNo);
    const td::ClipResult& res = disk.Result(clipNo);
    const td::StreamLayout& s = video ? res.video : res.audio;
    const ClipRecord& rec = clip.GetRecord();
    RipRun run(clip, RipRequest{});
    RipState& e = run.State();
    run.SetVideoActive(video);
    e.m_lSkipSectors = video ? rec.VideoStart() : rec.AudioStart();
    e.m_lEndSectors = video ? rec.VideoEnd() : rec.AudioEnd();
    e.m_dBegin = begin;
    // The reference is the video's first PTS, as for a rip of both streams.
    const std::int64_t first = res.video.stream.packets.front().pts;
    e.m_i64FirstPTS = first;
    const std::int64_t S = first + static_cast<std::int64_t>(std::trunc(begin * 90'000));
    CIBits reader(disk.Image(), clip.Table(),
                  video ? rec.VideoFirstCluster() : rec.AudioFirstCluster());
    Landing l;
    EXPECT_TRUE(SearchForStart(run, S, reader, s.stream.streamId,
                               video ? rec.VideoFirstCluster() : rec.AudioFirstCluster(),
                               video ? rec.VClusters() : rec.AClusters(), &l.stats));
    l.reader = BytePosition(reader);
    l.target = std::int64_t{s.startSector} * 512 + static_cast<std::int64_t>(s.stream.bytes.size());
    for (const td::PacketInfo& p : s.stream.packets) {
        if (Lifted(p.pts, first) >= S) {
            l.target = ChainPos(s, p);
            break;
        }
    }
    return l;
}

void ExpectGoodLanding(const Landing& l, const std::string& what) {
    EXPECT_LE(l.reader, l.target) << what << ": the reader is past the wanted packet";
    EXPECT_LE(l.target - l.reader, 2 * kMiB) << what << ": the reader is too far before it";
    EXPECT_LE(l.stats.probes, 12) << what;
    std::cout << "  " << what << ": " << l.stats.probes << " probes, "
              << (l.stats.byteRate ? "byte rate" : "cluster share") << ", "
              << (l.target - l.reader) / 1024 << " KiB before the packet\n";
}

// A video stream over three clusters of a non-sequential chain (it starts 2.3 MiB before the end
// of its first cluster), audio in one cluster.
td::DiskSpec ThreeClusters() {
    td::DiskSpec desc;
    td::ClipSpec c = SampleClip("Three", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 58);
    c.videoClusters = {7, 3, 12};
    c.audioClusters = {5};
    c.videoStartSector = 200'000;
    c.audioStartSector = 4096;
    desc.clips.push_back(c);
    return desc;
}

TEST(StartSearch, AnywhereInAThreeClusterChain) {
    TestDisk disk(ThreeClusters(), "search3");
    const td::ClipResult& res = disk.Result(0);
    ASSERT_EQ(res.video.chain.size(), 3u);
    const std::int64_t first = res.video.stream.packets.front().pts;
    // The time of the first packet of the second and of the third cluster.
    std::vector<double> boundaries;
    for (std::int64_t c : {1, 2}) {
        for (const td::PacketInfo& p : res.video.stream.packets) {
            if (ChainPos(res.video, p) >= c * 104'857'600) {
                boundaries.push_back(static_cast<double>(p.pts - first) / 90'000);
                break;
            }
        }
    }
    ASSERT_EQ(boundaries.size(), 2u);
    const double length = res.lengthSeconds;
    std::vector<std::pair<std::string, double>> begins = {
        {"start", 0},
        {"0.5 s", 0.5},
        {"first cluster", 1.0},
        {"cluster boundary 1", boundaries[0]},
        {"just before boundary 1", boundaries[0] - 0.2},
        {"just after boundary 1", boundaries[0] + 0.2},
        {"middle", length / 2},
        {"cluster boundary 2", boundaries[1]},
        {"last cluster", length - 3},
        {"end", length},
        {"past the end", length + 30},
    };
    std::cout << "video, clip of " << length << " s over 3 clusters:\n";
    for (const auto& [what, b] : begins)
        ExpectGoodLanding(Search(disk, true, b), "video " + what);
    std::cout << "audio (one cluster, start offset 2 MiB):\n";
    for (const auto& [what, b] : begins)
        ExpectGoodLanding(Search(disk, false, b), "audio " + what);
}

TEST(StartSearch, TimeStampsWrapInsideTheClip) {
    td::DiskSpec desc;
    td::ClipSpec c = SampleClip("Wrap", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 8);
    c.firstPts = td::kPtsModulo - 10 * 90'000; // 2^33 is passed 10 s into the clip
    c.videoClusters = {5, 2};
    c.videoStartSector = 196'608; // 4 MiB before the end of the first cluster
    desc.clips.push_back(c);
    TestDisk disk(desc, "searchwrap");
    ASSERT_EQ(disk.Result(0).video.chain.size(), 2u);
    for (double b : {0.0, 9.5, 10.0, 10.5, 20.0, 29.0}) {
        ExpectGoodLanding(Search(disk, true, b), "wrap video " + std::to_string(b));
        ExpectGoodLanding(Search(disk, false, b), "wrap audio " + std::to_string(b));
    }
}

TEST(StartSearch, ClipLengthZeroAndDamagedStamps) {
    td::DiskSpec desc;
    td::ClipSpec c = SampleClip("Zero", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 8);
    c.lengthSeconds = 0; // the rate of the first method would divide by 0
    c.videoClusters = {4, 9};
    c.videoStartSector = 198'656; // 3 MiB before the end of the first cluster
    desc.clips.push_back(c);
    td::ClipSpec one = SampleClip("One", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 2);
    desc.clips.push_back(one);
    TestDisk disk(desc, "searchzero");
    for (double b : {0.0, 2.0, 12.0, 25.0, 40.0}) {
        Landing l = Search(disk, true, b);
        EXPECT_TRUE(l.stats.clusterShare);
        ExpectGoodLanding(l, "length 0, video " + std::to_string(b));
    }
    // A one-cluster stream: no probe ever names a cluster outside the chain.
    for (double b : {0.0, 3.0, 7.0, 100.0})
        ExpectGoodLanding(Search(disk, true, b, 1), "one cluster");
}

} // namespace
} // namespace quorin
