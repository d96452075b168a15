// quorin-cli rip end to end: the real binary on factory disks.
#include "rip_fixture.h"

#include "cli/cli_time.h"

#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>

namespace quorin {
namespace {

using namespace riptest;

class CliRip : public ::testing::Test {
protected:
    static td::DiskSpec Spec() {
        td::DiskSpec desc;
        td::ClipSpec film = SampleClip("Film", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 8);
        film.videoClusters = {9, 4};
        film.videoStartSector = 196'608;
        film.layout = td::RecordLayout::Old; // what quorin-cli reads without --firmware190
        desc.clips.push_back(film);
        td::ClipSpec sport = SampleClip("Sport", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", 2);
        sport.layout = td::RecordLayout::Old;
        desc.clips.push_back(sport);
        return desc;
    }
    void SetUp() override { disk_ = std::make_unique<TestDisk>(Spec(), "cli"); }

    Command Cli(const std::string& args) {
        // HOME and XDG_CONFIG_HOME point at the scratch directory: no settings file is read.
        return riptest::Run("env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " +
                            std::string(QUORIN_CLI) + " " + args);
    }
    std::string Disk() const { return "--disk " + Quote(disk_->Image()); }

    ScratchDir out_;
    std::unique_ptr<TestDisk> disk_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

TEST_F(CliRip, WholeClipIntoANewDirectory) {
    Command c = Cli("rip " + Disk() + " --clip 1 --out out/a");
    ASSERT_EQ(c.status, 0) << c.err;
    const td::ClipResult& res = disk_->Result(0);
    const std::int64_t first = res.video.stream.packets.front().pts;
    const std::int64_t S = first, E = first + std::int64_t{res.lengthSeconds} * 90'000;
    EXPECT_TRUE(ReadFile("out/a/Film.m2v") == ExpectedVideo(res.video, first, S, E));
    EXPECT_TRUE(ReadFile("out/a/Film.mp2") == ExpectedAudio(res.audio, first, S, E));
    EXPECT_TRUE(DecodesCleanly("out/a/Film.m2v"));
    // Each file written with its size, then the stage times.
    auto lines = Lines(c.out);
    ASSERT_EQ(lines.size(), 5u) << c.out;
    EXPECT_EQ(lines[0], "file\tFilm.mp2\t" +
                            std::to_string(std::filesystem::file_size("out/a/Film.mp2")) +
                            "\taudio");
    EXPECT_EQ(lines[1], "file\tFilm.m2v\t" +
                            std::to_string(std::filesystem::file_size("out/a/Film.m2v")) +
                            "\tvideo");
    EXPECT_EQ(lines[2].rfind("file\tFilm delay.log\t", 0), 0u);
    EXPECT_EQ(lines[3].rfind("stage\taudio\t", 0), 0u);
    EXPECT_EQ(lines[4].rfind("stage\tvideo\t", 0), 0u);
    // Progress went to stderr (plain lines: stderr is not a terminal here), nothing to stdout.
    EXPECT_NE(c.err.find("video 100%"), std::string::npos) << c.err;
    EXPECT_EQ(c.out.find("analyzing"), std::string::npos);
    // A second rip numbers its names; the trace goes to stdout only with --trace.
    Command again = Cli("rip " + Disk() + " --clip 1 --out out/a --trace --no-audio");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find("file\tFilm_000.m2v\t"), std::string::npos);
    EXPECT_NE(again.out.find("analyzing streams..."), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists("out/a/Film_000 delay.log"));
    EXPECT_FALSE(std::filesystem::exists("out/a/Film_000.mp2"));
}

TEST_F(CliRip, TimesAsSecondsOrClockTextAndAName) {
    const td::ClipResult& res = disk_->Result(0);
    const std::int64_t first = res.video.stream.packets.front().pts;
    Command c = Cli("rip " + Disk() + " --clip 1 --begin 0:00:02.50 --end 6.25 --name Cut --log");
    ASSERT_EQ(c.status, 0) << c.err;
    const std::int64_t S = first + 225'000, E = S + 337'500;
    EXPECT_TRUE(ReadFile("Cut.m2v") == ExpectedVideo(res.video, first, S, E));
    EXPECT_TRUE(ReadFile("Cut.mp2") == ExpectedAudio(res.audio, first, S, E));
    // The name names the files only: the clip keeps its title on the disk.
    Command list = Cli("list " + Disk());
    EXPECT_NE(list.out.find("\tFilm\t"), std::string::npos);
    // --log: one log per activity, in the output directory.
    int dirLogs = 0, ripLogs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        std::string name = entry.path().filename().string();
        if (name.size() > 8 && name.ends_with("_DIR.log")) ++dirLogs;
        if (name.ends_with("_Film.log")) {
            ++ripLogs;
            std::string log = ReadText(entry.path());
            EXPECT_NE(log.find("Stream ripped successfully"), std::string::npos);
        }
    }
    EXPECT_GE(dirLogs, 1);
    EXPECT_EQ(ripLogs, 1);
    // A length reaching beyond the end is shortened; a length of 0 rips 0.1 s.
    Command tail = Cli("rip " + Disk() + " --clip 1 --begin 20 --length 1000 --name Tail");
    EXPECT_EQ(tail.status, 0) << tail.err;
    Command zero = Cli("rip " + Disk() + " --clip 1 --begin 3 --length 0 --name Zero --no-audio");
    EXPECT_EQ(zero.status, 0) << zero.err;
    EXPECT_EQ(FrameCount("Zero.m2v"), Pictures(res.video, first, first + 270'000, first + 279'000));
}

TEST_F(CliRip, AcThreeClipGivesAc3File) {
    Command c = Cli("rip " + Disk() + " --clip 2 --begin 1 --length 3");
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(std::filesystem::exists("Sport.ac3"));
    EXPECT_TRUE(DecodesCleanly("Sport.ac3"));
    EXPECT_TRUE(DecodesCleanly("Sport.m2v"));
}

TEST_F(CliRip, ExitCodes) {
    // 1: usage errors.
    EXPECT_EQ(Cli("rip " + Disk() + " --clip 1 --begin 5 --end 4").status, 1);
    EXPECT_EQ(Cli("rip " + Disk() + " --clip 1 --begin abc").status, 1);
    EXPECT_EQ(Cli("rip " + Disk() + " --clip 1 --begin -3").status, 1);
    EXPECT_EQ(Cli("rip " + Disk() + " --clip 1 --length 3 --end 4").status, 1);
    EXPECT_EQ(Cli("rip " + Disk() + " --clip 1 --no-audio --no-video").status, 1);
    EXPECT_EQ(Cli("rip " + Disk() + " --clip 9").status, 1);
    EXPECT_EQ(Cli("rip " + Disk()).status, 1);
    // 2: the disk cannot be opened.
    EXPECT_EQ(Cli("rip --disk /no/such/disk.img --clip 1").status, 2);
    // 3: nothing to rip.
    Command wrong = Cli("rip " + Disk() + " --clip 1 --begin 1:00:00");
    EXPECT_EQ(wrong.status, 3);
    EXPECT_NE(wrong.err.find("wrong offset"), std::string::npos);
    // 5: an output file that cannot be created; no success is reported.
    Command out = Cli("rip " + Disk() + " --clip 1 --name " + std::string(255, 'x'));
    EXPECT_EQ(out.status, 5);
    EXPECT_NE(out.err.find("could not create"), std::string::npos);
    EXPECT_EQ(out.out.find("file\t"), std::string::npos);
    std::ofstream("plainfile") << "x";
    EXPECT_EQ(Cli("rip " + Disk() + " --clip 1 --out plainfile/sub").status, 5);
}

// On a pipe each stage ends with one 100% line; a title of dots names files that are not hidden.
TEST_F(CliRip, EachStageEndsOnceAndNoFileIsHidden) {
    Command c = Cli("rip " + Disk() + " --clip 1 --mux mkv --keep-streams --name ..");
    ASSERT_EQ(c.status, 0) << c.err;
    for (const char* end : {"audio 100%", "video 100%", "mux   100%"}) {
        const auto first = c.err.find(end);
        EXPECT_NE(first, std::string::npos) << end << "\n" << c.err;
        EXPECT_EQ(c.err.find(end, first + 1), std::string::npos) << end << "\n" << c.err;
    }
    for (const char* name : {"_..m2v", "_..mp2", "_..mkv", "_. delay.log"})
        EXPECT_TRUE(std::filesystem::exists(name)) << name;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

TEST_F(CliRip, MuxIntoOnePlayableFile) {
    Command c = Cli("rip " + Disk() + " --clip 2 --mux mkv");
    ASSERT_EQ(c.status, 0) << c.err;
    auto lines = Lines(c.out);
    ASSERT_EQ(lines.size(), 4u) << c.out;
    EXPECT_EQ(lines[0], "file\tSport.mkv\t" +
                            std::to_string(std::filesystem::file_size("Sport.mkv")) + "\tmuxed");
    EXPECT_EQ(lines[3].rfind("stage\tmux\t", 0), 0u);
    EXPECT_NE(c.err.find("mux   100%"), std::string::npos) << c.err;
    EXPECT_FALSE(std::filesystem::exists("Sport.m2v"));
    const std::string probed =
        riptest::Run(std::string(QUORIN_FFPROBE) + " -v error -show_streams -show_format Sport.mkv")
            .out;
    EXPECT_NE(probed.find("display_aspect_ratio=16:9"), std::string::npos) << probed;
    EXPECT_NE(probed.find("TAG:title=Sport"), std::string::npos);

    // Usage errors: an unknown format (the three listed), keeping without a format.
    Command bad = Cli("rip " + Disk() + " --clip 2 --mux avi");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("unknown output format 'avi' (mkv, mpg or ts)"), std::string::npos)
        << bad.err;
    EXPECT_EQ(Cli("rip " + Disk() + " --clip 2 --keep-streams").status, 1);
    EXPECT_EQ(Cli("jobs " + Disk() + " x.csv --mux mp4").status, 1);

    // jobs: the same options; raw rips are not muxed, said once.
    std::ofstream("list.csv") << "2;Jobbed;0.00;2.00\n2;Raw;0.00;2.00;1;1;1;0\n";
    Command jobs = Cli("jobs " + Disk() + " list.csv --mux ts --keep-streams");
    EXPECT_EQ(jobs.status, 0) << jobs.err;
    EXPECT_TRUE(std::filesystem::exists("Jobbed.ts"));
    EXPECT_TRUE(std::filesystem::exists("Jobbed.m2v"));
    EXPECT_FALSE(std::filesystem::exists("Raw.ts"));
    EXPECT_NE(jobs.err.find("never muxed"), std::string::npos) << jobs.err;

    // A mux that cannot write its file (the file size limit between the streams' and the
    // container's): no container, libavformat's reason, exit 5; the video went straight into the
    // container, the audio's file stays.
    const auto limit =
        (std::filesystem::file_size("Jobbed.m2v") + std::filesystem::file_size("Jobbed.ac3") / 2) /
        1024;
    Command full =
        riptest::Run("bash -c \"ulimit -f " + std::to_string(limit) + "; exec env " +
                     "XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " + QUORIN_CLI + " rip " +
                     Disk() + " --clip 2 --length 2 --mux mkv --name Full\"");
    EXPECT_EQ(full.status, 5) << full.err;
    EXPECT_NE(full.err.find("could not write Full.mkv: File too large"), std::string::npos)
        << full.err;
    EXPECT_FALSE(std::filesystem::exists("Full.mkv"));
    EXPECT_FALSE(std::filesystem::exists("Full.m2v"));
    EXPECT_NE(full.out.find("file\tFull.ac3\t"), std::string::npos) << full.out;
}

// Reads a pipe until the text has come; false when it ended first.
bool ReadUntil(int fd, const std::string& text, std::string& got) {
    char buf[4096];
    while (got.find(text) == std::string::npos) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

// Starts a rip that the test hook holds until Ctrl-C, then sends Ctrl-C `signals` times, each
// after the program has answered the one before.
int Interrupt(const std::string& image, const std::string& config, int signals, std::string& err) {
    int errPipe[2];
    if (::pipe(errPipe) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(errPipe[1], 2);
        ::close(errPipe[0]);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        ::setenv("QUORIN_TEST_HOLD_RIP", std::to_string(signals).c_str(), 1);
        ::execl(QUORIN_CLI, QUORIN_CLI, "rip", "--disk", image.c_str(), "--clip", "1",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(errPipe[1]);
    if (ReadUntil(errPipe[0], "held\n", err)) {
        ::kill(pid, SIGINT);
        if (signals == 2 && ReadUntil(errPipe[0], "cancelling", err)) ::kill(pid, SIGINT);
    }
    ReadUntil(errPipe[0], "\x04", err); // to the end
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CliRip, CtrlCCancelsAndASecondEndsAtOnce) {
    std::string err;
    EXPECT_EQ(Interrupt(disk_->Image(), out_.Path().string(), 1, err), 4);
    EXPECT_NE(err.find("cancelling"), std::string::npos) << err;
    EXPECT_NE(err.find("cancelled"), std::string::npos) << err;
    std::string err2;
    EXPECT_EQ(Interrupt(disk_->Image(), out_.Path().string(), 2, err2), 4);
    EXPECT_NE(err2.find("stopped"), std::string::npos) << err2;
}

// The media tools' convention: SS[.cc], M:SS[.cc], H:MM:SS[.cc].
TEST(CliTime, SecondsMinutesAndHours) {
    using cli::ParseCliTime;
    const std::pair<const char*, double> good[] = {
        {"90", 90},          {"12.5", 12.5},        {"125", 125},
        {"0:30", 30},        {"1:30", 90},          {"90:00", 5400},
        {"0:30.25", 30.25},  {"1:02:03.5", 3723.5}, {"1:02:03.50", 3723.5},
        {" 2:00:00 ", 7200}, {".5", 0.5},
    };
    for (const auto& [text, seconds] : good) {
        ASSERT_TRUE(ParseCliTime(text).has_value()) << text;
        EXPECT_NEAR(*ParseCliTime(text), seconds, 1e-9) << text;
    }
    for (const char* bad : {"", " ", "abc", "-1", "1e3", "1:2:3:4", "1:234", "1:5", "1:60",
                            "1:60:00", "1:2:03", "1:", ":30", "x:10", "1.2.3", "."})
        EXPECT_FALSE(ParseCliTime(bad).has_value()) << bad;
}

} // namespace
} // namespace quorin
