#include "app/preview_hook.h"

#include <QMessageBox>

namespace quorin {

// Stands in until the preview dialog is built: says so and takes no jobs.
PreviewResult ShowPreviewDialog(QWidget* parent, const PreviewRequest&) {
    QMessageBox::information(parent, "Preview / Cut",
                             "The preview is not available in this build.");
    return {};
}

} // namespace quorin
