// What the decoder does with files that are not what it hopes for: transport streams, streams
// without pictures, pictures without references, corrupt slices, garbage and truncations.
#include "decoder/decoder.h"
#include "decoder/output_name.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace quorin::decoder::test {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Temp(const std::string& name) {
    return WorkFolder() + "/" + name + "." + std::to_string(getpid());
}

// Offsets of every 00 00 01 xx with code xx.
std::vector<size_t> StartCodes(const Bytes& s, int code) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == code) at.push_back(i);
    }
    return at;
}

int PictureType(const Bytes& s, size_t picture_start) {
    return (s[picture_start + 5] >> 3) & 7;
}

struct Outcome {
    int ret = -1;
    int result = 0;
    bool written = false;
    Bytes file;
};

Outcome Decode(const Bytes& stream, int format = kFormatBitmap, const std::string& tag = "in") {
    const std::string in = Temp(tag + ".m2v");
    const std::string out = Temp(tag + ".out");
    WriteFileBytes(in, stream);
    std::remove(out.c_str());
    Outcome o;
    o.ret = DecodePictureFile(in.c_str(), out.c_str(), format, &o.result);
    o.written = FileExists(out);
    if (o.written) o.file = ReadFileBytes(out);
    std::remove(in.c_str());
    std::remove(out.c_str());
    return o;
}

std::string Prog352() {
    return MakeStream(
        "prog352.m2v", "testsrc2=size=352x288:rate=25", 8,
        {"-c:v", "mpeg2video", "-g", "12", "-bf", "2", "-q:v", "4", "-f", "mpeg2video"});
}

TEST(Robustness, TransportStreamGivesNoPicture) {
    Bytes ts;
    for (int i = 0; i < 20; ++i) {
        ts.push_back(0x47);
        ts.insert(ts.end(), 187, 0);
    }
    const Bytes tail = {0, 0, 1, 0xB3, 0x16, 0x01, 0x20, 0x13};
    ts.insert(ts.end(), tail.begin(), tail.end());
    const Outcome o = Decode(ts);
    EXPECT_EQ(o.ret, 1);
    EXPECT_EQ(o.result, -9);
    EXPECT_FALSE(o.written);
}

TEST(Robustness, FilesThatCannotBeOpened) {
    int result = 0;
    EXPECT_EQ(
        DecodePictureFile(Temp("missing").c_str(), Temp("out").c_str(), kFormatBitmap, &result), 1);
    EXPECT_EQ(result, -4);
    EXPECT_EQ(Decode({}).ret, 1);
    EXPECT_EQ(Decode(Bytes(5000, 0x55)).ret, 1);
    // A program stream that ends before its video.
    const Outcome o = Decode({0, 0, 1, 0xBA, 0x21, 0, 1, 0, 1, 0x80, 0, 1, 0, 0, 1, 0xB9});
    EXPECT_EQ(o.ret, 1);
    EXPECT_FALSE(o.written);
}

TEST(Robustness, SequenceHeaderWithoutPictureGivesNoFile) {
    const std::string path = Prog352();
    if (path.empty()) GTEST_SKIP() << "ffmpeg not found";
    const Bytes s = ReadFileBytes(path);
    const size_t first_picture = StartCodes(s, 0x00).at(0);
    Bytes headers(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(first_picture));
    Outcome o = Decode(headers);
    EXPECT_EQ(o.ret, 1);
    EXPECT_FALSE(o.written);
    headers.insert(headers.end(), {0, 0, 1, 0xB7});
    o = Decode(headers);
    EXPECT_EQ(o.ret, 1);
    EXPECT_EQ(o.result, -2);
    EXPECT_FALSE(o.written);
}

TEST(Robustness, TemporalScalabilityGivesNoPicture) {
    const std::string path = Prog352();
    if (path.empty()) GTEST_SKIP() << "ffmpeg not found";
    Bytes s = ReadFileBytes(path);
    const size_t first_slice = StartCodes(s, 0x01).at(0);
    s.insert(s.begin() + static_cast<std::ptrdiff_t>(first_slice), {0, 0, 1, 0xB5, 0xA0, 0, 0, 0});
    const Outcome o = Decode(s);
    EXPECT_EQ(o.ret, 1);
    EXPECT_EQ(o.result, -9);
    EXPECT_FALSE(o.written);
}

// The headers, then the stream from its first picture of the given type on.
Bytes StartingWith(const Bytes& s, int type) {
    const std::vector<size_t> pictures = StartCodes(s, 0x00);
    Bytes out(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(pictures.at(0)));
    for (size_t p : pictures) {
        if (PictureType(s, p) == type) {
            out.insert(out.end(), s.begin() + static_cast<std::ptrdiff_t>(p), s.end());
            return out;
        }
    }
    return {};
}

TEST(Robustness, FirstPicturePOrBDecodesFromTheUnfilledStores) {
    const std::string path = Prog352();
    if (path.empty()) GTEST_SKIP() << "ffmpeg not found";
    const Bytes s = ReadFileBytes(path);
    for (int type : {kPictureP, kPictureB}) {
        const Bytes cut = StartingWith(s, type);
        ASSERT_FALSE(cut.empty());
        const Outcome o = Decode(cut, kFormatBitmap, "cut" + std::to_string(type));
        EXPECT_EQ(o.ret, 0) << type;
        EXPECT_EQ(o.result, 1) << type;
        EXPECT_TRUE(o.written) << type;
        EXPECT_EQ(o.file.size(), 54u + 352u * 288u * 3u) << type;
    }
}

TEST(Robustness, CorruptSliceLeavesTheOtherSlicesIntact) {
    const std::string path = Prog352();
    if (path.empty()) GTEST_SKIP() << "ffmpeg not found";
    Bytes s = ReadFileBytes(path);
    const std::vector<Planes> oracle = OracleFrames(path, 352, 288, 1, 1);
    ASSERT_EQ(oracle.size(), 1u);
    // Slice of macroblock row 9 (start code 0x10A) in the first picture.
    const size_t slice = StartCodes(s, 0x0A).at(0);
    ASSERT_LT(slice, StartCodes(s, 0x00).at(1));
    std::mt19937 rng(9);
    for (size_t i = slice + 5; i < slice + 40; ++i)
        s[i] = static_cast<uint8_t>(1 + rng() % 255);
    const Outcome y = Decode(s, kFormatLuma, "corrupt");
    EXPECT_EQ(y.ret, 0);
    ASSERT_TRUE(y.written);
    ASSERT_EQ(y.file.size(), oracle[0].plane[0].size());
    auto rows = [](const Bytes& plane, int first, int last) {
        return Bytes(plane.begin() + first * 352, plane.begin() + last * 352);
    };
    EXPECT_GE(Psnr(rows(y.file, 0, 144), rows(oracle[0].plane[0], 0, 144)), 50.0);
    EXPECT_GE(Psnr(rows(y.file, 160, 288), rows(oracle[0].plane[0], 160, 288)), 50.0);
    // And the bitmap is still written.
    EXPECT_TRUE(Decode(s, kFormatBitmap, "corruptbmp").written);
}

TEST(Robustness, WrongCallsAreRefused) {
    const std::string path = Prog352();
    if (path.empty()) GTEST_SKIP() << "ffmpeg not found";
    {
        // Two layers: neither carries a scalability mode.
        Decoder d;
        EXPECT_EQ(d.OpenStreams(path.c_str(), path.c_str(), 0, 0, 2048, 2048), -3);
        EXPECT_EQ(d.state(), -127);
        EXPECT_EQ(d.DecodePicture(), -127);
    }
    {
        Decoder d;
        EXPECT_EQ(d.OpenStreams(path.c_str(), nullptr, 0, 0, 10, 2048), -3);
        ASSERT_EQ(d.OpenStreams(path.c_str(), nullptr, 0, 0, 11, 2048), 1);
        EXPECT_EQ(d.OpenStreams(path.c_str(), nullptr, 0, 0, 2048, 2048), -3); // already open
        EXPECT_EQ(d.DecodePicture(), 1);
        d.CloseDecoder();
        EXPECT_EQ(d.state(), -127);
    }
    const std::string ps =
        MakeStream("ps2.mpg", "testsrc2=size=352x288:rate=25", 6,
                   {"-c:v", "mpeg2video", "-g", "12", "-bf", "2", "-q:v", "4", "-f", "vob"});
    Decoder d;
    EXPECT_EQ(d.OpenStreams(ps.c_str(), nullptr, -0x30, 0, 2048, 2048), -3); // stream id 0xB0
}

TEST(Robustness, UnknownFormatWritesNothing) {
    const std::string path = Prog352();
    if (path.empty()) GTEST_SKIP() << "ffmpeg not found";
    const Outcome o = Decode(ReadFileBytes(path), 3);
    EXPECT_EQ(o.ret, 0);
    EXPECT_EQ(o.result, -3);
    EXPECT_FALSE(o.written);
}

TEST(OutputName, IsAFormatForThePictureNumber) {
    EXPECT_EQ(FormatOutputName("PRV.BMP", 1), "PRV.BMP");
    EXPECT_EQ(FormatOutputName("pic%03d.bmp", 1), "pic001.bmp");
    EXPECT_EQ(FormatOutputName("pic%-4i|", 1), "pic1   |");
    EXPECT_EQ(FormatOutputName("p%ld.x", 1), "p1.x");
    EXPECT_EQ(FormatOutputName("100%%-%x", 1), "100%-1");
    EXPECT_EQ(FormatOutputName("100%%", 1), "100%");
}

TEST(OutputName, AnyOtherPercentLeavesTheNameAsItIs) {
    for (const char* name :
         {"a%s.bmp", "a%n", "%d%d", "x%", "%999999d", "%.999d", "%c", "%1$d", "%*d"}) {
        EXPECT_EQ(FormatOutputName(name, 1), name);
    }
}

TEST(OutputName, DecoderWritesTheFormattedName) {
    const std::string path = Prog352();
    if (path.empty()) GTEST_SKIP() << "ffmpeg not found";
    const std::string pattern = Temp("pic%03d") + ".y";
    const std::string expected = FormatOutputName(pattern, 1);
    ASSERT_NE(pattern, expected);
    EXPECT_EQ(DecodePictureFile(path.c_str(), pattern.c_str(), kFormatLuma), 0);
    EXPECT_TRUE(FileExists(expected));
    std::remove(expected.c_str());
    const std::string literal = Temp("odd%s%n") + ".y";
    EXPECT_EQ(DecodePictureFile(path.c_str(), literal.c_str(), kFormatLuma), 0);
    EXPECT_TRUE(FileExists(literal));
    std::remove(literal.c_str());
}

// Fuzz-style: mutated, truncated and random inputs must never fault (the sanitizer build checks
// every access) and must end.
TEST(Robustness, MutatedAndTruncatedStreamsNeverFault) {
    if (FfmpegPath().empty()) GTEST_SKIP() << "ffmpeg not found";
    const std::vector<std::string> seeds = {
        MakeStream("fuzz_il.m2v", "testsrc2=size=64x48:rate=25", 5,
                   {"-c:v", "mpeg2video", "-flags", "+ildct+ilme", "-g", "4", "-bf", "2", "-q:v",
                    "5", "-f", "mpeg2video"}),
        MakeStream("fuzz_422.m2v", "testsrc2=size=64x48:rate=25", 4,
                   {"-c:v", "mpeg2video", "-pix_fmt", "yuv422p", "-alternate_scan", "1",
                    "-intra_vlc", "1", "-non_linear_quant", "1", "-qmax", "28", "-bf", "1", "-q:v",
                    "5", "-f", "mpeg2video"}),
        MakeStream("fuzz_m1.mpg", "testsrc2=size=64x48:rate=25", 4,
                   {"-c:v", "mpeg1video", "-bf", "1", "-q:v", "5", "-f", "mpeg"}),
    };
    std::mt19937 rng(20240607);
    const int formats[] = {kFormatLuma, kFormatBitmap, kFormatPacked422, kFormatPpm};
    int runs = 0;
    for (const std::string& seed : seeds) {
        ASSERT_FALSE(seed.empty());
        const Bytes s = ReadFileBytes(seed);
        for (int cut = 1; cut <= 40; ++cut) {
            const Bytes part(s.begin(),
                             s.begin() + static_cast<std::ptrdiff_t>(s.size() * cut / 41));
            const int r = Decode(part, formats[cut % 4], "trunc").ret;
            EXPECT_TRUE(r == 0 || r == 1);
            ++runs;
        }
        for (int n = 0; n < 150; ++n) {
            Bytes m = s;
            const int flips = 1 + static_cast<int>(rng() % 8);
            for (int f = 0; f < flips; ++f) {
                const size_t at = rng() % m.size();
                if (rng() % 2) {
                    m[at] = static_cast<uint8_t>(rng());
                } else {
                    m[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
                }
            }
            const int r = Decode(m, formats[n % 4], "mut").ret;
            EXPECT_TRUE(r == 0 || r == 1);
            ++runs;
        }
    }
    // Random bytes, bare and behind a real sequence header.
    const Bytes s = ReadFileBytes(seeds[0]);
    const Bytes header(s.begin(),
                       s.begin() + static_cast<std::ptrdiff_t>(StartCodes(s, 0x00).at(0)));
    for (int n = 0; n < 60; ++n) {
        Bytes g = n % 2 ? header : Bytes{};
        const size_t len = rng() % 6000;
        for (size_t i = 0; i < len; ++i) {
            // Plenty of zero bytes, so start codes turn up.
            g.push_back(rng() % 3 == 0 ? 0 : static_cast<uint8_t>(rng()));
        }
        const int r = Decode(g, formats[n % 4], "garbage").ret;
        EXPECT_TRUE(r == 0 || r == 1);
        ++runs;
    }
    EXPECT_GT(runs, 500);
}

} // namespace
} // namespace quorin::decoder::test
