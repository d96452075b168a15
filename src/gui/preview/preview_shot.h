// One preview picture of a clip: a rip of length 0 at a time, its first picture decoded and
// loaded, and the exact time stamp of that picture. The files are written into the clip's output
// folder under a name of the caller's and deleted before it returns.
#pragma once

#include "disk/clip_engine_state.h"
#include "rip/rip_runner.h"

#include <QImage>

#include <atomic>
#include <cstdint>
#include <string>

namespace quorin {

class CPVRFile;

struct PreviewShot {
    QImage image;                       // null: no picture at or after the time
    std::int64_t picturePts = PTS_NONE; // the picture's own time stamp (after the wrap rule)
    double aspect = 4.0 / 3.0;          // display aspect of its sequence header
};

// Engine seconds (from the clip's first video time stamp) that start a rip at the picture of the
// time stamp pts, or at the first one after it.
double SecondsOfPts(const CPVRFile& clip, std::int64_t pts);

// The rip goes through the runner (its cancel flag stops it); the clip's output name becomes name.
// Without decode only the time stamp is found (no image).
PreviewShot TakePreviewShot(RipRunner& runner, double seconds, const std::string& name,
                            bool decode = true);

} // namespace quorin
