// Running: "RIP !", the worker, the 250 ms progress timer, the end of a run and Cancel.
#include "gui/main_dialog.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/pvr_drive.h"
#include "gui/control_ids.h"
#include "jobs/job_runner.h"
#include "platform/text.h"
#include "rip/rip_runner.h"
#include "udisks/udisks_open.h"

#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>

namespace quorin {
namespace {

void SetBarRange(QProgressBar* bar, const RipProgress& p) {
    const int low = p.rangeLow.load();
    const int high = std::max(p.rangeHigh.load(), low + 1); // equal ends would mean "busy"
    bar->setRange(low, high);
}

void SetBarPosition(QProgressBar* bar, const RipProgress& p) {
    bar->setValue(std::clamp(p.position.load(), bar->minimum(), bar->maximum()));
}

int Percent(const RipProgress& p) {
    const long long low = p.rangeLow.load();
    const long long span = static_cast<long long>(p.rangeHigh.load()) - low;
    if (span == 0) return 0;
    return static_cast<int>(100 * (p.position.load() - low) / span);
}

// "h:mm:ss" of a time stamp distance (90 kHz).
std::string PtsText(const char* format, long long d) {
    return Format(format, d / 324'000'000, d / 5'400'000 % 60, d / 90'000 % 60);
}

// "finished; 2.4 s lost to read errors" after a run that was done but lost data; empty otherwise.
std::string LossSummary(const RipRunReport& report) {
    const RipReport& stages = report.stages;
    if (report.outcome != RipOutcome::kDone || stages.lost.empty()) return {};
    if (const double seconds = stages.LostSeconds(); seconds > 0)
        return Format("finished; %.1f s lost to read errors", seconds);
    std::int64_t bytes = 0;
    for (const RipReport::Lost& l : stages.lost)
        bytes += l.bytes;
    return Format("finished; %lld bytes lost to read errors", static_cast<long long>(bytes));
}

} // namespace

void CMainDialog::RunNextJob() {
    if (IsRunning() || !ReadFields()) return;
    if (m_Queue.Empty() && !m_Queue.QueueMode()) {
        if (SelectedRow() >= 0) StartRip(std::nullopt);
        return;
    }
    if (const std::optional<RipJob> next =
            m_Queue.TakeRunnable(m_Disk.Drive(), &m_strAudioStatus)) {
        const RipJob& job = *next;
        SelectRow(job.clipIndex);
        m_Cut.time = job.length;
        m_Cut.offset = job.begin;
        m_bRawAudio = job.rawAudio != 0 || m_bRawStream;
        m_bBackup = job.backup != 0;
        m_bAudio = job.audio != 0;
        m_bVideo = job.video != 0;
        m_Cut.UpdateTexts();
        WriteFields();
        StartRip(job);
        return;
    }
    m_Queue.EndQueueMode();
    WriteFields();
}

void CMainDialog::StartRip(const std::optional<RipJob>& job) {
    CPVRFile* clip = SelectedClip();
    if (!clip || !PrepareOutputDirectory()) return;

    RipRequest request;
    request.begin = m_Cut.offset;
    request.length = m_Cut.time;
    request.audio = m_bAudio;
    request.video = m_bVideo;
    request.rawAudio = m_bRawAudio;
    request.rawVideo = m_bRawStream;
    request.backup = m_bBackup;
    request.patchSequenceHeader = m_Settings.patchFirstSequenceHeader;
    const RunnerOptions options = RunnerOptions::FromSettings(m_Settings);
    request.postfixes = options.postfixes;
    request.mux = options.mux;
    request.outputFolder = OutputFolder();
    request.readPolicy = options.readPolicy;
    if (job) {
        request.outputName = job->name;
        request.rename = RunnerOptions{}.renameInQueue;
    }
    // Raw rips and backups copy what the disk holds: they have no pictures to cut at, and take
    // the span of a job's ranges.
    const bool stream = !request.backup && !request.rawAudio && !request.rawVideo;
    if (job && stream)
        for (const auto& [from, to] : job->ranges)
            request.keep.push_back({from, to});
    request.exact = stream && (job ? job->exact != 0 : m_Settings.exactCuts);
    if (request.exact && request.keep.empty())
        request.keep.push_back({request.begin, request.length
                                                   ? std::optional(request.begin + *request.length)
                                                   : std::nullopt});
    // The queue renames the clip: a device opened read-only gets write access first.
    if (request.rename) {
        std::string udisksWhy;
        udisks::EnsureWritable(clip->DriveName(), udisksWhy);
        if (!udisksWhy.empty()) LogLine(udisksWhy);
    }
    // The run's log opens before the rename it may record; a refused run opens none.
    if (ApplyCutRules(clip->GetRecord().LengthInSeconds(), request.begin, request.length))
        OpenLog(Latin1ToUtf8(clip->GetRecord().ClipName()), m_Settings.logFile);
    RipRunReport report;
    if (!m_Rip.Prepare(*clip, request, m_Worker.CancelFlag(), report)) {
        ShowMessages(RefusalMessages(report));
        return;
    }
    SetRunControlsEnabled(false);
    m_Cut.time = report.cut.length;
    m_strAudioSize = m_strVideoSize = "0 MB";
    m_strAudioTime.clear();
    m_strVideoTime.clear();
    m_pAudioBar->setValue(m_pAudioBar->minimum());
    m_pVideoBar->setValue(m_pVideoBar->minimum());
    // The row shows the clip's title as the disk now holds it: the job's name after a rename.
    if (QTreeWidgetItem* row = m_pList->topLevelItem(clip->FileNo()); row && job)
        row->setText(2, QString::fromStdString(Latin1ToUtf8(clip->GetRecord().ClipName())));

    StartTask(Task::kRip, [this] { m_Rip.Execute(); });

    m_pAudioBar->setVisible(m_bAudio);
    m_pVideoBar->setVisible(m_bVideo);
    WriteFields();
}

void CMainDialog::StartTask(Task task, std::function<void()> work) {
    m_Task = task;
    if (m_Hooks.beforeTask)
        work = [hook = m_Hooks.beforeTask, work = std::move(work)] {
            hook();
            work();
        };
    m_Worker.Start(std::move(work));
    m_Timer.start();
}

namespace {

// The files of a run that stopped before their end, by name.
std::string IncompleteFiles(const RipRunReport& report) {
    std::string names;
    for (const RipReport::File& f : report.stages.files)
        if (f.partial) names += (names.empty() ? "" : ", ") + f.name;
    return names;
}

} // namespace

void CMainDialog::OnProgressTimer() {
    const bool ended = m_Worker.Ended();
    switch (m_Task) {
    case Task::kCheck:
        MirrorCheck();
        if (ended) FinishCheck();
        break;
    case Task::kLibrary:
        MirrorLibrary();
        if (ended) FinishLibrary();
        break;
    case Task::kBreaks:
        MirrorBreaks();
        if (ended) FinishBreaks();
        break;
    case Task::kRip:
        MirrorProgress(m_Rip.Audio(), m_Rip.Video());
        if (ended) FinishRun();
        break;
    case Task::kNone:
        break;
    }
}

std::string CMainDialog::ProgressTitle(const char* stream, const RipProgress& p) const {
    if (p.muxing) return Format("Muxing % 3d %% ... %d Jobs to go", Percent(p), m_Queue.Count());
    if (std::string_view(stream) == "Audio")
        return Format("Processing Audio % 3d %% ... %d Jobs to go", Percent(p), m_Queue.Count());
    return Format("Processing Video % 3d %% ... %d Jobs to go", Percent(p), m_Queue.Count());
}

void CMainDialog::MirrorProgress(RipProgress& audio, RipProgress& video) {
    if (audio.enabled && audio.active) {
        if (audio.rangeChanged.exchange(false)) SetBarRange(m_pAudioBar, audio);
        SetBarPosition(m_pAudioBar, audio);
        setWindowTitle(QString::fromStdString(ProgressTitle("Audio", audio)));
        m_strAudioSize = Format("%d MB", audio.megabytes.load());
    }
    if (video.enabled && video.active) {
        if (video.rangeChanged.exchange(false)) {
            // The engine does audio first: a new video range means the audio stage is over.
            if (audio.enabled) m_strAudioTime = Format("Time: %d s", audio.seconds.load());
            SetBarRange(m_pVideoBar, video);
            const long long first = video.firstPts.load();
            m_strStartPts = PtsText("Start PTS: %lld:%02lld:%02lld", video.startPts - first);
            m_strEndPts = PtsText("End PTS: %lld:%02lld:%02lld", video.endPts - first);
        }
        SetBarPosition(m_pVideoBar, video);
        m_strVideoSize = Format("%d MB", video.megabytes.load());
        setWindowTitle(QString::fromStdString(ProgressTitle("Video", video)));
    }
    m_strVideoStatus = video.Status();
    m_strAudioStatus = audio.Status();
    WriteFields();
    update();
}

void CMainDialog::FinishRun() {
    m_Timer.stop();
    m_Worker.Finish();
    m_Task = Task::kNone;
    const RipRunReport report = m_Rip.Finish();
    const std::string incomplete = IncompleteFiles(report);
    const std::string losses = LossSummary(report);
    // A notice of the run (the output format ignored for a raw rip) is its last word.
    const std::vector<std::string>& notices = report.notices;
    RipProgress& audio = m_Rip.Audio();
    RipProgress& video = m_Rip.Video();
    if (video.enabled) m_strVideoTime = Format("Time: %d s", video.seconds.load());
    audio.active.store(false);
    video.active.store(false);
    if (!incomplete.empty()) {
        // A stopped run's files stay where they are; the status says which are not whole.
        video.SetStatus("stopped; incomplete: " + incomplete);
        m_strVideoStatus = video.Status();
    }
    m_strStartPts.clear();
    m_strEndPts.clear();
    if (!notices.empty()) m_strAudioStatus = notices.back();
    SetRunControlsEnabled(true);
    setWindowTitle(IdleWindowTitle());
    m_pAudioBar->hide();
    m_pVideoBar->hide();
    if (!losses.empty()) {
        (video.enabled ? m_strVideoStatus : m_strAudioStatus) = losses;
        LogLine(losses);
    }
    CloseLog();
    WriteFields();

    const bool sound = m_Settings.playSound && m_pEndSound;
    if (m_Queue.QueueMode() && !m_Queue.Empty()) {
        RunNextJob();
        return;
    }
    m_Queue.EndQueueMode();
    if (sound) m_pEndSound->Play();
}

void CMainDialog::SetRunControlsEnabled(bool enabled) {
    // Disabling the focused field moves the focus; that is no edit of the user's.
    m_bInHandler = true;
    const auto controls = findChildren<QWidget*>();
    for (QWidget* control : controls) {
        const int id = ControlId(control);
        if (id < ids::kRunLockFirst || id > ids::kRunLockLast) continue;
        // The output directory only ever changes through "Browse...".
        control->setEnabled(enabled && id != ids::kOutputDir);
    }
    m_pRip->setEnabled(enabled);
    m_bInHandler = false;
}

void CMainDialog::reject() {
    if (IsRunning()) {
        // The run's controls stay disabled until the worker has ended: it still uses the clip
        // and the cluster table.
        m_Worker.Cancel();
        return;
    }
    SaveSettingsFromWindow();
    QDialog::reject();
}

} // namespace quorin
