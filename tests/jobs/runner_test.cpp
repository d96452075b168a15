#include "job_disk.h"
#include "test_env.h"

#include "platform/settings.h"
#include "platform/volume.h"
#include "jobs/job_runner.h"

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

TEST_F(RunnerTest, ABeginBeyondTheClipIsAWrongOffset) {
    RipRequest request;
    request.begin = 601;
    request.outputName = "never";
    request.rename = true;
    audio_.SetStatus("as before");
    RunReport report;
    EXPECT_FALSE(PrepareRip(Heute(), request, RunnerOptions{}, audio_, video_, &cancel_, report));
    EXPECT_FALSE(report.started);
    EXPECT_EQ(report.messages, (Messages{{"ERROR from RipStream", "wrong offset"}}));
    EXPECT_EQ(audio_.Status(), "as before");
    EXPECT_EQ(Heute().m_pAudioProgress, nullptr);
    EXPECT_EQ(NameOnDisk(1), "heute");
    EXPECT_TRUE(Heute().OutputName().empty());
    // RunRip reports the same and never reaches the engine.
    report = RunRip(Heute(), request, RunnerOptions{}, audio_, video_, &cancel_);
    EXPECT_FALSE(report.outcome.has_value());
}

TEST_F(RunnerTest, ASingleRipFillsTheBlocksAndShortensTheLength) {
    RipRequest request;
    request.begin = 500;
    request.length = 200;
    request.audio = true;
    request.video = false;
    request.rawAudio = true;
    RunnerOptions options = RunnerOptions::FromSettings(Settings{});
    options.postfixAudio = "mpa";
    options.ripStreamRaw = true;
    options.patchSequenceHeader = true;
    video_.megabytes = 7;
    video_.SetStatus("old");
    RunReport report;
    ASSERT_TRUE(PrepareRip(Heute(), request, options, audio_, video_, &cancel_, report));
    EXPECT_TRUE(report.started);
    EXPECT_DOUBLE_EQ(report.begin, 500);
    EXPECT_DOUBLE_EQ(report.length, 100); // ends at the clip's end
    EXPECT_TRUE(audio_.enabled);
    EXPECT_FALSE(video_.enabled);
    EXPECT_TRUE(audio_.raw); // a single rip takes "Rip Audio Raw" as it is
    EXPECT_TRUE(video_.raw);
    EXPECT_FALSE(audio_.backup);
    EXPECT_FALSE(video_.backup);
    EXPECT_TRUE(video_.patchSequenceHeader);
    EXPECT_FALSE(audio_.patchSequenceHeader);
    EXPECT_EQ(audio_.postfix, "mpa");
    EXPECT_EQ(audio_.rawPostfix, "mpp");
    EXPECT_EQ(video_.postfix, "m2v");
    EXPECT_EQ(video_.rawPostfix, "pva");
    EXPECT_EQ(video_.megabytes, 0);
    EXPECT_EQ(video_.Status(), "");
    EXPECT_EQ(Heute().m_pAudioProgress, &audio_);
    EXPECT_EQ(Heute().m_pVideoProgress, &video_);
    EXPECT_EQ(Heute().m_pCancel, &cancel_);
    EXPECT_TRUE(Heute().OutputName().empty());

    // A begin at the very end leaves nothing, and nothing rips 0.1 s.
    request.begin = 600;
    ASSERT_TRUE(PrepareRip(Heute(), request, options, audio_, video_, &cancel_, report));
    EXPECT_DOUBLE_EQ(report.length, 0);
    ExecuteRip(Heute(), report);
    ASSERT_TRUE(report.outcome.has_value());
    EXPECT_DOUBLE_EQ(Heute().m_Engine.m_dBegin, 600);
    EXPECT_DOUBLE_EQ(Heute().m_Engine.m_dLength, 0.1);
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
    EXPECT_FALSE(request.rawAudio);
    EXPECT_EQ(request.outputName, "Nachrichten");
    EXPECT_TRUE(request.rename);
    options.ripStreamRaw = true;
    EXPECT_TRUE(RequestForJob(job, options).rawAudio); // "Rip Stream Raw" makes audio raw too

    RunReport report;
    ASSERT_TRUE(PrepareRip(Heute(), request, options, audio_, video_, &cancel_, report));
    EXPECT_FALSE(report.renameFailed);
    EXPECT_EQ(NameOnDisk(1), "Nachrichten");
    EXPECT_EQ(Heute().GetRecord().ClipName(), "Nachrichten");
    EXPECT_EQ(Heute().GetOutputBaseName(), "Nachrichten");
    EXPECT_TRUE(video_.raw);

    // Without renaming, the job's name only names the files.
    options.renameInQueue = false;
    job.name = "Sport";
    ASSERT_TRUE(PrepareRip(Heute(), RequestForJob(job, options), options, audio_, video_, &cancel_,
                           report));
    EXPECT_EQ(NameOnDisk(1), "Nachrichten");
    EXPECT_EQ(Heute().GetOutputBaseName(), "Sport");
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
    RunReport report =
        RunRip(Heute(), RequestForJob(job, options), options, audio_, video_, &cancel_);
    EXPECT_TRUE(report.started);
    EXPECT_TRUE(report.renameFailed);
    EXPECT_TRUE(report.outcome.has_value()); // the rip ran all the same
    ASSERT_EQ(report.notices.size(), 1u);
    EXPECT_NE(report.notices[0].find("could not write the title \"Neu\""), std::string::npos);
    EXPECT_NE(report.notices[0].find("keeps its title \"heute\""), std::string::npos);
    EXPECT_EQ(Heute().GetRecord().ClipName(), "heute");
    EXPECT_EQ(NameOnDisk(1), "heute");
    EXPECT_EQ(Heute().GetOutputBaseName(), "Neu"); // the files are named after the job
    EXPECT_FALSE(IsLogOpen());
    EXPECT_NE(ReadFile(dir_ / "Quorin.log").find("could not write the title \"Neu\""),
              std::string::npos);
}

} // namespace
} // namespace quorin::test
