// quorin-cli rip with several ranges and exact cuts, end to end on factory disks; ffmpeg and
// ffprobe count the pictures and audio frames of the joined files and decode them.
#include "rip_fixture.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quorin {
namespace {

using namespace riptest;

struct Span {
    double from, to;
};

struct RangeCase {
    const char* what;
    int clip;
    std::vector<Span> ranges;
    bool exact;
    std::string mux; // "" for the elementary streams
};

class RangedRips : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchFolder("ranges-src");
        const fs::path open = scratch_->Path() / "open.m2v";
        // Interlaced, open picture groups with B pictures, as broadcast.
        riptest::Run(
            std::string(QUORIN_FFMPEG) +
            " -nostdin -v error -y -f lavfi -i testsrc2=size=720x576:rate=25 -frames:v 288 "
            "-c:v mpeg2video -b:v 4M -maxrate 4M -bufsize 1835k -g 12 -bf 2 -flags +ilme+ildct "
            "-top 1 -aspect 16:9 -f mpeg2video " +
            Quote(open.string()));
        td::DiskSpec d;
        d.clips.push_back(SampleClip("Film", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 8));
        td::ClipSpec wrap = SampleClip("Wrap", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", 4);
        wrap.firstPts = (std::int64_t{1} << 33) - 5 * 90'000;
        d.clips.push_back(wrap);
        d.clips.push_back(SampleClip("Retro", "mpeg1-sif.m1v", "tone-48k-192k.mp2", 4));
        td::ClipSpec broadcast = SampleClip("Open", "", "tone-48k-192k.mp2", 3);
        broadcast.videoFile = open;
        d.clips.push_back(broadcast);
        for (td::ClipSpec& c : d.clips)
            c.layout = td::RecordLayout::Old;
        disk_ = new TestDisk(d, "ranges");
    }
    static void TearDownTestSuite() {
        delete disk_;
        delete scratch_;
    }

    Command Cli(const std::string& args) {
        return riptest::Run("env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " +
                            std::string(QUORIN_CLI) + " rip --disk " + Quote(disk_->Image()) + " " +
                            args);
    }
    static long Probe(const fs::path& f, const char* stream, const char* count) {
        Command c = riptest::Run(std::string(QUORIN_FFPROBE) + " -v error " + count +
                                 " -select_streams " + stream + " -show_entries stream=nb_read_" +
                                 (std::string(count) == "-count_frames" ? "frames" : "packets") +
                                 " -of default=nw=1:nk=1 " + Quote(f.string()));
        return c.status == 0 ? std::atol(c.out.c_str()) : -1;
    }

    static inline ScratchFolder* scratch_ = nullptr;
    static inline TestDisk* disk_ = nullptr;
    ScratchDir out_;
};

std::string KeepArgs(const std::vector<Span>& ranges) {
    std::string args;
    for (const Span& r : ranges)
        args += " --keep " + std::to_string(r.from) + "-" + std::to_string(r.to);
    return args;
}

TEST_F(RangedRips, JoinedFilesHoldTheRangesInSync) {
    const RangeCase cases[] = {
        {"picture groups, three ranges", 1, {{2, 6}, {9.5, 14}, {20, 28}}, false, ""},
        {"exact, three ranges", 1, {{2.12, 6.04}, {9.5, 14.2}, {20.36, 28}}, true, ""},
        {"exact, touching ranges (joined)", 1, {{3, 8.52}}, true, ""},
        {"exact across a wrap, AC-3", 2, {{1.2, 4.4}, {6.08, 12.4}}, true, ""},
        {"exact, MPEG-1", 3, {{0.5, 4}, {7.3, 11}}, true, ""},
        {"exact, interlaced open groups", 4, {{0.7, 3.3}, {5.1, 9.9}}, true, ""},
        {"picture groups, interlaced open groups", 4, {{0.7, 3.3}, {5.1, 9.9}}, false, ""},
        {"exact into Matroska", 1, {{2.12, 6.04}, {20.36, 28}}, true, "mkv"},
        {"exact into a transport stream", 2, {{1.2, 4.4}, {6.08, 12.4}}, true, "ts"},
    };
    for (const RangeCase& k : cases) {
        SCOPED_TRACE(k.what);
        const std::string dir = "out" + std::to_string(&k - cases);
        std::string args = "--clip " + std::to_string(k.clip) + KeepArgs(k.ranges) + " --out " +
                           dir + " --name J --json" + (k.exact ? " --exact" : "");
        if (!k.mux.empty()) args += " --mux " + k.mux + " --keep-streams";
        Command c = Cli(args);
        ASSERT_EQ(c.status, 0) << c.err;
        const nlohmann::json doc = nlohmann::json::parse(c.out);
        const nlohmann::json& segs = doc["clips"][0]["segments"];
        ASSERT_EQ(segs.size(), k.ranges.size()) << c.out;
        const fs::path video = dir + "/J.m2v";
        const fs::path audio = fs::path(dir) / (k.clip == 2 ? "J.ac3" : "J.mp2");
        EXPECT_TRUE(DecodesCleanly(video));
        // Pictures: exactly the range's with exact cuts, else what a single cut of it holds.
        long expected = 0;
        double out = 0;
        for (std::size_t i = 0; i < k.ranges.size(); ++i) {
            const Span& r = k.ranges[i];
            if (k.exact) {
                expected +=
                    std::lround(std::ceil(r.to * 25 - 1e-6) - std::ceil(r.from * 25 - 1e-6));
                EXPECT_NEAR(segs[i]["from"].get<double>(), r.from, 0.04);
                EXPECT_NEAR(segs[i]["to"].get<double>(), r.to, 0.04);
            } else {
                const std::string one = dir + "/one" + std::to_string(i);
                Command single = Cli("--clip " + std::to_string(k.clip) + " --no-audio --begin " +
                                     std::to_string(r.from) + " --end " + std::to_string(r.to) +
                                     " --out " + one + " --name S");
                ASSERT_EQ(single.status, 0) << single.err;
                expected += FrameCount(one + "/S.m2v");
            }
            EXPECT_NEAR(segs[i]["output_from"].get<double>(), out, 0.001);
            out += segs[i]["to"].get<double>() - segs[i]["from"].get<double>();
        }
        const long pictures = FrameCount(video);
        if (k.exact || k.clip != 4)
            EXPECT_EQ(pictures, expected);
        else // a joint leaves out the leading pictures of an open group
            EXPECT_LE(pictures, expected);
        // The audio ends with the video, within half a frame, after every joint.
        const double frame = k.clip == 2 ? 0.032 : 0.024;
        const std::string delay = ReadText(dir + "/J delay.log");
        const double offset = std::atof(delay.c_str() + delay.find(':') + 1) / 1000;
        const double audioEnd =
            -offset + static_cast<double>(Probe(audio, "a:0", "-count_packets")) * frame;
        EXPECT_NEAR(audioEnd, static_cast<double>(pictures) * 0.04, frame / 2 + 0.001);
        if (!k.mux.empty()) {
            const fs::path muxed = dir + "/J." + k.mux;
            EXPECT_TRUE(DecodesCleanly(muxed));
            EXPECT_EQ(FrameCount(muxed), pictures);
        }
    }
}

// A recording without adverts loses nothing to --drop-breaks.
TEST_F(RangedRips, DroppingNoBreaksKeepsTheWholeClip) {
    Command c = Cli("--clip 1 --drop-breaks --out d --name D --json");
    ASSERT_EQ(c.status, 0) << c.err;
    const nlohmann::json segs = nlohmann::json::parse(c.out)["clips"][0]["segments"];
    ASSERT_EQ(segs.size(), 1u) << c.out;
    EXPECT_LT(segs[0]["from"].get<double>(), 0.5);
    EXPECT_GT(segs[0]["to"].get<double>(), 29.5);
    EXPECT_TRUE(DecodesCleanly("d/D.m2v"));
}

// A ranged run's working folder that a killed run left (its lock free) is removed by the next run
// into that folder; one whose run still holds it, and folders that are not a run's, stay.
TEST_F(RangedRips, FoldersLeftByKilledRunsAreRemoved) {
    const fs::path left = "d/.quorin-ranges-left", held = "d/.quorin-ranges-held",
                   other = "d/.quorin-ranges-other";
    for (const fs::path& f : {left, held, other})
        fs::create_directories(f);
    std::ofstream(left / ".lock").put('\n');
    std::ofstream(held / ".lock").put('\n');
    const int lock = ::open((held / ".lock").c_str(), O_RDWR);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    Command c = Cli("--clip 1 --keep 1-3 --out d --name D");
    ::close(lock);
    ASSERT_EQ(c.status, 0) << c.err;
    std::vector<std::string> stay;
    for (const fs::directory_entry& e : fs::directory_iterator("d"))
        if (e.is_directory()) stay.push_back(e.path().filename());
    std::ranges::sort(stay);
    EXPECT_EQ(stay, (std::vector<std::string>{".quorin-ranges-held", ".quorin-ranges-other"}));
}

} // namespace
} // namespace quorin
