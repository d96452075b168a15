#include "gui/options_dialog.h"

#include "gui/control_ids.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quorin {
namespace {

QLineEdit* AddField(QGridLayout* grid, int row, const char* caption, int id) {
    auto* label = new QLabel(QString::fromUtf8(caption));
    SetControlId(label, ids::kStatic);
    auto* edit = new QLineEdit;
    SetControlId(edit, id);
    label->setBuddy(edit);
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

QPushButton* MakeButton(const char* caption, int id) {
    auto* button = new QPushButton(QString::fromUtf8(caption));
    SetControlId(button, id);
    return button;
}

} // namespace

CDlgOptions::CDlgOptions(const PostfixTexts& texts, const OutputChoice& output,
                         const std::string& libraryFolder, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Options");
    auto* group = new QGroupBox("Default file postixes");
    SetControlId(group, ids::kStatic);
    auto* grid = new QGridLayout(group);
    m_pVideo = AddField(grid, 0, "Video", ids::kPostfixVideo);
    m_pAudio = AddField(grid, 1, "Audio", ids::kPostfixAudio);
    m_pRawVideo = AddField(grid, 2, "Raw Video", ids::kPostfixRawVideo);
    m_pRawAudio = AddField(grid, 3, "Raw Audio", ids::kPostfixRawAudio);

    auto* outputGroup = new QGroupBox("Stream rips end as");
    SetControlId(outputGroup, ids::kStatic);
    auto* outputLayout = new QVBoxLayout(outputGroup);
    format_ = new QComboBox;
    SetControlId(format_, ids::kOutputFormat);
    format_->addItem("Elementary streams", "es");
    format_->addItem("Matroska (.mkv)", "mkv");
    format_->addItem("MPEG program stream (.mpg)", "mpg");
    format_->addItem("MPEG transport stream (.ts)", "ts");
    keepStreams_ = new QCheckBox("Keep the elementary streams");
    SetControlId(keepStreams_, ids::kKeepStreams);
    outputLayout->addWidget(format_);
    outputLayout->addWidget(keepStreams_);
    exactCuts_ = new QCheckBox("Cut at the exact picture");
    SetControlId(exactCuts_, ids::kExactCuts);
    exactCuts_->setToolTip("Re-encodes the few pictures at each cut instead of cutting at the "
                           "picture group");
    outputLayout->addWidget(exactCuts_);
    connect(format_, &QComboBox::currentIndexChanged, this,
            [this](int index) { keepStreams_->setEnabled(index > 0); });

    auto* libraryGroup = new QGroupBox("Media library folder");
    SetControlId(libraryGroup, ids::kStatic);
    auto* libraryLayout = new QHBoxLayout(libraryGroup);
    library_ = new QLineEdit(QString::fromStdString(libraryFolder));
    SetControlId(library_, ids::kLibraryFolder);
    library_->setPlaceholderText("none: \"Rip new recordings into the library\" asks for one");
    QPushButton* pick = MakeButton("...", ids::kLibraryBrowse);
    libraryLayout->addWidget(library_, 1);
    libraryLayout->addWidget(pick);
    connect(pick, &QPushButton::clicked, this, [this] {
        const QString dir =
            QFileDialog::getExistingDirectory(this, "Media library folder", library_->text());
        if (!dir.isEmpty()) library_->setText(dir);
    });

    QPushButton* ok = MakeButton("OK", ids::kOk);
    QPushButton* cancel = MakeButton("Cancel", ids::kCancel);
    QPushButton* defaults = MakeButton("Default", ids::kDefault);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(defaults, &QPushButton::clicked, this, &CDlgOptions::OnDefault);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addWidget(defaults);
    buttons->addStretch();
    auto* fields = new QVBoxLayout;
    fields->addWidget(group);
    fields->addWidget(outputGroup);
    fields->addWidget(libraryGroup);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    Show(texts, output);
}

PostfixTexts CDlgOptions::Texts() const {
    return {m_pVideo->text().toStdString(), m_pAudio->text().toStdString(),
            m_pRawVideo->text().toStdString(), m_pRawAudio->text().toStdString()};
}

OutputChoice CDlgOptions::Output() const {
    return {format_->currentData().toString().toStdString(), keepStreams_->isChecked(),
            exactCuts_->isChecked()};
}

std::string CDlgOptions::LibraryFolder() const {
    return library_->text().trimmed().toStdString();
}

void CDlgOptions::OnDefault() {
    Show(PostfixTexts{}, OutputChoice{});
}

void CDlgOptions::Show(const PostfixTexts& texts, const OutputChoice& output) {
    m_pVideo->setText(QString::fromStdString(texts.video));
    m_pAudio->setText(QString::fromStdString(texts.audio));
    m_pRawVideo->setText(QString::fromStdString(texts.rawVideo));
    m_pRawAudio->setText(QString::fromStdString(texts.rawAudio));
    format_->setCurrentIndex(std::max(0, format_->findData(QString::fromStdString(output.format))));
    keepStreams_->setChecked(output.keepStreams);
    keepStreams_->setEnabled(format_->currentIndex() > 0);
    exactCuts_->setChecked(output.exactCuts);
}

} // namespace quorin
