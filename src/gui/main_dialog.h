// The main window: drives and clips, the cut of the next rip, the options, the job queue and the
// progress of a running rip.
//
// The window keeps its state in plain members and exchanges it with its controls before and
// after each command (ReadFields / WriteFields). A rip runs on one CReaderThread; the window
// polls the shared progress blocks every 250 ms and never touches the clip, the drive or the
// cluster table while the worker runs: every control that would is disabled until the worker
// has ended.
#pragma once

#include "base/run_state.h"
#include "gui/end_sound.h"
#include "gui/preview_hook.h"
#include "jobs/clip_time.h"
#include "jobs/jobs.h"
#include "platform/settings.h"
#include "rip/disk_scan.h"

#include <QDialog>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace quorin {

class CPVRDrive;
class CPVRFile;
class CReaderThread;
class RipRunner;
class ClusterTable;

// Replacements for the modal choosers and message boxes (tests drive the window without them).
struct WindowHooks {
    std::function<void(const UserMessage&)> message;
    std::function<std::optional<std::string>()> chooseJobList;
    std::function<std::optional<std::string>()> chooseDirectory;
    std::function<std::optional<std::string>()> chooseImage;
    PreviewHook preview; // empty: ShowPreviewDialog
};

class CMainDialog : public QDialog {
    Q_OBJECT
public:
    // imagePath: a disk image or device named on the command line, added to the drive list
    // and selected.
    explicit CMainDialog(const std::string& imagePath = {}, WindowHooks hooks = {},
                         QWidget* parent = nullptr);
    ~CMainDialog() override;

    void SetEndSound(std::unique_ptr<IEndSound> sound) { m_pEndSound = std::move(sound); }

    // Commands, as the buttons, the menu and the keys run them.
    void OpenSelectedDrive();
    void Browse();
    void PickImage();
    void AddJob();
    void ClearJobs();
    void LoadJobList();
    void SaveJobList();
    void RunNextJob();
    void ShowOptions();
    void ShowAbout();
    void ChangeTitle();
    void AddToRawAudioList();
    void PreviewCut();
    void Restore();
    void ToggleFirmware();
    void RipSample();
    // Reads the whole disk on a worker, writing nothing; the result lists the damaged clips.
    void CheckDisk();
    // Recover Deleted Recordings: the recovery window over the open drive, ripping into the
    // output directory.
    void RecoverDeleted();

    // Read-only views for tests and the screenshot tool.
    const JobQueue& Queue() const { return m_Queue; }
    const Settings& CurrentSettings() const { return m_Settings; }
    const std::vector<std::uint32_t>& Checksums() const { return m_vecChecksums; }
    bool IsIdle() const { return m_Flags.idle.load(); }
    bool IsRunning() const { return m_pWorker != nullptr || m_pCheck != nullptr; }
    const CPVRDrive* Drive() const { return m_pDrive.get(); }
    QMenu* ClipMenu() const { return m_pClipMenu; }

public slots:
    void reject() override; // Cancel, Esc and the close box

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Construction of the controls (main_dialog_layout.cpp).
    void BuildControls();
    QWidget* BuildDriveRow();
    QWidget* BuildCutBox();
    QWidget* BuildOptionBox();
    QWidget* BuildJobBox();
    QWidget* BuildProgressBox();
    QLayout* BuildButtonRow();
    void BuildClipMenu();
    void SetToolTips();
    void ConnectCommands();

    // Start-up, settings and drives (main_dialog.cpp, main_dialog_drive.cpp).
    void Initialise(const std::string& imagePath);
    void LoadSettingsIntoWindow();
    void SaveSettingsFromWindow();
    void BuildDriveList(const std::string& imagePath);
    bool EnsureDiskObjects(const std::string& volume);
    void ReportUnreadableRecords();
    void ReportImplausibleDisk();
    void ReleaseDiskObjects();
    void FillClipList();
    bool PrepareOutputDirectory();
    // The output directory as the runs name it (no trailing slash).
    std::string OutputFolder() const;
    // A file name in the output directory.
    std::string InOutputFolder(const std::string& name) const;

    // The exchange between state and controls. ReadFields stops at a number field that holds
    // no number ("Please enter a number."); the fields after it keep their values.
    bool ReadFields();
    void WriteFields();

    // The clip list.
    int SelectedRow() const;
    void SelectRow(int row);
    CPVRFile* ClipAt(int row) const;
    CPVRFile* SelectedClip() const;
    double SelectedClipLength() const;

    // The cut fields (main_dialog_jobs.cpp).
    void OnClipClicked();
    void OnOffsetLeft();
    void OnTimeLeft();
    void OnBeginLeft();
    void OnEndLeft();
    void CheckOffset();
    bool RawAudioFor(int row) const;

    // Running (main_dialog_run.cpp).
    void StartRip(const std::optional<RipJob>& job);
    void OnProgressTimer();
    void MirrorProgress();
    void FinishRun();
    void SetRunControlsEnabled(bool enabled);
    std::string ProgressTitle(const char* stream, const RipProgress& p) const;

    // Check Disk (main_dialog_check.cpp).
    void MirrorCheck();
    void FinishCheck();

    // Messages.
    void ShowMessage(const UserMessage& message,
                     QMessageBox::Icon icon = QMessageBox::Critical) const;
    void ShowMessages(const Messages& messages) const;

    // State.
    WindowHooks m_Hooks;
    std::string m_strDrive;
    Settings m_Settings;
    bool m_bAudio = true;
    bool m_bVideo = true;
    bool m_bRawAudio = false;
    bool m_bRawStream = false;
    bool m_bBackup = false;
    CutFields m_Cut;
    std::string m_strAudioStatus, m_strVideoStatus, m_strStartPts, m_strEndPts;
    std::string m_strAudioTime, m_strVideoTime, m_strAudioSize, m_strVideoSize;
    std::string m_strDriveName, m_strCapacity, m_strFree;

    std::unique_ptr<ClusterTable> m_pTable;
    std::unique_ptr<CPVRDrive> m_pDrive;
    std::vector<std::uint32_t> m_vecChecksums;
    JobQueue m_Queue;
    RipProgress m_AudioProgress;
    RipProgress m_VideoProgress;
    RunFlags m_Flags;
    std::unique_ptr<RipRunner> m_pRunner; // lends the blocks and the cancel flag to the run's clip
    std::unique_ptr<CReaderThread> m_pWorker;
    // Check Disk: its worker, the bytes read so far and in all, and what it found.
    std::unique_ptr<QThread> m_pCheck;
    std::atomic<std::int64_t> m_CheckDone{0};
    std::atomic<std::int64_t> m_CheckTotal{0};
    std::vector<ScanHit> m_vecCheckHits;
    QTimer m_Timer;
    std::unique_ptr<IEndSound> m_pEndSound;
    bool m_bInHandler = false; // a focus handler is running (its message box moves the focus)

    // Controls (owned by the window).
    QComboBox* m_pDriveBox = nullptr;
    QTreeWidget* m_pList = nullptr;
    QLabel* m_pDriveName = nullptr;
    QLabel* m_pCapacity = nullptr;
    QLabel* m_pFree = nullptr;
    QLineEdit* m_pOutputDir = nullptr;
    QLineEdit* m_pOffset = nullptr;
    QLineEdit* m_pTime = nullptr;
    QLineEdit* m_pBegin = nullptr;
    QLineEdit* m_pEnd = nullptr;
    QCheckBox* m_pAudio = nullptr;
    QCheckBox* m_pVideo = nullptr;
    QCheckBox* m_pRawAudio = nullptr;
    QCheckBox* m_pRawStream = nullptr;
    QCheckBox* m_pBackup = nullptr;
    QCheckBox* m_pPlaySound = nullptr;
    QCheckBox* m_pWriteLog = nullptr;
    QCheckBox* m_pFirmware = nullptr;
    QCheckBox* m_pPatch = nullptr;
    QLabel* m_pJobCount = nullptr;
    QLabel* m_pJobSize = nullptr;
    QPushButton* m_pRip = nullptr;
    QPushButton* m_pDir = nullptr;
    QPushButton* m_pBrowse = nullptr;
    QPushButton* m_pRipSample = nullptr;
    QProgressBar* m_pAudioBar = nullptr;
    QProgressBar* m_pVideoBar = nullptr;
    QLabel* m_pAudioStatus = nullptr;
    QLabel* m_pVideoStatus = nullptr;
    QLabel* m_pAudioTime = nullptr;
    QLabel* m_pVideoTime = nullptr;
    QLabel* m_pAudioSize = nullptr;
    QLabel* m_pVideoSize = nullptr;
    QLabel* m_pStartPts = nullptr;
    QLabel* m_pEndPts = nullptr;
    QMenu* m_pClipMenu = nullptr;
    QMenu* m_pDriveMenu = nullptr; // right-click beside the clips
};

// "Quorin v1.0.0 Release": the window title while no rip runs.
QString IdleWindowTitle();

} // namespace quorin
