// quorin-cli decode / preview: a picture file from a video file, and the picture the preview
// dialog would show at a position of a clip.
#include "cli/cli_common.h"
#include "cli/cli_time.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "base/scratch_folder.h"
#include "jobs/job_runner.h"
#include "jobs/preview_picture.h"
#include "platform/settings.h"
#include "rip/rip_runner.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cli/cmd_decode.h"
#include "decoder/decoder.h"

namespace quorin::cli {
namespace {

namespace fs = std::filesystem;

struct PreviewOptions {
    std::string disk;
    bool firmware190 = false;
    int clip = 0;
    std::string at;
    std::string out;
};

int RunPreview(PreviewOptions o) {
    std::optional<double> at = ParseCliTime(o.at);
    if (!at) {
        PrintError("--at: not a time: " + o.at);
        return kExitUsage;
    }
    o.disk = AbsolutePath(o.disk);
    const fs::path output = AbsolutePath(o.out);
    ScratchFolder folder("quorin-preview");
    if (!folder.Valid()) {
        PrintError("cannot create a temporary folder");
        return kExitOutput;
    }
    SetLogFolder(folder.Path().string());
    OpenedDisk disk;
    if (int rc = OpenDisk(o.disk, o.firmware190, disk)) return rc;
    CPVRFile* clip = ClipByNumber(disk, o.clip);
    if (!clip) return kExitUsage;
    if (int rc = UnreadableRecord(*clip)) return rc;
    const int length = clip->GetRecord().LengthInSeconds();
    if (*at > length) {
        PrintError("wrong offset: " + o.at + " lies past the end of the clip (" +
                   FormatHundredths(std::int64_t{length} * 100) + ")");
        return kExitNothing;
    }
    const int seconds = static_cast<int>(std::trunc(*at));
    if (Globals().log) OpenLog("PRV.LOG", true);
    RipProgress audio, video;
    RipRunner runner(*clip, audio, video, nullptr);
    PreviewPictures pictures(runner, folder.Path().string());
    bool ripped = pictures.Rip(0);
    const std::int64_t base = pictures.PicturePts();
    ripped = ripped && pictures.Rip(seconds);
    CloseLog();
    if (!ripped) {
        PrintError("no picture at " + o.at + ": " + video.Status());
        return kExitNothing;
    }
    if (!pictures.Decode()) {
        PrintError(pictures.DecodeError());
        return kExitNothing;
    }
    std::error_code ec;
    fs::copy_file(pictures.PicturePath(), output, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        PrintError("cannot write " + output.string() + ": " + ec.message());
        return kExitOutput;
    }
    const bool wide = pictures.Aspect() > 1.5;
    std::printf("%s\t%s\n", FormatHundredths((pictures.PicturePts() - base) / 900).c_str(),
                wide ? "16:9" : "4:3");
    return kExitOk;
}

} // namespace

void RegisterPreviewCommands(CLI::App& app, Action& action) {
    static std::string in, out, format;
    CLI::App* decode = app.add_subcommand("decode", "decode the first picture of a video file");
    decode->add_option("IN", in, "MPEG-1/2 video elementary stream or program stream")->required();
    decode->add_option("OUT", out, "picture file to write")->required();
    decode->add_option("--format", format, "bmp (default), tga, ppm, yuv-y, yuv-cb, yuv-cr, uyvy")
        ->check(CLI::IsMember({"bmp", "tga", "ppm", "yuv-y", "yuv-cb", "yuv-cr", "uyvy"}));
    decode->callback([&action] { action = [] { return RunDecodeCommand(in, out, format); }; });

    static PreviewOptions o;
    CLI::App* preview =
        app.add_subcommand("preview", "write the preview picture of a clip at a position");
    preview->add_option("--disk", o.disk, "receiver disk: a block device or an image file")
        ->required();
    AddFirmwareOption(*preview, o.firmware190);
    AddClipOption(*preview, o.clip, "clip number as 'list' shows it (from 1)")->required();
    preview->add_option("--at", o.at, "position: SS[.cc], M:SS[.cc] or H:MM:SS[.cc]")
        ->required()
        ->check(NonEmptyTime());
    preview->add_option("--out", o.out, "bitmap file to write")->required();
    preview->callback([&action] { action = [] { return RunPreview(o); }; });
}

} // namespace quorin::cli
