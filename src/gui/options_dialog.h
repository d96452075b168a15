// "Options": the four file-name endings of the output files, what a stream rip ends as, whether
// cuts fall at the exact picture and the media library folder.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace quorin {

struct PostfixTexts {
    std::string video = "m2v";
    std::string audio = "mp2";
    std::string rawVideo = "pva";
    std::string rawAudio = "mpp";
};

// The settings file's output format ("es", "mkv", "mpg", "ts") and whether a mux keeps the
// elementary streams.
struct OutputChoice {
    std::string format = "es";
    bool keepStreams = false;
    bool exactCuts = false; // ranges cut at the exact picture
};

class CDlgOptions : public QDialog {
    Q_OBJECT
public:
    CDlgOptions(const PostfixTexts& texts, const OutputChoice& output,
                const std::string& libraryFolder = {}, QWidget* parent = nullptr);
    // The texts as the fields hold them.
    PostfixTexts Texts() const;
    OutputChoice Output() const;
    std::string LibraryFolder() const;

private:
    void OnDefault();
    void Show(const PostfixTexts& texts, const OutputChoice& output);

    QLineEdit* m_pVideo;
    QLineEdit* m_pAudio;
    QLineEdit* m_pRawVideo;
    QLineEdit* m_pRawAudio;
    QComboBox* format_;
    QCheckBox* keepStreams_;
    QCheckBox* exactCuts_;
    QLineEdit* library_;
};

} // namespace quorin
