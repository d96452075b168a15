// Runs the window tests on Qt's offscreen platform, with the settings in a private folder.
#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

// fontconfig keeps a few bytes of its configuration for the life of the process, now and then
// without a pointer that LeakSanitizer can see; that is no leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // No test may read or write the user's real settings; each test points this further down.
    auto config = std::filesystem::temp_directory_path() /
                  ("quorin-gui-config-" + std::to_string(::getpid()));
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(config, ec);
    return rc;
}
