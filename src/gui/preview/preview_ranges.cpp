// The preview dialog's ranges, single pictures and breaks.
#include "gui/preview/preview_dialog.h"

#include "base/format.h"
#include "disk/pvr_file.h"
#include "gui/preview/filmstrip.h"
#include "gui/preview/picture_step.h"
#include "gui/preview/preview_shot.h"
#include "gui/preview/preview_slider.h"
#include "gui/preview/range_list.h"
#include "gui/window_worker.h"
#include "jobs/clip_time.h"
#include "platform/settings.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cmath>

namespace quorin {

namespace {

constexpr int kBreakPollMs = 100;

std::int64_t HundredthsOf(const QString& clipTime) {
    return std::llround(ParseClipTime(clipTime.toStdString()) * 100);
}

std::int64_t HundredthsOf(double seconds) {
    return static_cast<std::int64_t>(std::floor(seconds * 100 + 1e-6));
}

QString BreakText(const FoundBreak& b) {
    return QStringLiteral("break %1-%2 (%3)")
        .arg(QString::fromStdString(FormatHundredths(HundredthsOf(b.from))),
             QString::fromStdString(FormatHundredths(HundredthsOf(b.to))))
        .arg(b.confidence, 0, 'f', 2);
}

} // namespace

std::int64_t CPreviewDialog::ClipHundredths() const {
    return m_pClip ? std::int64_t{m_pClip->GetRecord().LengthInSeconds()} * 100 : 0;
}

// ---- Ranges ------------------------------------------------------------------------------

void CPreviewDialog::AddRange() {
    if (!m_pClip) return;
    if (m_pBeginText->text().isEmpty() || m_pEndText->text().isEmpty()) {
        ShowNote(QStringLiteral("Set Begin and Set End first: a range needs both."));
        return;
    }
    const CutRange range{HundredthsOf(m_pBeginText->text()), HundredthsOf(m_pEndText->text())};
    if (const auto why = m_pRanges->Add(range)) {
        ShowNote(*why);
        return;
    }
    ShowNote({});
    // The next range starts afresh.
    m_pBeginText->clear();
    m_pEndText->clear();
    m_pTrackbar->ClearSelection();
    m_pStrip->SetMarks(-1, -1);
}

void CPreviewDialog::RemoveRange() {
    m_pRanges->Remove(m_pRanges->Selected());
}

void CPreviewDialog::SelectRange(int row) {
    m_pRanges->Select(row);
}

// A range selected is shown as the cut between Set Begin and Set End.
void CPreviewDialog::ShowRangeOnSelection(int row) {
    if (row >= 0 && row < static_cast<int>(m_pRanges->Ranges().size())) {
        const CutRange& r = m_pRanges->Ranges()[static_cast<std::size_t>(row)];
        m_pBeginText->setText(FormatPosition(r.from));
        m_pEndText->setText(FormatPosition(r.to));
        m_iBeginPos = ClampPosition(r.from);
        m_iEndPos = ClampPosition(r.to);
        m_i64BeginShown = r.from;
        m_i64EndShown = r.to;
        UpdateSelection();
    }
    UpdateBands();
}

// Set Begin / Set End on a selected range change it, unless that would make it wrong.
bool CPreviewDialog::ChangeSelectedRange(bool begin) {
    const int row = m_pRanges->Selected();
    if (row < 0) return true;
    CutRange range = m_pRanges->Ranges()[static_cast<std::size_t>(row)];
    (begin ? range.from : range.to) = HundredthsOf(m_pPosition->text());
    if (const auto why = m_pRanges->Change(row, range)) {
        ShowNote(*why);
        return false;
    }
    ShowNote({});
    return true;
}

void CPreviewDialog::UpdateBands() {
    TimeBands bands;
    const int selected = m_pRanges->Selected();
    for (int k = 0; k < static_cast<int>(m_pRanges->Ranges().size()); ++k) {
        const CutRange& r = m_pRanges->Ranges()[static_cast<std::size_t>(k)];
        bands.push_back({r.from, r.to, false, k == selected,
                         QStringLiteral("range %1: %2-%3")
                             .arg(k + 1)
                             .arg(FormatPosition(r.from), FormatPosition(r.to))});
    }
    for (const FoundBreak& b : m_vecBreaks)
        bands.push_back({HundredthsOf(b.from), HundredthsOf(b.to), true, false, BreakText(b)});
    m_pTrackbar->SetBands(bands);
    m_pStrip->SetBands(std::move(bands));
}

// ---- Single pictures ---------------------------------------------------------------------

void CPreviewDialog::PreviousPicture() {
    StepPicture(-1);
}

void CPreviewDialog::NextPicture() {
    StepPicture(1);
}

bool CPreviewDialog::SinglePictures() {
    if (m_bStepsTried || !m_pClip) return m_pSteps != nullptr;
    m_bStepsTried = true;
    QString why;
    if (PictureSteps::Available(&why)) {
        m_pSteps = std::make_unique<PictureSteps>(*m_pRunner, m_strFolder);
        return true;
    }
    const QString note = QStringLiteral("Single pictures need the media module (%1): , and . "
                                        "step by picture groups.")
                             .arg(why);
    for (QPushButton* button : m_apPictureStep)
        button->setToolTip(note);
    ShowNote(note);
    return false;
}

void CPreviewDialog::StepPicture(int direction) {
    if (!m_pClip) return;
    if (!SinglePictures()) {
        direction < 0 ? PreviousPictureGroup() : NextPictureGroup();
        return;
    }
    const PictureSteps::Shot shot = m_pSteps->Step(m_i64ShownPTS, direction);
    if (shot.image.isNull()) {
        ShowNote(direction < 0 ? QStringLiteral("There is no picture before this one.")
                               : QStringLiteral("There is no picture after this one."));
        return;
    }
    ShowNote({});
    ShowShot(PreviewShot{shot.image, shot.pts, m_dAspect});
}

// ---- Breaks ------------------------------------------------------------------------------

void CPreviewDialog::FindBreaks() {
    if (!m_pClip || BreakSearchRunning()) return;
    Settings settings;
    const bool stop = LoadSettings(settings) && settings.stopOnReadError;
    if (!m_pBreakRun) m_pBreakRun = std::make_unique<BreakRun>();
    if (!m_pBreakWorker) m_pBreakWorker = std::make_unique<WindowWorker>();
    m_pBreakWorker->Start(m_pBreakRun->Task(*m_pClip, stop, m_pBreakWorker->CancelFlag()));
    m_pFindBreaks->setEnabled(false);
    m_pBreaksText->setText(QStringLiteral("Finding the breaks 0 %"));
    m_pBreakTimer->start(kBreakPollMs);
}

bool CPreviewDialog::BreakSearchRunning() const {
    return m_pBreakWorker && m_pBreakWorker->Busy();
}

void CPreviewDialog::PollBreaks() {
    if (!BreakSearchRunning() || m_pBreakWorker->Ended()) {
        FinishBreakSearch();
        return;
    }
    m_pBreaksText->setText(QStringLiteral("Finding the breaks %1 %").arg(m_pBreakRun->Percent()));
}

void CPreviewDialog::FinishBreakSearch() {
    m_pBreakTimer->stop();
    if (!BreakSearchRunning()) return;
    m_pBreakWorker->Finish();
    m_pFindBreaks->setEnabled(true);
    BreakResult result = m_pBreakRun->TakeResult();
    switch (result.end) {
    case BreakResult::End::kCancelled:
        m_pBreaksText->setText(QStringLiteral("Find Breaks cancelled"));
        return;
    case BreakResult::End::kNothingToSearch:
    case BreakResult::End::kReadError:
        m_pBreaksText->setText(QStringLiteral("Find Breaks failed"));
        ShowNote(QString::fromStdString(result.message));
        return;
    case BreakResult::End::kDone:
        break;
    }
    SetBreaks(std::move(result.breaks));
    if (result.lost)
        m_pBreaksText->setText(m_pBreaksText->text() + QStringLiteral("; parts could not be read"));
}

void CPreviewDialog::SetBreaks(std::vector<FoundBreak> found) {
    m_vecBreaks = std::move(found);
    const std::size_t n = m_vecBreaks.size();
    m_pBreaksText->setText(n == 1 ? QStringLiteral("One break found")
                                  : QStringLiteral("%1 breaks found").arg(n));
    QStringList lines;
    for (const FoundBreak& b : m_vecBreaks)
        lines << BreakText(b);
    m_pBreaksText->setToolTip(lines.join(QLatin1Char('\n')));
    m_pKeepButBreaks->setEnabled(n > 0);
    UpdateBands();
}

// What a rip that drops the breaks keeps: the stretches between the breaks it drops.
void CPreviewDialog::KeepAllButBreaks() {
    if (!m_pClip) return;
    std::vector<CutRange> kept;
    std::int64_t at = 0;
    bool dropped = false;
    for (const FoundBreak& b : m_vecBreaks) {
        if (b.confidence < kDropBreakConfidence) continue;
        dropped = true;
        const std::int64_t from = HundredthsOf(b.from);
        if (from > at) kept.push_back({at, from});
        at = std::max(at, HundredthsOf(b.to));
    }
    if (!dropped) {
        ShowNote(QStringLiteral("No break reaches the confidence %1: nothing is left out.")
                     .arg(kDropBreakConfidence, 0, 'f', 2));
        return;
    }
    if (at < ClipHundredths()) kept.push_back({at, ClipHundredths()});
    if (kept.empty()) {
        ShowNote(QStringLiteral("The breaks cover the whole clip: nothing is left to keep."));
        return;
    }
    ShowNote({});
    m_pRanges->Replace(std::move(kept));
}

} // namespace quorin
