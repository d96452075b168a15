// The smaller commands: Options, About, the clip menu (Change Title, Add to RawAudioList,
// Preview / Cut), Restore and Rip Sample.
#include "gui/main_dialog.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/pvr_drive.h"
#include "gui/about_dialog.h"
#include "gui/options_dialog.h"
#include "gui/title_dialog.h"
#include "platform/text.h"
#include "platform/volume.h"
#include "udisks/udisks_open.h"

#include <QTreeWidget>
#include <algorithm>
#include <cctype>

namespace quorin {
namespace {

// Renames the clip on the disk; false when the record could not be written.
bool RenameClip(CPVRFile& clip, const std::string& title, std::string& why) {
    // A device opened read-only (directly or through UDisks2) gets write access for the rename.
    std::string udisksWhy;
    udisks::EnsureWritable(clip.DriveName(), udisksWhy);
    if (clip.Rename(title)) return true;
    why = "The title \"" + title + "\" could not be written to the disk; the clip keeps its title.";
    if (std::string refusal = clip.WriteRefusal(); !refusal.empty()) {
        refusal[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(refusal[0])));
        why = "The title \"" + title + "\" was not written: " + refusal + ".";
    }
    if (VolumeOpensReadOnly(clip.DriveName())) why += "\nThe disk is open read-only.";
    if (!udisksWhy.empty()) why += "\n" + udisksWhy;
    LogLine(why);
    return false;
}

} // namespace

void CMainDialog::ShowOptions() {
    PostfixTexts texts{m_Settings.prefixVideo, m_Settings.prefixAudio, m_Settings.prefixRawVideo,
                       m_Settings.prefixRawAudio};
    CDlgOptions dialog(texts,
                       {m_Settings.outputFormat, m_Settings.keepStreams, m_Settings.exactCuts},
                       m_Settings.libraryFolder, this);
    if (dialog.exec() == QDialog::Accepted) {
        texts = dialog.Texts();
        const OutputChoice output = dialog.Output();
        m_Settings.outputFormat = output.format;
        m_Settings.keepStreams = output.keepStreams;
        m_Settings.exactCuts = output.exactCuts;
        m_Settings.libraryFolder = dialog.LibraryFolder();
        m_Settings.prefixVideo = texts.video;
        m_Settings.prefixAudio = texts.audio;
        m_Settings.prefixRawVideo = texts.rawVideo;
        m_Settings.prefixRawAudio = texts.rawAudio;
    }
    SaveSettingsFromWindow(); // Cancel saves too
}

void CMainDialog::ShowAbout() {
    CAboutDialog dialog(this);
    dialog.exec();
}

void CMainDialog::ChangeTitle() {
    if (!ReadFields()) return;
    CPVRFile* clip = SelectedClip();
    if (!clip) return;
    CTitleDialog dialog(Latin1ToUtf8(clip->GetRecord().ClipName()), this);
    if (dialog.exec() != QDialog::Accepted) return;
    std::string why;
    if (!RenameClip(*clip, dialog.Title(), why)) ShowMessage({"Change Title", why});
    OpenSelectedDrive();
}

void CMainDialog::AddToRawAudioList() {
    if (!ReadFields()) return;
    QTreeWidgetItem* row = m_pList->topLevelItem(SelectedRow());
    if (!row || !SelectedClip()) return;
    const std::string channel = row->text(1).toStdString();
    std::vector<std::string>& list = m_Settings.rawAudioList;
    if (std::find(list.begin(), list.end(), channel) != list.end()) return;
    if (static_cast<int>(list.size()) >= kRawAudioKeys) {
        ShowMessage(
            {"Add to RawAudioList", "The raw-audio list is full: it keeps 200 channel names."});
        return;
    }
    list.push_back(channel);
    m_bRawAudio = true;
    WriteFields();
}

void CMainDialog::PreviewCut() {
    if (IsRunning() || !ReadFields()) return;
    CPVRFile* clip = SelectedClip();
    if (!clip) return;
    OpenLog("PRV.LOG", m_Settings.logFile);

    const PreviewRequest request{clip, m_bRawAudio, m_bRawStream, OutputFolder()};
    PreviewResult result =
        m_Hooks.preview ? m_Hooks.preview(this, request) : ShowPreviewDialog(this, request);
    if (result.accepted) {
        const RipJob* last = nullptr;
        const Messages messages = m_Queue.AppendCutJobs(result.jobs, &last);
        ShowMessages(messages);
        std::string why;
        if (last && !RenameClip(*clip, last->name, why)) ShowMessage({"Preview / Cut", why});
        WriteFields();
        OpenSelectedDrive();
    }
    CloseLog();
}

void CMainDialog::Restore() {
    if (IsRunning()) return;
    const PreviewRequest request{nullptr, m_bRawAudio, m_bRawStream, OutputFolder()};
    if (m_Hooks.preview)
        m_Hooks.preview(this, request);
    else
        ShowPreviewDialog(this, request);
}

void CMainDialog::RipSample() {
    if (!ReadFields()) return;
    m_Cut.time = 120;
    WriteFields();
    RunNextJob();
}

} // namespace quorin
