// Where the main window hands a clip to the preview dialog and takes its cut jobs back.
#pragma once

#include "jobs/jobs.h"

#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace quorin {

class CPVRFile;

struct PreviewRequest {
    CPVRFile* clip = nullptr; // none: "Restore" shows the dialog without a picture
    bool audioRaw = false;    // the window's "Rip Audio Raw"
    bool streamRaw = false;   // the window's "Rip Stream Raw"
    std::string folder;       // where the preview files go: the window's output directory
};

struct PreviewResult {
    bool accepted = false;    // closed with OK
    std::vector<RipJob> jobs; // the cut jobs, in the order they were made
};

using PreviewHook = std::function<PreviewResult(QWidget* parent, const PreviewRequest&)>;

// Shows the preview dialog modally for the request. The window has opened the "PRV.LOG" log
// before, and closes it after.
PreviewResult ShowPreviewDialog(QWidget* parent, const PreviewRequest& request);

} // namespace quorin
