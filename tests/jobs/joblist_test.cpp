#include "job_disk.h"
#include "test_env.h"

#include "base/format.h"
#include "disk/clip_record.h"
#include "jobs/jobs.h"

#include <gtest/gtest.h>

namespace quorin::test {
namespace {

class JobListTest : public ::testing::Test {
protected:
    bool quiet_ = (SetConsoleTrace(false), true);
    // The drive is read with the folder current, so no "driveheader.rec" of elsewhere is used.
    TempDir dir_{"quorin-joblist"};
    CwdGuard cwd_{dir_.Path()};
    JobDisk disk_{"joblist"};
    std::vector<std::uint32_t> checksums_ = BuildChecksumTable(disk_.Drive());
    std::vector<std::string> rawAudio_;
    JobListContext Context() { return {disk_.Drive(), checksums_, rawAudio_}; }

    std::vector<RipJob> Parse(const std::string& text, Messages& messages) {
        return ParseJobList(text, Context(), messages);
    }
    const ClipRecord& Record(int i) { return disk_.Drive().GetFile(i)->GetRecord(); }
};

TEST_F(JobListTest, ChecksumOfTheWorkedExample) {
    EXPECT_EQ(ClipChecksum(Record(0)), 0x01FB0151u);
    ASSERT_EQ(checksums_.size(), 3u);
    EXPECT_EQ(checksums_[0], 0x01FB0151u);
}

TEST_F(JobListTest, SaveWritesTheExactFileAndLoadReadsItBack) {
    JobQueue queue;
    Messages messages;
    queue.Add(MakeJob(Record(0), 0, 3723.5, 300, false, false, true, true), messages);
    queue.Add(MakeJob(Record(1), 1, 0.57, 59.43, true, false, true, false), messages);
    RipJob odd = MakeJob(Record(0), 0, 0, 60, false, false, false, true);
    odd.name = "A;B\r\nC";
    odd.rawVideo = 1;
    queue.Add(odd, messages);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(queue.Count(), 3);
    EXPECT_TRUE(queue.QueueMode());
    EXPECT_NEAR(queue.TotalSize(), 2.2 * 300 / 5400 + 0.2 * 59.43 / 600 + 2.2 * 60 / 5400, 1e-9);

    ASSERT_TRUE(SaveJobList(kJobListFileName, queue.Jobs(), checksums_, messages));
    const std::string expected =
        "Index;Name;Begin;End;Rip Audio;Rip Video;Rip Audio Raw;Rip Video Raw;Checksum\r\n"
        "1;Tatort;10203.50;10703.50;1;1;0;0;01FB0151\r\n"
        "2;heute;0.57;100.00;1;0;1;0;" +
        Format("%08X", checksums_[1]) +
        "\r\n"
        "1;A,B  C;0.00;100.00;0;1;0;1;01FB0151\r\n";
    EXPECT_EQ(ReadFile(dir_ / kJobListFileName), expected);

    JobQueue loaded;
    ASSERT_TRUE(LoadJobList(dir_ / kJobListFileName, Context(), loaded, messages));
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(loaded.Count(), 3);
    for (int i = 0; i < 3; ++i) {
        const RipJob& a = queue.Jobs()[i];
        const RipJob& b = loaded.Jobs()[i];
        EXPECT_EQ(b.clipIndex, a.clipIndex);
        EXPECT_DOUBLE_EQ(b.begin, a.begin);
        EXPECT_NEAR(b.length, a.length, 1e-9);
        EXPECT_NEAR(b.sizeEstimate, a.sizeEstimate, 1e-9);
        EXPECT_EQ(b.audio, a.audio);
        EXPECT_EQ(b.video, a.video);
        EXPECT_EQ(b.rawAudio, a.rawAudio);
        EXPECT_EQ(b.rawVideo, a.rawVideo);
        EXPECT_EQ(b.backup, 0);
    }
    EXPECT_EQ(loaded.Jobs()[2].name, "A,B  C");
    EXPECT_TRUE(loaded.QueueMode());
}

TEST_F(JobListTest, SavingAnEmptyQueueWritesNothing) {
    Messages messages;
    EXPECT_TRUE(SaveJobList(kJobListFileName, {}, checksums_, messages));
    EXPECT_FALSE(std::filesystem::exists(dir_ / kJobListFileName));
    EXPECT_TRUE(messages.empty());
    RipJob job = MakeJob(Record(0), 0, 0, 1, false, false, true, true);
    EXPECT_FALSE(SaveJobList(dir_ / "missing/QUORIN_Joblist.csv", {&job, 1}, checksums_, messages));
    EXPECT_EQ(messages, (Messages{{"QUORIN_Joblist.csv",
                                   "File could not be opened ! (No such file or directory)"}}));
}

TEST_F(JobListTest, TheThreeLineForms) {
    rawAudio_ = {"AR", "ZD"};
    Messages messages;
    auto jobs = Parse("Index;Name;Begin;End\n"
                      "; a comment\n"
                      "\n"
                      "no separator here\n"
                      "Jobs;for;tonight\n"
                      "3;My clip;10203.00;10503.00\n" // no flag columns
                      "2;Short;10.50;20\r\n"          // no flag columns, ZDF
                      "2;heute;x2;;0;1;1;1;" +
                          Format("%08X", checksums_[1]) +
                          "\r\n"                 // cut marks, all columns
                          "1;Flags;0;100;0;1\n", // flag columns cut short
                      messages);
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(jobs.size(), 4u);

    EXPECT_EQ(jobs[0].clipIndex, 2);
    EXPECT_EQ(jobs[0].name, "My clip");
    EXPECT_DOUBLE_EQ(jobs[0].begin, 3723);
    EXPECT_DOUBLE_EQ(jobs[0].length, 180);
    EXPECT_EQ(jobs[0].audio, 1);
    EXPECT_EQ(jobs[0].video, 1);
    EXPECT_EQ(jobs[0].rawAudio, 0);     // "arte" does not begin with "AR": case counts
    EXPECT_EQ(jobs[0].sizeEstimate, 0); // a clip of no length has no size, not a division by 0

    EXPECT_EQ(jobs[1].rawAudio, 1); // "ZDF" begins with "ZD"
    EXPECT_DOUBLE_EQ(jobs[1].begin, 10.5);
    EXPECT_DOUBLE_EQ(jobs[1].length, 9.5);

    // x2 = (100, 200) thousandths of 600 s: 60 s to 120 s, from 10 s before to 20 s after.
    EXPECT_EQ(jobs[2].clipIndex, 1);
    EXPECT_DOUBLE_EQ(jobs[2].begin, 50);
    EXPECT_DOUBLE_EQ(jobs[2].length, 90);
    EXPECT_EQ(jobs[2].audio, 0);
    EXPECT_EQ(jobs[2].video, 1);
    EXPECT_EQ(jobs[2].rawAudio, 1);
    EXPECT_EQ(jobs[2].rawVideo, 1);
    EXPECT_NEAR(jobs[2].sizeEstimate, 0.2 * 90 / 600, 1e-12);

    EXPECT_EQ(jobs[3].audio, 0);
    EXPECT_EQ(jobs[3].video, 1);
    EXPECT_EQ(jobs[3].rawAudio, 0); // a line with flag columns keeps its own value
    EXPECT_EQ(jobs[3].rawVideo, 0);
}

TEST_F(JobListTest, AStartMarkWithinTheFirstTenSecondsBeginsAtZero) {
    Messages messages;
    auto jobs = Parse("2;early;x0;0\n", messages);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_DOUBLE_EQ(jobs[0].begin, 0); // 5/1000 of 600 s = 3 s
    EXPECT_DOUBLE_EQ(jobs[0].length, 30 + 20);
}

TEST_F(JobListTest, ChecksumsFindClipsWhoseNumbersMoved) {
    const std::string heute = Format("%08X", checksums_[1]);
    const std::string tatort = Format("%08X", checksums_[0]);
    // The receiver deleted nothing but listed the clips in another order.
    JobDisk moved("joblist-moved", {1, 2, 0});
    const auto movedChecksums = BuildChecksumTable(moved.Drive());
    JobListContext context{moved.Drive(), movedChecksums, rawAudio_};
    Messages messages;
    auto jobs = ParseJobList("1;Tatort;0;100;1;1;0;0;" + tatort +
                                 "\n"
                                 // x2 is read from the clip the checksum found, not from clip 2
                                 "2;heute;x2;;1;1;0;0;" +
                                 heute + "\n",
                             context, messages);
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].clipIndex, 2);
    EXPECT_NEAR(jobs[0].sizeEstimate, 2.2 * 60 / 5400, 1e-12); // "100" is 1:00
    EXPECT_EQ(jobs[1].clipIndex, 0);
    EXPECT_DOUBLE_EQ(jobs[1].begin, 50);
    EXPECT_DOUBLE_EQ(jobs[1].length, 90);
}

TEST_F(JobListTest, AnUnknownChecksumKeepsTheIndexAndSaysSo) {
    Messages messages;
    auto jobs = Parse("2;Lost;0;100;1;1;0;0;DEADBEEF\n", messages);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].clipIndex, 1);
    EXPECT_EQ(messages, (Messages{{"Not Found - Correct CSV", "Lost"}}));
}

TEST_F(JobListTest, LinesThatCannotRunAreRefusedByName) {
    Messages messages;
    auto jobs = Parse("9;Elsewhere;0;100\n" // no clip 9 on this disk
                      "0;Zero;0;100\n"      // clip numbers start at 1
                      "2;Twelve;x12;0\n"    // pairs are x0 to x9
                      "2;Minus;x-1;0\n"
                      "2;Nothing;x;0\n"
                      "2;Empty;x1;0\n"                     // 0xFFFF in both halves
                      "2;Half;x3;0\n"                      // 0xFFFF in the stop
                      "2;Backwards;x4;0\n"                 // the stop lies before the start
                      "2;Negative;x5;0\n"                  // a start below 0
                      "1;Tatort;0;100;1;1;0;0;DEADBEEF;\n" // keeps its index, which exists
                      "1;Good;x2;0\n",                     // Tatort has no cut marks at all
                      messages);
    EXPECT_EQ(jobs.size(), 1u);
    ASSERT_EQ(messages.size(), 11u);
    const char* names[] = {"Elsewhere", "Zero", "Twelve",    "Minus",   "Nothing",
                           "Empty",     "Half", "Backwards", "Negative"};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(messages[i].caption, kNotQueuedCaption);
        EXPECT_NE(messages[i].text.find(std::string("\"") + names[i] + "\""), std::string::npos)
            << messages[i].text;
    }
    EXPECT_NE(messages[0].text.find("clip 9 is not on this disk"), std::string::npos);
    EXPECT_EQ(messages[9], (UserMessage{kNotFoundCaption, "Tatort"}));
    EXPECT_NE(messages[10].text.find("\"Good\""), std::string::npos);
}

// Line ends of any kind and a byte-order mark lose no job; a line meant as a job that cannot be
// one is named with its line number; a file of which nothing can run is refused whole.
TEST_F(JobListTest, EveryJobLineIsReadOrReportedWithItsLineNumber) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> names;    // jobs read, in file order
        std::vector<std::string> refusals; // texts the refusals begin with
    };
    const Case cases[] = {
        {"byte-order mark",
         "\xEF\xBB\xBF"
         "1;Bom;5;10\r\n",
         {"Bom"},
         {}},
        {"CR-only line ends", "Index;Name\r1;A;0;10\r1;B;0;10\r", {"A", "B"}, {}},
        {"mixed line ends", "1;A;0;10\n\r\n# note;x\r1;B;0;10", {"A", "B"}, {}},
        {"bad job lines",
         "Index;Name;Begin;End\r\n"
         "1;Ok;0;10\r\n"
         "1;Word;abc;10\r\n"
         "1;NoEnd;5\r\n"
         "1;Back;200;100\r\n"
         "-2;Minus;0;10\r\n"
         "not a job;0;10\r\n",
         {"Ok"},
         {"line 3: \"Word\": Begin \"abc\" is not a time",
          "line 4: \"NoEnd\": End \"\" is not a time",
          "line 5: \"Back\": its End 0:01:00.00 lies before its Begin 0:02:00.00",
          "line 6: \"Minus\": clip -2 is not on this disk"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Messages messages;
        std::vector<std::string> names;
        for (const RipJob& job : Parse(c.text, messages))
            names.push_back(job.name);
        EXPECT_EQ(names, c.names);
        ASSERT_EQ(messages.size(), c.refusals.size());
        for (std::size_t i = 0; i < messages.size(); ++i)
            EXPECT_TRUE(messages[i].text.starts_with(c.refusals[i])) << messages[i].text;
    }

    std::string binary;
    for (int i = 0; i < 4000; ++i)
        binary += static_cast<char>((i * 7919 + (i >> 3)) % 256);
    WriteFile(dir_ / "binary.csv", "7;\x01\x02;\xff;\n" + binary);
    JobQueue queue;
    Messages messages;
    EXPECT_FALSE(LoadJobList(dir_ / "binary.csv", Context(), queue, messages));
    EXPECT_TRUE(queue.Empty());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].text.find("is a job that can run"), std::string::npos);
}

TEST_F(JobListTest, ANameThatIsNotUtf8IsReadAsLatin1) {
    Messages messages;
    auto jobs = Parse("1;Caf\xE9 M\xFCller;0;1\r\n1;Caf\xC3\xA9;0;1\r\n", messages);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].name, "Caf\xC3\xA9 M\xC3\xBCller");
    EXPECT_EQ(jobs[1].name, "Caf\xC3\xA9");
}

TEST_F(JobListTest, LoadingAppendsAndNeverOverfillsTheQueue) {
    Messages messages;
    JobQueue queue;
    EXPECT_FALSE(LoadJobList(dir_ / "absent.csv", Context(), queue, messages));
    EXPECT_EQ(messages, (Messages{{dir_ / "absent.csv",
                                   "File could not be opened ! (No such file or directory)"}}));
    EXPECT_FALSE(queue.QueueMode());

    messages.clear();
    RipJob job = MakeJob(Record(0), 0, 0, 10, false, false, true, true);
    for (int i = 0; i < 98; ++i)
        ASSERT_TRUE(queue.Append(job, messages));
    WriteFile(dir_ / "list.csv", "1;a;0;1\n1;b;0;1\n1;c;0;1\n1;d;0;1\n");
    ASSERT_TRUE(LoadJobList(dir_ / "list.csv", Context(), queue, messages));
    EXPECT_EQ(queue.Count(), kMaxJobs);
    EXPECT_EQ(queue.Jobs()[99].name, "b");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, kQueueFullCaption);
    EXPECT_NE(messages[0].text.find("2 jobs from \"c\" on are not loaded"), std::string::npos)
        << messages[0].text;

    messages.clear();
    EXPECT_FALSE(queue.Append(job, messages)); // the 101st job
    EXPECT_EQ(queue.Count(), kMaxJobs);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].text.find("\"Tatort\" is not added"), std::string::npos);
}

TEST(JobQueue, NamesAreMadeUniqueWhenAdded) {
    JobQueue queue;
    Messages messages;
    RipJob job;
    job.name = "Name";
    for (int i = 0; i < 3; ++i)
        queue.Add(job, messages);
    ASSERT_EQ(queue.Count(), 3);
    EXPECT_EQ(queue.Jobs()[0].name, "Name");
    EXPECT_EQ(queue.Jobs()[1].name, "Name_01");
    EXPECT_EQ(queue.Jobs()[2].name, "Name_02");
    // One pass over the queue: a queue holding A_01 and then A gives another A_01.
    RipJob a01, a;
    a01.name = "A_01";
    a.name = "A";
    EXPECT_EQ(UniqueJobName("A", std::vector<RipJob>{a01, a}), "A_01");
    // Appending (loading, the preview) keeps names as they are.
    queue.Append(job, messages);
    EXPECT_EQ(queue.Jobs()[3].name, "Name");
}

TEST(JobQueue, RunsLastAddedFirstAndClears) {
    JobQueue queue;
    Messages messages;
    for (const char* n : {"first", "second", "third"}) {
        RipJob job;
        job.name = n;
        queue.Append(job, messages);
    }
    RipJob next;
    ASSERT_TRUE(queue.TakeNext(next));
    EXPECT_EQ(next.name, "third");
    ASSERT_TRUE(queue.TakeNext(next));
    EXPECT_EQ(next.name, "second");
    EXPECT_TRUE(queue.QueueMode()); // until the last job has finished, which the front end says
    queue.Clear();
    EXPECT_TRUE(queue.Empty());
    EXPECT_FALSE(queue.QueueMode());
    EXPECT_FALSE(queue.TakeNext(next));
}

TEST(JobQueue, RawAudioListMatchesLeadingCharacters) {
    const std::vector<std::string> list = {"ZDF", "Das"};
    EXPECT_TRUE(MatchesRawAudioList("ZDF              ", list));
    EXPECT_TRUE(MatchesRawAudioList("Das Erste", list));
    EXPECT_FALSE(MatchesRawAudioList("ZD", list));
    EXPECT_FALSE(MatchesRawAudioList("zdf", list));
    EXPECT_FALSE(MatchesRawAudioList("ARD", {}));
}

} // namespace
} // namespace quorin::test

namespace quorin::test {
namespace {

TEST_F(JobListTest, JobsOfSeveralRangesSpanThemAndListThemAfterTheChecksum) {
    RipJob ranged = MakeJob(Record(0), 0, 10, 50, false, false, true, true);
    ranged.ranges = {{10, 20.5}, {30, 60}};
    RipJob exact = MakeJob(Record(0), 0, 5, 10, false, false, true, true);
    exact.ranges = {{5, 15}};
    exact.exact = 1;
    const RipJob plain = MakeJob(Record(0), 0, 5, 10, false, false, true, true);
    const std::vector<RipJob> jobs{ranged, exact, plain};
    const std::string text = FormatJobList(jobs, checksums_);
    const std::string lines = text.substr(text.find("\r\n") + 2);
    EXPECT_EQ(lines, "1;Tatort;10.00;100.00;1;1;0;0;01FB0151;10.00-20.50 30.00-100.00;0\r\n"
                     "1;Tatort;5.00;15.00;1;1;0;0;01FB0151;5.00-15.00;1\r\n"
                     "1;Tatort;5.00;15.00;1;1;0;0;01FB0151\r\n");
    Messages messages;
    const std::vector<RipJob> back = Parse(text, messages);
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(back.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back[i].ranges, jobs[i].ranges);
        EXPECT_EQ(back[i].exact, jobs[i].exact);
        EXPECT_DOUBLE_EQ(back[i].begin, jobs[i].begin);
        EXPECT_NEAR(back[i].length, jobs[i].length, 1e-9);
    }
    // Ranges out of order are refused with the job.
    Parse("1;Bad;10.00;100.00;1;1;0;0;01FB0151;30.00-100.00 10.00-20.00;0\r\n", messages);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].text.find("not a range after"), std::string::npos);
}

} // namespace
} // namespace quorin::test
