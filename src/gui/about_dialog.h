// "About Quorin": the program's icon and its two version texts.
#pragma once

#include <QDialog>

namespace quorin {

class CAboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDialog(QWidget* parent = nullptr);
};

} // namespace quorin
