// Start-up, the settings, the exchange between state and controls, and messages.
#include "gui/main_dialog.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "gui/control_ids.h"
#include "gui/reader_thread.h"
#include "gui/resources.h"
#include "rip/rip_runner.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTreeWidget>
#include <cctype>
#include <charconv>
#include <cmath>

namespace quorin {
namespace {

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string S(const QString& text) {
    return text.toStdString();
}

// A number field as the user typed it: optional blanks, a decimal number in the C locale,
// optional blanks. Anything else is not a number.
std::optional<double> ParseNumberField(const QString& text) {
    std::string s = text.trimmed().toStdString();
    std::string_view v = s;
    if (!v.empty() && v.front() == '+') v.remove_prefix(1);
    double value = 0;
    auto [end, err] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (v.empty() || err != std::errc() || end != v.data() + v.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

QString FormatNumberField(double value) {
    return Q(Format("%.*g", 15, value));
}

} // namespace

QString IdleWindowTitle() {
    return Q(std::string("Quorin ") + kVersionText + " Release");
}

CMainDialog::CMainDialog(const std::string& imagePath, WindowHooks hooks, QWidget* parent)
    : QDialog(parent), m_Hooks(std::move(hooks)) {
    EnsureResources();
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    m_Timer.setInterval(250);
    m_pEndSound = MakeEndSound(this);
    BuildControls();
    Initialise(imagePath);
}

CMainDialog::~CMainDialog() {
    // Closing the program mid-rip: stop the engine and wait, so the clip outlives its worker.
    if (m_pWorker) {
        m_Flags.cancel.store(true);
        m_pWorker->wait();
        m_pWorker.reset();
    }
    if (m_pCheck) {
        m_Flags.cancel.store(true);
        m_pCheck->wait();
        m_pCheck.reset();
    }
    m_pRunner.reset();
    CloseLog();
    ReleaseDiskObjects();
}

void CMainDialog::Initialise(const std::string& imagePath) {
    QIcon icon(":/quorin/icon.png");
    setWindowIcon(icon);
    LoadSettingsIntoWindow();
    // Every file named without a directory goes to the output directory, the start-up read
    // of the drive (its log, "driveheader.rec") included.
    PrepareOutputDirectory();
    BuildDriveList(imagePath);
    if (m_pDriveBox->count() > 0) OpenSelectedDrive();
    // Values of the settings file that were not understood, unless the disk has more to say.
    if (!m_Settings.problems.empty() && m_strVideoStatus.empty()) {
        for (const std::string& problem : m_Settings.problems)
            m_strVideoStatus += (m_strVideoStatus.empty() ? "" : "; ") + problem;
        m_strVideoStatus[0] = static_cast<char>(std::toupper(m_strVideoStatus[0]));
    }
    m_pAudioBar->hide();
    m_pVideoBar->hide();
    m_Flags.idle.store(true);
    setWindowTitle(IdleWindowTitle());
    WriteFields();
}

void CMainDialog::LoadSettingsIntoWindow() {
    m_Settings = DefaultSettings();
    LoadSettings(m_Settings);
    WriteFields();
}

void CMainDialog::SaveSettingsFromWindow() {
    ReadFields();
    SaveSettings(m_Settings);
}

bool CMainDialog::ReadFields() {
    m_strDrive = S(m_pDriveBox->currentText()).substr(0, 4096);
    m_Settings.outputDirectory = S(m_pOutputDir->text());
    m_bAudio = m_pAudio->isChecked();
    m_bVideo = m_pVideo->isChecked();
    m_bRawAudio = m_pRawAudio->isChecked();
    m_bRawStream = m_pRawStream->isChecked();
    m_bBackup = m_pBackup->isChecked();
    m_Settings.playSound = m_pPlaySound->isChecked();
    m_Settings.logFile = m_pWriteLog->isChecked();
    m_Settings.firmware190 = m_pFirmware->isChecked();
    m_Settings.patchFirstSequenceHeader = m_pPatch->isChecked();
    m_Cut.begin = S(m_pBegin->text());
    m_Cut.end = S(m_pEnd->text());
    // The two number fields come last, so a bad number leaves only them unread.
    for (auto [edit, value] : {std::pair{m_pOffset, &m_Cut.offset}, {m_pTime, &m_Cut.time}}) {
        std::optional<double> number = ParseNumberField(edit->text());
        if (!number) {
            ShowMessage({"Quorin", "Please enter a number."}, QMessageBox::Warning);
            edit->setFocus(Qt::OtherFocusReason);
            edit->selectAll();
            return false;
        }
        *value = *number;
    }
    return true;
}

void CMainDialog::WriteFields() {
    if (m_pDriveBox->currentText() != Q(m_strDrive)) m_pDriveBox->setEditText(Q(m_strDrive));
    m_pOutputDir->setText(Q(m_Settings.outputDirectory));
    m_pAudio->setChecked(m_bAudio);
    m_pVideo->setChecked(m_bVideo);
    m_pRawAudio->setChecked(m_bRawAudio);
    m_pRawStream->setChecked(m_bRawStream);
    m_pBackup->setChecked(m_bBackup);
    m_pPlaySound->setChecked(m_Settings.playSound);
    m_pWriteLog->setChecked(m_Settings.logFile);
    m_pFirmware->setChecked(m_Settings.firmware190);
    m_pPatch->setChecked(m_Settings.patchFirstSequenceHeader);
    m_pOffset->setText(FormatNumberField(m_Cut.offset));
    m_pTime->setText(FormatNumberField(m_Cut.time));
    m_pBegin->setText(Q(m_Cut.begin));
    m_pEnd->setText(Q(m_Cut.end));
    m_pAudioStatus->setText(Q(m_strAudioStatus));
    m_pVideoStatus->setText(Q(m_strVideoStatus));
    m_pStartPts->setText(Q(m_strStartPts));
    m_pEndPts->setText(Q(m_strEndPts));
    m_pAudioTime->setText(Q(m_strAudioTime));
    m_pVideoTime->setText(Q(m_strVideoTime));
    m_pAudioSize->setText(Q(m_strAudioSize));
    m_pVideoSize->setText(Q(m_strVideoSize));
    m_pDriveName->setText(Q(m_strDriveName));
    m_pCapacity->setText(Q(m_strCapacity));
    m_pFree->setText(Q(m_strFree));
    m_pJobCount->setText(Q(Format("%d", m_Queue.Count())));
    m_pJobSize->setText(Q(Format("Size: %.02f GB", m_Queue.TotalSize())));
}

void CMainDialog::ShowMessage(const UserMessage& message, QMessageBox::Icon icon) const {
    if (m_Hooks.message) {
        m_Hooks.message(message);
        return;
    }
    QMessageBox box(icon, Q(message.caption), Q(message.text), QMessageBox::Ok,
                    const_cast<CMainDialog*>(this));
    box.exec();
}

void CMainDialog::ShowMessages(const Messages& messages) const {
    for (const UserMessage& m : messages)
        ShowMessage(m, m.caption == "ERROR from RipStream" ? QMessageBox::NoIcon
                                                           : QMessageBox::Critical);
}

int CMainDialog::SelectedRow() const {
    const QList<QTreeWidgetItem*> selected = m_pList->selectedItems();
    return selected.isEmpty() ? -1 : m_pList->indexOfTopLevelItem(selected.front());
}

void CMainDialog::SelectRow(int row) {
    QTreeWidgetItem* item = m_pList->topLevelItem(row);
    m_pList->clearSelection();
    if (!item) return;
    m_pList->setCurrentItem(item);
    item->setSelected(true);
    m_pList->scrollToItem(item);
}

CPVRFile* CMainDialog::ClipAt(int row) const {
    return m_pDrive ? m_pDrive->GetFile(row) : nullptr;
}

CPVRFile* CMainDialog::SelectedClip() const {
    return ClipAt(SelectedRow());
}

double CMainDialog::SelectedClipLength() const {
    CPVRFile* clip = SelectedClip();
    return clip ? clip->GetRecord().LengthInSeconds() : 0;
}

bool CMainDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::FocusOut || m_bInHandler || IsRunning())
        return QDialog::eventFilter(watched, event);
    // Only a move of the keyboard focus inside the window counts; a message box or a menu
    // taking the focus for a moment does not.
    switch (static_cast<QFocusEvent*>(event)->reason()) {
    case Qt::MouseFocusReason:
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
        break;
    default:
        return QDialog::eventFilter(watched, event);
    }
    m_bInHandler = true;
    if (watched == m_pOffset) OnOffsetLeft();
    if (watched == m_pTime) OnTimeLeft();
    if (watched == m_pBegin) OnBeginLeft();
    if (watched == m_pEnd) OnEndLeft();
    m_bInHandler = false;
    return QDialog::eventFilter(watched, event);
}

} // namespace quorin
