#include "gui/about_dialog.h"

#include "base/program_log.h"
#include "gui/control_ids.h"
#include "gui/resources.h"

#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace quorin {

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
    EnsureResources();
    setWindowTitle("About Quorin");
    auto* icon = new QLabel;
    SetControlId(icon, ids::kStatic);
    icon->setPixmap(QIcon(":/quorin/icon.png").pixmap(48, 48));
    auto* program = new QLabel(QString("Quorin Version ") + kVersionText + " beta");
    SetControlId(program, ids::kProgramVersion);
    auto* engine = new QLabel(QString("Clipforge Version:") + kVersionText);
    SetControlId(engine, ids::kEngineVersion);
    auto* ok = new QPushButton("OK");
    SetControlId(ok, ids::kOk);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* grid = new QGridLayout(this);
    grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(program, 0, 1);
    grid->addWidget(engine, 1, 1);
    grid->addWidget(ok, 0, 2, Qt::AlignTop);
    grid->setColumnStretch(1, 1);
    grid->setHorizontalSpacing(16);
}

} // namespace quorin
