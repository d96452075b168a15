// Runs the preview tests with a real QApplication on the offscreen platform, with settings kept
// out of the user's configuration directory and out of other test processes' (a size one test
// process saves must not reach another).
#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const std::filesystem::path config =
        std::filesystem::temp_directory_path() /
        ("quorin-preview-test-config-" + std::to_string(::getpid()));
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    int rc = 0;
    {
        QApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    std::error_code ec;
    std::filesystem::remove_all(config, ec);
    return rc;
}
