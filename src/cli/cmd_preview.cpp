// quorin-cli decode / preview: a picture file from a video file, and the picture the preview
// dialog would show at a position of a clip.
#include "cli/cli_common.h"
#include "cli/cli_time.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "platform/settings.h"
#include "jobs/job_runner.h"
#include "rip/rip_driver.h"

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

// A folder of its own for the preview files and logs, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "quorin-preview-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!previous_.empty()) fs::current_path(previous_, ec);
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool Enter() {
        std::error_code ec;
        previous_ = fs::current_path(ec);
        return !path_.empty() && (fs::current_path(path_, ec), !ec);
    }

private:
    fs::path path_;
    fs::path previous_;
};

// Rips the first picture at whole seconds into "PRV.m2v"; false when nothing was written.
bool RipPreviewAt(CPVRFile& clip, int seconds) {
    std::remove("PRV.m2v");
    RipOutcome outcome = RipStream(clip, seconds, 0.0);
    std::error_code ec;
    return outcome == RipOutcome::kDone && fs::file_size("PRV.m2v", ec) > 4;
}

std::string PositionText(std::int64_t ticks) {
    std::int64_t d = ticks / 900; // hundredths of a second
    return Format("%d:%02d:%02d.%02d", static_cast<int>(d / 360000),
                  static_cast<int>(d / 6000 % 60), static_cast<int>(d / 100 % 60),
                  static_cast<int>(d % 100));
}

int RunPreview(PreviewOptions o) {
    std::optional<double> at = ParseCliTime(o.at);
    if (!at) {
        PrintError("--at: not a time: " + o.at);
        return kExitUsage;
    }
    o.disk = AbsolutePath(o.disk);
    const fs::path output = AbsolutePath(o.out);
    ScratchFolder folder;
    if (!folder.Enter()) {
        PrintError("cannot create a temporary folder");
        return kExitOutput;
    }
    OpenedDisk disk;
    if (int rc = OpenDisk(o.disk, o.firmware190, disk)) return rc;
    CPVRFile* clip = ClipByNumber(disk, o.clip);
    if (!clip) return kExitUsage;
    const int seconds = static_cast<int>(std::trunc(*at));
    if (seconds > clip->GetRecord().LengthInSeconds()) {
        PrintError("wrong offset");
        return kExitNothing;
    }
    if (Globals().log) OpenLog("PRV.LOG", true);
    RipProgress audio, video;
    PrepareClipForPreview(*clip, audio, video);
    ApplyPostfixes(CliSettings(), audio, video);
    std::atomic<bool> neverCancel{false};
    clip->m_pCancel = &neverCancel;
    clip->SetOutputName("PRV", false);

    bool ripped = RipPreviewAt(*clip, 0);
    const std::int64_t base = clip->m_Engine.m_i64RipStartPTS;
    ripped = ripped && RipPreviewAt(*clip, seconds);
    CloseLog();
    if (!ripped) {
        PrintError("no picture at " + o.at + ": " + video.Status());
        return kExitNothing;
    }
    int result = 0;
    quorin::decoder::DecodePictureFile("PRV.m2v", "PRV.BMP", quorin::decoder::kFormatBitmap,
                                       &result);
    std::error_code ec;
    if (!fs::exists("PRV.BMP", ec)) {
        PrintError(Format("no picture could be decoded (result code %d)", result));
        return kExitNothing;
    }
    fs::copy_file("PRV.BMP", output, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        PrintError("cannot write " + output.string() + ": " + ec.message());
        return kExitOutput;
    }
    const bool wide = clip->m_Engine.m_dAspectRatio > 1.5;
    std::printf("%s\t%s\n", PositionText(clip->m_Engine.m_i64RipStartPTS - base).c_str(),
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
    preview->add_option("--clip", o.clip, "clip number as 'list' shows it (from 1)")->required();
    preview->add_option("--at", o.at, "position: seconds, or h:mm:ss.cc")->required();
    preview->add_option("--out", o.out, "bitmap file to write")->required();
    preview->callback([&action] { action = [] { return RunPreview(o); }; });
}

} // namespace quorin::cli
