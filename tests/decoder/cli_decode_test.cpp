// quorin-cli decode: exit codes, formats, and output names with "%" in them.
#include "cli/cmd_decode.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace quorin::decoder::test {
namespace {

std::string Stream() {
    return MakeStream("cli176.m2v", "testsrc2=size=176x144:rate=25", 3,
                      {"-c:v", "mpeg2video", "-bf", "1", "-q:v", "4", "-f", "mpeg2video"});
}

std::string Out(const std::string& name) {
    return WorkFolder() + "/cli." + std::to_string(getpid()) + "." + name;
}

TEST(CliDecode, WritesEveryFormat) {
    const std::string in = Stream();
    if (in.empty()) GTEST_SKIP() << "ffmpeg not found";
    struct Case {
        const char* format;
        size_t size;
    };
    for (const Case c : {Case{"", 54 + 176 * 144 * 3}, Case{"bmp", 54 + 176 * 144 * 3},
                         Case{"tga", 18 + 176 * 144 * 3}, Case{"ppm", 15 + 176 * 144 * 3},
                         Case{"yuv-y", 176 * 144}, Case{"yuv-cb", 88 * 72}, Case{"yuv-cr", 88 * 72},
                         Case{"uyvy", 176 * 144 * 2}}) {
        const std::string out = Out(std::string("pic.") + c.format);
        EXPECT_EQ(cli::RunDecodeCommand(in, out, c.format), 0) << c.format;
        EXPECT_EQ(ReadFileBytes(out).size(), c.size) << c.format;
        std::remove(out.c_str());
    }
}

TEST(CliDecode, PercentInTheOutputNameDoesNoHarm) {
    const std::string in = Stream();
    if (in.empty()) GTEST_SKIP() << "ffmpeg not found";
    for (const char* name : {"a%d.bmp", "b%s%n.bmp", "c%%.bmp", "d%"}) {
        const std::string out = Out(name);
        EXPECT_EQ(cli::RunDecodeCommand(in, out, "bmp"), 0) << name;
        EXPECT_TRUE(FileExists(out)) << name;
        std::remove(out.c_str());
    }
}

TEST(CliDecode, ExitCodes) {
    const std::string in = Stream();
    if (in.empty()) GTEST_SKIP() << "ffmpeg not found";
    const std::string out = Out("x.bmp");
    EXPECT_EQ(cli::RunDecodeCommand(Out("missing.m2v"), out, "bmp"), 1);
    EXPECT_EQ(cli::RunDecodeCommand(in, out, "gif"), 1);
    EXPECT_FALSE(FileExists(out));
    const std::string ts = Out("ts.m2v");
    WriteFileBytes(ts, std::vector<uint8_t>(188 * 4, 0x47));
    EXPECT_EQ(cli::RunDecodeCommand(ts, out, "bmp"), 1);
    std::remove(ts.c_str());
    EXPECT_FALSE(FileExists(out));
    EXPECT_EQ(cli::RunDecodeCommand(in, WorkFolder() + "/no/such/folder/x.bmp", "bmp"), 5);
}

// Every failure says what is wrong with the file; a frame that no slice reached is no picture;
// a picture written is named on stdout.
TEST(CliDecode, FailuresNameTheFault) {
    const std::string in = Stream();
    if (in.empty()) GTEST_SKIP() << "ffmpeg not found";
    const std::vector<uint8_t> stream = ReadFileBytes(in);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"headers only", {stream.begin(), stream.begin() + 40}, 3, "holds no slice"},
        {"no stream", std::vector<uint8_t>(300, 0x55), 1, "not an MPEG video stream"},
        {"a stream", stream, 0, ".in.bmp\t176x144\n"},
    };
    const std::string file = Out("in.m2v");
    const std::string out = Out("in.bmp");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(file, c.bytes);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(cli::RunDecodeCommand(file, out, "bmp"), c.status);
        const std::string said =
            testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_EQ(FileExists(out), c.status == 0);
        EXPECT_EQ(said.find("result code"), std::string::npos) << said;
        std::remove(out.c_str());
    }
    std::remove(file.c_str());
}

} // namespace
} // namespace quorin::decoder::test
