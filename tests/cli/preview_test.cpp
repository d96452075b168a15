#include "run_cli.h"

#include "mkdisk/testdisk.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace quorin::test {
namespace {

namespace fs = std::filesystem;

class CliPreviewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("quorin-cli-preview-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        auto desc = testdisk::LoadDescription(fs::path(QUORIN_SAMPLES_DIR) / "demo.json");
        ASSERT_TRUE(desc.ok()) << desc.error();
        auto built = testdisk::BuildImage(*desc, dir_ / "demo.img", {.keepStreamBytes = false});
        ASSERT_TRUE(built.ok()) << built.error();
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }
    static std::string Image() { return Quote((dir_ / "demo.img").string()); }
    static fs::path dir_;
};
fs::path CliPreviewTest::dir_;

TEST_F(CliPreviewTest, WritesTheBitmapAndReportsPositionAndAspect) {
    fs::path out = dir_ / "wide.bmp";
    CliResult r = RunCli("preview --disk " + Image() + " --clip 2 --at 0:00:12.70 --out " +
                         Quote(out.string()));
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 5), "0:00:");
    EXPECT_NE(r.out.find("\t16:9\n"), std::string::npos) << r.out;
    ASSERT_TRUE(fs::exists(out));
    EXPECT_EQ(fs::file_size(out), 54u + 720u * 576u * 3u);
    std::ifstream in(out, std::ios::binary);
    char magic[2] = {};
    in.read(magic, 2);
    EXPECT_EQ(std::string(magic, 2), "BM");

    CliResult first = RunCli("preview --disk " + Image() + " --clip 1 --at 0 --out " +
                             Quote((dir_ / "first.bmp").string()));
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "0:00:00.00\t4:3\n");
}

TEST_F(CliPreviewTest, LeavesNoPreviewFilesInTheWorkingFolder) {
    fs::path work = dir_ / "work";
    fs::create_directories(work);
    std::string cmd = "cd " + Quote(work.string()) + " && " + QUORIN_CLI +
                      " --log preview --disk " + Image() + " --clip 1 --at 5 --out pic.bmp";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(work))
        names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"pic.bmp"});
}

TEST_F(CliPreviewTest, RefusesBadPositions) {
    std::string out = Quote((dir_ / "x.bmp").string());
    EXPECT_EQ(RunCli("preview --disk " + Image() + " --clip 1 --at soon --out " + out).status, 1);
    EXPECT_EQ(RunCli("preview --disk " + Image() + " --clip 1 --at 99999 --out " + out).status, 3);
    EXPECT_EQ(RunCli("preview --disk " + Image() + " --clip 9 --at 1 --out " + out).status, 1);
    EXPECT_FALSE(fs::exists(dir_ / "x.bmp"));
}

} // namespace
} // namespace quorin::test
