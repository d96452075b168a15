// The clip title editor: one field of at most 40 characters, each one of ISO-8859-1 (the
// receiver stores titles in 8 bits).
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;

namespace quorin {

class CTitleDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxTitle = 40;

    // title: UTF-8.
    explicit CTitleDialog(const std::string& title, QWidget* parent = nullptr);
    // The text as typed, UTF-8.
    std::string Title() const;

private:
    QLineEdit* m_pEdit;
};

} // namespace quorin
