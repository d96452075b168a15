// The filmstrip's background worker: the first picture at each of a list of times, made one by
// one through the preview path on a thread of its own. Its runs only read the dialog's clip and
// write into a scratch folder of the worker's. Destroying the worker stops it, waits for it and
// removes the folder.
#pragma once

#include "base/run_state.h"
#include "base/scratch_folder.h"
#include "rip/rip_runner.h"

#include <QImage>
#include <QSize>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace quorin {

class CPVRFile;

// A picture scaled to a thumbnail cell's height at its display aspect.
QImage ScaleThumb(const QImage& picture, double aspect, QSize cell);

class StripWorker {
public:
    // index, the picture scaled to the thumbnail size (null when none), its time stamp.
    using Deliver = std::function<void(int, QImage, std::int64_t)>;

    // analysis: what the dialog's rips found out about the clip, so the worker searches nothing
    // again.
    StripWorker(const CPVRFile& clip, const ClipAnalysis& analysis, std::vector<double> seconds,
                QSize thumbSize, Deliver deliver);
    ~StripWorker();
    StripWorker(const StripWorker&) = delete;
    StripWorker& operator=(const StripWorker&) = delete;

    const std::filesystem::path& Folder() const { return folder_.Path(); }
    bool Finished() const { return finished_.load(); }

private:
    void Run(const std::vector<double>& seconds, QSize thumbSize, const Deliver& deliver);

    RipProgress audio_;
    RipProgress video_;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<RipRunner> runner_;
    std::atomic<bool> finished_{false};
    ScratchFolder folder_; // the worker's files, removed with it
    std::thread thread_;
};

} // namespace quorin
