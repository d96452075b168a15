#include "gui/preview_hook.h"

#include "gui/preview/preview_dialog.h"

namespace quorin {

// Modal; the cut jobs count only after OK, and only when there was a clip to cut.
PreviewResult ShowPreviewDialog(QWidget* parent, const PreviewRequest& request) {
    CPreviewDialog dialog(parent, request.clip, request.audioRaw, request.streamRaw,
                          request.folder);
    PreviewResult result;
    result.accepted = dialog.exec() == QDialog::Accepted;
    if (result.accepted && request.clip) result.jobs = dialog.CutJobs();
    return result;
}

} // namespace quorin
