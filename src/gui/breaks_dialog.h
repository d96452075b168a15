// What "Find Breaks" found in a clip: each break with its start, end and confidence, and a button
// that saves them as an edit decision list beside the clip's output files.
#pragma once

#include "gui/break_run.h"

#include <QDialog>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

namespace quorin {

class BreaksDialog : public QDialog {
    Q_OBJECT
public:
    // folder and base: where the list is saved and its name (without ".edl").
    BreaksDialog(const std::string& clipName, std::vector<FoundBreak> found, std::string folder,
                 std::string base, QWidget* parent = nullptr);

private:
    void Save();

    std::vector<FoundBreak> found_;
    std::string folder_;
    std::string base_;
    QLabel* status_ = nullptr;
    QPushButton* save_ = nullptr;
};

} // namespace quorin
