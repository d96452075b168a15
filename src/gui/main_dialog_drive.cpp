// The drive list, "Dir", the output directory and the firmware option.
#include "gui/main_dialog.h"

#include "base/program_log.h"
#include "disk/clip_texts.h"
#include "disk/cluster_table.h"
#include "disk/plausibility.h"
#include "disk/pvr_drive.h"
#include "platform/drives.h"
#include "platform/volume.h"
#include "udisks/udisks_open.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QTreeWidget>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace quorin {
namespace {

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// Adds the text to the sorted drive box (once) and returns its index.
int AddDriveEntry(QComboBox* box, const QString& text) {
    int at = box->findText(text, Qt::MatchExactly);
    if (at >= 0) return at;
    at = 0;
    while (at < box->count() && box->itemText(at) < text)
        ++at;
    box->insertItem(at, text);
    return at;
}

std::string OpenFailureText(const std::string& volume, int error, const std::string& udisksWhy) {
    std::string text = "Cannot open " + volume + ": " + SystemErrorText(error) + ".";
    if (!udisksWhy.empty()) text += "\n" + udisksWhy;
    if (error == EACCES || error == EPERM)
        text += "\nReading a block device needs root or membership of the 'disk' group "
                "(sudo usermod -aG disk $USER, then log in again).";
    return text;
}

// Opens the volume as the user may, or through UDisks2 when that fails for lack of rights
// (polkit asks once; every later handle is made from the descriptor UDisks2 passed).
bool OpenVolume(const std::string& volume, int& error, std::string& udisksWhy) {
    VolumeHandle probe;
    if (OpenDrive(volume, probe)) return true;
    error = errno;
    return udisks::IsPermissionError(error) &&
           udisks::OpenThroughUDisks(volume, udisks::Access::kRead, udisksWhy) &&
           OpenDrive(volume, probe);
}

} // namespace

void CMainDialog::BuildDriveList(const std::string& imagePath) {
    int selected = -1;
    for (const std::string& node : FindCandidateDrives())
        selected = AddDriveEntry(m_pDriveBox, Q(node));
    if (!imagePath.empty()) selected = AddDriveEntry(m_pDriveBox, Q(imagePath));
    if (selected >= 0) m_pDriveBox->setCurrentIndex(selected);
    m_strDrive = m_pDriveBox->currentText().toStdString();
}

void CMainDialog::PickImage() {
    std::optional<std::string> path;
    if (m_Hooks.chooseImage) {
        path = m_Hooks.chooseImage();
    } else {
        QString file = QFileDialog::getOpenFileName(
            this, "Disk image", QString(), "Disk images (*.img *.bin *.raw);;All files (*)");
        if (!file.isEmpty()) path = file.toStdString();
    }
    if (!path) return;
    m_pDriveBox->setCurrentIndex(AddDriveEntry(m_pDriveBox, Q(*path)));
    m_strDrive = *path;
}

void CMainDialog::OpenSelectedDrive() {
    ReadFields();
    m_pList->clear();
    if (m_strDrive.empty()) return;
    OpenLog("DIR", m_Settings.logFile);
    if (!EnsureDiskObjects(m_strDrive)) {
        CloseLog();
        WriteFields();
        return;
    }
    DriveTexts texts = DriveSummaryTexts(*m_pDrive);
    m_strDriveName = texts.name;
    m_strCapacity = texts.capacity;
    m_strFree = texts.free;
    WriteFields();
    FillClipList();
    CloseLog();
    if (m_vecChecksums.empty() && m_pDrive->GetFileCount() > 0)
        m_vecChecksums = BuildChecksumTable(*m_pDrive);
}

// The first successful "Dir" makes the disk objects; later ones reuse them until the firmware
// option discards them. A volume that cannot be opened or read makes none and says why.
bool CMainDialog::EnsureDiskObjects(const std::string& volume) {
    if (m_pDrive) return true;
    int error = 0;
    std::string udisksWhy;
    if (!OpenVolume(volume, error, udisksWhy)) {
        std::string text = OpenFailureText(volume, error, udisksWhy);
        LogLine(text);
        ShowMessage({"Dir", text});
        return false;
    }
    bool ok = false;
    auto table = std::make_unique<ClusterTable>(volume, ok);
    if (!ok) {
        const int readError = table->ReadError();
        std::string text = "Cannot read the cluster table of " + volume + ": " +
                           (readError != 0 ? SystemErrorText(readError)
                                           : "the volume is shorter than a receiver disk's "
                                             "directory") +
                           ".";
        LogLine(text);
        ShowMessage({"Dir", text});
        return false;
    }
    auto drive = std::make_unique<CPVRDrive>(
        volume, table.get(),
        m_pFirmware->isChecked() ? RecordLayout::kFirmware190 : RecordLayout::kOld, OutputFolder());
    if (!drive->VolumeOpened()) {
        std::string text = "Cannot read the header of " + volume + ": " +
                           SystemErrorText(drive->OpenError()) + ".";
        LogLine(text);
        ShowMessage({"Dir", text});
        return false; // the drive goes before the table it borrows
    }
    m_pTable = std::move(table);
    m_pDrive = std::move(drive);
    ReportUnreadableRecords();
    ReportImplausibleDisk();
    return true;
}

// A header that cannot be a receiver's, or records that fit only the other layout, are said in
// the status lines; the list stays as read and the option stays as the user set it.
void CMainDialog::ReportImplausibleDisk() {
    m_strAudioStatus.clear();
    m_strVideoStatus.clear();
    if (!m_pDrive->HeaderProblem().empty()) {
        std::string text = m_pDrive->HeaderProblem();
        text[0] = 'T';
        m_strAudioStatus = text + "; nothing is written to it.";
        LogLine(m_strAudioStatus);
    }
    const int layout = DetectLayout(*m_pDrive);
    const int chosen = m_pFirmware->isChecked() ? 1 : 0;
    if (layout < 0 || layout == chosen) return;
    std::string text = "The records are in " + LayoutName(layout) + ": " +
                       (layout == 1 ? "check" : "uncheck") + " \"Firmware >= 190\".";
    m_strVideoStatus = text;
    LogLine(text);
}

// Records that could not be read are listed empty; the user is told which.
void CMainDialog::ReportUnreadableRecords() {
    int count = 0, first = -1;
    for (int i = 0; i < m_pDrive->GetFileCount(); ++i) {
        if (m_pDrive->GetFile(i)->RecordRead()) continue;
        if (count++ == 0) first = i;
    }
    if (count == 0) return;
    std::string text = count == 1 ? "The record of clip " + std::to_string(first + 1) +
                                        " could not be read; it is listed empty."
                                  : "The records of " + std::to_string(count) +
                                        " clips could not be read (the first is clip " +
                                        std::to_string(first + 1) + "); they are listed empty.";
    LogLine(text);
    ShowMessage({"Dir", text});
}

void CMainDialog::ReleaseDiskObjects() {
    m_pDrive.reset(); // the clips lend the table, so they go first
    m_pTable.reset();
}

void CMainDialog::FillClipList() {
    QList<QTreeWidgetItem*> rows;
    for (int i = 0; i < m_pDrive->GetFileCount(); ++i) {
        auto texts = ClipRowTexts(m_pDrive->GetFile(i)->GetRecord(), i);
        auto* item = new QTreeWidgetItem;
        for (int c = 0; c < 6; ++c)
            item->setText(c, Q(texts[static_cast<std::size_t>(c)]));
        item->setTextAlignment(0, Qt::AlignRight | Qt::AlignVCenter);
        rows.append(item);
    }
    m_pList->addTopLevelItems(rows);
    // A column grows (up to twice its width) where the font needs more room than it has, so
    // the space-padded station names are not cut short.
    const QFontMetrics metrics = m_pList->fontMetrics();
    for (int c = 1; c < 6; ++c) {
        const int width = m_pList->columnWidth(c);
        int wanted = 0;
        for (const QTreeWidgetItem* row : rows)
            wanted = std::max(wanted, metrics.horizontalAdvance(row->text(c)) + 12);
        if (wanted > width) m_pList->setColumnWidth(c, std::min(wanted, 2 * width));
    }
}

bool CMainDialog::PrepareOutputDirectory() {
    const std::string& dir = m_Settings.outputDirectory;
    std::error_code ec;
    if (!dir.empty()) {
        std::filesystem::create_directories(dir, ec);
        if (!ec && !std::filesystem::is_directory(dir, ec) && !ec)
            ec = std::make_error_code(std::errc::not_a_directory);
        if (!ec) SetLogFolder(OutputFolder());
    }
    if (dir.empty() || ec) {
        std::string text = "The output directory \"" + dir + "\" cannot be used" +
                           (ec ? ": " + ec.message() : std::string()) + ".";
        LogLine(text);
        ShowMessage({"Output Directory", text});
        return false;
    }
    return true;
}

std::string CMainDialog::OutputFolder() const {
    std::string dir = m_Settings.outputDirectory;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

std::string CMainDialog::InOutputFolder(const std::string& name) const {
    const std::string folder = OutputFolder();
    return folder.empty() ? name : folder + "/" + name;
}

void CMainDialog::Browse() {
    ReadFields();
    std::optional<std::string> chosen;
    if (m_Hooks.chooseDirectory) {
        chosen = m_Hooks.chooseDirectory();
    } else {
        QString dir = QFileDialog::getExistingDirectory(this, "Select Directory",
                                                        Q(m_Settings.outputDirectory));
        if (!dir.isEmpty()) chosen = dir.toStdString();
    }
    if (chosen) {
        std::string dir = *chosen;
        if (dir.empty() || dir.back() != '/') dir += '/';
        m_Settings.outputDirectory = dir;
    }
    PrepareOutputDirectory();
    WriteFields();
}

void CMainDialog::ToggleFirmware() {
    ReleaseDiskObjects();
    OpenSelectedDrive();
}

} // namespace quorin
