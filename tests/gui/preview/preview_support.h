// Fixtures of the preview dialog tests: factory disk images, a scratch output directory that is
// current while a test runs, and finding the dialog's controls by their ids.
#pragma once

#include "base/program_log.h"
#include "base/run_state.h"
#include "base/scratch_folder.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "gui/preview/preview_dialog.h"
#include "mkdisk/testdisk.h"

#include <QWidget>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace quorin::test {

namespace fs = std::filesystem;

inline fs::path Sample(const std::string& name) {
    return fs::path(QUORIN_SAMPLES_DIR) / name;
}
inline fs::path PreviewData(const std::string& name) {
    return fs::path(QUORIN_PREVIEW_DATA_DIR) / name;
}

// A fresh directory under the temporary directory, removed with its contents.
using ScratchDir = ScratchFolder;

// The disks the tests open, built once per test process on first use.
enum class Disk {
    Short, // clip 0: "Card 4:3" (4:3, 15 s, MP2 audio); clip 1: "Wide 16:9" (16:9, 7 s, AC-3)
    Long,  // clip 0: "Long test card", a 64x48 4:3 picture looped to 1:31:04
};

class OpenDisk {
public:
    OpenDisk(Disk which, const fs::path& image);
    CPVRFile& Clip(int n) const { return *drive_->GetFile(n); }
    CPVRDrive& Drive() const { return *drive_; }
    const fs::path& Image() const { return image_; }

private:
    fs::path image_;
    std::unique_ptr<ClusterTable> table_;
    std::unique_ptr<CPVRDrive> drive_;
};

// The disk, built into the process's scratch directory the first time a test asks for it.
OpenDisk& GetDisk(Disk which);

// Each test runs in its own current directory (the output directory) and gets it back after.
class PreviewTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The clip with both progress blocks set for a preview.
    CPVRFile& PreviewClip(Disk disk, int n);
    // The names of the files in the output directory.
    std::vector<std::string> OutputFiles() const;
    bool NoPreviewFiles() const;

    RipProgress audio_;
    RipProgress video_;
    fs::path out_;
    fs::path oldCwd_;
};

// The dialog's control with the id (the first one for kStatic).
template <class W> W* Control(QWidget& dialog, int controlId) {
    for (W* w : dialog.findChildren<W*>())
        if (w->property(preview_ids::kProperty).toInt() == controlId) return w;
    return nullptr;
}

// The decoder's own picture of the first sequence header of a sample, scaled the way the dialog
// scales its pictures.
QImage ReferencePicture(const fs::path& stream, int height);

// Saves a screenshot of the widget into the build folder.
void SaveScreenshot(QWidget& widget, const std::string& name);

} // namespace quorin::test
