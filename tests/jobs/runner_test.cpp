#include "job_disk.h"
#include "test_env.h"

#include "jobs/job_runner.h"
#include "platform/settings.h"
#include "platform/volume.h"

#include <gtest/gtest.h>

namespace quorin::test {
namespace {

class RunnerTest : public ::testing::Test {
protected:
    void TearDown() override { ClearVolumeFaults(); }

    bool quiet_ = (SetConsoleTrace(false), true);
    TempDir dir_{"quorin-runner"};
    CwdGuard cwd_{dir_.Path()};
    JobDisk disk_{"runner"};
    CPVRFile& Heute() { return *disk_.Drive().GetFile(1); } // 600 s
    std::string NameOnDisk(int clip) {
        auto bytes = disk_.Image().Read((10 + clip) * 512 + 0x13, 41);
        return std::string(reinterpret_cast<const char*>(bytes.data()));
    }
    RipProgress audio_, video_;
    std::atomic<bool> cancel_{false};
};

TEST(CutRules, BeginLengthAndTheClipsEnd) {
    struct Case {
        double begin;
        std::optional<double> length;
        std::optional<RipCut> cut; // none: "wrong offset"
    };
    const Case cases[] = {
        {0, std::nullopt, RipCut{0, 600}},                               // no length: to the end
        {10, 20.5, RipCut{10, 20.5}},      {500, 200, RipCut{500, 100}}, // shortened to the end
        {600, 5, RipCut{600, 0}}, // the very end leaves nothing
        {600.5, 1, std::nullopt}, // beyond the end
        {700, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<RipCut> cut = ApplyCutRules(600, c.begin, c.length);
        ASSERT_EQ(cut.has_value(), c.cut.has_value()) << c.begin;
        if (!cut) continue;
        EXPECT_DOUBLE_EQ(cut->begin, c.cut->begin);
        EXPECT_DOUBLE_EQ(cut->length, c.cut->length) << c.begin;
    }
    // A cut of no length still yields its first picture.
    EXPECT_DOUBLE_EQ(EngineLength(0), 0.1);
    EXPECT_DOUBLE_EQ(EngineLength(-3), 0.1);
    EXPECT_DOUBLE_EQ(EngineLength(2.5), 2.5);
}

TEST_F(RunnerTest, ARefusedRunChangesNothing) {
    RipRequest request;
    request.begin = 601;
    request.outputName = "never";
    request.rename = true;
    audio_.SetStatus("as before");
    RipRunReport report = RunRip(Heute(), request, RunnerOptions{}, audio_, video_, &cancel_);
    EXPECT_FALSE(report.started);
    EXPECT_FALSE(report.outcome.has_value()); // the engine never ran
    EXPECT_EQ(RefusalMessages(report), (Messages{{"ERROR from RipStream", "wrong offset"}}));
    EXPECT_EQ(audio_.Status(), "as before");
    EXPECT_EQ(NameOnDisk(1), "heute");
}

TEST_F(RunnerTest, AQueuedJobTakesItsOwnBoxesAndRenamesItsClip) {
    RipJob job;
    job.clipIndex = 1;
    job.name = "Nachrichten";
    job.begin = 10;
    job.length = 20;
    job.audio = 1;
    job.video = 1;
    job.rawAudio = 0;
    job.rawVideo = 1; // kept in the list, but the window's box decides
    RunnerOptions options;
    RipRequest request = RequestForJob(job, options);
    EXPECT_FALSE(request.rawAudio || request.rawVideo);
    EXPECT_EQ(request.outputName, "Nachrichten");
    EXPECT_TRUE(request.rename);
    options.ripStreamRaw = true;
    request = RequestForJob(job, options);
    EXPECT_TRUE(request.rawAudio && request.rawVideo); // "Rip Stream Raw" makes audio raw too

    RipRunner runner(Heute(), audio_, video_, &cancel_);
    RipRunReport report;
    ASSERT_TRUE(runner.Prepare(request, report));
    EXPECT_FALSE(report.renameFailed);
    EXPECT_EQ(NameOnDisk(1), "Nachrichten");
    EXPECT_EQ(Heute().GetRecord().ClipName(), "Nachrichten");

    // Without renaming, the job's name only names the files.
    options.renameInQueue = false;
    job.name = "Sport";
    ASSERT_TRUE(runner.Prepare(RequestForJob(job, options), report));
    EXPECT_EQ(NameOnDisk(1), "Nachrichten");
}

TEST_F(RunnerTest, ARenameThatFailsKeepsTheOldTitleAndTheJobStillRuns) {
    VolumeFaults faults;
    faults.failWrites = true;
    SetVolumeFaults(disk_.Path(), faults);
    RipJob job;
    job.clipIndex = 1;
    job.name = "Neu";
    job.length = 5;
    job.video = 1;
    RunnerOptions options;
    options.openLog = true;
    options.logPerActivity = false;
    RipRunReport report =
        RunRip(Heute(), RequestForJob(job, options), options, audio_, video_, &cancel_);
    EXPECT_TRUE(report.started);
    EXPECT_TRUE(report.renameFailed);
    EXPECT_TRUE(report.outcome.has_value()); // the rip ran all the same
    ASSERT_EQ(report.notices.size(), 1u);
    EXPECT_NE(report.notices[0].find("could not write the title \"Neu\""), std::string::npos);
    EXPECT_NE(report.notices[0].find("keeps its title \"heute\""), std::string::npos);
    EXPECT_EQ(Heute().GetRecord().ClipName(), "heute");
    EXPECT_EQ(NameOnDisk(1), "heute");
    EXPECT_FALSE(IsLogOpen());
    EXPECT_NE(ReadFile(dir_ / "Quorin.log").find("could not write the title \"Neu\""),
              std::string::npos);
}

} // namespace
} // namespace quorin::test
