// The main window's controls, their layout, tool tips and connections.
#include "gui/control_ids.h"
#include "gui/main_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quorin {
namespace {

QLabel* MakeLabel(const char* text, int id = ids::kStatic) {
    auto* label = new QLabel(QString::fromUtf8(text));
    SetControlId(label, id);
    return label;
}

QPushButton* MakeButton(const char* caption, int id) {
    auto* button = new QPushButton(QString::fromUtf8(caption));
    SetControlId(button, id);
    return button;
}

QCheckBox* MakeCheck(const char* caption, int id) {
    auto* box = new QCheckBox(QString::fromUtf8(caption));
    SetControlId(box, id);
    return box;
}

// An edit field wide enough for the given number of digits (times reach "10:00:00.00").
QLineEdit* MakeEdit(int id, int widthDigits) {
    auto* edit = new QLineEdit;
    SetControlId(edit, id);
    const int text = edit->fontMetrics().horizontalAdvance(QString(widthDigits, QChar('0')));
    edit->setMinimumWidth(text + 16); // frame and text margins
    return edit;
}

QGroupBox* MakeFrame() {
    auto* box = new QGroupBox;
    SetControlId(box, ids::kStatic);
    return box;
}

QProgressBar* MakeBar(int id) {
    auto* bar = new QProgressBar;
    SetControlId(bar, id);
    bar->setTextVisible(false);
    QSizePolicy policy = bar->sizePolicy();
    policy.setRetainSizeWhenHidden(true); // the window keeps its shape when a bar hides
    bar->setSizePolicy(policy);
    return bar;
}

// Clip list columns: header text (trailing spaces included), width, alignment.
struct Column {
    const char* header;
    int width; // 0: three spaces of the font + 15
    Qt::Alignment alignment;
};
constexpr Column kColumns[] = {
    {"No.", 0, Qt::AlignRight},
    {"Channel Name         ", 100, Qt::AlignLeft},
    {"Clip Name            ", 250, Qt::AlignLeft},
    {"Length / Max Size    ", 130, Qt::AlignLeft},
    {"Date                 ", 90, Qt::AlignLeft},
    {"Time                 ", 55, Qt::AlignLeft},
};

struct ToolTip {
    int id;
    const char* text;
};
constexpr ToolTip kToolTips[] = {
    {ids::kRip, "starts the rip"},
    {ids::kCancel, "ends the program / the present rip"},
    {ids::kDrive, "the drive with the clips"},
    {ids::kClipList, "names and dates ot the recorded clips"},
    {ids::kVideo, "here you can choose if you want to rip the videostream"},
    {ids::kAudio, "here you can choose if you want to rip the audiostream"},
    {ids::kDir, "shows the contents of your drive"},
    {ids::kTime, "how many seconds should be read ?"},
    {ids::kOffset, "how many seconds should be skipped from the beginning ?"},
    {ids::kRipSample, "reads a 2 minute sample of the video"},
    {ids::kPlaySound, "think of the meaning for yourself ;-)"},
    {ids::kWriteLog, "if unchecked only one logfile will be written"},
    {ids::kBegin, "start offset in format h:mm:ss"},
    {ids::kEnd, "end time (absolute) in format h:mm:ss"},
    {ids::kRawAudio, "rips the audio stream raw (use only if the stream is fucked up)"},
    {ids::kAddJob, "adds a job to the queue (check first if it is correct)"},
    {ids::kClearJobs, "deletes the job queue"},
    {ids::kRawStream, "Rips audio and video raw"},
    {ids::kDriveName, "Shows the drive type of your PVR-drive"},
    {ids::kCapacity, "Shows the capacity of your PVR-drive"},
    {ids::kFreeSpace, "   Shows the space left on your PVR-drive"},
    {ids::kLoadJobs, "Loads CSV-Joblist"},
    {ids::kSaveJobs, "Saves the jobs to $Workdir\\Quorin_Joblist"},
    {ids::kFirmware, "Check this if your receiver has Firmware newer than V190"},
    {ids::kAudioProgress, "progress of the audiostream"},
    {ids::kVideoProgress, "progress of the video stream"},
};

} // namespace

void CMainDialog::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(BuildDriveRow());

    m_pList = new QTreeWidget;
    SetControlId(m_pList, ids::kClipList);
    m_pList->setRootIsDecorated(false);
    m_pList->setUniformRowHeights(true);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pList->setAllColumnsShowFocus(true);
    m_pList->setContextMenuPolicy(Qt::CustomContextMenu);
    m_pList->setColumnCount(6);
    QStringList headers;
    for (const Column& c : kColumns)
        headers << QString::fromUtf8(c.header);
    m_pList->setHeaderLabels(headers);
    for (int i = 0; i < 6; ++i) {
        const Column& c = kColumns[i];
        int width = c.width ? c.width : m_pList->fontMetrics().horizontalAdvance("   ") + 15;
        m_pList->setColumnWidth(i, width);
        m_pList->headerItem()->setTextAlignment(i, c.alignment | Qt::AlignVCenter);
    }
    m_pList->setMinimumHeight(180);
    layout->addWidget(m_pList, 1);

    auto* middle = new QHBoxLayout;
    middle->addWidget(BuildCutBox());
    middle->addWidget(BuildOptionBox());
    middle->addWidget(BuildJobBox());
    layout->addLayout(middle);

    auto* output = new QHBoxLayout;
    output->addWidget(MakeLabel("Output Directory"));
    m_pOutputDir = MakeEdit(ids::kOutputDir, 40);
    m_pOutputDir->setEnabled(false);
    output->addWidget(m_pOutputDir, 1);
    m_pBrowse = MakeButton("Browse...", ids::kBrowse);
    output->addWidget(m_pBrowse);
    layout->addLayout(output);

    layout->addWidget(BuildProgressBox());
    layout->addLayout(BuildButtonRow());
    BuildClipMenu();
    SetToolTips();
    ConnectCommands();
}

QWidget* CMainDialog::BuildDriveRow() {
    auto* row = new QWidget;
    auto* grid = new QGridLayout(row);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(MakeLabel("UDF-Drive"), 0, 0);
    m_pDriveBox = new QComboBox;
    SetControlId(m_pDriveBox, ids::kDrive);
    m_pDriveBox->setEditable(true);
    m_pDriveBox->setInsertPolicy(QComboBox::NoInsert);
    m_pDriveBox->setMinimumWidth(m_pDriveBox->fontMetrics().averageCharWidth() * 36);
    auto* pick = MakeButton("...", ids::kPickImage);
    pick->setToolTip("Pick a disk image file");
    pick->setMaximumWidth(pick->fontMetrics().horizontalAdvance("...") + 24);
    m_pDir = MakeButton("Dir", ids::kDir);
    auto* driveLine = new QHBoxLayout;
    driveLine->addWidget(m_pDriveBox, 1);
    driveLine->addWidget(pick);
    driveLine->addWidget(m_pDir);
    grid->addLayout(driveLine, 0, 1);
    connect(pick, &QPushButton::clicked, this, &CMainDialog::PickImage);

    m_pDriveName = MakeLabel("Drivename", ids::kDriveName);
    m_pCapacity = MakeLabel("Capacity", ids::kCapacity);
    m_pFree = MakeLabel("Freespace", ids::kFreeSpace);
    auto* texts = new QHBoxLayout;
    texts->addWidget(m_pDriveName, 2);
    texts->addWidget(m_pCapacity, 1);
    texts->addWidget(m_pFree, 1);
    grid->addLayout(texts, 1, 1);

    auto* logo = new QLabel;
    SetControlId(logo, ids::kStatic);
    logo->setPixmap(QPixmap(":/quorin/logo.png"));
    grid->addWidget(logo, 0, 2, 2, 1, Qt::AlignRight | Qt::AlignTop);
    grid->setColumnStretch(1, 1);
    grid->setColumnMinimumWidth(2, 220);
    return row;
}

QWidget* CMainDialog::BuildCutBox() {
    QGroupBox* box = MakeFrame();
    auto* grid = new QGridLayout(box);
    m_pOffset = MakeEdit(ids::kOffset, 11);
    m_pTime = MakeEdit(ids::kTime, 11);
    m_pBegin = MakeEdit(ids::kBegin, 11);
    m_pEnd = MakeEdit(ids::kEnd, 11);
    grid->addWidget(MakeLabel("Offset"), 0, 0);
    grid->addWidget(m_pOffset, 0, 1);
    grid->addWidget(MakeLabel("Time:"), 1, 0);
    grid->addWidget(m_pTime, 1, 1);
    grid->addWidget(MakeLabel("Begin:"), 2, 0);
    grid->addWidget(m_pBegin, 2, 1);
    grid->addWidget(MakeLabel("h:mm:ss"), 2, 2);
    grid->addWidget(MakeLabel("End:"), 3, 0);
    grid->addWidget(m_pEnd, 3, 1);
    grid->addWidget(MakeLabel("h:mm:ss"), 3, 2);
    grid->setRowStretch(4, 1);
    for (QLineEdit* edit : {m_pOffset, m_pTime, m_pBegin, m_pEnd})
        edit->installEventFilter(this);
    return box;
}

QWidget* CMainDialog::BuildOptionBox() {
    QGroupBox* box = MakeFrame();
    auto* grid = new QGridLayout(box);
    m_pAudio = MakeCheck("Audio", ids::kAudio);
    m_pVideo = MakeCheck("Video", ids::kVideo);
    m_pRawAudio = MakeCheck("Rip Audio Raw", ids::kRawAudio);
    m_pRawStream = MakeCheck("Rip Stream Raw", ids::kRawStream);
    m_pBackup = MakeCheck("Backup", ids::kBackup);
    m_pPlaySound = MakeCheck("Play Sound at the End", ids::kPlaySound);
    m_pWriteLog = MakeCheck("Write Log File", ids::kWriteLog);
    m_pFirmware = MakeCheck("Firmware >= 190", ids::kFirmware);
    m_pPatch = MakeCheck("Patch  1st sequence header", ids::kPatchSequence);
    grid->addWidget(m_pAudio, 0, 0);
    grid->addWidget(m_pVideo, 1, 0);
    grid->addWidget(m_pRawAudio, 2, 0);
    grid->addWidget(m_pRawStream, 3, 0);
    grid->addWidget(m_pBackup, 4, 0);
    grid->addWidget(m_pPlaySound, 0, 1);
    grid->addWidget(m_pWriteLog, 1, 1);
    grid->addWidget(m_pFirmware, 2, 1);
    grid->addWidget(m_pPatch, 3, 1);
    return box;
}

QWidget* CMainDialog::BuildJobBox() {
    QGroupBox* box = MakeFrame();
    auto* grid = new QGridLayout(box);
    QPushButton* add = MakeButton("Add", ids::kAddJob);
    QPushButton* del = MakeButton("Del", ids::kClearJobs);
    QPushButton* load = MakeButton("Load", ids::kLoadJobs);
    QPushButton* save = MakeButton("Save", ids::kSaveJobs);
    grid->addWidget(add, 0, 0);
    grid->addWidget(del, 0, 1);
    grid->addWidget(load, 1, 0);
    grid->addWidget(save, 1, 1);
    grid->addWidget(MakeLabel("Jobs"), 2, 0);
    m_pJobCount = MakeLabel("", ids::kJobCount);
    grid->addWidget(m_pJobCount, 2, 1);
    m_pJobSize = MakeLabel("Size:", ids::kJobSize);
    grid->addWidget(m_pJobSize, 3, 0, 1, 2);
    grid->setRowStretch(4, 1);
    connect(add, &QPushButton::clicked, this, &CMainDialog::AddJob);
    connect(del, &QPushButton::clicked, this, &CMainDialog::ClearJobs);
    connect(load, &QPushButton::clicked, this, &CMainDialog::LoadJobList);
    connect(save, &QPushButton::clicked, this, &CMainDialog::SaveJobList);
    return box;
}

QWidget* CMainDialog::BuildProgressBox() {
    QGroupBox* box = MakeFrame();
    auto* grid = new QGridLayout(box);
    m_pAudioStatus = MakeLabel("Status", ids::kAudioStatus);
    m_pVideoStatus = MakeLabel("Status", ids::kVideoStatus);
    m_pAudioBar = MakeBar(ids::kAudioProgress);
    m_pVideoBar = MakeBar(ids::kVideoProgress);
    m_pAudioTime = MakeLabel("Audio Zeit", ids::kAudioTime);
    m_pVideoTime = MakeLabel("Video Zeit", ids::kVideoTime);
    m_pAudioSize = MakeLabel("Size Audio", ids::kAudioSize);
    m_pVideoSize = MakeLabel("Size Video", ids::kVideoSize);
    m_pStartPts = MakeLabel("START PTS", ids::kStartPts);
    m_pEndPts = MakeLabel("END PTS", ids::kEndPts);
    const int statusWidth = m_pAudioStatus->fontMetrics().averageCharWidth() * 36;
    for (QLabel* status : {m_pAudioStatus, m_pVideoStatus}) {
        status->setMinimumWidth(statusWidth);
        status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    const int textWidth = m_pAudioTime->fontMetrics().averageCharWidth() * 14;
    for (QLabel* text : {m_pAudioTime, m_pVideoTime, m_pAudioSize, m_pVideoSize})
        text->setMinimumWidth(textWidth);
    grid->addWidget(m_pAudioStatus, 0, 0);
    grid->addWidget(m_pAudioBar, 0, 1);
    grid->addWidget(m_pAudioTime, 0, 2);
    grid->addWidget(m_pAudioSize, 0, 3);
    grid->addWidget(m_pVideoStatus, 1, 0);
    grid->addWidget(m_pVideoBar, 1, 1);
    grid->addWidget(m_pVideoTime, 1, 2);
    grid->addWidget(m_pVideoSize, 1, 3);
    grid->addWidget(m_pStartPts, 2, 0);
    grid->addWidget(m_pEndPts, 2, 1);
    grid->setColumnStretch(0, 3);
    grid->setColumnStretch(1, 3);
    return box;
}

QLayout* CMainDialog::BuildButtonRow() {
    auto* row = new QHBoxLayout;
    m_pRip = MakeButton("RIP !", ids::kRip);
    m_pRip->setDefault(true);
    QPushButton* cancel = MakeButton("Cancel", ids::kCancel);
    QPushButton* options = MakeButton("Options", ids::kOptions);
    QPushButton* restore = MakeButton("Restore", ids::kRestore);
    QPushButton* about = MakeButton("About", ids::kAbout);
    m_pRipSample = MakeButton("Rip Sample", ids::kRipSample);
    m_pRipSample->hide();
    row->addWidget(m_pRip);
    row->addWidget(cancel);
    row->addWidget(options);
    row->addWidget(restore);
    row->addWidget(m_pRipSample);
    row->addStretch(1);
    row->addWidget(about);
    connect(m_pRip, &QPushButton::clicked, this, &CMainDialog::RunNextJob);
    connect(cancel, &QPushButton::clicked, this, &CMainDialog::reject);
    connect(options, &QPushButton::clicked, this, &CMainDialog::ShowOptions);
    connect(restore, &QPushButton::clicked, this, &CMainDialog::Restore);
    connect(about, &QPushButton::clicked, this, &CMainDialog::ShowAbout);
    connect(m_pRipSample, &QPushButton::clicked, this, &CMainDialog::RipSample);

    auto* aboutKey = new QAction("&About Quorin...", this);
    SetControlId(aboutKey, ids::kAbout);
    aboutKey->setShortcut(Qt::Key_F1);
    aboutKey->setShortcutContext(Qt::WindowShortcut);
    addAction(aboutKey);
    connect(aboutKey, &QAction::triggered, this, &CMainDialog::ShowAbout);
    return row;
}

void CMainDialog::BuildClipMenu() {
    m_pClipMenu = new QMenu(this);
    struct Item {
        const char* text;
        int id;
        void (CMainDialog::*command)();
    };
    const Item items[] = {
        {"Change Title", ids::kMenuChangeTitle, &CMainDialog::ChangeTitle},
        {"Rip !", ids::kMenuRip, &CMainDialog::RunNextJob},
        {"Add to RawAudioList", ids::kMenuAddRawAudio, &CMainDialog::AddToRawAudioList},
        {"Preview / Cut", ids::kMenuPreview, &CMainDialog::PreviewCut},
        {"Check Disk", ids::kMenuCheckDisk, &CMainDialog::CheckDisk},
        {"Recover Deleted Recordings...", ids::kMenuRecover, &CMainDialog::RecoverDeleted},
    };
    for (const Item& item : items) {
        QAction* action = m_pClipMenu->addAction(QString::fromUtf8(item.text));
        SetControlId(action, item.id);
        connect(action, &QAction::triggered, this, item.command);
    }
    // A disk whose every recording was deleted lists no clip to right-click.
    m_pDriveMenu = new QMenu(this);
    QAction* recover = m_pDriveMenu->addAction(QStringLiteral("Recover Deleted Recordings..."));
    connect(recover, &QAction::triggered, this, &CMainDialog::RecoverDeleted);
}

void CMainDialog::SetToolTips() {
    for (const ToolTip& tip : kToolTips)
        if (QWidget* control = FindControl(this, tip.id))
            control->setToolTip(QString::fromUtf8(tip.text));
}

void CMainDialog::ConnectCommands() {
    connect(m_pDir, &QPushButton::clicked, this, &CMainDialog::OpenSelectedDrive);
    connect(m_pBrowse, &QPushButton::clicked, this, &CMainDialog::Browse);
    connect(m_pFirmware, &QCheckBox::clicked, this, &CMainDialog::ToggleFirmware);
    connect(m_pList, &QTreeWidget::clicked, this, &CMainDialog::OnClipClicked);
    connect(m_pList, &QTreeWidget::doubleClicked, this, &CMainDialog::PreviewCut);
    connect(m_pList, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const QPoint global = m_pList->viewport()->mapToGlobal(at);
        if (SelectedRow() >= 0)
            m_pClipMenu->popup(global);
        else if (m_pDrive)
            m_pDriveMenu->popup(global);
    });
    connect(&m_Timer, &QTimer::timeout, this, &CMainDialog::OnProgressTimer);
}

} // namespace quorin
