#include "jobs/library_files.h"

#include "disk/clip_record.h"
#include "rip/rip_driver.h"

#include <algorithm>
#include <cstdio>

namespace quorin {

bool AddLibraryFiles(const ClipRecord&, int, const std::string&, const std::string&,
                     bool keepStreams, RipReport& report, std::string*,
                     const std::vector<BreakMark>&) {
    if (!keepStreams)
        std::erase_if(report.files, [](const RipReport::File& f) {
            const bool stream = f.what == "video" || f.what == "audio" || f.what == "delay log";
            if (stream) std::remove(f.name.c_str());
            return stream;
        });
    return true;
}

} // namespace quorin
