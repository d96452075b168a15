// The files a media library reads beside a recording's container: a movie NFO and two pictures.
#pragma once

#include <string>
#include <vector>

namespace quorin {

class ClipRecord;
struct RipReport;

// A stretch of advert break, in seconds from the recording's start.
struct BreakMark {
    double from = 0;
    double to = 0;
};

// Adds BASE.nfo, BASE-poster.jpg and BASE-fanart.jpg (and BASE.edl when breaks are given) in the
// staging folder of a done run whose elementary streams are still there, then removes those
// streams unless they are to be kept. The report lists the files added and loses the removed
// ones. False, with the reason, when a file could not be written.
bool AddLibraryFiles(const ClipRecord& record, int clipNumber, const std::string& folder,
                     const std::string& base, bool keepStreams, RipReport& report,
                     std::string* error, const std::vector<BreakMark>& breaks = {});

} // namespace quorin
