// The preview and cut dialog: one decoded picture of a clip at a chosen time, a trackbar, jump
// buttons, the mouse wheel and a typed time to move through the clip, and Set Begin / Set End /
// Add Job to collect cut jobs that the caller appends to its job queue after OK.
//
// Every picture is made on the user-interface thread: a rip of length 0 writes "PRV.m2v" into
// the current directory, the decoder turns its first picture into "PRV.BMP", the dialog shows it
// and deletes both files. The filmstrip under the picture is filled by a worker of its own (see
// strip_worker.h); keys step by seconds, minutes and picture groups; Listen plays the sound from
// the position shown. The dialog can be resized; its size is kept in the settings file.
//
// Beside the filmstrip, a list of ranges (range_list.h) that one job keeps, joined; "," and "."
// step by single pictures (picture_step.h), so that a range can begin and end at any picture;
// "Find Breaks" searches the clip for advert breaks on a worker thread and shows them as bands,
// and "Keep all but the breaks" fills the list with the rest of the clip.
#pragma once

#include "base/run_state.h"
#include "gui/break_run.h"
#include "jobs/job_runner.h"
#include "jobs/jobs.h"
#include "jobs/preview_picture.h"

#include <QDateTime>
#include <QDialog>
#include <QImage>
#include <QPixmap>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace quorin {

class AudioOut;
class CPVRFile;
class Filmstrip;
class PictureSteps;
class RangeList;
class WindowWorker;
struct Pcm;
struct PreviewShot;
struct RipProgress;
class PreviewSlider;

// Control ids of the dialog; every control carries its id as the dynamic property "controlId".
namespace preview_ids {
inline constexpr const char* kProperty = "controlId";
inline constexpr int kStatic = -1; // the picture and the note line
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;
inline constexpr int kAudioRaw = 1029;
inline constexpr int kAddJob = 1030;
inline constexpr int kTrackbar = 1050;
inline constexpr int kClipLength = 1052;
inline constexpr int kPosition = 1053;
inline constexpr int kSetBegin = 1054;
inline constexpr int kBeginText = 1055;
inline constexpr int kDateTime = 1056;
inline constexpr int kJobName = 1063;
inline constexpr int kSetEnd = 1064;
inline constexpr int kEndText = 1065;
inline constexpr int kJobCount = 1067;
inline constexpr int kStreamRaw = 1068;
inline constexpr int kStepSet = 1071;
inline constexpr int kGoto = 1073;
inline constexpr int kGotoTime = 1074;
inline constexpr int kJumpFirst = 10000; // 10000 to 10007
inline constexpr int kJumpCount = 8;
inline constexpr int kFilmstrip = 1080;
inline constexpr int kPreviousGroup = 1081;
inline constexpr int kNextGroup = 1082;
inline constexpr int kListen = 1083;
inline constexpr int kAddRange = 1090;
inline constexpr int kRemoveRange = 1091;
inline constexpr int kRangeList = 1092;
inline constexpr int kFindBreaks = 1093;
inline constexpr int kKeepButBreaks = 1094;
inline constexpr int kBreaksText = 1095;
inline constexpr int kPreviousPicture = 1096;
inline constexpr int kNextPicture = 1097;
inline constexpr int kRanges = 1098;
} // namespace preview_ids

// The dialog's rips go through a runner of its own (never cancelled); the caller opens the
// program log "PRV.LOG" around the dialog.

class CPreviewDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxCutJobs = kMaxJobs;
    static constexpr int kPictureWidth = 400;
    static constexpr int kPictureHeight = 300;
    static constexpr int kDefaultWidth = 800;
    static constexpr int kDefaultHeight = 560;
    static constexpr double kListenSeconds = 3.0;

    // clip null ("Restore"): no picture, and the position operations do nothing. With a clip, the
    // current directory must be the output directory; the picture of position 0 is made here.
    // The preview files go into folder (empty: the current directory).
    CPreviewDialog(QWidget* parent, CPVRFile* clip, bool audioRaw, bool streamRaw,
                   std::string folder = {});
    ~CPreviewDialog() override;

    // The cut jobs added, in order (at most 100). The caller takes them over only after OK.
    const std::vector<RipJob>& CutJobs() const { return m_vecJobs; }
    int CutJobCount() const { return static_cast<int>(m_vecJobs.size()); }

    // The operations behind the controls, public for the main window's tests and the benchmark.
    void RefreshPreview();
    void JumpBy(int direction, int stepIndex);
    void GotoTime();
    void SetBegin();
    void SetEnd();
    void AddJob();
    void CycleStepSet();
    void SetStepSet(int set);
    int StepSet() const { return m_iStepSet; }
    // The picture group before or after the one shown (the pictures a cut can start at).
    void PreviousPictureGroup();
    void NextPictureGroup();
    // The picture before or after the one shown, decoded on its own (picture groups when the
    // media module is missing).
    void PreviousPicture();
    void NextPicture();
    // Whether they can (the media module is loaded on the first step).
    bool SinglePictures();

    // The list of ranges: Add range takes Set Begin to Set End; Set Begin / Set End change the
    // range selected.
    void AddRange();
    void RemoveRange();
    void SelectRange(int row);
    RangeList* Ranges() const { return m_pRanges; }
    // Whether jobs cut at the exact picture (the settings file's choice when the dialog opened).
    bool ExactCuts() const { return m_bExactCuts; }
    void SetExactCuts(bool exact) { m_bExactCuts = exact; }

    // Starts the break search on the dialog's worker; the timer (or FinishBreakSearch) takes
    // its end.
    void FindBreaks();
    bool BreakSearchRunning() const;
    // Waits for the search to end and shows what it found.
    void FinishBreakSearch();
    // The breaks shown (found, or given by a test).
    void SetBreaks(std::vector<FoundBreak> found);
    const std::vector<FoundBreak>& Breaks() const { return m_vecBreaks; }
    // Fills the list with the clip's stretches outside the breaks that reach the confidence
    // at which a rip drops them.
    void KeepAllButBreaks();
    // Moves to the picture of thumbnail k of the filmstrip.
    void GoToThumb(int k);
    // Plays about three seconds of sound from the position shown.
    void Listen();
    // Replaces the audio output (tests); the Listen control follows its availability.
    void SetAudioOut(std::unique_ptr<AudioOut> out);
    Filmstrip* Strip() const { return m_pStrip; }
    // Time stamp of the picture shown.
    std::int64_t ShownTimeStamp() const { return m_i64ShownPTS; }

    // The trackbar position in hundredths of a second, and its maximum.
    int Position() const;
    int MaxPosition() const;
    void SetPosition(std::int64_t hundredths);
    // The position of the picture shown, in hundredths from the start of the clip.
    std::int64_t ShownPosition() const { return m_i64Shown; }
    std::int64_t BaseTimeStamp() const { return m_i64BasePTS; }
    // How many preview rips the dialog has made (the filmstrip's and shots' not counted).
    int PreviewRips() const { return m_iPreviewRips; }
    // The picture shown (null when none).
    QPixmap Picture() const;

    // The wheel timer (id 1 of the dialog's design): 500 ms after a wheel event, then one 250 ms
    // tick that applies the pending offset. Exposed so tests can drive it without waiting.
    bool WheelTimerActive() const;
    int WheelTimerInterval() const;
    int PendingWheelOffset() const { return m_iWheelOffset; }
    void WheelTimerTick();
    // One wheel event of delta (120 per notch, positive away from the user).
    void WheelBy(int delta);

    // Step distances of the jump buttons in hundredths: [set][step index].
    static int StepDistance(int set, int stepIndex);
    // "%d:%02d:%02d.%02d" of a position in hundredths (negative values show as 0).
    static QString FormatPosition(std::int64_t hundredths);
    // The date-time text of 1056: date and time in the locale's short formats, on two lines.
    static QString FormatDateTime(const QDateTime& when);

public slots:
    // OK and Cancel: the clip gets back the output name it had before the dialog.
    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void BuildControls();
    void BuildJumpRow(int top);
    void BuildCutColumn(int left, int top);
    void LoadStepTexts();
    void OpenWithClip();
    void RipAt(int seconds);
    void MakePicture();
    void ShowPicture();
    void DeletePreviewFiles();
    void ShowPositionTexts(std::int64_t shownHundredths, std::int64_t dateSeconds);
    void UpdateSelection();
    void BounceFocus();
    void ShowNote(const QString& text);
    void OnThumbTracking(int position);
    // The clip's first video time stamp, as the preview rips found it.
    std::int64_t FirstPts() const;
    int ClampPosition(std::int64_t hundredths) const;
    void BuildStepRow(int top);
    void Anchor(QWidget* widget, int edges);
    void LayoutControls();
    void FitPicture();
    bool HandleKey(QKeyEvent* event);
    void StepBy(int hundredths);
    void ShowShot(const PreviewShot& shot);
    void StartStrip();
    void UpdateMarks();
    void UpdateListenControl();
    void RestoreSize();
    void SaveSize();
    void BuildRangeColumn(int left, int top);
    void BuildPictureSteps(int left, int top);
    void UpdateBands();
    void ShowRangeOnSelection(int row);
    bool ChangeSelectedRange(bool begin);
    std::int64_t ClipHundredths() const;
    void PollBreaks();
    void StepPicture(int direction);

    CPVRFile* m_pClip;
    std::string m_strFolder;
    int m_iPreviewRips = 0;
    RipProgress m_AudioBlock;
    RipProgress m_VideoBlock;
    std::unique_ptr<RipRunner> m_pRunner;
    std::unique_ptr<PreviewPictures> m_pPictures;
    QDateTime m_RecordingStart;
    std::int64_t m_i64BasePTS = 0;
    std::int64_t m_i64Shown = 0;
    int m_iStepSet = 2;
    int m_iWheelOffset = 0;
    bool m_bWheelOneShot = false;
    int m_iBeginPos = 0;
    int m_iEndPos = 0;
    std::vector<RipJob> m_vecJobs;
    std::int64_t m_i64ShownPTS = 0;
    std::int64_t m_i64GroupTicks = 45'000; // the last picture group's length, a first guess
    std::int64_t m_i64BeginShown = -1;
    std::int64_t m_i64EndShown = -1;
    QImage m_Image; // the decoded picture, scaled to the label whenever it changes size
    double m_dAspect = 4.0 / 3.0;
    struct Anchored {
        QWidget* widget;
        QRect base; // at the default size
        int edges;
    };
    std::vector<Anchored> m_vecAnchored;
    std::unique_ptr<AudioOut> m_pAudioOut;
    std::unique_ptr<PictureSteps> m_pSteps;
    bool m_bStepsTried = false;
    bool m_bExactCuts = false;
    std::vector<FoundBreak> m_vecBreaks;
    // The worker goes first: its task uses the run.
    std::unique_ptr<BreakRun> m_pBreakRun;
    std::unique_ptr<WindowWorker> m_pBreakWorker;
    QTimer* m_pBreakTimer = nullptr;
    RangeList* m_pRanges = nullptr;
    QPushButton* m_pFindBreaks = nullptr;
    QPushButton* m_pKeepButBreaks = nullptr;
    QLabel* m_pBreaksText = nullptr;
    std::array<QPushButton*, 2> m_apPictureStep{};

    PreviewSlider* m_pTrackbar = nullptr;
    QLabel* m_pPicture = nullptr;
    QLabel* m_pClipLength = nullptr;
    QLabel* m_pPosition = nullptr;
    QLabel* m_pDateTime = nullptr;
    QLabel* m_pBeginText = nullptr;
    QLabel* m_pEndText = nullptr;
    QLabel* m_pJobCount = nullptr;
    QLabel* m_pNote = nullptr;
    QLineEdit* m_pJobName = nullptr;
    QLineEdit* m_pGotoTime = nullptr;
    QCheckBox* m_pStreamRaw = nullptr;
    QCheckBox* m_pAudioRaw = nullptr;
    QCheckBox* m_pStepSet = nullptr;
    std::array<QPushButton*, preview_ids::kJumpCount> m_apJump{};
    QTimer* m_pWheelTimer = nullptr;
    Filmstrip* m_pStrip = nullptr;
    QPushButton* m_pListen = nullptr;
};

} // namespace quorin
