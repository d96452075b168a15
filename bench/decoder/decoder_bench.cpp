// First-picture decode time of a 720x576 and a 1920x1080 intra frame, beside ffmpeg decoding the
// same single picture with one thread. A benchmark, not a test: it prints figures.
//
//   quorin_decoder_bench [--runs N] [--ffmpeg PATH] [--work DIR]
#include "preview/decoder/decoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace dec = quorin::decoder;

double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Runs a program with stdout and stderr captured into `capture` (or discarded).
int Run(const std::vector<std::string>& argv, const std::string& capture = "/dev/null") {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = 0;
    const int r = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Stats {
    double best = 1e300, median = 0;
};

template <typename F> Stats Time(int runs, F f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto a = Clock::now();
        f();
        t.push_back(Ms(a, Clock::now()));
    }
    std::sort(t.begin(), t.end());
    return {t.front(), t[t.size() / 2]};
}

// ffmpeg's own -benchmark figure (real time of the transcode, without program start-up).
double FfmpegBenchmarkMs(const std::string& ffmpeg, const std::string& in, const std::string& log) {
    Run({ffmpeg, "-nostdin", "-hide_banner", "-benchmark", "-threads", "1", "-i", in, "-frames:v",
         "1", "-f", "rawvideo", "-y", "/dev/null"},
        log);
    std::FILE* f = std::fopen(log.c_str(), "r");
    if (f == nullptr) return -1;
    char line[512];
    double rtime = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const char* p = std::strstr(line, "rtime=");
        if (p != nullptr) rtime = std::atof(p + 6) * 1000;
    }
    std::fclose(f);
    return rtime;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--decode-once") == 0) {
        return dec::DecodePictureFile(argv[2], argv[3]);
    }
    int runs = 15;
    std::string ffmpeg = "/usr/bin/ffmpeg";
    std::string work = std::filesystem::temp_directory_path() / "quorin-decoder-bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--ffmpeg") == 0) ffmpeg = argv[i + 1];
        if (std::strcmp(argv[i], "--work") == 0) work = argv[i + 1];
    }
    std::filesystem::create_directories(work);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::printf("%-10s %-34s %10s %10s\n", "picture", "what", "best ms", "median ms");
    for (const char* size : {"720x576", "1920x1080"}) {
        const std::string in = work + "/intra_" + size + ".m2v";
        const std::string source =
            std::string("testsrc2=size=") + size + ":rate=25,noise=alls=12:allf=t";
        if (Run({ffmpeg,  "-nostdin",   "-loglevel",  "error",       "-f",
                 "lavfi", "-i",         source,       "-frames:v",   "1",
                 "-c:v",  "mpeg2video", "-flags",     "+ildct+ilme", "-q:v",
                 "3",     "-f",         "mpeg2video", "-y",          in}) != 0) {
            std::fprintf(stderr, "ffmpeg could not make %s\n", in.c_str());
            return 1;
        }
        const std::string bmp = work + "/out.bmp";
        const std::string y = work + "/out.y";
        auto row = [&](const char* what, Stats s) {
            std::printf("%-10s %-34s %10.2f %10.2f\n", size, what, s.best, s.median);
            return s;
        };
        const Stats ours_bmp =
            row("quorin in-process, bitmap",
                Time(runs, [&] { dec::DecodePictureFile(in.c_str(), bmp.c_str()); }));
        row("quorin in-process, Y plane",
            Time(runs, [&] { dec::DecodePictureFile(in.c_str(), y.c_str(), dec::kFormatLuma); }));
        const Stats ours_proc = row("quorin process, bitmap", Time(runs, [&] {
                                        Run({self, "--decode-once", in, bmp});
                                    }));
        const Stats ff_bmp =
            row("ffmpeg -threads 1 process, bitmap", Time(runs, [&] {
                    Run({ffmpeg, "-nostdin", "-loglevel", "error", "-threads", "1", "-i", in,
                         "-frames:v", "1", "-f", "image2", "-c:v", "bmp", "-y", bmp});
                }));
        row("ffmpeg -threads 1 process, raw", Time(runs, [&] {
                Run({ffmpeg, "-nostdin", "-loglevel", "error", "-threads", "1", "-i", in,
                     "-frames:v", "1", "-f", "rawvideo", "-y", "/dev/null"});
            }));
        double ff_rtime = 1e300;
        for (int i = 0; i < runs; ++i) {
            const double t = FfmpegBenchmarkMs(ffmpeg, in, work + "/bench.log");
            if (t >= 0) ff_rtime = std::min(ff_rtime, t);
        }
        std::printf("%-10s %-34s %10.2f\n", size, "ffmpeg -benchmark rtime (raw)", ff_rtime);
        std::printf("%-10s ratio quorin/ffmpeg: processes %.2f, in-process vs -benchmark %.2f\n",
                    size, ours_proc.best / ff_bmp.best, ours_bmp.best / ff_rtime);
    }
    return 0;
}
