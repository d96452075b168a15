// Start-search probe counts on a two-hour looped factory clip (tens of clusters): for begins all
// over the clip, how many 1 MiB probes the search needs, and whether the reader lands before the
// first packet whose time stamp reaches the begin and within 2 MiB of it.
//
//   rip_search_probes [IMAGE] [--keep]
//
// The image (about 4 GB of real data, written sparsely) is removed afterwards unless --keep.
#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/ibits.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "mkdisk/testdisk.h"
#include "platform/clock.h"
#include "rip/pes.h"
#include "rip/rip_runner.h"
#include "rip/start_search.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace td = quorin::testdisk;
using namespace quorin;

namespace {

constexpr std::int64_t kMiB = 1'048'576;

struct Tally {
    int searches = 0;
    int maxProbes = 0;
    long totalProbes = 0;
    int secondMethod = 0;
    int past = 0; // landed after the wanted packet
    int far = 0;  // landed more than 2 MiB before it
    std::int64_t maxDistance = 0;
    std::map<int, int> histogram;
};

void Print(const char* what, const Tally& t) {
    std::printf("%s: %d searches, probes max %d, mean %.2f, second method %d, landed past %d, "
                "more than 2 MiB before %d, largest distance %lld KiB\n",
                what, t.searches, t.maxProbes,
                t.searches ? static_cast<double>(t.totalProbes) / t.searches : 0.0, t.secondMethod,
                t.past, t.far, static_cast<long long>(t.maxDistance / 1024));
    std::printf("  probes histogram:");
    for (const auto& [probes, count] : t.histogram)
        std::printf(" %d:%d", probes, count);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    std::string image = (std::filesystem::temp_directory_path() / "quorin-two-hours.img").string();
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0)
            keep = true;
        else
            image = argv[i];
    }
    SetConsoleTrace(false);
    const std::filesystem::path samples = QUORIN_SAMPLES_DIR;
    td::DiskSpec desc;
    desc.seed = 7;
    td::ClipSpec clip;
    clip.station = "Bench";
    clip.name = "Two hours";
    clip.videoFile = samples / "mpeg2-4x3.m2v";
    clip.audioFile = samples / "tone-48k-192k.mp2";
    clip.loops = 1875; // 1875 x 3.84 s = 2 h
    clip.videoStartSector = 12'345;
    clip.audioStartSector = 64;
    desc.clips.push_back(clip);
    std::printf("building %s ...\n", image.c_str());
    std::fflush(stdout);
    std::int64_t t0 = TickCountMs();
    auto built = td::BuildImage(desc, image, {.keepStreamBytes = false});
    if (!built) {
        std::fprintf(stderr, "factory: %s\n", built.error().c_str());
        return 1;
    }
    const td::ClipResult& res = built->clips.front();
    std::printf("built in %.1f s: video %zu clusters, audio %zu clusters, length %d s\n",
                (TickCountMs() - t0) / 1000.0, res.video.chain.size(), res.audio.chain.size(),
                res.lengthSeconds);
    std::printf("video chain:");
    for (int c : res.video.chain)
        std::printf(" %d", c);
    std::printf("\n");

    bool ok = false;
    ClusterTable table(image, ok);
    CPVRDrive drive(image, &table, RecordLayout::kFirmware190);
    CPVRFile& file = *drive.GetFile(0);
    const ClipRecord& rec = file.GetRecord();
    const std::int64_t first = res.video.stream.packets.front().pts;

    // Begins: every 37 s (not in step with the 3.84 s loop) and around every cluster boundary.
    std::vector<double> begins;
    for (double b = 0; b <= res.lengthSeconds; b += 37)
        begins.push_back(b);
    std::int64_t nextBoundary = 104'857'600;
    for (const td::PacketInfo& p : res.video.stream.packets) {
        std::int64_t pos =
            std::int64_t{res.video.startSector} * 512 + static_cast<std::int64_t>(p.offset);
        if (pos >= nextBoundary) {
            double t = static_cast<double>(p.pts - first) / 90'000;
            for (double d : {-0.3, 0.0, 0.3})
                begins.push_back(std::max(0.0, t + d));
            nextBoundary += 104'857'600;
        }
    }
    begins.push_back(res.lengthSeconds - 0.5);

    Tally tallies[2];
    std::int64_t searchMs = 0;
    for (int video01 = 1; video01 >= 0; --video01) {
        const bool isVideo = video01 == 1;
        const td::StreamLayout& s = isVideo ? res.video : res.audio;
        Tally& t = tallies[video01];
        for (double b : begins) {
            RipRun run(file, RipRequest{});
            RipState& e = run.State();
            run.SetVideoActive(isVideo);
            e.m_lSkipSectors = isVideo ? rec.VideoStart() : rec.AudioStart();
            e.m_lEndSectors = isVideo ? rec.VideoEnd() : rec.AudioEnd();
            e.m_dBegin = b;
            e.m_i64FirstPTS = first;
            const std::int64_t S = first + static_cast<std::int64_t>(std::trunc(b * 90'000));
            std::uint32_t firstCluster =
                isVideo ? rec.VideoFirstCluster() : rec.AudioFirstCluster();
            CIBits reader(image, &table, firstCluster);
            StartSearchStats stats;
            std::int64_t s0 = TickCountMs();
            (void)SearchForStart(run, S, reader, s.stream.streamId, firstCluster,
                                 isVideo ? rec.VClusters() : rec.AClusters(), &stats);
            searchMs += TickCountMs() - s0;
            std::int64_t landed = BytePosition(reader);
            std::int64_t target = -1;
            for (const td::PacketInfo& p : s.stream.packets) {
                std::int64_t pts = p.pts < first - 180'000 ? p.pts + td::kPtsModulo : p.pts;
                if (pts >= S) {
                    target =
                        std::int64_t{s.startSector} * 512 + static_cast<std::int64_t>(p.offset);
                    break;
                }
            }
            if (target < 0) continue; // past the last packet
            ++t.searches;
            t.totalProbes += stats.probes;
            t.maxProbes = std::max(t.maxProbes, stats.probes);
            ++t.histogram[stats.probes];
            if (stats.clusterShare) ++t.secondMethod;
            if (landed > target) {
                ++t.past;
                std::printf("  %s %.1f s: landed %lld bytes past the packet\n",
                            isVideo ? "video" : "audio", b,
                            static_cast<long long>(landed - target));
            } else {
                t.maxDistance = std::max(t.maxDistance, target - landed);
                if (target - landed > 2 * kMiB) ++t.far;
            }
        }
    }
    Print("video", tallies[1]);
    Print("audio", tallies[0]);
    std::printf("search time: %.1f ms per search\n",
                static_cast<double>(searchMs) / (tallies[0].searches + tallies[1].searches));
    if (!keep) std::filesystem::remove(image);
    bool good =
        tallies[1].past == 0 && tallies[1].far == 0 && tallies[0].past == 0 && tallies[0].far == 0;
    std::printf("%s\n", good ? "every search landed before the wanted packet and within 2 MiB"
                             : "SOME SEARCHES MISSED");
    return good ? 0 : 1;
}
