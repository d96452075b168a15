// "Options": the four file-name endings of the output files.
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;

namespace quorin {

struct PostfixTexts {
    std::string video = "m2v";
    std::string audio = "mp2";
    std::string rawVideo = "pva";
    std::string rawAudio = "mpp";
};

class CDlgOptions : public QDialog {
    Q_OBJECT
public:
    explicit CDlgOptions(const PostfixTexts& texts, QWidget* parent = nullptr);
    // The texts as the fields hold them.
    PostfixTexts Texts() const;

private:
    void OnDefault();
    void Show(const PostfixTexts& texts);

    QLineEdit* m_pVideo;
    QLineEdit* m_pAudio;
    QLineEdit* m_pRawVideo;
    QLineEdit* m_pRawAudio;
};

} // namespace quorin
