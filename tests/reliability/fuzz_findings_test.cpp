// What the fuzz targets found, each as the smallest case that shows it (the inputs themselves are
// kept in tests/fuzz-inputs/ and run by the regression runners).
#include "job_disk.h"
#include "test_env.h"

#include "jobs/clip_time.h"
#include "jobs/jobs.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorin::test {
namespace {

TEST(FuzzFindings, AClipNumberAtTheEndOfTheIntRangeIsRefusedByName) {
    SetConsoleTrace(false);
    TempDir dir{"quorin-fuzz-findings"};
    CwdGuard cwd{dir.Path()};
    JobDisk disk{"fuzz-findings"};
    const std::vector<std::uint32_t> checksums = BuildChecksumTable(disk.Drive());
    const JobListContext context{disk.Drive(), checksums, {}};
    Messages messages;
    auto jobs = ParseJobList("99999999999999999999;Far;0;10\n-99999999999999999999;Near;0;10\n",
                             context, messages);
    EXPECT_TRUE(jobs.empty());
    ASSERT_EQ(messages.size(), 2u); // a negative number is meant as a clip number too
    EXPECT_EQ(messages[0].caption, kNotQueuedCaption);
    EXPECT_NE(messages[0].text.find("\"Far\": clip 2147483647 is not on this disk"),
              std::string::npos)
        << messages[0].text;
    EXPECT_NE(messages[1].text.find("\"Near\": clip -2147483646 is not on this disk"),
              std::string::npos)
        << messages[1].text;
}

TEST(FuzzFindings, EighteenDigitHoursAreReadWithoutOverflow) {
    const double t = ParseClipTime("999999999999999999:59:59.99");
    EXPECT_TRUE(std::isfinite(t));
    EXPECT_GT(t, 3.5e21);
    EXPECT_EQ(ParseClipTime("-999999999999999999:00"), 0);
}

} // namespace
} // namespace quorin::test
