#include "jobs/clip_time.h"

#include <clocale>
#include <gtest/gtest.h>

namespace quorin::test {
namespace {

TEST(ClipTime, FormatShowsHoursMinutesSecondsAndTwoDecimals) {
    EXPECT_EQ(FormatClipTime(3723.5), "1:02:03.50");
    EXPECT_EQ(FormatClipTime(0), "0:00:00.00");
    EXPECT_EQ(FormatClipTime(3599), "0:59:59.00");
    EXPECT_EQ(FormatClipTime(0.57), "0:00:00.57");   // not 0.56 from 56.999...
    EXPECT_EQ(FormatClipTime(59.999), "0:00:59.99"); // decimals are cut, never rounded up
    EXPECT_EQ(FormatClipTime(100 * 3600.0 + 1), "100:00:01.00");
    EXPECT_EQ(FormatClipTime(-61), "-0:01:01.00");
}

TEST(ClipTime, ParseReadsTheColonForm) {
    EXPECT_DOUBLE_EQ(ParseClipTime("1:2:3"), 3723);
    EXPECT_DOUBLE_EQ(ParseClipTime("1:02:03.5"), 3723.05); // hundredths, not tenths
    EXPECT_DOUBLE_EQ(ParseClipTime("1:02:03.50"), 3723.5);
    EXPECT_DOUBLE_EQ(ParseClipTime("1:02"), 3720);
    EXPECT_DOUBLE_EQ(ParseClipTime("0:59:59.00"), 3599);
    EXPECT_DOUBLE_EQ(ParseClipTime(" 2:00:00"), 7200);
    // Two digits at most per field: the third digit ends the text.
    EXPECT_DOUBLE_EQ(ParseClipTime("0:123:00"), 12 * 60);
    EXPECT_DOUBLE_EQ(ParseClipTime("1:02:03.999"), 3723.99);
    EXPECT_DOUBLE_EQ(ParseClipTime("a:b"), 0);
    EXPECT_DOUBLE_EQ(ParseClipTime("-1:00:00"), 0); // no time before the clip's start
}

TEST(ClipTime, ParseReadsTheDecimalForm) {
    EXPECT_DOUBLE_EQ(ParseClipTime("10203.5"), 3723.5);
    EXPECT_DOUBLE_EQ(ParseClipTime("90"), 90);
    EXPECT_DOUBLE_EQ(ParseClipTime("125"), 85); // 1:25
    EXPECT_DOUBLE_EQ(ParseClipTime("10203.57"), 3723.57);
    EXPECT_DOUBLE_EQ(ParseClipTime("12abc"), 12);
    EXPECT_DOUBLE_EQ(ParseClipTime(""), 0);
    EXPECT_DOUBLE_EQ(ParseClipTime("abc"), 0);
    EXPECT_DOUBLE_EQ(ParseClipTime("-5"), 0);
    EXPECT_GE(ParseClipTime("1e300"), 0); // no overflow
    EXPECT_LT(ParseClipTime("1e300"), 100 * 3600);
    EXPECT_DOUBLE_EQ(ParseClipTime("nan"), 0);
}

TEST(ClipTime, NumbersIgnoreTheProcessLocale) {
    // A locale with a decimal comma must change nothing (skipped where none is installed).
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE locale";
    EXPECT_EQ(FormatClipTime(3723.5), "1:02:03.50");
    EXPECT_DOUBLE_EQ(ParseClipTime("10203.5"), 3723.5);
    EXPECT_EQ(FormatJobListTime(3723.5), "10203.50");
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(ClipTime, JobListForm) {
    EXPECT_EQ(FormatJobListTime(3723.5), "10203.50");
    EXPECT_EQ(FormatJobListTime(0), "0.00");
    EXPECT_EQ(FormatJobListTime(100 * 3600.0), "1000000.00"); // hours beyond two digits
    EXPECT_DOUBLE_EQ(ParseJobListTime("10203.50"), 3723.5);
    EXPECT_DOUBLE_EQ(ParseJobListTime("1000000.00"), 360000);
    for (double t : {0.0, 0.01, 0.57, 59.99, 3723.5, 35999.99, 86399.3})
        EXPECT_DOUBLE_EQ(ParseJobListTime(FormatJobListTime(t)), t) << t;
}

TEST(CutFields, AClickShowsTheWholeClipLessItsLastSecond) {
    CutFields f = CutFields::ForClip(3600);
    EXPECT_EQ(f.offset, 0);
    EXPECT_EQ(f.time, 3599);
    EXPECT_EQ(f.begin, "0:00:00.00");
    EXPECT_EQ(f.end, "0:59:59.00");
    // A clip of no length gives no negative time.
    CutFields empty = CutFields::ForClip(0);
    EXPECT_EQ(empty.time, 0);
    EXPECT_EQ(empty.end, "0:00:00.00");
}

TEST(CutFields, BeginAndEndTextsAreClampedToTheClip) {
    CutFields f = CutFields::ForClip(3600);
    f.SetBegin("10:00", 3600);
    EXPECT_EQ(f.offset, 36000);
    EXPECT_EQ(f.time, 0);
    f.SetBegin("0:01:00", 3600);
    f.time = 60;
    f.UpdateTexts();
    EXPECT_EQ(f.end, "0:02:00.00");
    f.SetEnd("0:05:00.50", 3600);
    EXPECT_DOUBLE_EQ(f.time, 240.5);
    EXPECT_EQ(f.end, "0:05:00.50");
    f.SetEnd("2:00:00", 3600);
    EXPECT_EQ(f.time, 3600 - 60 - 1);
    EXPECT_EQ(f.end, "0:59:59.00");
}

} // namespace
} // namespace quorin::test
