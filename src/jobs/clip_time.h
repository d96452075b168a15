// Clip times as the user types and reads them: seconds shown as "h:mm:ss.cc", texts read either
// as "h:mm:ss.cc" or as the decimal form hhmmss.cc, and the cut fields (Offset, Time, Begin, End).
#pragma once

#include <string>
#include <string_view>

namespace quorin {

// "%d:%02d:%02d.%02d": hours, minutes and seconds of the whole seconds, then the first two
// decimals (3723.5 gives "1:02:03.50"). A negative value is shown with a leading "-".
std::string FormatClipTime(double seconds);

// A text holding ":" is "h:mm:ss.cc" (parts missing at the end count 0; minutes, seconds and
// hundredths take at most two digits each, so "1:02:03.5" means 1:02:03.05); any other text is
// the decimal number hhmmss.cc ("10203.5" means 1:02:03.50, "90" means 90 s). A text that holds
// no number gives 0, and so does a negative time.
double ParseClipTime(std::string_view text);

// A job list time: the decimal form hhmmss.cc with hours not limited to two digits.
double ParseJobListTime(std::string_view text);
// The job list's "%d.%02d" form of a time (3723.5 gives "10203.50").
std::string FormatJobListTime(double seconds);

// Whole hundredths of a non-negative time, immune to the binary representation of decimals
// (0.57 s is 57 hundredths, not 56).
long long Hundredths(double seconds);

// The cut of the next rip as the window shows it.
struct CutFields {
    double offset = 0; // seconds skipped from the clip's start
    double time = 0;   // seconds to rip
    std::string begin; // FormatClipTime(offset)
    std::string end;   // FormatClipTime(offset + time)

    // Begin and End from Offset and Time (what leaving the Time field does).
    void UpdateTexts();
    // Keeps the cut inside the clip: when Offset + Time reaches the clip's length, Time becomes
    // the length less Offset less one second (never below 0); then the texts.
    void CheckOffset(double clipLength);
    // A click on a clip: the whole clip less its last second.
    static CutFields ForClip(double clipLength);
    // The Begin or End text typed by the user, then the offset check.
    void SetBegin(std::string_view text, double clipLength);
    void SetEnd(std::string_view text, double clipLength);
};

} // namespace quorin
