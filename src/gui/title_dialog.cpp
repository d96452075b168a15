#include "gui/title_dialog.h"

#include "gui/control_ids.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QValidator>

namespace quorin {
namespace {

// Refuses characters the receiver cannot store.
class Latin1Validator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        for (QChar c : input)
            if (c.unicode() > 0xFF) return Invalid;
        return Acceptable;
    }
};

} // namespace

CTitleDialog::CTitleDialog(const std::string& title, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString());
    m_pEdit = new QLineEdit;
    SetControlId(m_pEdit, ids::kTitleEdit);
    m_pEdit->setMaxLength(kMaxTitle);
    m_pEdit->setValidator(new Latin1Validator(m_pEdit));
    m_pEdit->setText(QString::fromUtf8(title.c_str()));
    m_pEdit->setMinimumWidth(m_pEdit->fontMetrics().averageCharWidth() * (kMaxTitle + 4));

    auto* ok = new QPushButton("OK");
    SetControlId(ok, ids::kOk);
    ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel");
    SetControlId(cancel, ids::kCancel);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_pEdit, 1, Qt::AlignTop);
    layout->addLayout(buttons);
}

std::string CTitleDialog::Title() const {
    return m_pEdit->text().toStdString();
}

} // namespace quorin
