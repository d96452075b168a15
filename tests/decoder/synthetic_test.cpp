// Field pictures, 16x8 and dual-prime prediction, 4:4:4 chroma and concealment vectors, in
// streams written by the test's own stream writer, against ffmpeg and mpeg2dec.
#include "cli/cmd_decode.h"
#include "decoder/decoder.h"
#include "stream_writer.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <ostream>
#include <unistd.h>

namespace quorin::decoder::test {
namespace {

struct SyntheticCase {
    const char* name;
    SyntheticOptions options;
};

// Keeps gtest from printing the parameter as raw bytes in test names.
void PrintTo(const SyntheticCase& value, std::ostream* os) {
    *os << value.name;
}

SyntheticOptions With(void (*set)(SyntheticOptions&)) {
    SyntheticOptions o;
    set(o);
    return o;
}

const std::vector<SyntheticCase>& Cases() {
    static const std::vector<SyntheticCase> cases = {
        {"fields_420_tff", With([](SyntheticOptions& o) { o.seed = 11; })},
        {"fields_420_bff", With([](SyntheticOptions& o) {
             o.top_field_first = false;
             o.seed = 12;
         })},
        {"fields_422", With([](SyntheticOptions& o) {
             o.chroma_format = 2;
             o.seed = 13;
         })},
        {"fields_444_altscan_intravlc", With([](SyntheticOptions& o) {
             o.chroma_format = 3;
             o.alternate_scan = true;
             o.intra_vlc = true;
             o.seed = 14;
         })},
        {"fields_concealment_96x80", With([](SyntheticOptions& o) {
             o.concealment = true;
             o.width = 96;
             o.height = 80;
             o.seed = 15;
         })},
        {"frames_420_dualprime_tff", With([](SyntheticOptions& o) {
             o.field_pictures = false;
             o.seed = 16;
         })},
        {"frames_420_dualprime_bff", With([](SyntheticOptions& o) {
             o.field_pictures = false;
             o.top_field_first = false;
             o.seed = 17;
         })},
        {"frames_444_concealment", With([](SyntheticOptions& o) {
             o.field_pictures = false;
             o.chroma_format = 3;
             o.concealment = true;
             o.seed = 18;
         })},
    };
    return cases;
}

class SyntheticTest : public ::testing::TestWithParam<SyntheticCase> {
protected:
    std::string Write() {
        const std::string path = WorkFolder() + "/synthetic_" + GetParam().name + "." +
                                 std::to_string(getpid()) + ".m2v";
        WriteFileBytes(path, MakeSyntheticStream(GetParam().options));
        return path;
    }
};

TEST_P(SyntheticTest, MatchesFfmpeg) {
    if (FfmpegPath().empty()) GTEST_SKIP() << "ffmpeg not found";
    const SyntheticOptions& o = GetParam().options;
    const std::string path = Write();
    const std::vector<Planes> ours = DecodeAllFrames(path);
    const std::vector<Planes> oracle = OracleFrames(path, o.width, o.height, o.chroma_format);
    std::remove(path.c_str());
    ASSERT_EQ(ours.size(), 3u);
    ASSERT_EQ(oracle.size(), ours.size());
    for (size_t i = 0; i < ours.size(); ++i) {
        const PlanePsnr p = Compare(ours[i], oracle[i],
                                    std::string(GetParam().name) + " frame " + std::to_string(i));
        EXPECT_GE(p.Min(), 40.0) << "frame " << i;
    }
}

TEST_P(SyntheticTest, MatchesMpeg2dec) {
    const SyntheticOptions& o = GetParam().options;
    if (Mpeg2decPath().empty()) GTEST_SKIP() << "mpeg2dec not found";
    if (o.chroma_format != 1) GTEST_SKIP() << "4:2:0 only";
    const std::string path = Write();
    const std::vector<Planes> ours = DecodeAllFrames(path);
    const std::vector<Planes> oracle = Mpeg2decFrames(path, o.width, o.height);
    std::remove(path.c_str());
    ASSERT_FALSE(oracle.empty());
    ASSERT_LE(oracle.size(), ours.size());
    for (size_t i = 0; i < oracle.size(); ++i) {
        EXPECT_GE(Compare(ours[i], oracle[i]).Min(), 40.0) << "frame " << i;
    }
}

// Saturation of dequantised coefficients: ffmpeg does not saturate as the standard says (it
// differs from both other decoders there), so libmpeg2 is the oracle.
TEST(Synthetic, SaturatedCoefficientsMatchMpeg2dec) {
    if (Mpeg2decPath().empty()) GTEST_SKIP() << "mpeg2dec not found";
    for (bool fields : {true, false}) {
        SyntheticOptions o;
        o.field_pictures = fields;
        o.saturating_levels = true;
        o.seed = fields ? 31 : 32;
        const std::string path = WorkFolder() + "/saturated." + std::to_string(getpid()) + ".m2v";
        WriteFileBytes(path, MakeSyntheticStream(o));
        const std::vector<Planes> ours = DecodeAllFrames(path);
        const std::vector<Planes> oracle = Mpeg2decFrames(path, o.width, o.height);
        std::remove(path.c_str());
        ASSERT_FALSE(oracle.empty());
        ASSERT_LE(oracle.size(), ours.size());
        for (size_t i = 0; i < oracle.size(); ++i) {
            EXPECT_GE(Compare(ours[i], oracle[i],
                              "saturated levels, mpeg2dec, frame " + std::to_string(i))
                          .Min(),
                      40.0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, SyntheticTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<SyntheticCase>& p) {
                             return std::string(p.param.name);
                         });

// A stream that starts with a field picture is written after its second field.
TEST(Synthetic, FieldPairIsWrittenAfterTheSecondField) {
    SyntheticOptions o;
    const std::string path = WorkFolder() + "/pair." + std::to_string(getpid()) + ".m2v";
    WriteFileBytes(path, MakeSyntheticStream(o));
    Decoder d;
    ASSERT_EQ(d.OpenStreams(path.c_str(), nullptr, 0, 0, 2048, 2048), 1);
    EXPECT_EQ(d.headers().picture.picture_structure, kTopField);
    ASSERT_EQ(d.DecodePicture(), 1);
    EXPECT_FALSE(d.FrameComplete());
    ASSERT_EQ(d.NextPicture(), 1);
    EXPECT_TRUE(d.headers().second_field);
    ASSERT_EQ(d.DecodePicture(), 1);
    EXPECT_TRUE(d.FrameComplete());
    const std::string out = path + ".y";
    int result = 0;
    EXPECT_EQ(DecodePictureFile(path.c_str(), out.c_str(), kFormatLuma, &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadFileBytes(out).size(), 64u * 64u);
    std::remove(out.c_str());
    std::remove(path.c_str());
}

// MPEG-1 D pictures: DC coefficients only, and an end-of-macroblock bit.
TEST(Synthetic, DPictureMatchesTheOracles) {
    const std::string path = WorkFolder() + "/dpicture." + std::to_string(getpid()) + ".m1v";
    WriteFileBytes(path, MakeDPictureStream(80, 48));
    const std::vector<Planes> ours = DecodeAllFrames(path);
    ASSERT_EQ(ours.size(), 1u);
    std::vector<Planes> oracle = Mpeg2decFrames(path, 80, 48);
    if (oracle.empty()) oracle = OracleFrames(path, 80, 48, 1);
    std::remove(path.c_str());
    if (oracle.empty()) GTEST_SKIP() << "no oracle decodes D pictures here";
    EXPECT_GE(Compare(ours[0], oracle[0], "mpeg1 D picture").Min(), 50.0);
}

// A lone first field never completes a frame: no picture, and the command says so.
TEST(Synthetic, SingleFieldGivesNoPicture) {
    SyntheticOptions o;
    o.single_field = true;
    const std::string path = WorkFolder() + "/single." + std::to_string(getpid()) + ".m2v";
    WriteFileBytes(path, MakeSyntheticStream(o));
    const std::string out = path + ".bmp";
    int result = 1;
    EXPECT_EQ(DecodePictureFile(path.c_str(), out.c_str(), kFormatBitmap, &result), 0);
    EXPECT_NE(result, 1);
    EXPECT_FALSE(FileExists(out));
    EXPECT_EQ(cli::RunDecodeCommand(path, out, "bmp"), 3);
    EXPECT_FALSE(FileExists(out));
    std::remove(path.c_str());
}

} // namespace
} // namespace quorin::decoder::test
