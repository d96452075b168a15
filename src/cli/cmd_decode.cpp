#include "cli/cmd_decode.h"

#include "base/scratch_folder.h"

#include "decoder/decoder.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

namespace quorin::cli {

namespace {

namespace fs = std::filesystem;
namespace dec = quorin::decoder;

constexpr int kExitWritten = 0;
constexpr int kExitCannotOpen = 1;
constexpr int kExitNoMemory = 2;
constexpr int kExitNoPicture = 3;
constexpr int kExitOutputFailed = 5;

int FormatCode(const std::string& name) {
    static const std::pair<const char*, int> kNames[] = {
        {"bmp", dec::kFormatBitmap},     {"tga", dec::kFormatTga},   {"ppm", dec::kFormatPpm},
        {"yuv-y", dec::kFormatLuma},     {"yuv-cb", dec::kFormatCb}, {"yuv-cr", dec::kFormatCr},
        {"uyvy", dec::kFormatPacked422},
    };
    if (name.empty()) return dec::kFormatBitmap;
    for (const auto& [text, code] : kNames) {
        if (name == text) return code;
    }
    return -1;
}

// The decoder formats its output name; "%" in the folder's path must come through unchanged.
std::string EscapePercent(const std::string& s) {
    std::string r;
    for (char c : s) {
        r += c;
        if (c == '%') r += '%';
    }
    return r;
}

// Empty when moved, else the system's reason.
std::string MoveFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return {};
    // Another file system: copy, then drop the original.
    if (ec == std::errc::cross_device_link)
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    return ec ? ec.message() : std::string();
}

// Why a file could not be opened as a stream, from the decoder's result code.
std::string OpenFailureText(const fs::path& input, int result) {
    std::error_code ec;
    if (!fs::exists(input, ec)) return "no such file";
    if (fs::is_directory(input, ec)) return "it is a folder";
    switch (result) {
    case dec::kResultFileError:
    case dec::kResultReadError:
        return "the file cannot be read";
    case dec::kResultBadSyntax:
        return "it is not an MPEG video stream (no sequence header or pack header where one "
               "belongs)";
    case dec::kResultUnsupported:
        return "it is a transport stream or uses an extension the decoder does not support";
    case dec::kResultDataRanOut:
    case dec::kResultEnd:
        return "it ends before its first picture";
    default:
        return "it is not a stream the decoder can read";
    }
}

std::string NoPictureText(const dec::DecodeDetails& details) {
    if (details.macroblocks == 0 && details.width > 0) return "its first frame holds no slice";
    switch (details.result_code) {
    case dec::kResultBadSyntax:
        return "its pictures are damaged";
    case dec::kResultDataRanOut:
    case dec::kResultEnd:
        return "it ends before a frame is complete";
    case dec::kResultReadError:
        return "the file cannot be read";
    case dec::kResultUnsupported:
        return "its pictures use a feature the decoder does not support";
    default:
        return "no frame was completed";
    }
}

} // namespace

int RunDecodeCommand(const std::string& in, const std::string& out, const std::string& format) {
    const int code = FormatCode(format);
    if (code < 0) {
        std::fprintf(stderr, "Unknown picture format \"%s\".\n", format.c_str());
        return kExitCannotOpen;
    }
    std::error_code ec;
    const fs::path input = fs::absolute(in, ec);
    const fs::path output = fs::absolute(out, ec);
    ScratchFolder folder("quorin-decode");
    if (!folder.Valid()) {
        std::fprintf(stderr, "Cannot create a temporary folder.\n");
        return kExitOutputFailed;
    }
    const fs::path picture = folder / "picture";
    dec::DecodeDetails details;
    const int r = dec::DecodePictureFile(input.c_str(), EscapePercent(picture.string()).c_str(),
                                         code, details);
    if (r == 1) {
        std::fprintf(stderr, "Cannot decode %s: %s.\n", in.c_str(),
                     OpenFailureText(input, details.result_code).c_str());
        return kExitCannotOpen;
    }
    if (r == 2) {
        std::fprintf(stderr, "Not enough memory to decode %s.\n", in.c_str());
        return kExitNoMemory;
    }
    if (details.result_code == dec::kResultFileError) {
        std::fprintf(stderr, "Cannot write the picture of %s to %s.\n", in.c_str(),
                     folder.Path().c_str());
        return kExitOutputFailed;
    }
    if (!fs::exists(picture, ec) || details.macroblocks == 0) {
        std::fprintf(stderr, "No picture could be decoded from %s: %s.\n", in.c_str(),
                     NoPictureText(details).c_str());
        return kExitNoPicture;
    }
    if (const std::string why = MoveFile(picture, output); !why.empty()) {
        std::fprintf(stderr, "Cannot write %s. (%s)\n", out.c_str(), why.c_str());
        return kExitOutputFailed;
    }
    std::printf("%s\t%dx%d\n", out.c_str(), details.width, details.height);
    return kExitWritten;
}

} // namespace quorin::cli
