// The longer tasks of the clip menu besides a rip: "Rip new recordings into the library" and
// "Find Breaks", each on the worker with its progress in the status rows.
#include "gui/main_dialog.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/pvr_drive.h"
#include "gui/breaks_dialog.h"
#include "platform/text.h"

#include <QProgressBar>
#include <filesystem>
#include <system_error>

namespace quorin {
namespace {

constexpr const char* kLibraryCaption = "Media Library";
constexpr const char* kBreaksCaption = "Find Breaks";

// The library folder as an absolute path without a trailing slash, made if missing; empty with
// the reason in *why when it cannot be used.
std::string UsableFolder(const std::string& chosen, std::string* why) {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::absolute(chosen, ec).lexically_normal();
    std::string text = folder.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    if (!ec) std::filesystem::create_directories(text, ec);
    if (!ec && !std::filesystem::is_directory(text, ec) && !ec)
        ec = std::make_error_code(std::errc::not_a_directory);
    if (!ec) return text;
    *why = "The media library folder \"" + chosen + "\" cannot be used: " + ec.message() + ".";
    return {};
}

} // namespace

void CMainDialog::RipToLibrary() {
    if (IsRunning() || !ReadFields()) return;
    if (m_Settings.libraryFolder.empty()) {
        ShowMessage({kLibraryCaption, "No media library folder is set: choose one in Options "
                                      "first."},
                    QMessageBox::Warning);
        return;
    }
    if (!m_Disk.Drive()) {
        ShowMessage({kLibraryCaption, "No drive is open: open the receiver's disk with \"Dir\" "
                                      "first."});
        return;
    }
    std::string why;
    const std::string folder = UsableFolder(m_Settings.libraryFolder, &why);
    if (folder.empty()) {
        LogLine(why);
        ShowMessage({kLibraryCaption, why});
        return;
    }
    OpenLog("LIBRARY", m_Settings.logFile);
    SetRunControlsEnabled(false);
    m_strAudioSize = m_strVideoSize = "0 MB";
    m_strAudioTime.clear();
    m_strVideoTime.clear();
    m_strAudioStatus = "Ripping new recordings into " + folder + " ...";
    m_pAudioBar->setValue(m_pAudioBar->minimum());
    m_pVideoBar->setValue(m_pVideoBar->minimum());
    m_pAudioBar->show();
    m_pVideoBar->show();
    StartTask(Task::kLibrary, m_Library.Task(*m_Disk.Drive(), LibraryRequest(m_Settings, folder),
                                             m_Worker.CancelFlag()));
    WriteFields();
}

void CMainDialog::MirrorLibrary() {
    MirrorProgress(m_Library.Audio(), m_Library.Video());
    if (m_Library.Clip() > 0)
        setWindowTitle(QString::fromStdString(
            Format("Media library: clip %d of %d", m_Library.Clip(), m_Library.Clips())));
}

void CMainDialog::FinishLibrary() {
    m_Timer.stop();
    m_Worker.Finish();
    m_Task = Task::kNone;
    const LibraryOutcome outcome = m_Library.TakeOutcome();
    m_Library.Audio().active.store(false);
    m_Library.Video().active.store(false);
    m_pAudioBar->hide();
    m_pVideoBar->hide();
    m_strStartPts.clear();
    m_strEndPts.clear();
    SetRunControlsEnabled(true);
    setWindowTitle(IdleWindowTitle());
    const std::string summary = LibrarySummary(outcome);
    LogLine(summary);
    CloseLog();
    m_strAudioStatus = summary;
    m_strVideoStatus.clear();
    WriteFields();
    if (!outcome.error.empty() || !outcome.failures.empty()) {
        std::string text = summary;
        for (const std::string& failure : outcome.failures)
            text += "\n" + failure;
        ShowMessage({kLibraryCaption, text}, QMessageBox::Warning);
        return;
    }
    if (m_Settings.playSound && m_pEndSound && !outcome.cancelled) m_pEndSound->Play();
}

void CMainDialog::FindBreaks() {
    if (IsRunning() || !ReadFields()) return;
    const CPVRFile* clip = SelectedClip();
    if (!clip) return;
    OpenLog("BREAKS", m_Settings.logFile);
    SetRunControlsEnabled(false);
    m_pVideoBar->setRange(0, 100);
    m_pVideoBar->setValue(0);
    m_pVideoBar->show();
    m_strVideoStatus = "Finding the breaks ...";
    StartTask(Task::kBreaks,
              m_Breaks.Task(*clip, m_Settings.stopOnReadError, m_Worker.CancelFlag()));
    WriteFields();
}

void CMainDialog::MirrorBreaks() {
    const int percent = m_Breaks.Percent();
    m_pVideoBar->setValue(percent);
    m_strVideoStatus = Format("Finding the breaks %3d %%", percent);
    WriteFields();
}

void CMainDialog::FinishBreaks() {
    m_Timer.stop();
    m_Worker.Finish();
    m_Task = Task::kNone;
    m_pVideoBar->hide();
    SetRunControlsEnabled(true);
    const BreakResult result = m_Breaks.TakeResult();
    CloseLog();
    const CPVRFile* clip = SelectedClip();
    switch (result.end) {
    case BreakResult::End::kCancelled:
        m_strVideoStatus = "Find Breaks cancelled";
        WriteFields();
        return;
    case BreakResult::End::kNothingToSearch:
    case BreakResult::End::kReadError:
        m_strVideoStatus = "Find Breaks failed";
        WriteFields();
        ShowMessage({kBreaksCaption, result.message});
        return;
    case BreakResult::End::kDone:
        break;
    }
    m_strVideoStatus = result.breaks.size() == 1 ? std::string("One break found")
                                                 : Format("%zu breaks found", result.breaks.size());
    if (result.lost) m_strVideoStatus += "; parts could not be read";
    WriteFields();
    if (!clip) return;
    BreaksDialog dialog(Latin1ToUtf8(clip->GetRecord().ClipName()), result.breaks, OutputFolder(),
                        clip->OutputBaseName(), this);
    dialog.exec();
}

} // namespace quorin
