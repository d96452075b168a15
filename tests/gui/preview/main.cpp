// Runs the preview tests with a real QApplication on the offscreen platform, with settings kept
// out of the user's configuration directory.
#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const std::string config =
        (std::filesystem::temp_directory_path() / "quorin-preview-test-config").string();
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
