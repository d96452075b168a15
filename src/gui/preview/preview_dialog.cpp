#include "gui/preview/preview_dialog.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "decoder/decoder.h"
#include "disk/pvr_file.h"
#include "gui/preview/filmstrip.h"
#include "gui/preview/listen.h"
#include "gui/preview/picture_step.h"
#include "gui/preview/preview_shot.h"
#include "gui/preview/preview_slider.h"
#include "gui/preview/range_list.h"
#include "gui/window_worker.h"
#include "jobs/clip_time.h"
#include "jobs/preview_picture.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorin {

namespace {

namespace id = preview_ids;

// One name for writing, decoding and deleting: file names tell case apart here.
// The video rip's delay log, written beside every rip; a preview has no use for it.

constexpr int kPtsPerHundredth = 900;
constexpr int kPtsPerSecond = 90000;
constexpr int kTickInterval = 60000; // ten minutes
constexpr int kWheelFirstMs = 500;
constexpr int kWheelSecondMs = 250;

// How a control follows the dialog's size.
enum Edges : int { kFixed = 0, kRight = 1, kBottom = 2, kGrowWidth = 4, kGrowHeight = 8 };
constexpr int kCutColumnLeft = 530;
constexpr int kRangeColumnLeft = 640;
// A step to the next picture group must pass the shown one's own time stamp, which the engine
// still takes as reached within 25 ticks.
constexpr std::int64_t kPastReach = 25;

// [set][step index], in hundredths of a second.
constexpr int kSteps[3][4] = {
    {15000, 30000, 60000, 120000}, {2000, 4500, 9000, 18000}, {100, 300, 500, 1000}};

// Button texts per set, buttons 10000 to 10007, and the step-set box's text.
constexpr const char* kJumpTexts[3][id::kJumpCount] = {
    {"<20m", "<10m", "<5m", "<2.5m", ">2.5m", ">5m", ">10m", ">20m"},
    {"<3m", "<1.5m", "<45s", "<20s", ">20s", ">45s", ">1.5m", ">3 m"},
    {"<10s", "<5s", "<3s", "<1s", ">1s", ">3s", ">5s", ">10s"}};
constexpr const char* kSetTexts[3] = {"max", "med", "min"};

// The box's own states in the order a click steps through them (unchecked, checked,
// indeterminate), which is also the step set they stand for.
constexpr Qt::CheckState kSetStates[3] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};

int SetOfState(Qt::CheckState state) {
    return state == Qt::Checked ? 1 : state == Qt::PartiallyChecked ? 2 : 0;
}

// The three-state box: a click moves to the next step set, as the right mouse button does.
class StepSetBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override {
        setCheckState(kSetStates[(SetOfState(checkState()) + 1) % 3]);
    }
};

template <class W> W* Tag(W* widget, int controlId) {
    widget->setProperty(id::kProperty, controlId);
    return widget;
}

QDateTime RecordingStart(const ClipRecord& r) {
    const QDate date(r.Year(), r.Month(), r.Day());
    const QTime time(r.Hour(), r.Minute(), r.Second());
    // UTC: adding seconds must not jump over a daylight-saving change of the local zone.
    return date.isValid() && time.isValid() ? QDateTime(date, time, Qt::UTC) : QDateTime();
}

// "%d:%02d:%02d", at most 20 characters.
QString ClipLengthText(const ClipRecord& r) {
    return QString::fromStdString(
        Format("%d:%02d:%02d", r.LengthHours(), r.LengthMinutes(), r.LengthSeconds())
            .substr(0, 20));
}

} // namespace

CPreviewDialog::CPreviewDialog(QWidget* parent, CPVRFile* clip, bool audioRaw, bool streamRaw,
                               std::string folder)
    : QDialog(parent), m_pClip(clip), m_strFolder(std::move(folder)) {
    setWindowTitle(QStringLiteral("Preview / Cut"));
    BuildControls();
    m_pAudioRaw->setChecked(audioRaw);
    m_pStreamRaw->setChecked(streamRaw);
    m_pAudioOut = MakeDeviceAudioOut();
    Settings settings;
    if (LoadSettings(settings)) m_bExactCuts = settings.exactCuts;
    UpdateListenControl();
    if (m_pClip) OpenWithClip();
    if (m_pClip) {
        m_i64ShownPTS = m_i64BasePTS;
        m_pStrip->SetCurrent(0);
    }
    RestoreSize();
    LayoutControls();
    if (m_pClip) StartStrip();
}

CPreviewDialog::~CPreviewDialog() {
    m_pStrip->Stop();
    m_pBreakWorker.reset(); // cancels the search and waits for it
}

// ---- Controls ----------------------------------------------------------------------------

void CPreviewDialog::BuildControls() {
    setMinimumSize(kDefaultWidth, kDefaultHeight);
    resize(kDefaultWidth, kDefaultHeight);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);

    m_pPicture = Tag(new QLabel(this), id::kStatic);
    m_pPicture->setObjectName(QStringLiteral("my static"));
    m_pPicture->setGeometry(120, 20, kPictureWidth, kPictureHeight);
    m_pPicture->setAlignment(Qt::AlignCenter);

    m_pPosition = Tag(new QLabel(QStringLiteral("0:00:00.00"), this), id::kPosition);
    m_pPosition->setGeometry(10, 20, 104, 20);
    m_pDateTime = Tag(new QLabel(this), id::kDateTime);
    m_pDateTime->setGeometry(10, 44, 104, 40);
    m_pDateTime->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    m_pGotoTime = Tag(new QLineEdit(this), id::kGotoTime);
    m_pGotoTime->setGeometry(10, 100, 100, 24);
    m_pGotoTime->installEventFilter(this);
    auto* gotoButton = Tag(new QPushButton(QStringLiteral("Goto"), this), id::kGoto);
    gotoButton->setGeometry(10, 128, 100, 26);
    gotoButton->setToolTip(QStringLiteral("hhmmss.cc, or Enter in the time field"));
    connect(gotoButton, &QPushButton::clicked, this, &CPreviewDialog::GotoTime);

    m_pStreamRaw = Tag(new QCheckBox(QStringLiteral("Stream Raw"), this), id::kStreamRaw);
    m_pStreamRaw->setGeometry(10, 180, 104, 22);
    m_pAudioRaw = Tag(new QCheckBox(QStringLiteral("Audio Raw"), this), id::kAudioRaw);
    m_pAudioRaw->setGeometry(10, 204, 104, 22);

    m_pTrackbar = Tag(new PreviewSlider(this), id::kTrackbar);
    m_pTrackbar->setGeometry(10, 396, 540, 32);
    m_pTrackbar->setToolTip(QStringLiteral(
        "Left / Right: 1 s, Shift: 10 s, Ctrl: one picture group; Page Up / Page Down: one "
        "minute; Home / End"));
    m_pTrackbar->setRange(0, 0);
    m_pTrackbar->setTickPosition(QSlider::TicksBelow);
    m_pTrackbar->setTickInterval(kTickInterval);
    m_pTrackbar->setSingleStep(100); // keys: one second, one minute
    m_pTrackbar->setPageStep(6000);
    connect(m_pTrackbar, &QSlider::sliderMoved, this, &CPreviewDialog::OnThumbTracking);
    connect(m_pTrackbar, &PreviewSlider::captureReleased, this, &CPreviewDialog::RefreshPreview);
    m_pClipLength = Tag(new QLabel(this), id::kClipLength);
    m_pClipLength->setGeometry(556, 402, 74, 20);

    m_pStrip = Tag(new Filmstrip(this), id::kFilmstrip);
    m_pStrip->setGeometry(10, 326, 620, 64);
    m_pStrip->setToolTip(QStringLiteral("Click a picture to go there"));
    connect(m_pStrip, &Filmstrip::thumbClicked, this, &CPreviewDialog::GoToThumb);

    BuildJumpRow(434);
    BuildStepRow(466);
    BuildCutColumn(kCutColumnLeft, 20);
    BuildRangeColumn(kRangeColumnLeft, 20);
    BuildPictureSteps(306, 466);

    m_pJobName = Tag(new QLineEdit(this), id::kJobName);
    m_pJobName->setGeometry(120, 500, 400, 24);
    m_pNote = Tag(new QLabel(this), id::kStatic);
    m_pNote->setObjectName(QStringLiteral("note"));
    m_pNote->setGeometry(120, 530, 400, 20);

    Anchor(m_pPicture, kGrowWidth | kGrowHeight);
    Anchor(m_pStrip, kBottom | kGrowWidth);
    Anchor(m_pTrackbar, kBottom | kGrowWidth);
    Anchor(m_pClipLength, kBottom | kRight);
    Anchor(m_pJobName, kBottom | kGrowWidth);
    Anchor(m_pNote, kBottom | kGrowWidth);
    Anchor(m_pRanges, kRight | kGrowHeight);
    for (QWidget* w :
         {static_cast<QWidget*>(m_pFindBreaks), static_cast<QWidget*>(m_pKeepButBreaks),
          static_cast<QWidget*>(m_pBreaksText)})
        Anchor(w, kRight | kBottom);
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const bool anchored = std::any_of(m_vecAnchored.begin(), m_vecAnchored.end(),
                                          [child](const Anchored& a) { return a.widget == child; });
        if (anchored) continue;
        if (child->y() >= 430) // the rows under the trackbar
            Anchor(child, kBottom);
        else if (child->x() >= kCutColumnLeft)
            Anchor(child, kRight);
    }

    m_pWheelTimer = new QTimer(this);
    m_pWheelTimer->setObjectName("wheel timer");
    m_pWheelTimer->setSingleShot(false);
    connect(m_pWheelTimer, &QTimer::timeout, this, &CPreviewDialog::WheelTimerTick);

    // Wheel events anywhere in the dialog move the position, never a single control.
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
}

void CPreviewDialog::BuildJumpRow(int top) {
    static constexpr int kDirection[id::kJumpCount] = {-1, -1, -1, -1, 1, 1, 1, 1};
    static constexpr int kStepIndex[id::kJumpCount] = {3, 2, 1, 0, 0, 1, 2, 3};
    int x = 10;
    for (int k = 0; k < id::kJumpCount; ++k) {
        if (k == 4) {
            m_pStepSet = Tag(new StepSetBox(kSetTexts[2], this), id::kStepSet);
            m_pStepSet->setTristate(true);
            m_pStepSet->setGeometry(x + 4, top, 72, 26);
            connect(m_pStepSet, &QCheckBox::clicked, this,
                    [this] { SetStepSet(SetOfState(m_pStepSet->checkState())); });
            x += 80;
        }
        auto* button = Tag(new QPushButton(kJumpTexts[2][k], this), id::kJumpFirst + k);
        button->setGeometry(x, top, 62, 26);
        connect(button, &QPushButton::clicked, this,
                [this, k] { JumpBy(kDirection[k], kStepIndex[k]); });
        m_apJump[static_cast<std::size_t>(k)] = button;
        x += 68;
    }
}

void CPreviewDialog::BuildCutColumn(int left, int top) {
    auto* setBegin = Tag(new QPushButton(QStringLiteral("Set Begin"), this), id::kSetBegin);
    setBegin->setGeometry(left, top, 100, 26);
    setBegin->setToolTip(QStringLiteral("The cut begins with the picture shown (B)"));
    connect(setBegin, &QPushButton::clicked, this, &CPreviewDialog::SetBegin);
    m_pBeginText = Tag(new QLabel(this), id::kBeginText);
    m_pBeginText->setGeometry(left, top + 30, 100, 20);

    auto* setEnd = Tag(new QPushButton(QStringLiteral("Set End"), this), id::kSetEnd);
    setEnd->setGeometry(left, top + 60, 100, 26);
    setEnd->setToolTip(QStringLiteral("The cut ends at the picture shown (E)"));
    connect(setEnd, &QPushButton::clicked, this, &CPreviewDialog::SetEnd);
    m_pEndText = Tag(new QLabel(this), id::kEndText);
    m_pEndText->setGeometry(left, top + 90, 100, 20);

    auto* addJob = Tag(new QPushButton(QStringLiteral("Add Job"), this), id::kAddJob);
    addJob->setGeometry(left, top + 130, 100, 26);
    connect(addJob, &QPushButton::clicked, this, &CPreviewDialog::AddJob);
    m_pJobCount = Tag(new QLabel(QStringLiteral("0"), this), id::kJobCount);
    m_pJobCount->setGeometry(left, top + 160, 100, 20);

    auto* ok = Tag(new QPushButton(QStringLiteral("OK"), this), id::kOk);
    ok->setGeometry(left, top + 242, 100, 26);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* cancel = Tag(new QPushButton(QStringLiteral("Cancel"), this), id::kCancel);
    cancel->setGeometry(left, top + 274, 100, 26);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CPreviewDialog::BuildRangeColumn(int left, int top) {
    m_pRanges = Tag(new RangeList(this), id::kRanges);
    m_pRanges->setGeometry(left, top, 150, 250);
    connect(m_pRanges, &RangeList::addAsked, this, &CPreviewDialog::AddRange);
    connect(m_pRanges, &RangeList::removeAsked, this, &CPreviewDialog::RemoveRange);
    connect(m_pRanges, &RangeList::selectionChanged, this, &CPreviewDialog::ShowRangeOnSelection);
    connect(m_pRanges, &RangeList::rangesChanged, this, &CPreviewDialog::UpdateBands);

    m_pFindBreaks = Tag(new QPushButton(QStringLiteral("Find Breaks"), this), id::kFindBreaks);
    m_pFindBreaks->setGeometry(left, top + 260, 150, 26);
    m_pFindBreaks->setToolTip(QStringLiteral("Searches the clip for advert breaks"));
    connect(m_pFindBreaks, &QPushButton::clicked, this, &CPreviewDialog::FindBreaks);
    m_pKeepButBreaks =
        Tag(new QPushButton(QStringLiteral("Keep all but the breaks"), this), id::kKeepButBreaks);
    m_pKeepButBreaks->setGeometry(left, top + 290, 150, 26);
    m_pKeepButBreaks->setEnabled(false);
    m_pKeepButBreaks->setToolTip(
        QStringLiteral("Fills the list with the clip without the breaks of confidence %1 or more")
            .arg(kDropBreakConfidence, 0, 'f', 2));
    connect(m_pKeepButBreaks, &QPushButton::clicked, this, &CPreviewDialog::KeepAllButBreaks);
    m_pBreaksText = Tag(new QLabel(this), id::kBreaksText);
    m_pBreaksText->setGeometry(left, top + 320, 150, 50);
    m_pBreaksText->setWordWrap(true);
    m_pBreaksText->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    m_pBreakTimer = new QTimer(this);
    m_pBreakTimer->setObjectName("break timer");
    connect(m_pBreakTimer, &QTimer::timeout, this, &CPreviewDialog::PollBreaks);
}

void CPreviewDialog::BuildPictureSteps(int left, int top) {
    m_apPictureStep[0] = Tag(new QPushButton(QStringLiteral("< Pic"), this), id::kPreviousPicture);
    m_apPictureStep[1] = Tag(new QPushButton(QStringLiteral("Pic >"), this), id::kNextPicture);
    for (int k = 0; k < 2; ++k) {
        QPushButton* button = m_apPictureStep[static_cast<std::size_t>(k)];
        button->setGeometry(left + k * 62, top, 56, 26);
        button->setToolTip(k == 0 ? QStringLiteral("The picture before (,)")
                                  : QStringLiteral("The picture after (.)"));
    }
    connect(m_apPictureStep[0], &QPushButton::clicked, this, &CPreviewDialog::PreviousPicture);
    connect(m_apPictureStep[1], &QPushButton::clicked, this, &CPreviewDialog::NextPicture);
}

void CPreviewDialog::BuildStepRow(int top) {
    auto* previous = Tag(new QPushButton(QStringLiteral("|< Group"), this), id::kPreviousGroup);
    previous->setGeometry(10, top, 90, 26);
    previous->setToolTip(QStringLiteral("The picture group before (Ctrl+Left)"));
    connect(previous, &QPushButton::clicked, this, &CPreviewDialog::PreviousPictureGroup);
    auto* next = Tag(new QPushButton(QStringLiteral("Group >|"), this), id::kNextGroup);
    next->setGeometry(106, top, 90, 26);
    next->setToolTip(QStringLiteral("The picture group after (Ctrl+Right)"));
    connect(next, &QPushButton::clicked, this, &CPreviewDialog::NextPictureGroup);
    m_pListen = Tag(new QPushButton(QStringLiteral("Listen"), this), id::kListen);
    m_pListen->setGeometry(210, top, 90, 26);
    connect(m_pListen, &QPushButton::clicked, this, &CPreviewDialog::Listen);
}

void CPreviewDialog::Anchor(QWidget* widget, int edges) {
    m_vecAnchored.push_back({widget, widget->geometry(), edges});
}

void CPreviewDialog::LayoutControls() {
    const int dx = std::max(0, width() - kDefaultWidth);
    const int dy = std::max(0, height() - kDefaultHeight);
    for (const Anchored& a : m_vecAnchored) {
        QRect r = a.base;
        if (a.edges & kRight) r.translate(dx, 0);
        if (a.edges & kBottom) r.translate(0, dy);
        if (a.edges & kGrowWidth) r.setWidth(r.width() + dx);
        if (a.edges & kGrowHeight) r.setHeight(r.height() + dy);
        a.widget->setGeometry(r);
    }
    FitPicture();
}

void CPreviewDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    LayoutControls();
}

// The picture keeps its display aspect at any size, in device pixels on dense screens.
void CPreviewDialog::FitPicture() {
    if (m_Image.isNull()) return;
    const QSize area = m_pPicture->size();
    int width = area.width();
    int height = static_cast<int>(width / m_dAspect);
    if (height > area.height()) {
        height = area.height();
        width = static_cast<int>(height * m_dAspect);
    }
    const qreal dpr = devicePixelRatioF();
    QPixmap pixmap = QPixmap::fromImage(
        m_Image.scaled(static_cast<int>(width * dpr), static_cast<int>(height * dpr),
                       Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(dpr);
    m_pPicture->setPixmap(pixmap);
}

void CPreviewDialog::RestoreSize() {
    Settings settings;
    LoadSettings(settings);
    if (settings.previewWidth > 0 && settings.previewHeight > 0)
        resize(std::max(settings.previewWidth, kDefaultWidth),
               std::max(settings.previewHeight, kDefaultHeight));
}

void CPreviewDialog::SaveSize() {
    const QSize size = isMaximized() ? normalGeometry().size() : this->size();
    SavePreviewSize(SettingsFilePath(), size.width(), size.height());
}

void CPreviewDialog::LoadStepTexts() {
    for (int k = 0; k < id::kJumpCount; ++k)
        m_apJump[static_cast<std::size_t>(k)]->setText(kJumpTexts[m_iStepSet][k]);
    // The small steps' keys.
    if (m_iStepSet == 2) {
        m_apJump[0]->setToolTip(QStringLiteral("Shift+Left"));
        m_apJump[3]->setToolTip(QStringLiteral("Left"));
        m_apJump[4]->setToolTip(QStringLiteral("Right"));
        m_apJump[7]->setToolTip(QStringLiteral("Shift+Right"));
    } else {
        for (int k : {0, 3, 4, 7})
            m_apJump[static_cast<std::size_t>(k)]->setToolTip({});
    }
    m_pStepSet->setText(kSetTexts[m_iStepSet]);
}

// ---- Opening and pictures ----------------------------------------------------------------

void CPreviewDialog::OpenWithClip() {
    const ClipRecord& record = m_pClip->GetRecord();
    m_iStepSet = 2; // the box itself stays unchecked
    LoadStepTexts();
    // The preview rips are never cancelled.
    m_pRunner = std::make_unique<RipRunner>(*m_pClip, m_AudioBlock, m_VideoBlock, nullptr);
    m_pPictures = std::make_unique<PreviewPictures>(*m_pRunner, m_strFolder);

    RipAt(0);
    m_i64BasePTS = m_pPictures->StartPts();
    m_pClipLength->setText(ClipLengthText(record));
    const QString name = QString::fromStdString(Latin1ToUtf8(record.ClipName()));
    setWindowTitle(name);
    m_pJobName->setText(name);
    MakePicture();

    m_RecordingStart = RecordingStart(record);
    ShowPositionTexts(0, 0);

    const long long length = static_cast<long long>(record.LengthHours()) * 360000 +
                             record.LengthMinutes() * 6000 + record.LengthSeconds() * 100;
    // A clip shorter than two seconds still has the one position 0.
    m_pTrackbar->setRange(0, static_cast<int>(std::clamp(length - 200, 0LL, 0x7FFFFFFFLL)));
}

std::int64_t CPreviewDialog::FirstPts() const {
    return m_pRunner ? m_pRunner->Analysis().videoFirstPts : PTS_NONE;
}

void CPreviewDialog::RipAt(int seconds) {
    ++m_iPreviewRips;
    m_pPictures->Rip(seconds);
}

// Decodes the rip's first picture, shows it and deletes the preview files.
void CPreviewDialog::MakePicture() {
    m_pPictures->Decode();
    ShowPicture();
    DeletePreviewFiles();
}

void CPreviewDialog::ShowPicture() {
    m_pPicture->clear();
    m_Image = QImage(QString::fromStdString(m_pPictures->PicturePath()));
    if (m_Image.isNull()) return;
    m_dAspect = m_pPictures->Aspect();
    if (!(m_dAspect > 0)) m_dAspect = 4.0 / 3.0;
    FitPicture();
}

// Each file is deleted on its own: a picture left behind would be shown again by the next
// refresh if that one's decode wrote nothing.
void CPreviewDialog::DeletePreviewFiles() {
    m_pPictures->DeleteFiles();
}

void CPreviewDialog::RefreshPreview() {
    if (!m_pClip) return;
    RipAt(Position() / 100);
    // The time of the picture itself, where the engine found it.
    const std::int64_t start = m_pPictures->PicturePts();
    MakePicture();
    m_i64ShownPTS = start;
    m_i64Shown = (start - m_i64BasePTS) / kPtsPerHundredth;
    ShowPositionTexts(m_i64Shown, (start - m_i64BasePTS) / kPtsPerSecond);
    m_pStrip->SetCurrent(m_i64Shown);
}

void CPreviewDialog::ShowShot(const PreviewShot& shot) {
    if (shot.image.isNull()) return;
    m_Image = shot.image;
    m_dAspect = shot.aspect;
    FitPicture();
    m_i64ShownPTS = shot.picturePts;
    m_i64Shown = (shot.picturePts - m_i64BasePTS) / kPtsPerHundredth;
    SetPosition(m_i64Shown);
    ShowPositionTexts(m_i64Shown, (shot.picturePts - m_i64BasePTS) / kPtsPerSecond);
    m_pStrip->SetCurrent(m_i64Shown);
}

void CPreviewDialog::NextPictureGroup() {
    if (!m_pClip) return;
    const PreviewShot shot = TakePreviewShot(
        *m_pRunner, m_strFolder, SecondsOfPts(FirstPts(), m_i64ShownPTS + kPastReach), "PRV");
    if (shot.picturePts != PTS_NONE && shot.picturePts > m_i64ShownPTS) {
        m_i64GroupTicks = shot.picturePts - m_i64ShownPTS;
        ShowShot(shot);
    }
}

// A rip from a little before the picture shown finds a group start before it; from there the
// groups are walked forward (time stamps only) to the last one before the picture shown.
void CPreviewDialog::PreviousPictureGroup() {
    if (!m_pClip || m_i64ShownPTS <= m_i64BasePTS) return;
    const auto stampAt = [this](std::int64_t pts) {
        return TakePreviewShot(*m_pRunner, m_strFolder, SecondsOfPts(FirstPts(), pts), "PRV", false)
            .picturePts;
    };
    std::int64_t back = std::max<std::int64_t>(m_i64GroupTicks + kPastReach, kPtsPerSecond / 10);
    std::int64_t found = PTS_NONE;
    while (true) {
        const std::int64_t from = std::max(m_i64BasePTS, m_i64ShownPTS - back);
        const std::int64_t stamp = stampAt(from);
        if (stamp != PTS_NONE && stamp < m_i64ShownPTS) {
            found = stamp;
            break;
        }
        if (from == m_i64BasePTS) return; // nothing before the picture shown
        back *= 2;
    }
    for (std::int64_t next = stampAt(found + kPastReach);
         next != PTS_NONE && next > found && next < m_i64ShownPTS;
         next = stampAt(found + kPastReach))
        found = next;
    m_i64GroupTicks = m_i64ShownPTS - found;
    ShowShot(TakePreviewShot(*m_pRunner, m_strFolder, SecondsOfPts(FirstPts(), found), "PRV"));
}

void CPreviewDialog::GoToThumb(int k) {
    if (!m_pClip || k < 0 || k >= m_pStrip->ThumbCount()) return;
    ShowShot(TakePreviewShot(*m_pRunner, m_strFolder, m_pStrip->RequestedSeconds(k), "PRV"));
}

void CPreviewDialog::StartStrip() {
    const ClipRecord& record = m_pClip->GetRecord();
    const std::int64_t length = static_cast<std::int64_t>(record.LengthInSeconds()) * 100;
    m_pStrip->SetClip(m_pClip, m_i64BasePTS, length, m_Image, m_i64BasePTS, m_dAspect,
                      m_pRunner->Analysis());
}

void CPreviewDialog::StepBy(int hundredths) {
    if (!m_pClip) return;
    SetPosition(std::int64_t{Position()} + hundredths);
    RefreshPreview();
}

// ---- Listening ---------------------------------------------------------------------------

void CPreviewDialog::SetAudioOut(std::unique_ptr<AudioOut> out) {
    if (m_pAudioOut) m_pAudioOut->Stop();
    m_pAudioOut = std::move(out);
    UpdateListenControl();
}

void CPreviewDialog::UpdateListenControl() {
    QString why;
    const bool available = m_pAudioOut && m_pAudioOut->Available(&why);
    m_pListen->setEnabled(available && m_pClip);
    m_pListen->setToolTip(
        available ? QStringLiteral("Listen to %1 s from here (Space)").arg(kListenSeconds) : why);
}

void CPreviewDialog::Listen() {
    if (!m_pClip || !m_pListen->isEnabled()) return;
    // The audio rip takes packets up to 12,000 ticks before its start; from this start the sound
    // begins with the first packet at or after the picture shown.
    Pcm pcm = RipAudioSnippet(*m_pRunner, SecondsOfPts(FirstPts(), m_i64ShownPTS + 12'000),
                              kListenSeconds);
    if (pcm.samples.empty()) {
        ShowNote(QStringLiteral("There is no sound to play here."));
        return;
    }
    ShowNote({});
    m_pAudioOut->Play(std::move(pcm));
}

QPixmap CPreviewDialog::Picture() const {
    return m_pPicture->pixmap();
}

// ---- Positions ---------------------------------------------------------------------------

int CPreviewDialog::Position() const {
    return m_pTrackbar->value();
}
int CPreviewDialog::MaxPosition() const {
    return m_pTrackbar->maximum();
}
void CPreviewDialog::SetPosition(std::int64_t hundredths) {
    m_pTrackbar->setValue(ClampPosition(hundredths));
}

int CPreviewDialog::ClampPosition(std::int64_t hundredths) const {
    return static_cast<int>(
        std::max<std::int64_t>(std::min<std::int64_t>(hundredths, MaxPosition()), 0));
}

QString CPreviewDialog::FormatPosition(std::int64_t v) {
    return QString::fromStdString(FormatHundredths(v));
}

QString CPreviewDialog::FormatDateTime(const QDateTime& when) {
    if (!when.isValid()) return {};
    const QLocale locale;
    // The long time format has the seconds; the time-zone name it may carry means nothing for
    // the receiver's wall-clock times.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QRegularExpression(QStringLiteral("^\\s*t+\\s*|\\s*t+\\s*$")));
    return locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char('\n') +
           locale.toString(when.time(), timeFormat);
}

void CPreviewDialog::ShowPositionTexts(std::int64_t shownHundredths, std::int64_t dateSeconds) {
    m_pPosition->setText(FormatPosition(shownHundredths));
    m_pDateTime->setText(FormatDateTime(m_RecordingStart.addSecs(dateSeconds)));
}

void CPreviewDialog::OnThumbTracking(int position) {
    if (!m_pClip) return;
    ShowPositionTexts(position, position / 100);
}

int CPreviewDialog::StepDistance(int set, int stepIndex) {
    return kSteps[std::clamp(set, 0, 2)][std::clamp(stepIndex, 0, 3)];
}

void CPreviewDialog::JumpBy(int direction, int stepIndex) {
    if (!m_pClip) return;
    SetPosition(Position() +
                static_cast<std::int64_t>(direction) * StepDistance(m_iStepSet, stepIndex));
    RefreshPreview();
}

void CPreviewDialog::GotoTime() {
    if (!m_pClip) return;
    bool ok = false;
    const double v = m_pGotoTime->text().trimmed().toDouble(&ok); // C locale
    if (!ok) {
        ShowNote(QStringLiteral("Please enter a number."));
        return;
    }
    ShowNote({});
    // hhmmss.cc, taken from whole hundredths so that .57 stays 57.
    const long long n = Hundredths(v);
    const long long h = n / 1000000, m = n / 10000 % 100, s = n / 100 % 100, c = n % 100;
    SetPosition(((h * 60 + m) * 60 + s) * 100 + c);
    RefreshPreview();
}

// ---- Step sets and the wheel -------------------------------------------------------------

void CPreviewDialog::SetStepSet(int set) {
    m_iStepSet = std::clamp(set, 0, 2);
    LoadStepTexts();
}

void CPreviewDialog::CycleStepSet() {
    m_iStepSet = (m_iStepSet + 1) % 3;
    m_pStepSet->setCheckState(kSetStates[m_iStepSet]);
    LoadStepTexts();
}

void CPreviewDialog::WheelBy(int delta) {
    if (!m_pClip) return;
    m_pWheelTimer->stop();
    m_pWheelTimer->start(kWheelFirstMs);
    m_iWheelOffset += delta;
    m_bWheelOneShot = true;
    m_pPosition->setText(FormatPosition(ClampPosition(std::int64_t{Position()} + m_iWheelOffset)));
}

void CPreviewDialog::WheelTimerTick() {
    if (m_bWheelOneShot) {
        m_pWheelTimer->start(kWheelSecondMs);
        m_bWheelOneShot = false;
        return;
    }
    m_pWheelTimer->stop();
    SetPosition(ClampPosition(std::int64_t{Position()} + m_iWheelOffset));
    m_iWheelOffset = 0;
    RefreshPreview();
}

bool CPreviewDialog::WheelTimerActive() const {
    return m_pWheelTimer->isActive();
}
int CPreviewDialog::WheelTimerInterval() const {
    return m_pWheelTimer->interval();
}

// ---- Cuts --------------------------------------------------------------------------------

void CPreviewDialog::SetBegin() {
    if (!m_pClip || !ChangeSelectedRange(true)) return;
    m_pBeginText->setText(m_pPosition->text());
    m_iBeginPos = Position();
    m_i64BeginShown = m_i64Shown;
    UpdateSelection();
    BounceFocus();
}

void CPreviewDialog::SetEnd() {
    if (!m_pClip || !ChangeSelectedRange(false)) return;
    m_iEndPos = Position();
    m_i64EndShown = m_i64Shown;
    m_pEndText->setText(m_pPosition->text());
    UpdateSelection();
    BounceFocus();
}

// The band runs between the trackbar positions of Set Begin and Set End; with only one of them
// it marks that single position.
void CPreviewDialog::UpdateSelection() {
    const bool haveBegin = !m_pBeginText->text().isEmpty();
    const bool haveEnd = !m_pEndText->text().isEmpty();
    if (haveBegin && haveEnd)
        m_pTrackbar->SetSelection(std::min(m_iBeginPos, m_iEndPos),
                                  std::max(m_iBeginPos, m_iEndPos));
    else if (haveBegin)
        m_pTrackbar->SetSelection(m_iBeginPos, m_iBeginPos);
    else if (haveEnd)
        m_pTrackbar->SetSelection(m_iEndPos, m_iEndPos);
    m_pStrip->SetMarks(haveBegin ? m_i64BeginShown : -1, haveEnd ? m_i64EndShown : -1);
}

void CPreviewDialog::BounceFocus() {
    QWidget* had = focusWidget();
    m_pTrackbar->setFocus();
    if (had) had->setFocus();
}

void CPreviewDialog::AddJob() {
    if (!m_pClip) return;
    const QString beginText = m_pBeginText->text();
    const QString endText = m_pEndText->text();
    const std::vector<CutRange>& ranges = m_pRanges->Ranges();
    if (ranges.empty() && (beginText.isEmpty() || endText.isEmpty())) {
        ShowNote(QStringLiteral("Set Begin and Set End first: a job needs both."));
        return;
    }
    // The list's ranges, else the one cut between Set Begin and Set End.
    const double begin = ranges.empty() ? ParseClipTime(beginText.toStdString())
                                        : static_cast<double>(ranges.front().from) / 100;
    const double end = ranges.empty() ? ParseClipTime(endText.toStdString())
                                      : static_cast<double>(ranges.back().to) / 100;
    if (end < begin) return;
    if (CutJobCount() >= kMaxCutJobs) {
        QMessageBox::critical(this, windowTitle(),
                              QStringLiteral("The cut job list is full (100 jobs)."));
        return;
    }
    ShowNote({});
    const ClipRecord& record = m_pClip->GetRecord();
    RipJob job;
    job.rawAudio = m_pAudioRaw->isChecked() ? 1 : 0;
    job.rawVideo = m_pStreamRaw->isChecked() ? 1 : 0;
    job.name = m_pJobName->text().toStdString();
    job.clipIndex = m_pClip->FileNo();
    job.begin = begin;
    job.length = end - begin;
    double kept = job.length;
    if (ranges.size() > 1) {
        kept = 0;
        for (const CutRange& r : ranges) {
            job.ranges.emplace_back(static_cast<double>(r.from) / 100,
                                    static_cast<double>(r.to) / 100);
            kept += static_cast<double>(r.to - r.from) / 100;
        }
    }
    job.sizeEstimate = SizeEstimate(record, kept);
    job.audio = 1;
    job.video = 1;
    // Raw rips copy what the disk holds: there is no picture to cut at.
    job.exact = m_bExactCuts && job.rawAudio == 0 && job.rawVideo == 0 ? 1 : 0;
    m_vecJobs.push_back(std::move(job));
    m_pJobCount->setText(QString::number(CutJobCount()));
}

void CPreviewDialog::ShowNote(const QString& text) {
    m_pNote->setText(text);
}

// ---- Events ------------------------------------------------------------------------------

void CPreviewDialog::done(int result) {
    m_pStrip->Stop();
    if (BreakSearchRunning()) {
        m_pBreakWorker->Cancel();
        FinishBreakSearch();
    }
    if (m_pAudioOut) m_pAudioOut->Stop();
    SaveSize();
    m_pWheelTimer->stop();
    QDialog::done(result);
}

bool CPreviewDialog::eventFilter(QObject* watched, QEvent* event) {
    // The dialog's keys, wherever the focus is, except in the text fields, where they edit.
    if (event->type() == QEvent::KeyPress && !qobject_cast<QLineEdit*>(watched) &&
        HandleKey(static_cast<QKeyEvent*>(event)))
        return true;
    if (event->type() == QEvent::Wheel) {
        WheelBy(static_cast<QWheelEvent*>(event)->angleDelta().y());
        return true;
    }
    if (watched == m_pGotoTime && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_pGotoTime->selectAll();
            GotoTime();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CPreviewDialog::keyPressEvent(QKeyEvent* event) {
    if (!HandleKey(event)) QDialog::keyPressEvent(event);
}

bool CPreviewDialog::HandleKey(QKeyEvent* event) {
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    const bool shift = mods == Qt::ShiftModifier;
    const bool ctrl = mods == Qt::ControlModifier;
    if (mods != Qt::NoModifier && !shift && !ctrl) return false;
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right: {
        const int direction = event->key() == Qt::Key_Left ? -1 : 1;
        if (ctrl)
            direction < 0 ? PreviousPictureGroup() : NextPictureGroup();
        else
            StepBy(direction * (shift ? 1000 : 100));
        return true;
    }
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        if (mods != Qt::NoModifier) return false;
        StepBy(event->key() == Qt::Key_PageUp ? -6000 : 6000);
        return true;
    case Qt::Key_Home:
    case Qt::Key_End:
        if (mods != Qt::NoModifier) return false;
        StepBy(event->key() == Qt::Key_Home ? -MaxPosition() - 1 : MaxPosition() + 1);
        return true;
    case Qt::Key_B:
    case Qt::Key_E:
        if (mods != Qt::NoModifier) return false;
        event->key() == Qt::Key_B ? SetBegin() : SetEnd();
        return true;
    case Qt::Key_Space:
        if (mods != Qt::NoModifier) return false;
        Listen();
        return true;
    case Qt::Key_Comma:
    case Qt::Key_Period:
        if (mods != Qt::NoModifier) return false;
        StepPicture(event->key() == Qt::Key_Comma ? -1 : 1);
        return true;
    default:
        return false;
    }
}

void CPreviewDialog::wheelEvent(QWheelEvent* event) {
    WheelBy(event->angleDelta().y());
    event->accept();
}

void CPreviewDialog::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        // Out of the edit fields, so that Enter means OK again.
        if (QWidget* focused = focusWidget()) focused->clearFocus();
        setFocus(Qt::MouseFocusReason);
    } else if (event->button() == Qt::RightButton) {
        CycleStepSet();
    }
    event->accept();
}

} // namespace quorin
