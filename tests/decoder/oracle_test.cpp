// Decoded pictures against ffmpeg (and mpeg2dec) for the stream kinds a receiver or a user may
// give the decoder.
#include "decoder/decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace quorin::decoder::test {
namespace {

struct StreamKind {
    const char* label;
    const char* file;
    const char* size; // WxH
    int frames;
    int chroma_format;
    std::vector<std::string> args;
};

// Keeps gtest from printing the parameter as raw bytes in test names.
void PrintTo(const StreamKind& value, std::ostream* os) {
    *os << value.file;
}

std::string Matrix(int base) {
    std::string m;
    for (int i = 0; i < 64; ++i) {
        m += std::to_string(base + (i * 7) % 23 + i / 4);
        if (i < 63) m += ",";
    }
    return m;
}

const std::vector<StreamKind>& Kinds() {
    static const std::vector<StreamKind> kinds = {
        {"mpeg2 progressive 352x288",
         "prog352.m2v",
         "352x288",
         8,
         1,
         {"-c:v", "mpeg2video", "-g", "12", "-bf", "2", "-q:v", "4", "-f", "mpeg2video"}},
        {"mpeg2 interlaced tff 720x480",
         "il720.m2v",
         "720x480",
         6,
         1,
         {"-c:v", "mpeg2video", "-flags", "+ildct+ilme", "-top", "1", "-g", "12", "-bf", "2",
          "-q:v", "3", "-f", "mpeg2video"}},
        {"mpeg2 interlaced bff 720x576",
         "il576.m2v",
         "720x576",
         5,
         1,
         {"-c:v", "mpeg2video", "-flags", "+ildct+ilme", "-top", "0", "-g", "12", "-bf", "2",
          "-q:v", "3", "-f", "mpeg2video"}},
        {"mpeg2 alternate scan, intra vlc",
         "alt.m2v",
         "720x480",
         5,
         1,
         {"-c:v", "mpeg2video", "-flags", "+ildct+ilme", "-alternate_scan", "1", "-intra_vlc", "1",
          "-g", "12", "-bf", "2", "-q:v", "3", "-f", "mpeg2video"}},
        {"mpeg2 non-linear quantiser",
         "nlq.m2v",
         "352x288",
         6,
         1,
         {"-c:v", "mpeg2video", "-non_linear_quant", "1", "-qmax", "28", "-g", "12", "-bf", "2",
          "-q:v", "6", "-f", "mpeg2video"}},
        {"mpeg2 custom matrices",
         "matrix.m2v",
         "352x288",
         6,
         1,
         {"-c:v", "mpeg2video", "-intra_matrix", Matrix(8), "-inter_matrix", Matrix(14), "-g", "12",
          "-bf", "2", "-q:v", "4", "-f", "mpeg2video"}},
        {"mpeg2 intra dc precision 8",
         "dc8.m2v",
         "352x288",
         3,
         1,
         {"-c:v", "mpeg2video", "-dc", "8", "-g", "12", "-bf", "1", "-q:v", "2", "-f",
          "mpeg2video"}},
        {"mpeg2 intra dc precision 9",
         "dc9.m2v",
         "352x288",
         3,
         1,
         {"-c:v", "mpeg2video", "-dc", "9", "-g", "12", "-bf", "1", "-q:v", "2", "-f",
          "mpeg2video"}},
        {"mpeg2 intra dc precision 10",
         "dc10.m2v",
         "352x288",
         3,
         1,
         {"-c:v", "mpeg2video", "-dc", "10", "-g", "12", "-bf", "1", "-q:v", "2", "-f",
          "mpeg2video"}},
        {"mpeg2 intra dc precision 11",
         "dc11.m2v",
         "352x288",
         3,
         1,
         {"-c:v", "mpeg2video", "-dc", "11", "-g", "12", "-bf", "1", "-q:v", "2", "-f",
          "mpeg2video"}},
        {"mpeg2 4:2:2 interlaced",
         "c422.m2v",
         "720x480",
         5,
         2,
         {"-c:v", "mpeg2video", "-pix_fmt", "yuv422p", "-flags", "+ildct+ilme", "-g", "12", "-bf",
          "2", "-q:v", "3", "-f", "mpeg2video"}},
        {"mpeg2 176x144",
         "qcif.m2v",
         "176x144",
         6,
         1,
         {"-c:v", "mpeg2video", "-g", "12", "-bf", "2", "-q:v", "3", "-f", "mpeg2video"}},
        {"mpeg2 1920x1080 interlaced",
         "hd.m2v",
         "1920x1080",
         3,
         1,
         {"-c:v", "mpeg2video", "-flags", "+ildct+ilme", "-g", "12", "-bf", "1", "-b:v", "20M",
          "-f", "mpeg2video"}},
        {"mpeg2 202x118 (not macroblock aligned)",
         "odd.m2v",
         "202x118",
         5,
         1,
         {"-c:v", "mpeg2video", "-g", "12", "-bf", "2", "-q:v", "3", "-f", "mpeg2video"}},
        {"mpeg2 64x2880 (slice position extension)",
         "tall.m2v",
         "64x2880",
         3,
         1,
         {"-c:v", "mpeg2video", "-bf", "1", "-q:v", "4", "-f", "mpeg2video"}},
        {"mpeg1 352x288",
         "m1.m1v",
         "352x288",
         8,
         1,
         {"-c:v", "mpeg1video", "-g", "12", "-bf", "2", "-q:v", "4", "-f", "mpeg1video"}},
        {"mpeg2 program stream",
         "ps2.mpg",
         "352x288",
         6,
         1,
         {"-c:v", "mpeg2video", "-g", "12", "-bf", "2", "-q:v", "4", "-f", "vob"}},
        {"mpeg1 system stream",
         "ps1.mpg",
         "352x288",
         6,
         1,
         {"-c:v", "mpeg1video", "-g", "12", "-bf", "2", "-q:v", "4", "-f", "mpeg"}},
    };
    return kinds;
}

void ParseSize(const char* size, int& w, int& h) {
    std::sscanf(size, "%dx%d", &w, &h);
}

class OracleTest : public ::testing::TestWithParam<StreamKind> {
protected:
    std::string Stream() {
        const StreamKind& k = GetParam();
        return MakeStream(k.file, std::string("testsrc2=size=") + k.size + ":rate=25", k.frames,
                          k.args);
    }
};

// The first picture through the entry operation, one plane per output format code.
TEST_P(OracleTest, FirstPictureMatchesFfmpeg) {
    if (FfmpegPath().empty()) GTEST_SKIP() << "ffmpeg not found";
    const StreamKind& k = GetParam();
    const std::string path = Stream();
    ASSERT_FALSE(path.empty());
    int w = 0, h = 0;
    ParseSize(k.size, w, h);
    const std::vector<Planes> oracle = OracleFrames(path, w, h, k.chroma_format, 1);
    ASSERT_EQ(oracle.size(), 1u);
    Planes ours = oracle[0];
    for (int p = 0; p < 3; ++p) {
        const std::string out =
            path + ".plane" + std::to_string(p) + "." + std::to_string(getpid());
        int result = 0;
        ASSERT_EQ(DecodePictureFile(path.c_str(), out.c_str(), kFormatLuma + p, &result), 0);
        EXPECT_EQ(result, 1);
        ours.plane[p] = ReadFileBytes(out);
        std::remove(out.c_str());
        ASSERT_EQ(ours.plane[p].size(), oracle[0].plane[p].size()) << "plane " << p;
    }
    const PlanePsnr psnr = Compare(ours, oracle[0], std::string(k.label) + ", first picture");
    EXPECT_GE(psnr.Min(), 50.0);
}

// Every picture of the stream, through the decoder object, in display order.
TEST_P(OracleTest, PictureChainMatchesFfmpeg) {
    if (FfmpegPath().empty()) GTEST_SKIP() << "ffmpeg not found";
    const StreamKind& k = GetParam();
    const std::string path = Stream();
    ASSERT_FALSE(path.empty());
    int w = 0, h = 0;
    ParseSize(k.size, w, h);
    const std::vector<Planes> ours = DecodeAllFrames(path);
    const std::vector<Planes> oracle = OracleFrames(path, w, h, k.chroma_format);
    ASSERT_EQ(ours.size(), static_cast<size_t>(k.frames));
    ASSERT_EQ(oracle.size(), ours.size());
    PlanePsnr worst{99, 99, 99};
    for (size_t i = 0; i < ours.size(); ++i) {
        const PlanePsnr p = Compare(ours[i], oracle[i]);
        EXPECT_GE(p.Min(), 40.0) << "frame " << i;
        worst = {std::min(worst.y, p.y), std::min(worst.cb, p.cb), std::min(worst.cr, p.cr)};
    }
    std::printf("[ PSNR     ] %-40s Y %5.1f  Cb %5.1f  Cr %5.1f  (worst of %zu, P/B chain)\n",
                k.label, worst.y, worst.cb, worst.cr, ours.size());
}

// libmpeg2 as a second, independent decoder for the 4:2:0 streams.
TEST_P(OracleTest, PictureChainMatchesMpeg2dec) {
    const StreamKind& k = GetParam();
    if (Mpeg2decPath().empty() || FfmpegPath().empty()) GTEST_SKIP() << "oracles not found";
    if (k.chroma_format != 1) GTEST_SKIP() << "4:2:0 only";
    const std::string path = Stream();
    ASSERT_FALSE(path.empty());
    int w = 0, h = 0;
    ParseSize(k.size, w, h);
    const std::vector<Planes> ours = DecodeAllFrames(path);
    const std::vector<Planes> oracle = Mpeg2decFrames(path, w, h);
    ASSERT_FALSE(oracle.empty());
    ASSERT_LE(oracle.size(), ours.size());
    for (size_t i = 0; i < oracle.size(); ++i) {
        EXPECT_GE(Compare(ours[i], oracle[i]).Min(), 40.0) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, OracleTest, ::testing::ValuesIn(Kinds()),
                         [](const ::testing::TestParamInfo<StreamKind>& p) {
                             std::string name = p.param.file;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// The headers carry what the streams were made with.
TEST(OracleStreams, HeadersCarryTheEncoderSettings) {
    if (FfmpegPath().empty()) GTEST_SKIP() << "ffmpeg not found";
    struct Expect {
        const char* file;
        int dc_precision;
        int alternate_scan;
        int intra_vlc;
        int q_scale_type;
    };
    for (const Expect& e : {Expect{"dc8.m2v", 0, 0, 0, 0}, Expect{"dc11.m2v", 3, 0, 0, 0},
                            Expect{"alt.m2v", -1, 1, 1, -1}, Expect{"nlq.m2v", -1, -1, -1, 1}}) {
        for (const StreamKind& k : Kinds()) {
            if (std::string(k.file) != e.file) continue;
            const std::string path = MakeStream(
                k.file, std::string("testsrc2=size=") + k.size + ":rate=25", k.frames, k.args);
            Decoder d;
            ASSERT_EQ(d.OpenStreams(path.c_str(), nullptr, 0, 0, 2048, 2048), 1) << e.file;
            const PictureHeader& pic = d.headers().picture;
            if (e.dc_precision >= 0) {
                EXPECT_EQ(pic.intra_dc_precision, e.dc_precision) << e.file;
            }
            if (e.alternate_scan >= 0) {
                EXPECT_EQ(pic.alternate_scan, e.alternate_scan) << e.file;
            }
            if (e.intra_vlc >= 0) {
                EXPECT_EQ(pic.intra_vlc_format, e.intra_vlc) << e.file;
            }
            if (e.q_scale_type >= 0) {
                EXPECT_EQ(pic.q_scale_type, e.q_scale_type) << e.file;
            }
        }
    }
}

} // namespace
} // namespace quorin::decoder::test
