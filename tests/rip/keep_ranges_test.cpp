// Ranges a rip keeps: the order rules, edit decision lists, cut marks, and quorin-cli's options.
#include "rip_fixture.h"

#include "rip/keep_ranges.h"

#include <algorithm>

namespace quorin {
namespace {

using namespace riptest;

TEST(KeepRanges, OrderJoinAndSettle) {
    struct Case {
        KeepRanges given;
        const char* why; // "" when good
        KeepRanges settled;
        int wrong = 0;
    };
    const double clip = 30;
    const Case cases[] = {
        {{{2, 5}, {5, 8}, {10, {}}}, "", {{2, 8}, {10, 30}}},
        {{{2, 50}}, "", {{2, 30}}},
        {{{5, 5}}, "range 1 (0:00:05.00-0:00:05.00) does not end after it begins", {}},
        {{{5, 8}, {2, 3}}, "range 2 (0:00:02.00-0:00:03.00) begins before range 1", {}},
        {{{2, 8}, {7, 9}}, "range 1 (0:00:02.00-0:00:08.00) and range 2", {}},
        {{{2, {}}, {7, 9}}, "overlap", {}},
        {{{1, 2}, {30, 40}}, "", {}, 2},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> why = CheckRangeOrder(c.given);
        EXPECT_NE(why.value_or("").find(c.why), std::string::npos) << why.value_or("");
        EXPECT_EQ(why.has_value(), *c.why != 0) << why.value_or("");
        if (why) continue;
        const SettledRanges s = SettleRanges(JoinTouching(c.given), clip);
        EXPECT_EQ(s.wrongRange, c.wrong);
        EXPECT_EQ(s.ranges, c.settled);
    }
}

TEST(KeepRanges, EditDecisionLists) {
    struct Case {
        const char* text;
        KeepRanges kept;
        const char* error;
    };
    const Case cases[] = {
        {"# adverts\n10 20 0\n\n15.5 25 3\r\n40 41 1\n50 52 2\n", {{0, 10}, {25, {}}}, ""},
        {"0 5 0\n90 120 3\n", {{5, 90}}, ""},
        {"0 100 0\n", {}, "the list removes the whole clip"},
        {"10 20 0\n20 19 0\n", {}, "line 2: the end lies before the start"},
        {"10 20\n", {}, "line 1: 2 fields where START END ACTION were expected"},
        {"\n# x\n10 -20 0\n", {}, "line 3: the end '-20' is not a time in seconds"},
        {"10 20 7\n", {}, "line 1: the action '7' is not 0, 1, 2 or 3"},
    };
    for (const Case& c : cases) {
        const EdlResult r = ParseEdl(c.text, 100);
        EXPECT_EQ(r.error, c.error) << c.text;
        EXPECT_EQ(r.ranges, c.kept) << c.text;
    }
}

TEST(KeepRanges, CutMarks) {
    ClipRecord record;
    record.bytes[0x46] = 100; // 100 s
    auto set = [&record](int k, std::uint16_t a, std::uint16_t b) {
        record.bytes[0x5C + 4 * k] = a & 0xFF;
        record.bytes[0x5D + 4 * k] = a >> 8;
        record.bytes[0x5E + 4 * k] = b & 0xFF;
        record.bytes[0x5F + 4 * k] = b >> 8;
    };
    for (int k = 0; k < 10; ++k)
        set(k, 0xFFFF, 0xFFFF);
    EXPECT_EQ(RangesFromMarks(record).error, "the clip has no cut marks");
    set(0, 600, 720);
    set(1, 100, 250);
    set(2, 200, 300);
    const MarksResult r = RangesFromMarks(record);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.ranges, (KeepRanges{{10, 30}, {60, 72}}));
    set(3, 500, 400);
    EXPECT_EQ(RangesFromMarks(record).error, "the cut mark pair x3 (500, 400) is not a range");
}

class CliRanges : public ::testing::Test {
protected:
    void SetUp() override {
        td::DiskSpec desc;
        td::ClipSpec film = SampleClip("Film", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 8);
        film.layout = td::RecordLayout::Old;
        film.skipIndex = {{100, 250}};
        desc.clips.push_back(film);
        td::ClipSpec plain = SampleClip("Plain", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 2);
        plain.layout = td::RecordLayout::Old;
        desc.clips.push_back(plain);
        disk_ = std::make_unique<TestDisk>(desc, "ranges");
    }
    Command Cli(const std::string& args) {
        return riptest::Run("env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " +
                            std::string(QUORIN_CLI) + " rip --disk " + Quote(disk_->Image()) + " " +
                            args);
    }
    ScratchDir out_;
    std::unique_ptr<TestDisk> disk_;
};

TEST_F(CliRanges, UsageRules) {
    {
        std::ofstream edl(out_.Path() / "bad.edl");
        edl << "1 2 0\nfoo 3 0\n";
    }
    const std::string bad = Quote((out_.Path() / "bad.edl").string());
    struct Case {
        std::string args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"--clip 1 --keep 2-5 --begin 1", 1, "exclude --begin"},
        {"--clip 1 --keep 2-5 --marks", 1, "exclude each other"},
        {"--clip 1 --keep 2-5 --raw-video", 1, "take no ranges"},
        {"--clip 1 --keep 1:00-30 ", 1, "does not end after it begins"},
        {"--clip 1 --keep 10-20 --keep 5-8", 1, "out of order"},
        {"--clip 1 --keep 10-20 --keep 15-", 1, "overlap"},
        {"--clip 1 --keep ten-20", 1, "invalid range for --keep"},
        {"--clip 1 --keep 2-3 --keep 99-", 3, "range 2 (0:01:39.00-) lies past the end"},
        {"--clip 1 --edl " + bad, 1, "line 2: the start 'foo'"},
        {"--clip 2 --marks", 3, "no cut marks"},
        {"--clip 1 --min-confidence 0.5", 1, "goes with --drop-breaks"},
        {"--clip 1 --drop-breaks --keep 1-2", 1, "exclude each other"},
        {"--all --keep 5-10", 1, "do not apply"},
        {"--clip 1 --exact --backup", 1, "take no ranges"},
    };
    for (const Case& c : cases) {
        const Command r = Cli(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    }
}

TEST_F(CliRanges, OneRangeIsTheCutOfBeginAndEnd) {
    ASSERT_EQ(Cli("--clip 1 --begin 2.5 --end 7 --name A").status, 0);
    ASSERT_EQ(Cli("--clip 1 --keep 2.5-5 --keep 5-7 --name B").status, 0);
    // The same pictures; the audio of the joined file is the cut's, trimmed to the video.
    auto md5 = [](const char* file) {
        return riptest::Run(std::string(QUORIN_FFMPEG) + " -nostdin -v error -i " + file +
                            " -f md5 -")
            .out;
    };
    EXPECT_EQ(md5("A.m2v"), md5("B.m2v"));
    const std::vector<std::uint8_t> a = ReadFile("A.mp2"), b = ReadFile("B.mp2");
    EXPECT_FALSE(b.empty());
    EXPECT_NE(std::search(a.begin(), a.end(), b.begin(), b.end()), a.end());
}

} // namespace
} // namespace quorin
