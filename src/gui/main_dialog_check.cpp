// Check Disk: the disk check of quorin-cli scan on a worker, its progress in the video row and
// the damaged clips in its result.
#include "gui/main_dialog.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "platform/text.h"
#include "rip/rip_driver.h"

#include "gui/recover_dialog.h"

#include <QProgressBar>

namespace quorin {
namespace {

constexpr const char* kCheckCaption = "Check Disk";

// "Clip 2 "Krimi": video 0:01:02.40 to 0:01:03.00, 1536 bytes at byte 123456789" or, for the
// directory, "The cluster table: 512 bytes at byte 1024".
std::string HitText(const ScanHit& hit, const CPVRDrive& drive) {
    const std::string where = Format("%lld bytes at byte %lld", static_cast<long long>(hit.bytes),
                                     static_cast<long long>(hit.diskByte));
    const CPVRFile* clip = hit.clip > 0 ? drive.GetFile(hit.clip - 1) : nullptr;
    if (!clip) return "The " + hit.what + ": " + where;
    std::string text = Format("Clip %d \"", hit.clip) + Latin1ToUtf8(clip->GetRecord().ClipName()) +
                       "\": " + hit.what;
    if (hit.from >= 0 || hit.to >= 0)
        text += " " + ClipTimeText(hit.from) + " to " + ClipTimeText(hit.to);
    return text + ", " + where;
}

int DamagedClips(const std::vector<ScanHit>& hits) {
    int count = 0, last = 0;
    for (const ScanHit& h : hits)
        if (h.clip > 0 && h.clip != last) {
            ++count;
            last = h.clip;
        }
    return count;
}

} // namespace

void CMainDialog::CheckDisk() {
    if (IsRunning() || !ReadFields() || !m_pDrive || !m_pTable) return;
    m_Flags.cancel.store(false);
    m_Flags.idle.store(false);
    m_CheckDone.store(0);
    m_CheckTotal.store(0);
    m_vecCheckHits.clear();
    SetRunControlsEnabled(false);
    m_pVideoBar->setRange(0, 100);
    m_pVideoBar->setValue(0);
    m_pVideoBar->show();
    m_strVideoStatus = "Checking the disk ...";
    WriteFields();
    // The drive and the table are only read; the run's controls stay disabled until the end.
    m_pCheck.reset(QThread::create(
        [this, volume = m_pDrive->DriveName(), drive = m_pDrive.get(), table = m_pTable.get()] {
            m_vecCheckHits = ScanDisk(
                volume, drive, table, std::nullopt,
                [this](std::int64_t done, std::int64_t total) {
                    m_CheckTotal.store(total);
                    m_CheckDone.store(done);
                },
                &m_Flags.cancel);
            m_Flags.idle.store(true);
        }));
    m_pCheck->start();
    m_Timer.start();
}

void CMainDialog::MirrorCheck() {
    const std::int64_t total = m_CheckTotal.load();
    const int percent = total > 0 ? static_cast<int>(m_CheckDone.load() * 100 / total) : 0;
    m_pVideoBar->setValue(percent);
    m_strVideoStatus = Format("Checking the disk %3d %%", percent);
    WriteFields();
}

void CMainDialog::FinishCheck() {
    m_Timer.stop();
    m_pCheck->wait();
    m_pCheck.reset();
    m_pVideoBar->hide();
    SetRunControlsEnabled(true);
    const bool cancelled = m_Flags.cancel.exchange(false);
    const std::vector<ScanHit> hits = std::move(m_vecCheckHits);
    m_vecCheckHits.clear();
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
        text += "\n" + HitText(h, *m_pDrive);
    ShowMessage({kCheckCaption, text}, QMessageBox::Warning);
}

void CMainDialog::RecoverDeleted() {
    if (IsRunning() || !ReadFields() || !m_pDrive || !m_pTable) return;
    RecoverDialog dialog(*m_pDrive, *m_pTable, m_Settings.outputDirectory, this);
    dialog.exec();
}

} // namespace quorin
