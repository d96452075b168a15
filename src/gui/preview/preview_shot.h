// One preview picture of a clip: a rip of length 0 at a time, its first picture decoded and
// loaded, and the exact time stamp of that picture. The files are written into a folder under a
// name of the caller's and deleted before it returns.
#pragma once

#include "jobs/preview_picture.h"
#include "rip/rip_runner.h"

#include <QImage>

#include <cstdint>
#include <string>

namespace quorin {

struct PreviewShot {
    QImage image;                       // null: no picture at or after the time
    std::int64_t picturePts = PTS_NONE; // the picture's own time stamp (after the wrap rule)
    double aspect = 4.0 / 3.0;          // display aspect of its sequence header
};

// The rip goes through the runner (its cancel flag stops it). Without decode only the time stamp
// is found (no image).
PreviewShot TakePreviewShot(RipRunner& runner, const std::string& folder, double seconds,
                            const std::string& name, bool decode = true);

} // namespace quorin
