// Flat colour patches through the whole decoder: each matrix row of the stream's
// matrix_coefficients gives the RGB values of the conversion formulas.
#include "decoder/decoder.h"
#include "test_support.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <ostream>
#include <unistd.h>

namespace quorin::decoder::test {
namespace {

constexpr int kSize = 64;
// Quadrants: black, white and two colours, as Y, Cb, Cr.
constexpr int kPatches[4][3] = {{16, 128, 128}, {235, 128, 128}, {81, 90, 240}, {145, 54, 34}};

std::string FlatYuv() {
    const std::string path = WorkFolder() + "/flat64.yuv";
    if (FileExists(path)) return path;
    std::vector<uint8_t> yuv;
    for (int p = 0; p < 3; ++p) {
        const int n = p ? kSize / 2 : kSize;
        for (int y = 0; y < n; ++y) {
            for (int x = 0; x < n; ++x) {
                const int q = (x >= n / 2 ? 1 : 0) + (y >= n / 2 ? 2 : 0);
                yuv.push_back(static_cast<uint8_t>(kPatches[q][p]));
            }
        }
    }
    const std::string temp = path + "." + std::to_string(getpid());
    WriteFileBytes(temp, yuv);
    std::rename(temp.c_str(), path.c_str());
    return path;
}

std::array<int, 3> Formula(const int* ycc, int matrix) {
    static const long rows[8][4] = {{117504, 138453, 13954, 34903}, {117504, 138453, 13954, 34903},
                                    {104597, 132201, 25675, 53279}, {104597, 132201, 25675, 53279},
                                    {104448, 132798, 24759, 53109}, {104597, 132201, 25675, 53279},
                                    {104597, 132201, 25675, 53279}, {117579, 136230, 16907, 35559}};
    const long* c = rows[matrix];
    const long y = (ycc[0] - 16) * 76309L, u = ycc[1] - 128, v = ycc[2] - 128;
    auto clip = [](long x) { return static_cast<int>(std::clamp(x, 0L, 255L)); };
    return {clip((y + c[0] * v + 32768) >> 16), clip((y - c[2] * u - c[3] * v + 32768) >> 16),
            clip((y + c[1] * u + 32786) >> 16)};
}

struct MatrixCase {
    const char* name;
    int matrix;
    std::vector<std::string> args;
};

// Keeps gtest from printing the parameter as raw bytes in test names.
void PrintTo(const MatrixCase& value, std::ostream* os) {
    *os << value.name;
}

class ColourTest : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(ColourTest, PatchesGiveTheFormulaColours) {
    if (FfmpegPath().empty()) GTEST_SKIP() << "ffmpeg not found";
    const MatrixCase& c = GetParam();
    const std::string stream = MakeStreamFrom(
        std::string("flat_") + c.name,
        {"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "64x64", "-i", FlatYuv()}, c.args);
    ASSERT_FALSE(stream.empty());
    {
        Decoder d;
        ASSERT_EQ(d.OpenStreams(stream.c_str(), nullptr, 0, 0, 2048, 2048), 1);
        ASSERT_EQ(d.headers().sequence.matrix_coefficients, c.matrix);
    }
    const std::string bmp = stream + "." + std::to_string(getpid()) + ".bmp";
    ASSERT_EQ(DecodePictureFile(stream.c_str(), bmp.c_str()), 0);
    const std::vector<uint8_t> b = ReadFileBytes(bmp);
    std::remove(bmp.c_str());
    ASSERT_EQ(b.size(), 54u + 64u * 64u * 3u);
    for (int q = 0; q < 4; ++q) {
        // Patch centres, away from the chroma filters' reach across patch edges.
        const int x = (q & 1) ? 48 : 16;
        const int y = (q & 2) ? 48 : 16;
        const uint8_t* p = b.data() + 54 + (kSize - 1 - y) * kSize * 3 + x * 3;
        EXPECT_EQ((std::array<int, 3>{p[2], p[1], p[0]}), Formula(kPatches[q], c.matrix))
            << c.name << " patch " << q;
    }
    const uint8_t* black = b.data() + 54 + (kSize - 1 - 16) * kSize * 3 + 16 * 3;
    EXPECT_EQ(black[0] + black[1] + black[2], 0);
    const uint8_t* white = b.data() + 54 + (kSize - 1 - 16) * kSize * 3 + 48 * 3;
    EXPECT_EQ(white[0] + white[1] + white[2], 3 * 255);
}

std::vector<std::string> Mpeg2(const char* colorspace) {
    std::vector<std::string> a = {"-c:v", "mpeg2video", "-q:v", "1", "-g", "1"};
    if (colorspace != nullptr) a.insert(a.end(), {"-colorspace", colorspace});
    a.insert(a.end(), {"-f", "mpeg2video"});
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, ColourTest,
    ::testing::Values(
        MatrixCase{"none", 0, Mpeg2(nullptr)}, MatrixCase{"bt709", 1, Mpeg2("bt709")},
        MatrixCase{"fcc", 4, Mpeg2("fcc")}, MatrixCase{"bt470bg", 5, Mpeg2("bt470bg")},
        MatrixCase{"smpte170m", 6, Mpeg2("smpte170m")},
        MatrixCase{"smpte240m", 7, Mpeg2("smpte240m")},
        MatrixCase{"mpeg1", 5, {"-c:v", "mpeg1video", "-q:v", "1", "-g", "1", "-f", "mpeg1video"}}),
    [](const ::testing::TestParamInfo<MatrixCase>& p) { return std::string(p.param.name); });

} // namespace
} // namespace quorin::decoder::test
