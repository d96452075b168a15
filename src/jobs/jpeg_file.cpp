#include "jobs/jpeg_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jpeglib.h>
#include <memory>

namespace quorin {
namespace {

struct ErrorJump {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// libjpeg's default ends the process; this returns to the encoder's caller instead.
[[noreturn]] void OnJpegError(j_common_ptr info) {
    auto* e = reinterpret_cast<ErrorJump*>(info->err);
    (*info->err->format_message)(info, e->message);
    std::longjmp(e->jump, 1);
}

// Encodes into memory; only plain data lives across the jump.
bool Encode(const RgbPicture& p, int quality, unsigned char** data, unsigned long* size,
            char* message) {
    jpeg_compress_struct info;
    ErrorJump err;
    info.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    if (setjmp(err.jump)) {
        std::strcpy(message, err.message);
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, data, size);
    info.image_width = static_cast<JDIMENSION>(p.width);
    info.image_height = static_cast<JDIMENSION>(p.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(p.rgb.data() + std::size_t{info.next_scanline} * 3 *
                                                               static_cast<std::size_t>(p.width));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

} // namespace

RgbPicture Resized(const RgbPicture& in, int width, int height) {
    RgbPicture out{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3)};
    if (in.width < 1 || in.height < 1) return out;
    for (int y = 0; y < height; ++y) {
        const double sy = std::max(0.0, (y + 0.5) * in.height / height - 0.5);
        const int y0 = std::min(static_cast<int>(sy), in.height - 1);
        const int y1 = std::min(y0 + 1, in.height - 1);
        const double fy = sy - y0;
        for (int x = 0; x < width; ++x) {
            const double sx = std::max(0.0, (x + 0.5) * in.width / width - 0.5);
            const int x0 = std::min(static_cast<int>(sx), in.width - 1);
            const int x1 = std::min(x0 + 1, in.width - 1);
            const double fx = sx - x0;
            for (int c = 0; c < 3; ++c) {
                auto at = [&](int px, int py) {
                    return in.rgb[(std::size_t(py) * in.width + px) * 3 + c];
                };
                const double v = (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
                                 (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
                out.rgb[(std::size_t(y) * width + x) * 3 + c] =
                    static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
            }
        }
    }
    return out;
}

bool WriteJpeg(const RgbPicture& picture, const std::string& file, int quality,
               std::string* error) {
    if (picture.width < 1 || picture.height < 1 ||
        picture.rgb.size() != std::size_t(picture.width) * picture.height * 3) {
        *error = "no picture to write into " + file;
        return false;
    }
    unsigned char* data = nullptr;
    unsigned long size = 0;
    char message[JMSG_LENGTH_MAX] = {};
    const bool encoded = Encode(picture, quality, &data, &size, message);
    std::unique_ptr<unsigned char, decltype(&std::free)> owned(data, &std::free);
    if (!encoded) {
        *error = "could not encode " + file + ": " + message;
        return false;
    }
    std::FILE* f = std::fopen(file.c_str(), "wbx");
    bool ok = f && std::fwrite(data, 1, size, f) == size;
    const int why = errno;
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) {
        *error = "could not write " + file + ": " + std::strerror(f ? errno : why);
        if (f) std::remove(file.c_str());
    }
    return ok;
}

} // namespace quorin
