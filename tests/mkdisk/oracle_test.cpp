// ffmpeg as the independent judge of the streams on a factory-made disk: each
// chain, read from its start offset, must probe and decode as an MPEG PES
// stream without a single complaint, with time stamps one frame apart.
#include <algorithm>
#include <sstream>

#include "support.h"

namespace quorin::testdisk::test {
namespace {

struct Expect {
    const char* file;
    const char* codec;
    std::int64_t tick;  // time stamp step of one frame
    std::size_t frames; // frames ffprobe should report
};

class OracleDisk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchDir;
        DiskSpec desc;
        ClipSpec looped = SampleClip("mpeg1-sif.m1v", "tone-48k-192k.mp2", 2);
        looped.videoStartSector = kClusterSectors - 1024; // crosses from cluster 6 to 2
        looped.videoClusters = {6, 2};
        ClipSpec ac3 = SampleClip("mpeg2-16x9.m2v", "tone-48k-448k.ac3");
        ac3.audioStartSector = 999;
        ClipSpec wrap = SampleClip("mpeg2-4x3.m2v", "tone-48k-192k.mp2");
        wrap.firstPts = kPtsModulo - 90'000;
        desc.clips = {looped, ac3, wrap};
        auto disk = BuildImage(desc, *scratch_ / "oracle.img");
        ASSERT_TRUE(disk.ok()) << disk.error();
        for (std::size_t i = 0; i < disk->clips.size(); ++i) {
            Extract(disk->clips[i].video, "clip" + std::to_string(i) + "-video.pes");
            Extract(disk->clips[i].audio, "clip" + std::to_string(i) + "-audio.pes");
        }
    }
    static void TearDownTestSuite() { delete scratch_; }

    // Reads a chain from the image in chain order from its start offset.
    static void Extract(const StreamLayout& s, const std::string& name) {
        auto bytes =
            ReadChain(*scratch_ / "oracle.img", s.chain, s.startSector, s.stream.bytes.size());
        ASSERT_TRUE(bytes.ok()) << bytes.error();
        WriteBytes(*scratch_ / name, *bytes);
    }

    static std::string File(const std::string& name) { return Quote((*scratch_ / name).string()); }

    static CommandResult Ffprobe(const std::string& args) {
        return RunCommand(std::string(QUORIN_FFPROBE) + " -v error " + args);
    }
    static CommandResult Ffmpeg(const std::string& args) {
        return RunCommand(std::string(QUORIN_FFMPEG) + " -nostdin -v error " + args);
    }

    // Presentation time stamps of every packet ffprobe sees, sorted.
    static std::vector<std::int64_t> Pts(const std::string& name) {
        const auto r = Ffprobe("-f mpeg -show_entries packet=pts -of csv=p=0 " + File(name));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::vector<std::int64_t> pts;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) pts.push_back(std::stoll(line));
        std::sort(pts.begin(), pts.end());
        return pts;
    }

    static inline ScratchDir* scratch_ = nullptr;
};

const Expect kStreams[] = {
    {"clip0-video.pes", "mpeg1video", 3600, 192}, {"clip0-audio.pes", "mp2", 2160, 320},
    {"clip1-video.pes", "mpeg2video", 3600, 96},  {"clip1-audio.pes", "ac3", 2880, 120},
    {"clip2-video.pes", "mpeg2video", 3600, 96},  {"clip2-audio.pes", "mp2", 2160, 160},
};

TEST_F(OracleDisk, FfprobeReadsEveryChainWithTimeStampsOneFrameApart) {
    for (const auto& e : kStreams) {
        SCOPED_TRACE(e.file);
        const auto r =
            Ffprobe("-f mpeg -show_entries stream=codec_name -of csv=p=0 " + File(e.file));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.substr(0, r.out.find_first_of(",\n")), e.codec); // side data may follow
        const auto pts = Pts(e.file);
        ASSERT_EQ(pts.size(), e.frames);
        for (std::size_t i = 1; i < pts.size(); ++i)
            ASSERT_EQ(pts[i] - pts[i - 1], e.tick) << i;
    }
}

TEST_F(OracleDisk, FfmpegDecodesEveryChainWithoutComplaint) {
    for (const auto& e : kStreams) {
        SCOPED_TRACE(e.file);
        // -f mpeg: a PES stream of raw AC-3 alone would be probed as plain AC-3.
        const auto r = Ffmpeg("-xerror -f mpeg -i " + File(e.file) + " -f null -");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(OracleDisk, RemuxedPayloadsEqualTheSamples) {
    const std::pair<const char*, const char*> cases[] = {
        {"clip1-video.pes", "mpeg2-16x9.m2v"},
        {"clip1-audio.pes", "tone-48k-448k.ac3"},
        {"clip2-video.pes", "mpeg2-4x3.m2v"},
        {"clip2-audio.pes", "tone-48k-192k.mp2"},
    };
    for (const auto& [pes, sample] : cases) {
        SCOPED_TRACE(pes);
        const std::string out = std::string(pes) + ".es";
        const std::string format = fs::path(sample).extension() == ".ac3"   ? "ac3"
                                   : fs::path(sample).extension() == ".mp2" ? "mp2"
                                                                            : "rawvideo";
        const auto r =
            Ffmpeg("-f mpeg -i " + File(pes) + " -c copy -f " + format + " " + File(out));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(ReadBytes(*scratch_ / out) == ReadBytes(Sample(sample)));
    }
}

TEST_F(OracleDisk, WrappedClipStartsJustBefore2To33) {
    // ffprobe unwraps, so the stamps continue past 2^33 one frame apart.
    const auto pts = Pts("clip2-video.pes");
    ASSERT_FALSE(pts.empty());
    EXPECT_EQ(WrapPts(pts.front()), kPtsModulo - 90'000);
}

} // namespace
} // namespace quorin::testdisk::test
