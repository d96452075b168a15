// rip --all into a folder that is ripped into again: what --skip-existing may skip after an
// interrupted run, a full disk or a clip ripped by hand under another clip's name.
#include "rip_fixture.h"

#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/wait.h>

namespace quorin {
namespace {

using namespace riptest;

// Every regular file under the folder as "relative-path size", the ledger left out.
std::vector<std::string> Tree(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file() && e.path().filename() != ".quorin-ripped")
            files.push_back(fs::relative(e.path(), folder).string() + " " +
                            std::to_string(e.file_size()));
    std::sort(files.begin(), files.end());
    return files;
}

// The clips' outcomes of a --json document, in order ("done skipped ...").
std::string Outcomes(const std::string& json) {
    const auto doc = nlohmann::json::parse(json, nullptr, false);
    if (doc.is_discarded()) return "not JSON: " + json;
    std::string s;
    for (const auto& c : doc["clips"])
        s += (s.empty() ? "" : " ") + c["outcome"].get<std::string>();
    return s;
}

// How the first run is stopped inside the held file.
enum class Stop { kNone, kCtrlC, kKill };

class CliArchive : public ::testing::Test {
protected:
    static td::DiskSpec NewsAndFilm() {
        td::DiskSpec desc;
        int day = 1;
        for (const char* name : {"News", "News", "News_02"}) {
            td::ClipSpec c = SampleClip(name, "mpeg2-16x9.m2v", "tone-48k-192k.mp2", 1);
            c.layout = td::RecordLayout::Old;
            c.day = day++;
            desc.clips.push_back(c);
        }
        td::ClipSpec film = SampleClip("Film & Co's", "mpeg2-4x3.m2v", "tone-48k-448k.ac3", 8);
        film.layout = td::RecordLayout::Old;
        film.year = 0; // no date
        desc.clips.push_back(film);
        return desc;
    }
    void SetUp() override { disk_ = std::make_unique<TestDisk>(NewsAndFilm(), "archive"); }

    std::string Cli() const {
        return "env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " + QUORIN_CLI;
    }
    std::string AllArgs(const std::string& folder, const std::string& options) const {
        return "rip --disk " + Quote(disk_->Image()) + " --all --skip-existing --json --out " +
               Quote(folder) + " " + options;
    }

    // The run stopped in the write that takes `file` past 1 MB, then interrupted as `stop` says.
    Command Held(const std::string& args, const std::string& file, Stop stop) {
        const std::string command =
            "exec env LD_PRELOAD=" + std::string(QUORIN_HOLD_WRITE) +
            " QUORIN_HOLD_FILE=" + Quote(file) +
            " QUORIN_HOLD_BYTES=1000000 ASAN_OPTIONS=" + "verify_asan_link_order=0 " + Cli() + " " +
            args + " > held.out 2> held.err";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int st = 0;
        ::waitpid(pid, &st, WUNTRACED);
        if (WIFSTOPPED(st)) {
            ::kill(pid, stop == Stop::kKill ? SIGKILL : SIGINT);
            ::kill(pid, SIGCONT);
            ::waitpid(pid, &st, 0);
        } else {
            ADD_FAILURE() << "the run was never held in " << file;
        }
        return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), ReadText("held.out"),
                ReadText("held.err")};
    }

    ScratchDir out_;
    std::unique_ptr<TestDisk> disk_;
};

TEST_F(CliArchive, SkipsOnlyWhatAnEarlierRunFinishedForThatClip) {
    struct Case {
        const char* what;
        const char* options;
        const char* before; // a rip into the folder before the --all runs
        const char* held;   // the file the first --all run is stopped in
        Stop stop;
        int firstStatus;
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {"interrupted rip", "", "", "Film & Co's.m2v", Stop::kCtrlC, 4, "done done done cancelled",
         "skipped skipped skipped done"},
        {"interrupted mux", "--mux mkv", "", "Film & Co's.mkv", Stop::kCtrlC, 4,
         "done done done cancelled", "skipped skipped skipped done"},
        {"killed during the audio of a mux", "--mux mkv", "", "Film & Co's.ac3", Stop::kKill, 137,
         "", "skipped skipped skipped done"},
        {"killed during a mux", "--mux mkv", "", "Film & Co's.mkv", Stop::kKill, 137, "",
         "skipped skipped skipped done"},
        {"killed backup", "--backup", "", "Film & Co's.pva", Stop::kKill, 137, "",
         "skipped skipped skipped done"},
        {"a clip's name taken by hand", "", "--clip 2 --name News_02", "", Stop::kNone, 0,
         "done done done done", "skipped skipped skipped skipped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = (out_.Path() / c.what).string();
        const std::string clean = folder + " (clean)";
        ASSERT_EQ(riptest::Run(Cli() + " " + AllArgs(clean, c.options)).status, 0);
        std::vector<std::string> handMade;
        if (*c.before) {
            ASSERT_EQ(riptest::Run(Cli() + " rip --disk " + Quote(disk_->Image()) + " --out " +
                                   Quote(folder) + " " + c.before)
                          .status,
                      0);
            handMade = Tree(folder);
        }
        const Command first = *c.held ? Held(AllArgs(folder, c.options), c.held, c.stop)
                                      : riptest::Run(Cli() + " " + AllArgs(folder, c.options));
        EXPECT_EQ(first.status, c.firstStatus) << first.err;
        if (*c.first) {
            EXPECT_EQ(Outcomes(first.out), c.first);
        }
        if (*c.held) {
            // The partial files are kept apart, never under the names of finished ones.
            bool staged = false;
            for (const std::string& f : Tree(folder)) {
                EXPECT_NE(f.rfind("Film", 0), 0u) << f;
                staged |= f.rfind(".quorin-partial/", 0) == 0;
            }
            EXPECT_TRUE(staged);
        }
        const Command second = riptest::Run(Cli() + " " + AllArgs(folder, c.options));
        EXPECT_EQ(second.status, 0) << second.err;
        EXPECT_EQ(Outcomes(second.out), c.second);
        const Command third = riptest::Run(Cli() + " " + AllArgs(folder, c.options));
        EXPECT_EQ(Outcomes(third.out), "skipped skipped skipped skipped");
        // Every clip once, under the names a clean run gives; files made by hand stay as they were
        // and push the clip that would take their name to a numbered one.
        std::vector<std::string> want = Tree(clean);
        if (!handMade.empty()) {
            for (std::string& f : want)
                if (f.rfind("News_02.", 0) == 0 || f.rfind("News_02 ", 0) == 0) f.insert(7, "_000");
            want.insert(want.end(), handMade.begin(), handMade.end());
            std::sort(want.begin(), want.end());
        }
        EXPECT_EQ(Tree(folder), want);
    }
}

// A full disk during a clip: the rerun, with room again, rips that clip into the same names.
TEST_F(CliArchive, FullDiskThenRoom) {
    const std::string folder = (out_.Path() / "small").string();
    const std::string clean = (out_.Path() / "clean").string();
    ASSERT_EQ(riptest::Run(Cli() + " " + AllArgs(clean, "")).status, 0);
    fs::create_directory(folder);
    // A small filesystem of its own, in a mount namespace of the test's.
    const std::string script = "mount -t tmpfs -o size=3m none " + Quote(folder) + " || exit 99; " +
                               Cli() + " " + AllArgs(folder, "") + " > first.json; echo $? > rc; " +
                               "mount -o remount,size=200m " + Quote(folder) + "; " + Cli() + " " +
                               AllArgs(folder, "") + " > second.json; echo $? >> rc; cp -r " +
                               Quote(folder) + " " + Quote(folder + " copy");
    const Command c = riptest::Run("unshare -rm sh -c " + Quote(script));
    if (c.status == 99 || c.status == 1) GTEST_SKIP() << "no mount namespace here: " << c.err;
    EXPECT_EQ(ReadText("rc"), "5\n0\n") << c.err;
    const std::string first = Outcomes(ReadText("first.json"));
    EXPECT_NE(first.find("output failed"), std::string::npos) << first;
    EXPECT_EQ(Outcomes(ReadText("second.json")).find("output failed"), std::string::npos);
    EXPECT_EQ(Tree(folder + " copy"), Tree(clean));
}

std::string Probe(const std::string& file, const std::string& entries) {
    return riptest::Run(std::string(QUORIN_FFPROBE) + " -v error -show_entries " + entries +
                        " -of default=nw=1 " + Quote(file))
        .out;
}

// --library: a folder per recording with its film, NFO and pictures; a rerun writes nothing; a
// deleted folder is ripped again, alone.
TEST_F(CliArchive, LibraryFolderPerRecording) {
    const std::string args =
        "rip --disk " + Quote(disk_->Image()) + " --all --library lib --skip-existing --json";
    const Command first = riptest::Run(Cli() + " " + args);
    ASSERT_EQ(first.status, 0) << first.err;
    const fs::path film = "lib/Film & Co's (clip 4)/Film & Co's (clip 4)";
    const fs::path news = "lib/News_02 (2024-01-03 20.15)/News_02 (2024-01-03 20.15)";
    for (const fs::path& base : {film, news}) {
        SCOPED_TRACE(base);
        const std::string mkv = base.string() + ".mkv";
        EXPECT_EQ(riptest::Run(std::string(QUORIN_FFMPEG) + " -v error -xerror -i " + Quote(mkv) +
                               " -f null -")
                      .status,
                  0);
        // The NFO through another XML parser, against ffprobe's view of the film.
        const std::string nfo =
            riptest::Run(
                "python3 -c \"import sys, xml.etree.ElementTree as E; m = E.parse(sys.argv[1])."
                "getroot(); print(m.tag, *[m.findtext(t) for t in ('title', 'studio', 'premiered', "
                "'aired', 'runtime')], *[m.findtext('fileinfo/streamdetails/' + t) for t in "
                "('video/codec', 'video/width', 'video/height', 'video/durationinseconds', "
                "'audio/codec', 'audio/channels')], sep='|')\" " +
                Quote(base.string() + ".nfo"))
                .out;
        const std::string probed =
            Probe(mkv, "stream=codec_name,width,height,channels:format=duration");
        if (base == film) {
            EXPECT_EQ(nfo, "movie|Film & Co's|Test|None|None|1|mpeg2video|720|576|30|ac3|2\n");
        } else {
            EXPECT_EQ(nfo,
                      "movie|News_02|Test|2024-01-03|2024-01-03|1|mpeg2video|720|576|3|mp2|2\n");
        }
        for (const char* field :
             {"codec_name=mpeg2video\nwidth=720\nheight=576\n", "channels=2\nduration="})
            EXPECT_NE(probed.find(field), std::string::npos) << probed;
        const double seconds = std::stod(probed.substr(probed.find("duration=") + 9));
        EXPECT_NEAR(seconds, base == film ? 30 : 3, 1.0) << probed;
        // The pictures decode and have the film's display aspect.
        const std::string dar = Probe(mkv, "stream=display_aspect_ratio");
        const double aspect = dar.find("16:9") != std::string::npos ? 16.0 / 9 : 4.0 / 3;
        for (const char* picture : {"-poster.jpg", "-fanart.jpg"}) {
            const std::string size = Probe(base.string() + picture, "stream=width,height");
            int w = 0, h = 0;
            ASSERT_EQ(std::sscanf(size.c_str(), "width=%d height=%d", &w, &h), 2) << size;
            EXPECT_NEAR(static_cast<double>(w) / h, aspect, 0.01) << size;
        }
    }
    const auto before = Tree("lib");
    const auto ledger = fs::last_write_time("lib/.quorin-ripped");
    const Command second = riptest::Run(Cli() + " " + args);
    EXPECT_EQ(Outcomes(second.out), "skipped skipped skipped skipped");
    EXPECT_EQ(Tree("lib"), before);
    EXPECT_EQ(fs::last_write_time("lib/.quorin-ripped"), ledger);
    fs::remove_all(news.parent_path());
    const Command third = riptest::Run(Cli() + " " + args);
    EXPECT_EQ(Outcomes(third.out), "skipped skipped done skipped");
    EXPECT_EQ(Tree("lib"), before);
}

} // namespace
} // namespace quorin
