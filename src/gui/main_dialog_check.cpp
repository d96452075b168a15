// Check Disk: the disk check of quorin-cli scan on a worker, its progress in the video row and
// the damaged clips in its result.
#include "gui/main_dialog.h"

#include "base/format.h"
#include "base/program_log.h"
#include "gui/recover_dialog.h"

#include <QProgressBar>

namespace quorin {
namespace {

constexpr const char* kCheckCaption = "Check Disk";

} // namespace

void CMainDialog::CheckDisk() {
    if (IsRunning() || !ReadFields() || !m_Disk.Drive() || !m_Disk.Table()) return;
    SetRunControlsEnabled(false);
    m_pVideoBar->setRange(0, 100);
    m_pVideoBar->setValue(0);
    m_pVideoBar->show();
    m_strVideoStatus = "Checking the disk ...";
    WriteFields();
    // The drive and the table are only read; the run's controls stay disabled until the end.
    StartTask(Task::kCheck, m_Check.Task(*m_Disk.Drive(), *m_Disk.Table(), m_Worker.CancelFlag()));
}

void CMainDialog::MirrorCheck() {
    const int percent = m_Check.Percent();
    m_pVideoBar->setValue(percent);
    m_strVideoStatus = Format("Checking the disk %3d %%", percent);
    WriteFields();
}

void CMainDialog::FinishCheck() {
    m_Timer.stop();
    const bool cancelled = m_Worker.Finish();
    m_Task = Task::kNone;
    m_pVideoBar->hide();
    SetRunControlsEnabled(true);
    const std::vector<ScanHit> hits = m_Check.TakeHits();
    for (const ScanHit& h : hits)
        LogLine(ScanLine(h));
    if (cancelled) {
        m_strVideoStatus = "Check cancelled";
        WriteFields();
        return;
    }
    const int clips = DamagedClips(hits);
    m_strVideoStatus = hits.empty() ? "Check finished: nothing unreadable"
                       : clips == 1 ? "Check finished: one damaged clip"
                                    : Format("Check finished: %d damaged clips", clips);
    WriteFields();
    if (hits.empty()) {
        ShowMessage({kCheckCaption, "Every sector of the disk's directory and clips was read."},
                    QMessageBox::Information);
        return;
    }
    std::string text =
        clips == 1 ? std::string("One clip is damaged.") : Format("%d clips are damaged.", clips);
    if (clips == 0) text = "The disk's directory is damaged.";
    text += " Unreadable parts:";
    for (const ScanHit& h : hits)
        text += "\n" + HitText(h, *m_Disk.Drive());
    ShowMessage({kCheckCaption, text}, QMessageBox::Warning);
}

void CMainDialog::RecoverDeleted() {
    if (IsRunning() || !ReadFields() || !m_Disk.Drive() || !m_Disk.Table()) return;
    RecoverDialog dialog(*m_Disk.Drive(), *m_Disk.Table(), m_Settings.outputDirectory, this);
    dialog.exec();
}

} // namespace quorin
