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

bool MoveFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return true;
    // Another file system: copy, then drop the original.
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    return !ec;
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
    int result = 0;
    const int r = dec::DecodePictureFile(input.c_str(), EscapePercent(picture.string()).c_str(),
                                         code, &result);
    if (r == 1) {
        std::fprintf(stderr, "Cannot open %s as an MPEG video stream (result code %d).\n",
                     in.c_str(), result);
        return kExitCannotOpen;
    }
    if (r == 2) {
        std::fprintf(stderr, "Not enough memory to decode %s.\n", in.c_str());
        return kExitNoMemory;
    }
    if (!fs::exists(picture, ec)) {
        std::fprintf(stderr, "No picture could be decoded from %s (result code %d).\n", in.c_str(),
                     result);
        return kExitNoPicture;
    }
    if (!MoveFile(picture, output)) {
        std::fprintf(stderr, "Cannot write %s.\n", out.c_str());
        return kExitOutputFailed;
    }
    return kExitWritten;
}

} // namespace quorin::cli
