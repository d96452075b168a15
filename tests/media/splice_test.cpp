// Joints in every kind of place, through libavcodec's encoder and decoder; ffmpeg and ffprobe,
// run as separate programs, count the pictures, look for decoding errors and compare every
// picture of the output with the source's picture of the same time.
#include "media/video_splice.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace quorin::media {
namespace {

namespace fs = std::filesystem;

std::string Shell(const std::string& command) {
    std::string out;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

std::vector<std::uint8_t> ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Splice : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("splice-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A source made by ffmpeg's encoder (or a sample as it is).
    fs::path Source(const std::string& name, const std::string& args) {
        const fs::path out = dir_ / name;
        if (args.empty()) return fs::path(QUORIN_SAMPLES_DIR) / name;
        Shell(std::string(QUORIN_FFMPEG) + " -nostdin -v error -y " + args + " " + out.string());
        return out;
    }
    // Raw 4:2:0 pictures of a stream, decoded by ffmpeg.
    std::vector<std::uint8_t> Raw(const fs::path& es, const std::string& name) {
        const fs::path raw = dir_ / name;
        Shell(std::string(QUORIN_FFMPEG) + " -nostdin -v error -y -i " + es.string() +
              " -fps_mode passthrough -f rawvideo -pix_fmt yuv420p " + raw.string());
        return ReadAll(raw);
    }
    fs::path dir_;
};

double FramePsnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(n) / sum);
}

TEST_F(Splice, JointCases) {
    const std::string mpeg2 = "-f lavfi -i testsrc2=size=720x576:rate=25 -frames:v 96 -c:v "
                              "mpeg2video -b:v 5M -maxrate 5M -bufsize 1835k ";
    struct Case {
        const char* what;
        std::string name;
        std::string args;                        // empty: the sample as it is
        std::vector<std::pair<int, int>> ranges; // in pictures
        int width, height;
    };
    const Case cases[] = {
        {"closed groups, cuts on B and P pictures",
         "mpeg2-4x3.m2v",
         "",
         {{5, 17}, {30, 61}, {70, 90}},
         720,
         576},
        {"closed groups, cuts on intra pictures",
         "mpeg2-4x3.m2v",
         "",
         {{12, 24}, {48, 72}},
         720,
         576},
        {"open groups, interlaced, top field first",
         "open.m2v",
         mpeg2 + "-g 12 -bf 2 -flags +ildct+ilme -top 1",
         {{4, 20}, {27, 40}, {41, 95}},
         720,
         576},
        {"open groups, bottom field first",
         "bff.m2v",
         mpeg2 + "-g 15 -bf 2 -flags +ildct+ilme -top 0",
         {{0, 7}, {50, 66}},
         720,
         576},
        {"only intra pictures", "intra.m2v", mpeg2 + "-g 1", {{3, 9}, {20, 31}}, 720, 576},
        {"no B pictures", "ip.m2v", mpeg2 + "-g 12 -bf 0", {{3, 9}, {20, 31}}, 720, 576},
        {"16:9", "mpeg2-16x9.m2v", "", {{6, 30}, {60, 90}}, 720, 576},
        {"MPEG-1", "mpeg1-sif.m1v", "", {{5, 17}, {30, 61}, {70, 90}}, 352, 288},
        {"a range inside one group", "mpeg2-4x3.m2v", "", {{14, 20}}, 720, 576},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path in = Source(c.name, c.args);
        const fs::path out = dir_ / ("out-" + c.name);
        fs::remove(out);
        std::vector<TimeRange> ranges;
        std::int64_t expected = 0;
        for (auto [a, b] : c.ranges) {
            ranges.push_back({a * 3600LL, b * 3600LL});
            expected += b - a;
        }
        const SpliceResult r = SpliceVideo(in.string(), out.string(), 0, ranges, {});
        ASSERT_EQ(r.error, "");
        EXPECT_TRUE(r.notices.empty()) << r.notices.front();
        EXPECT_EQ(r.pictures, expected);
        ASSERT_EQ(r.segments.size(), ranges.size());
        std::int64_t outputAt = 0;
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            EXPECT_EQ(r.segments[i].from, ranges[i].from);
            EXPECT_EQ(r.segments[i].to, ranges[i].to);
            EXPECT_EQ(r.segments[i].outputFrom, outputAt);
            outputAt += ranges[i].to - ranges[i].from;
        }
        if (r.reencoded > 0) {
            EXPECT_GE(r.minPsnr, 40) << "mean " << r.meanPsnr;
            EXPECT_GE(r.meanPsnr, 45);
        }
        // ffmpeg decodes it without a word, and every picture is the source's of its time.
        EXPECT_EQ(Shell(std::string(QUORIN_FFMPEG) + " -nostdin -v error -xerror -i " +
                        out.string() + " -f null - 2>&1"),
                  "");
        const std::vector<std::uint8_t> src = Raw(in, "src.yuv"), got = Raw(out, "got.yuv");
        const std::size_t frame = std::size_t(c.width) * c.height * 3 / 2;
        ASSERT_EQ(got.size(), std::size_t(expected) * frame);
        std::size_t k = 0;
        for (auto [a, b] : c.ranges)
            for (int t = a; t < b; ++t, ++k)
                EXPECT_GE(FramePsnr(&got[k * frame], &src[std::size_t(t) * frame], frame), 35)
                    << "picture " << t;
    }
}

} // namespace
} // namespace quorin::media
