#include "gui/preview/strip_worker.h"

#include "base/program_log.h"
#include "disk/pvr_file.h"
#include "gui/preview/preview_shot.h"

namespace quorin {

StripWorker::StripWorker(const CPVRFile& clip, const ClipAnalysis& analysis,
                         std::vector<double> seconds, QSize thumbSize, Deliver deliver)
    : folder_("quorin-strip") {
    if (!folder_.Valid() || !clip.RecordRead()) {
        LogLine("the filmstrip cannot start: no scratch folder or no clip record");
        finished_ = true;
        return;
    }
    runner_ = std::make_unique<RipRunner>(clip, audio_, video_, &cancel_, analysis);
    thread_ =
        std::thread(&StripWorker::Run, this, std::move(seconds), thumbSize, std::move(deliver));
}

StripWorker::~StripWorker() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
}

void StripWorker::Run(const std::vector<double>& seconds, QSize thumbSize, const Deliver& deliver) {
    for (std::size_t k = 0; k < seconds.size() && !cancel_; ++k) {
        PreviewShot shot = TakePreviewShot(*runner_, folder_.Path().string(), seconds[k], "strip");
        if (cancel_) break;
        deliver(static_cast<int>(k), ScaleThumb(shot.image, shot.aspect, thumbSize),
                shot.picturePts);
    }
    finished_ = true;
}

} // namespace quorin
