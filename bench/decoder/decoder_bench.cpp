// First-picture decode time of a 720x576 and a 1920x1080 intra frame, beside ffmpeg decoding the
// same single picture with one thread. A benchmark, not a test: it prints figures.
//
//   quorin_decoder_bench [--runs N] [--ffmpeg PATH] [--work DIR]
#include "decoder/decoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
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
    double best = 1e300, median = 0; // wall clock
    double cpu = 1e300;              // best CPU time of this process (user + system)
};

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

template <typename F> Stats Time(int runs, F f) {
    std::vector<double> t;
    Stats s;
    for (int i = 0; i < runs; ++i) {
        const double c = CpuMs();
        const auto a = Clock::now();
        f();
        t.push_back(Ms(a, Clock::now()));
        s.cpu = std::min(s.cpu, CpuMs() - c);
    }
    std::sort(t.begin(), t.end());
    s.best = t.front();
    s.median = t[t.size() / 2];
    return s;
}

struct FfmpegBench {
    double rtime = -1, cpu = -1;
};

// ffmpeg's own -benchmark figures: real and CPU time of the transcode, without program
// start-up.
FfmpegBench FfmpegBenchmark(const std::string& ffmpeg, const std::string& in,
                            const std::string& log, const char* codec) {
    std::vector<std::string> argv = {ffmpeg,      "-nostdin", "-hide_banner", "-benchmark",
                                     "-threads",  "1",        "-i",           in,
                                     "-frames:v", "1"};
    if (std::strcmp(codec, "bmp") == 0) {
        argv.insert(argv.end(), {"-f", "image2", "-c:v", "bmp", "-y", log + ".bmp"});
    } else {
        argv.insert(argv.end(), {"-f", "rawvideo", "-y", "/dev/null"});
    }
    Run(argv, log);
    FfmpegBench b;
    std::FILE* f = std::fopen(log.c_str(), "r");
    if (f == nullptr) return b;
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const char* u = std::strstr(line, "utime=");
        const char* st = std::strstr(line, "stime=");
        const char* r = std::strstr(line, "rtime=");
        if (u != nullptr && st != nullptr && r != nullptr) {
            b.cpu = (std::atof(u + 6) + std::atof(st + 6)) * 1000;
            b.rtime = std::atof(r + 6) * 1000;
        }
    }
    std::fclose(f);
    return b;
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
    std::printf("%-10s %-36s %9s %9s %9s\n", "picture", "what", "best ms", "median", "cpu ms");
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
        auto row = [&](const char* what, Stats s, bool cpu) {
            std::printf("%-10s %-36s %9.2f %9.2f", size, what, s.best, s.median);
            if (cpu) std::printf(" %9.2f", s.cpu);
            std::printf("\n");
            return s;
        };
        const Stats ours_bmp =
            row("quorin in-process, bitmap",
                Time(runs, [&] { dec::DecodePictureFile(in.c_str(), bmp.c_str()); }), true);
        const Stats ours_y = row(
            "quorin in-process, Y plane",
            Time(runs, [&] { dec::DecodePictureFile(in.c_str(), y.c_str(), dec::kFormatLuma); }),
            true);
        const Stats ours_proc = row("quorin process, bitmap",
                                    Time(runs,
                                         [&] {
                                             Run({self, "--decode-once", in, bmp});
                                         }),
                                    false);
        const Stats ff_proc =
            row("ffmpeg -threads 1 process, bitmap",
                Time(runs,
                     [&] {
                         Run({ffmpeg, "-nostdin", "-loglevel", "error", "-threads", "1", "-i", in,
                              "-frames:v", "1", "-f", "image2", "-c:v", "bmp", "-y", bmp});
                     }),
                false);
        FfmpegBench ff_bmp{1e300, 1e300}, ff_raw{1e300, 1e300};
        for (int i = 0; i < runs; ++i) {
            for (auto [codec, best] : {std::pair{"bmp", &ff_bmp}, std::pair{"raw", &ff_raw}}) {
                const FfmpegBench b = FfmpegBenchmark(ffmpeg, in, work + "/bench.log", codec);
                if (b.rtime >= 0) best->rtime = std::min(best->rtime, b.rtime);
                if (b.cpu >= 0) best->cpu = std::min(best->cpu, b.cpu);
            }
        }
        std::printf("%-10s %-36s %9.2f %9s %9.2f\n", size, "ffmpeg -benchmark, bitmap",
                    ff_bmp.rtime, "", ff_bmp.cpu);
        std::printf("%-10s %-36s %9.2f %9s %9.2f\n", size, "ffmpeg -benchmark, raw YUV",
                    ff_raw.rtime, "", ff_raw.cpu);
        std::printf("%-10s ratio quorin/ffmpeg: processes (wall) %.2f; bitmap cpu %.2f; "
                    "decode cpu (Y plane vs raw YUV) %.2f\n",
                    size, ours_proc.best / ff_proc.best, ours_bmp.cpu / ff_bmp.cpu,
                    ours_y.cpu / ff_raw.cpu);
    }
    return 0;
}
