// FFmpeg's libraries are loaded only by what decodes or muxes, and a missing module is said.
#include "rip_fixture.h"

namespace quorin {
namespace {

using namespace riptest;

bool LoadsFfmpeg(const std::string& loaderTrace) {
    return loaderTrace.find("libavformat.so") != std::string::npos;
}

TEST(MediaModule, FfmpegIsLoadedOnlyForTheMux) {
    td::DiskSpec contents;
    contents.clips.push_back(SampleClip("Film", "mpeg2-4x3.m2v", "tone-48k-192k.mp2"));
    contents.clips.back().layout = td::RecordLayout::Old;
    TestDisk disk(contents, "media-module");
    ScratchDir out;
    const std::string cli = "env XDG_CONFIG_HOME=" + Quote(out.Path().string()) + " ";
    const std::string onDisk = " --disk " + Quote(disk.Image());
    const struct {
        std::string args;
        bool loads;
    } cases[] = {{"--version", false},
                 {"list" + onDisk, false},
                 {"info --clip 1" + onDisk, false},
                 {"rip --clip 1 --name Plain" + onDisk, false},
                 {"rip --clip 1 --name Muxed --mux mkv" + onDisk, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Command run = riptest::Run(cli + "LD_DEBUG=libs " + QUORIN_CLI + " " + c.args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(LoadsFfmpeg(run.err), c.loads);
    }
    EXPECT_TRUE(std::filesystem::exists("Muxed.mkv"));

    // Without the module the mux fails as a write does; the streams stay.
    const Command missing =
        riptest::Run(cli + "QUORIN_MEDIA_MODULE=/nonexistent/quorin_media_ffmpeg.so " + QUORIN_CLI +
                     " rip --clip 1 --name Missing --mux mkv" + onDisk);
    EXPECT_EQ(missing.status, 5) << missing.err;
    EXPECT_NE(missing.err.find("muxing needs FFmpeg's libraries: /nonexistent/"), std::string::npos)
        << missing.err;
    EXPECT_FALSE(std::filesystem::exists("Missing.mkv"));
    EXPECT_TRUE(std::filesystem::exists("Missing.m2v"));
}

} // namespace
} // namespace quorin
