#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorin::decoder::test {

namespace fs = std::filesystem;

const std::string& FfmpegPath() {
    static const std::string path = QUORIN_TEST_FFMPEG;
    return path;
}

const std::string& Mpeg2decPath() {
    static const std::string path = QUORIN_TEST_MPEG2DEC;
    return path;
}

const std::string& WorkFolder() {
    static const std::string folder = [] {
        std::string f = std::string(QUORIN_TEST_WORK_DIR) + "/decoder-streams";
        std::error_code ec;
        fs::create_directories(f, ec);
        return f;
    }();
    return folder;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& stdout_file) {
    if (argv.empty() || argv[0].empty()) return -1;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const char* out = stdout_file.empty() ? "/dev/null" : stdout_file.c_str();
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int r = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeStream(const std::string& name, const std::string& source, int frames,
                       const std::vector<std::string>& encoder_args) {
    return MakeStreamFrom(name, {"-f", "lavfi", "-i", source, "-frames:v", std::to_string(frames)},
                          encoder_args);
}

std::string MakeStreamFrom(const std::string& name, const std::vector<std::string>& input_args,
                           const std::vector<std::string>& encoder_args) {
    if (FfmpegPath().empty()) return "";
    const std::string path = WorkFolder() + "/" + name;
    if (FileExists(path)) return path;
    // Written under a private name and renamed, so tests running in parallel never see half a
    // file.
    const std::string temp = path + ".part" + std::to_string(getpid());
    std::vector<std::string> argv = {FfmpegPath(), "-nostdin", "-hide_banner", "-loglevel",
                                     "error"};
    argv.insert(argv.end(), input_args.begin(), input_args.end());
    argv.insert(argv.end(), encoder_args.begin(), encoder_args.end());
    argv.insert(argv.end(), {"-y", temp});
    if (RunProgram(argv) != 0) return "";
    std::error_code ec;
    fs::rename(temp, path, ec);
    return ec ? "" : path;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

Planes CurrentFrame(const Decoder& decoder) {
    const SequenceHeader& seq = decoder.headers().sequence;
    const Geometry& g = decoder.geometry();
    const FrameStore& store = decoder.frame();
    Planes p;
    p.width = seq.horizontal_size;
    p.height = seq.vertical_size;
    p.chroma_width = seq.chroma_format == 3 ? p.width : (p.width + 1) / 2;
    p.chroma_height = seq.chroma_format == 1 ? (p.height + 1) / 2 : p.height;
    for (int i = 0; i < 3; ++i) {
        const int w = i ? p.chroma_width : p.width;
        const int h = i ? p.chroma_height : p.height;
        const uint8_t* src = store.plane(i);
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = src + static_cast<size_t>(y) * static_cast<size_t>(g.width[i]);
            p.plane[i].insert(p.plane[i].end(), row, row + w);
        }
    }
    return p;
}

std::vector<Planes> DecodeAllFrames(const std::string& path, int max_frames) {
    std::vector<Planes> frames;
    Decoder decoder;
    if (decoder.OpenStreams(path.c_str(), nullptr, 0, 0, 2048, 2048) != 1) return frames;
    std::optional<Planes> held; // the newest reference frame waits for the next one
    while (static_cast<int>(frames.size()) < max_frames) {
        decoder.DecodePicture();
        if (decoder.FrameComplete()) {
            Planes frame = CurrentFrame(decoder);
            if (decoder.headers().picture.picture_coding_type == kPictureB) {
                frames.push_back(std::move(frame));
            } else {
                if (held) frames.push_back(std::move(*held));
                held = std::move(frame);
            }
        }
        if (decoder.NextPicture() != 1) break;
    }
    if (held && static_cast<int>(frames.size()) < max_frames) frames.push_back(std::move(*held));
    return frames;
}

namespace {

Planes EmptyPlanes(int width, int height, int chroma_format) {
    Planes p;
    p.width = width;
    p.height = height;
    p.chroma_width = chroma_format == 3 ? width : (width + 1) / 2;
    p.chroma_height = chroma_format == 1 ? (height + 1) / 2 : height;
    return p;
}

} // namespace

std::vector<Planes> OracleFrames(const std::string& path, int width, int height, int chroma_format,
                                 int max_frames) {
    std::vector<Planes> frames;
    if (FfmpegPath().empty()) return frames;
    const char* pix = chroma_format == 1 ? "yuv420p" : chroma_format == 2 ? "yuv422p" : "yuv444p";
    const std::string raw = path + ".oracle." + std::to_string(getpid()) + ".yuv";
    const int r =
        RunProgram({FfmpegPath(), "-nostdin", "-hide_banner", "-loglevel", "error", "-i", path,
                    "-fps_mode", "passthrough", "-frames:v", std::to_string(max_frames), "-f",
                    "rawvideo", "-pix_fmt", pix, "-y", raw});
    const std::vector<uint8_t> bytes = ReadFileBytes(raw);
    std::remove(raw.c_str());
    if (r != 0) return frames;
    const Planes shape = EmptyPlanes(width, height, chroma_format);
    const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t chroma = static_cast<size_t>(shape.chroma_width) * shape.chroma_height;
    const size_t frame_size = luma + 2 * chroma;
    for (size_t at = 0; at + frame_size <= bytes.size(); at += frame_size) {
        Planes p = shape;
        auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        p.plane[0].assign(begin, begin + static_cast<std::ptrdiff_t>(luma));
        begin += static_cast<std::ptrdiff_t>(luma);
        p.plane[1].assign(begin, begin + static_cast<std::ptrdiff_t>(chroma));
        begin += static_cast<std::ptrdiff_t>(chroma);
        p.plane[2].assign(begin, begin + static_cast<std::ptrdiff_t>(chroma));
        frames.push_back(std::move(p));
    }
    return frames;
}

std::vector<Planes> Mpeg2decFrames(const std::string& path, int width, int height) {
    std::vector<Planes> frames;
    if (Mpeg2decPath().empty()) return frames;
    const std::string out = path + ".mpeg2dec." + std::to_string(getpid()) + ".pgm";
    std::vector<std::string> argv = {Mpeg2decPath(), "-o", "pgmpipe"};
    if (path.ends_with(".mpg")) argv.push_back("-s"); // program stream, video stream 0xE0
    argv.push_back(path);
    RunProgram(argv, out);
    const std::vector<uint8_t> bytes = ReadFileBytes(out);
    std::remove(out.c_str());
    // Each frame: a P5 header for the coded (macroblock-padded) width x 3/2 height, the Y rows,
    // then rows holding a Cb row and a Cr row side by side. Cropped to the picture size.
    const Planes shape = EmptyPlanes(width, height, 1);
    const size_t cw = static_cast<size_t>(shape.chroma_width);
    size_t at = 0;
    while (at < bytes.size()) {
        int coded_w = 0, rows = 0, consumed = 0;
        const std::string head(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                               bytes.begin() +
                                   static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + 32)));
        if (std::sscanf(head.c_str(), "P5\n%d %d\n255\n%n", &coded_w, &rows, &consumed) != 2 ||
            consumed == 0) {
            break;
        }
        const int coded_h = rows * 2 / 3;
        const size_t data = at + static_cast<size_t>(consumed);
        const size_t size = static_cast<size_t>(coded_w) * static_cast<size_t>(rows);
        if (coded_w < width || coded_h < height || data + size > bytes.size()) break;
        Planes p = shape;
        const uint8_t* b = bytes.data() + data;
        for (int y = 0; y < height; ++y) {
            const uint8_t* row = b + static_cast<size_t>(y) * coded_w;
            p.plane[0].insert(p.plane[0].end(), row, row + width);
        }
        b += static_cast<size_t>(coded_w) * coded_h;
        for (int y = 0; y < shape.chroma_height; ++y, b += coded_w) {
            p.plane[1].insert(p.plane[1].end(), b, b + cw);
            p.plane[2].insert(p.plane[2].end(), b + coded_w / 2, b + coded_w / 2 + cw);
        }
        frames.push_back(std::move(p));
        at = data + size;
    }
    return frames;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
        se += d * d;
    }
    if (se == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / se);
}

double PlanePsnr::Min() const {
    return std::min({y, cb, cr});
}

PlanePsnr Compare(const Planes& a, const Planes& b, const std::string& label) {
    PlanePsnr r{Psnr(a.plane[0], b.plane[0]), Psnr(a.plane[1], b.plane[1]),
                Psnr(a.plane[2], b.plane[2])};
    if (!label.empty()) {
        std::printf("[ PSNR     ] %-40s Y %5.1f  Cb %5.1f  Cr %5.1f\n", label.c_str(), r.y, r.cb,
                    r.cr);
    }
    return r;
}

} // namespace quorin::decoder::test
