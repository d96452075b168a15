// The break search on recordings with known breaks (made by make_recordings.py): edges within a
// second, no programme taken for adverts, and the command's three outputs.
#include "base/run_state.h"
#include "breaks/break_search.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace quorin {
namespace {

const std::string kDir = QUORIN_RECORDINGS;
const std::string kImage = kDir + "/breaks.img";
const char* const kClips[] = {"wide-ac3", "starts-in-break", "ends-in-break", "no-adverts"};

struct Disk {
    Disk() {
        bool ok = false;
        table = std::make_unique<ClusterTable>(kImage, ok);
        drive = std::make_unique<CPVRDrive>(kImage, table.get(), RecordLayout::kFirmware190);
    }
    std::unique_ptr<ClusterTable> table;
    std::unique_ptr<CPVRDrive> drive;
};

std::vector<std::array<double, 2>> Truth(const std::string& name) {
    std::ifstream in(kDir + "/" + name + ".truth.json");
    const nlohmann::json truth = nlohmann::json::parse(in);
    return truth["breaks"].get<std::vector<std::array<double, 2>>>();
}

double Overlap(double a0, double a1, double b0, double b1) {
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

TEST(BreakSearch, EdgesLieWithinASecondOfTheTruthAndTheProgrammeStaysOutside) {
    Disk disk;
    ASSERT_EQ(disk.drive->GetFileCount(), 4);
    std::atomic<bool> cancel{false};
    int edges = 0, close = 0;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(kClips[i]);
        const BreakSearchReport report =
            FindClipBreaks(*disk.drive->GetFile(i), {}, nullptr, cancel);
        ASSERT_EQ(report.outcome, BreakSearchOutcome::kDone) << report.message;
        EXPECT_TRUE(report.lost.empty());
        const auto truth = Truth(kClips[i]);
        std::vector<breaks::Break> sure;
        for (const breaks::Break& b : report.breaks)
            if (b.confidence >= 0.5) sure.push_back(b);
        double advertTime = 0, advertOutside = 0, programmeInside = 0;
        for (const auto& t : truth) {
            advertTime += t[1] - t[0];
            double covered = 0;
            for (const breaks::Break& b : sure)
                covered += Overlap(t[0], t[1], b.from, b.to);
            advertOutside += t[1] - t[0] - covered;
            edges += 2;
            for (const breaks::Break& b : sure) {
                close += std::abs(b.from - t[0]) <= 1 ? 1 : 0;
                close += std::abs(b.to - t[1]) <= 1 ? 1 : 0;
            }
        }
        for (const breaks::Break& b : sure) {
            double advert = 0;
            for (const auto& t : truth)
                advert += Overlap(t[0], t[1], b.from, b.to);
            programmeInside += b.to - b.from - advert;
        }
        EXPECT_EQ(sure.size(), truth.size());
        // At most 5 s of programme per hour inside breaks, 1% of the adverts outside them.
        EXPECT_LE(programmeInside, 5 * report.seconds / 3600 + 0.5);
        EXPECT_LE(advertOutside, 0.01 * advertTime + 0.5);
    }
    EXPECT_GE(close, edges * 9 / 10) << close << " of " << edges << " edges within 1 s";
}

TEST(BreakSearch, ACancelledSearchEndsAsCancelled) {
    Disk disk;
    std::atomic<bool> cancel{true};
    const BreakSearchReport report = FindClipBreaks(*disk.drive->GetFile(0), {}, nullptr, cancel);
    EXPECT_EQ(report.outcome, BreakSearchOutcome::kCancelled);
}

std::string RunCli(const std::string& args, int& status) {
    std::string out;
    FILE* p = ::popen((std::string(QUORIN_CLI) + " " + args + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int st = ::pclose(p);
    status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

TEST(BreakSearch, TheCommandPrintsLinesJsonAndAnEdl) {
    const std::string edl = kDir + "/ends-in-break.edl";
    std::ofstream(edl) << "old contents\n";
    const std::string common = "breaks --firmware190 --disk " + kImage + " --clip 3 ";
    const struct {
        std::string args;
        std::string out; // expected stdout; empty: a JSON document checked below
    } cases[] = {
        {"--edl " + edl, "break\t0:02:00.96\t0:02:58.08\t"},
        {"--json", ""},
    };
    for (const auto& c : cases) {
        int status = -1;
        const std::string out = RunCli(common + c.args, status);
        EXPECT_EQ(status, 0) << c.args;
        if (!c.out.empty()) {
            EXPECT_NE(out.find(c.out), std::string::npos) << c.args << "\n" << out;
            continue;
        }
        const nlohmann::json doc = nlohmann::json::parse(out);
        EXPECT_EQ(doc["command"], "breaks");
        EXPECT_EQ(doc["clip"], 3);
        ASSERT_EQ(doc["breaks"].size(), 1u) << out;
        EXPECT_EQ(doc["breaks"][0]["from"], 120.96);
        EXPECT_GE(doc["breaks"][0]["confidence"].get<double>(), 0.5);
    }
    std::ifstream in(edl);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "120.96 178.08 3\n");
    int status = -1;
    RunCli("breaks --firmware190 --disk " + kImage + " --clip 9", status);
    EXPECT_EQ(status, 1);
}

} // namespace
} // namespace quorin
