// rip --mark-breaks and --library on recordings with known breaks: each chapter starts at the
// picture where a spot or the programme begins, in the mkv's own decoded pictures (ffprobe as the
// oracle), whole and cut; the EDL beside holds the same breaks on the output's clock.
#include "rip/break_marks.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

const std::string kDir = QUORIN_RECORDINGS;
const std::string kImage = kDir + "/breaks.img";

std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int st = ::pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

struct Stretch {
    double from = 0;
    double to = 0;
    std::string title;
};

std::vector<Stretch> Chapters(const std::string& file) {
    const auto doc =
        nlohmann::json::parse(Shell("ffprobe -v error -show_chapters -of json '" + file + "'"));
    std::vector<Stretch> list;
    for (const auto& c : doc["chapters"])
        list.push_back({std::stod(c["start_time"].get<std::string>()),
                        std::stod(c["end_time"].get<std::string>()), c["tags"]["title"]});
    return list;
}

std::vector<Stretch> Edl(const std::string& file) {
    std::ifstream in(file);
    std::vector<Stretch> list;
    Stretch s;
    for (int action = 0; in >> s.from >> s.to >> action;)
        list.push_back(s);
    return list;
}

// Every picture's time from the file's start and its mean luma, decoded at a quarter of its size.
std::vector<std::pair<double, double>> Pictures(const std::string& file) {
    const auto starts =
        nlohmann::json::parse(Shell("ffprobe -v error -select_streams v:0 -show_entries "
                                    "stream=start_time:format=start_time -of json '" +
                                    file + "'"));
    // Elementary streams have no start times: their first picture is 0.
    const double first = std::atof(starts["streams"][0].value("start_time", "0").c_str()) -
                         std::atof(starts["format"].value("start_time", "0").c_str());
    std::istringstream in(Shell("ffmpeg -v error -lowres 2 -i '" + file +
                                "' -an -vf signalstats,metadata=mode=print:key=lavfi.signalstats."
                                "YAVG:file=- -f null -"));
    std::vector<std::pair<double, double>> pictures;
    double t = 0;
    for (std::string line; std::getline(in, line);) {
        if (const auto at = line.find("pts_time:"); at != std::string::npos)
            t = std::atof(line.c_str() + at + 9);
        else if (const auto eq = line.find("YAVG="); eq != std::string::npos)
            pictures.emplace_back(t, std::atof(line.c_str() + eq + 5));
    }
    const double zero = pictures.empty() ? 0 : pictures.front().first - first;
    for (auto& p : pictures)
        p.first -= zero;
    return pictures;
}

// A break begins where a spot follows a black picture and ends where black follows a spot.
void ExpectAtEdge(const std::vector<std::pair<double, double>>& pictures, double at,
                  bool breakBegins) {
    std::size_t i = 0;
    while (i < pictures.size() && pictures[i].first < at - 0.02)
        ++i;
    ASSERT_LT(i, pictures.size());
    ASSERT_GT(i, 0u);
    EXPECT_NEAR(pictures[i].first, at, 0.02);
    const bool black = pictures[i].second < 20, blackBefore = pictures[i - 1].second < 20;
    EXPECT_EQ(black, !breakBegins) << "at " << at;
    EXPECT_EQ(blackBefore, breakBegins) << "at " << at;
}

TEST(BreakMarks, ChaptersCoverTheFileAndCutBreaksAtItsEdges) {
    // A file from 1 s to 10 s of the video's clock; chapters in ticks from its first picture.
    const struct {
        std::vector<quorin::BreakMarks::Stretch> breaks;
        std::vector<std::pair<double, double>> chapters; // seconds from the first picture
        std::string first;                               // the first chapter's title
    } cases[] = {
        {{}, {}, ""},
        {{{0, 0.5}, {10.5, 12}}, {}, ""},
        {{{0, 2}, {4, 6}}, {{0, 1}, {1, 3}, {3, 5}, {5, 9}}, "Break 1"},
        {{{8, 12}, {3, 4}}, {{0, 2}, {2, 3}, {3, 7}, {7, 9}}, "Part 1"},
    };
    for (const auto& c : cases) {
        const auto chapters = quorin::ChaptersOf({c.breaks, 12}, 90'000, 900'000);
        ASSERT_EQ(chapters.size(), c.chapters.size());
        for (std::size_t i = 0; i < chapters.size(); ++i) {
            EXPECT_EQ(chapters[i].start, std::llround(c.chapters[i].first * 90'000));
            EXPECT_EQ(chapters[i].end, std::llround(c.chapters[i].second * 90'000));
        }
        EXPECT_EQ(chapters.empty() ? "" : chapters[0].title, c.first);
    }
}

TEST(BreakMarks, ChaptersAndTheEdlLandOnTheBreaksPictures) {
    const struct {
        const char* what;
        int clip;
        std::string args;
        std::string output; // extension of the file the marks belong to
        std::vector<std::string> titles;
    } cases[] = {
        {"whole", 1, "--mux mkv", "mkv", {"Part 1", "Break 1", "Part 2", "Break 2", "Part 3"}},
        {"cut", 1, "--mux mkv --begin 1:01 --end 3:00", "mkv", {"Part 1", "Break 1", "Part 2"}},
        {"streams, starting in a break", 2, "", "m2v", {"Break", "Break"}},
        {"transport stream, across the time stamps' wrap", 3, "--mux ts", "ts", {"Break"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = kDir + "/marks-" + std::to_string(&c - cases);
        fs::remove_all(out);
        int status = -1;
        const std::string report =
            Shell(std::string(QUORIN_CLI) + " rip --firmware190 --disk " + kImage + " --clip " +
                      std::to_string(c.clip) + " --mark-breaks --json --out " + out + " " + c.args,
                  &status);
        ASSERT_EQ(status, 0) << report;
        const auto doc = nlohmann::json::parse(report);
        std::string file, edl;
        for (const auto& f : doc["clips"][0]["files"]) {
            const std::string name = f["name"];
            if (name.ends_with("." + c.output)) file = out + "/" + name;
            if (f["kind"] == "edl") edl = out + "/" + name;
        }
        ASSERT_FALSE(file.empty() || edl.empty()) << report;
        const std::vector<Stretch> breaks = Edl(edl);
        const std::vector<Stretch> chapters = c.output == "mkv" ? Chapters(file) : breaks;
        const auto pictures = Pictures(file);
        ASSERT_FALSE(pictures.empty());
        std::vector<Stretch> chapterBreaks;
        if (c.output == "mkv") {
            ASSERT_EQ(chapters.size(), c.titles.size());
            EXPECT_NEAR(chapters.front().from, pictures.front().first, 0.02);
            for (std::size_t i = 0; i < chapters.size(); ++i) {
                EXPECT_EQ(chapters[i].title, c.titles[i]);
                if (i > 0) ExpectAtEdge(pictures, chapters[i].from, c.titles[i][0] == 'B');
                if (c.titles[i][0] == 'B') chapterBreaks.push_back(chapters[i]);
            }
        } else {
            ASSERT_EQ(breaks.size(), c.titles.size());
            for (const Stretch& b : breaks) {
                if (b.from > pictures.front().first + 0.02) ExpectAtEdge(pictures, b.from, true);
                if (b.to < pictures.back().first) ExpectAtEdge(pictures, b.to, false);
            }
            chapterBreaks = breaks;
            EXPECT_TRUE(c.output != "ts" || Chapters(file).empty());
        }
        ASSERT_EQ(breaks.size(), chapterBreaks.size());
        EXPECT_EQ(doc["clips"][0]["breaks"].size(), breaks.size());
        for (std::size_t i = 0; i < breaks.size(); ++i) {
            EXPECT_NEAR(breaks[i].from, chapterBreaks[i].from, 0.006);
            EXPECT_NEAR(breaks[i].to, chapterBreaks[i].to, 0.006);
        }
    }
}

TEST(BreakMarks, ALibraryMarksTheBreaksUnlessToldNot) {
    for (const bool marked : {true, false}) {
        const std::string library = kDir + (marked ? "/library-marked" : "/library-unmarked");
        fs::remove_all(library);
        int status = -1;
        Shell(std::string(QUORIN_CLI) + " rip --firmware190 --disk " + kImage +
                  " --clip 3 --library " + library + (marked ? "" : " --no-breaks"),
              &status);
        ASSERT_EQ(status, 0);
        std::string mkv, edl;
        for (const auto& e : fs::recursive_directory_iterator(library)) {
            if (e.path().extension() == ".mkv") mkv = e.path();
            if (e.path().extension() == ".edl") edl = e.path();
        }
        ASSERT_FALSE(mkv.empty());
        EXPECT_EQ(Chapters(mkv).size(), marked ? 2u : 0u) << marked;
        EXPECT_EQ(!edl.empty(), marked);
        EXPECT_EQ(edl.empty() ? 0u : Edl(edl).size(), marked ? 1u : 0u);
    }
}

// Dropping the breaks keeps the programme parts of the truth, joined: one chapter per part, the
// file as long as the parts together, decoded without an error.
TEST(BreakMarks, DroppingTheBreaksKeepsTheProgrammeParts) {
    const std::string out = kDir + "/dropped";
    fs::remove_all(out);
    int status = -1;
    const auto doc = nlohmann::json::parse(
        Shell(std::string(QUORIN_CLI) + " rip --firmware190 --disk " + kImage +
                  " --clip 1 --drop-breaks --mux mkv --json --out " + out,
              &status));
    ASSERT_EQ(status, 0);
    const auto truth = nlohmann::json::parse(std::ifstream(kDir + "/wide-ac3.truth.json"));
    const auto& segments = doc["clips"][0]["segments"];
    ASSERT_EQ(segments.size(), truth["breaks"].size() + 1);
    double kept = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const double from = segments[i]["from"], to = segments[i]["to"];
        EXPECT_NEAR(from, i == 0 ? 0.0 : truth["breaks"][i - 1][1].get<double>(), 1.0) << i;
        if (i + 1 < segments.size()) {
            EXPECT_NEAR(to, truth["breaks"][i][0].get<double>(), 1.0) << i;
        }
        kept += to - from;
    }
    const std::string mkv = out + "/" + doc["clips"][0]["files"][0]["name"].get<std::string>();
    EXPECT_EQ(Chapters(mkv).size(), segments.size());
    EXPECT_NEAR(
        std::atof(Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + mkv + "'")
                      .c_str()),
        kept, 0.05);
    Shell("ffmpeg -v error -xerror -i '" + mkv + "' -f null -", &status);
    EXPECT_EQ(status, 0);
}

} // namespace
