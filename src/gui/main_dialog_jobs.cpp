// The cut fields and the job queue: clip clicks, the focus handlers of Offset, Time, Begin and
// End, "Add", "Del", "Load" and "Save".
#include "gui/main_dialog.h"

#include "disk/pvr_drive.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QTreeWidget>

namespace quorin {

bool CMainDialog::RawAudioFor(int row) const {
    QTreeWidgetItem* item = m_pList->topLevelItem(row);
    if (!item) return false;
    return MatchesRawAudioList(item->text(1).toStdString(), m_Settings.rawAudioList);
}

// A click on a row: the whole clip less its last second, and the raw-audio guess. Moving the
// selection with the keyboard does not come here.
void CMainDialog::OnClipClicked() {
    if (!ReadFields()) return;
    m_Cut.offset = 0;
    const int row = SelectedRow();
    if (!ClipAt(row)) return;
    m_Cut.time = SelectedClipLength();
    m_Cut.UpdateTexts();
    m_bRawAudio = RawAudioFor(row);
    WriteFields();
    CheckOffset();
}

void CMainDialog::CheckOffset() {
    if (!SelectedClip()) return;
    m_Cut.CheckOffset(SelectedClipLength());
    WriteFields();
}

void CMainDialog::OnOffsetLeft() {
    if (!ReadFields()) return;
    CheckOffset();
}

void CMainDialog::OnTimeLeft() {
    if (!ReadFields()) return;
    m_Cut.UpdateTexts();
    WriteFields();
}

void CMainDialog::OnBeginLeft() {
    if (!ReadFields()) return;
    m_Cut.offset = ParseClipTime(m_Cut.begin);
    WriteFields();
    CheckOffset();
}

void CMainDialog::OnEndLeft() {
    if (!ReadFields()) return;
    m_Cut.time = ParseClipTime(m_Cut.end) - m_Cut.offset;
    WriteFields();
    CheckOffset();
}

void CMainDialog::AddJob() {
    if (!ReadFields()) return;
    const int row = SelectedRow();
    CPVRFile* clip = ClipAt(row);
    if (!clip) return;
    RipJob job = MakeJob(clip->GetRecord(), row, m_Cut.offset, m_Cut.time, m_bRawAudio, m_bBackup,
                         m_bAudio, m_bVideo);
    job.exact = m_Settings.exactCuts && !m_bBackup && !m_bRawAudio ? 1 : 0;
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(QString::fromStdString(m_Cut.end));
    ShowMessages(m_Queue.Add(std::move(job)));
    WriteFields();
}

void CMainDialog::ClearJobs() {
    ReadFields();
    m_Queue.Clear();
    WriteFields();
}

void CMainDialog::SaveJobList() {
    ShowMessages(m_Queue.Save(InOutputFolder(kJobListFileName), m_Disk.Checksums()));
}

void CMainDialog::LoadJobList() {
    if (!ReadFields()) return;
    if (!m_Disk.Drive()) {
        ShowMessage({"Load", "No drive is open: open the receiver's disk with \"Dir\" first."});
        return;
    }
    std::optional<std::string> path;
    if (m_Hooks.chooseJobList) {
        path = m_Hooks.chooseJobList();
    } else {
        QString file = QFileDialog::getOpenFileName(
            this, "Open", QString::fromStdString(m_Settings.outputDirectory),
            "Joblist Files (*.csv);;All Files (*)");
        if (!file.isEmpty()) path = file.toStdString();
    }
    if (path) {
        const JobListContext context{*m_Disk.Drive(), m_Disk.Checksums(), m_Settings.rawAudioList};
        ShowMessages(m_Queue.Load(*path, context));
    }
    WriteFields();
    PrepareOutputDirectory();
}

} // namespace quorin
