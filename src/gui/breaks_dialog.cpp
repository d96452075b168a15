#include "gui/breaks_dialog.h"

#include "base/format.h"
#include "base/program_log.h"
#include "gui/control_ids.h"
#include "rip/rip_driver.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quorin {
namespace {

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QTreeWidget* BreakList(const std::vector<FoundBreak>& found) {
    auto* list = new QTreeWidget;
    SetControlId(list, ids::kBreakList);
    list->setRootIsDecorated(false);
    list->setColumnCount(3);
    list->setHeaderLabels({"From", "To", "Confidence"});
    for (const FoundBreak& b : found) {
        auto* row = new QTreeWidgetItem(
            {Q(ClipTimeText(b.from)), Q(ClipTimeText(b.to)), Q(Format("%.2f", b.confidence))});
        list->addTopLevelItem(row);
    }
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    return list;
}

} // namespace

BreaksDialog::BreaksDialog(const std::string& clipName, std::vector<FoundBreak> found,
                           std::string folder, std::string base, QWidget* parent)
    : QDialog(parent), found_(std::move(found)), folder_(std::move(folder)),
      base_(std::move(base)) {
    setWindowTitle("Find Breaks");
    const std::string heading =
        found_.empty() ? "No advert breaks found in \"" + clipName + "\"."
        : found_.size() == 1
            ? "One advert break found in \"" + clipName + "\":"
            : Format("%zu advert breaks found in \"", found_.size()) + clipName + "\":";
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(Q(heading));
    SetControlId(label, ids::kStatic);
    layout->addWidget(label);
    layout->addWidget(BreakList(found_), 1);
    status_ = new QLabel;
    SetControlId(status_, ids::kBreakStatus);
    layout->addWidget(status_);

    save_ = new QPushButton("Save EDL");
    SetControlId(save_, ids::kSaveEdl);
    save_->setToolTip("saves the breaks as an edit decision list beside the output files; "
                      "players skip them");
    save_->setEnabled(!found_.empty());
    auto* close = new QPushButton("Close");
    SetControlId(close, ids::kCancel);
    close->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(save_);
    buttons->addStretch(1);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(save_, &QPushButton::clicked, this, &BreaksDialog::Save);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    resize(420, 300);
}

void BreaksDialog::Save() {
    std::string error;
    const std::string path = SaveEdl(folder_, base_, found_, &error);
    const std::string text = path.empty() ? error : "Saved as " + path;
    LogLine(text);
    status_->setText(Q(text));
    if (!path.empty()) save_->setEnabled(false);
}

} // namespace quorin
