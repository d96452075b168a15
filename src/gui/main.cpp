// quorin: the window. "quorin [IMAGE]" adds a disk image (or device) to the drive list and
// selects it.
#include "gui/main_dialog.h"

#include <QApplication>
#include <QCommandLineParser>
#include <csignal>
#include <filesystem>
#include <system_error>

namespace {

// The window makes the output directory current, so a relative path must be made absolute first.
std::string AbsolutePath(const QString& path) {
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(path.toStdString(), ec);
    return ec ? path.toStdString() : abs.lexically_normal().string();
}

} // namespace

int main(int argc, char* argv[]) {
    // A file size limit makes a write fail (EFBIG) as a full disk does, instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName("quorin");
    QApplication::setApplicationVersion("1.0.0");
    QCommandLineParser parser;
    parser.setApplicationDescription("Lists a receiver disk's recordings and rips them.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("IMAGE", "a receiver disk image or block device to open");
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    const std::string image = args.isEmpty() ? std::string() : AbsolutePath(args.front());

    quorin::CMainDialog window(image);
    return window.exec() == QDialog::Accepted ? 0 : 0;
}
