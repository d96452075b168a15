#include "base/run_state.h"
#include "platform/settings.h"
#include "test_env.h"

#include <gtest/gtest.h>

namespace quorin::test {
namespace {

TEST(Settings, MissingFileGivesTheDefaults) {
    TempDir dir("quorin-settings-missing");
    EnvGuard videos("XDG_VIDEOS_DIR", "/media/films");
    Settings s;
    s.playSound = false;
    ASSERT_TRUE(LoadSettings(dir / "none.ini", s));
    EXPECT_EQ(s.outputDirectory, "/media/films/");
    EXPECT_TRUE(s.playSound);
    EXPECT_TRUE(s.logFile);
    EXPECT_FALSE(s.firmware190);
    EXPECT_FALSE(s.patchFirstSequenceHeader);
    EXPECT_TRUE(s.rawAudioList.empty());
    EXPECT_EQ(s.prefixVideo, "m2v");
    EXPECT_EQ(s.prefixAudio, "mp2");
    EXPECT_EQ(s.prefixRawVideo, "pva");
    EXPECT_EQ(s.prefixRawAudio, "mpp");
}

TEST(Settings, LocationsFollowTheXdgVariables) {
    EnvGuard home("HOME", "/home/ann");
    {
        EnvGuard config("XDG_CONFIG_HOME", std::nullopt);
        EnvGuard videos("XDG_VIDEOS_DIR", std::nullopt);
        EXPECT_EQ(SettingsFilePath(), "/home/ann/.config/quorin/quorin.ini");
        EXPECT_EQ(DefaultOutputDirectory(), "/home/ann/Videos/");
    }
    EnvGuard config("XDG_CONFIG_HOME", "/etc/xdg/ann/");
    EXPECT_EQ(SettingsFilePath(), "/etc/xdg/ann/quorin/quorin.ini");
    // A relative XDG_CONFIG_HOME is not valid and is ignored.
    EnvGuard relative("XDG_CONFIG_HOME", "cfg");
    EXPECT_EQ(SettingsFilePath(), "/home/ann/.config/quorin/quorin.ini");
}

// A file as a user edits it by hand: CR LF line ends, keys with spaces, a backslash value,
// a comment, an unknown key, another section and raw-audio keys with gaps.
constexpr const char* kHandWritten = "; written by hand\r\n"
                                     "[QUORIN]\r\n"
                                     "Output Directory=D:\\Images\\\r\n"
                                     "Play Sound=0\r\n"
                                     "; the next key belongs to a later version\r\n"
                                     "Window Size=800x600\r\n"
                                     "Firmware190=1\r\n"
                                     "Log File=abc\r\n"
                                     "RawAudio_000=ZDF\r\n"
                                     "RawAudio_002=arte\r\n"
                                     "RawAudio_007=3sat\r\n"
                                     "Prefix Audio=mpa\r\n"
                                     "Prefix Raw Video=\r\n"
                                     "Output Format=avi\r\n"
                                     "[OTHER]\r\n"
                                     "Key=Value\r\n";

TEST(Settings, ReadsAHandWrittenFile) {
    TempDir dir("quorin-settings-read");
    WriteFile(dir / "q.ini", kHandWritten);
    Settings s;
    ASSERT_TRUE(LoadSettings(dir / "q.ini", s));
    EXPECT_EQ(s.outputDirectory, "D:\\Images\\");
    EXPECT_FALSE(s.playSound);
    EXPECT_TRUE(s.firmware190);
    EXPECT_TRUE(s.logFile); // not a yes or no: the default, and said
    EXPECT_FALSE(s.patchFirstSequenceHeader);
    EXPECT_EQ(s.rawAudioList, (std::vector<std::string>{"ZDF", "arte", "3sat"}));
    EXPECT_EQ(s.prefixAudio, "mpa");
    EXPECT_EQ(s.prefixRawVideo, ""); // present but empty: the empty text, as the profile reads it
    EXPECT_EQ(s.prefixVideo, "m2v");
    EXPECT_EQ(s.outputFormat, "es"); // a format Quorin does not write: the elementary streams
    EXPECT_FALSE(s.keepStreams);
    EXPECT_EQ(s.problems,
              (std::vector<std::string>{
                  "the settings file's \"Log File=abc\" is not understood (yes or no); yes is used",
                  "the settings file's \"Output Format=avi\" is not understood (es, mkv, mpg, "
                  "ts); es is used"}));
}

// Yes/no keys and choices as people write them by hand.
TEST(Settings, UsualSpellingsOfYesNoAndChoicesAreRead) {
    struct Case {
        const char* value;
        bool firmware190; // Firmware190=value
        bool stop;        // On Read Error=value
        std::size_t problems;
    };
    const Case cases[] = {
        {"1", true, false, 1},      {"0", false, false, 1},    {"true", true, false, 1},
        {"FALSE", false, false, 1}, {" Yes ", true, false, 1}, {"no", false, false, 1},
        {"On", true, false, 1},     {"off", false, false, 1},  {"2", true, false, 1},
        {"stop", false, true, 1},   {"STOP", false, true, 1},  {"Salvage", false, false, 1},
        {"maybe", false, false, 2}, {"", false, false, 0},
    };
    TempDir dir("quorin-settings-spellings");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        WriteFile(dir / "q.ini", std::string("[QUORIN]\nFirmware190=") + c.value +
                                     "\nOn Read Error=" + c.value + "\n");
        Settings s;
        ASSERT_TRUE(LoadSettings(dir / "q.ini", s));
        EXPECT_EQ(s.firmware190, c.firmware190);
        EXPECT_EQ(s.stopOnReadError, c.stop);
        EXPECT_EQ(s.problems.size(), c.problems);
    }
}

TEST(Settings, SaveKeepsWhatItDoesNotOwn) {
    TempDir dir("quorin-settings-save");
    const std::string path = dir / "q.ini";
    WriteFile(path, kHandWritten);
    Settings s;
    ASSERT_TRUE(LoadSettings(path, s));
    s.rawAudioList.push_back("Das Erste");
    s.patchFirstSequenceHeader = true;
    s.prefixVideo = "mpv";
    s.outputFormat = "ts";
    s.keepStreams = true;
    s.stopOnReadError = true;
    ASSERT_TRUE(SaveSettings(path, s));
    // Existing keys are rewritten in place, new ones follow in their order; the list is written
    // from index 0 and RawAudio_007 beyond it stays as it was.
    // Comments are set apart by blank lines.
    EXPECT_EQ(ReadFile(path), "; written by hand\n"
                              "\n\n"
                              "[QUORIN]\n"
                              "Output Directory=D:\\Images\\\n"
                              "Play Sound=0\n"
                              "\n"
                              "; the next key belongs to a later version\n"
                              "Window Size=800x600\n"
                              "Firmware190=1\n"
                              "Log File=1\n"
                              "RawAudio_000=ZDF\n"
                              "RawAudio_002=3sat\n"
                              "RawAudio_007=3sat\n"
                              "Prefix Audio=mpa\n"
                              "Prefix Raw Video=\n"
                              "Output Format=ts\n"
                              "Patch first sequence header=1\n"
                              "RawAudio_001=arte\n"
                              "RawAudio_003=Das Erste\n"
                              "Prefix Video=mpv\n"
                              "Prefix Raw Audio=mpp\n"
                              "Keep Elementary Streams=1\n"
                              "On Read Error=stop\n"
                              "\n\n"
                              "[OTHER]\n"
                              "Key=Value\n");
    Settings again;
    ASSERT_TRUE(LoadSettings(path, again));
    EXPECT_EQ(again.outputDirectory, "D:\\Images\\");
    EXPECT_EQ(again.rawAudioList,
              (std::vector<std::string>{"ZDF", "arte", "3sat", "Das Erste", "3sat"}));
    EXPECT_TRUE(again.patchFirstSequenceHeader);
    EXPECT_EQ(again.prefixVideo, "mpv");
    EXPECT_EQ(again.outputFormat, "ts");
    EXPECT_TRUE(again.keepStreams);
    EXPECT_TRUE(again.stopOnReadError);
}

TEST(Settings, FirstSaveCreatesTheFolderAndWritesEveryKeyInOrder) {
    TempDir dir("quorin-settings-new");
    const std::string path = dir / "sub/quorin/quorin.ini";
    Settings s = DefaultSettings();
    s.outputDirectory = "/srv/out/";
    s.rawAudioList = {"ZDF"};
    ASSERT_TRUE(SaveSettings(path, s));
    EXPECT_EQ(ReadFile(path), "[QUORIN]\n"
                              "Output Directory=/srv/out/\n"
                              "Play Sound=1\n"
                              "Log File=1\n"
                              "Firmware190=0\n"
                              "Patch first sequence header=0\n"
                              "RawAudio_000=ZDF\n"
                              "Prefix Video=m2v\n"
                              "Prefix Audio=mp2\n"
                              "Prefix Raw Video=pva\n"
                              "Prefix Raw Audio=mpp\n"
                              "Output Format=es\n"
                              "Keep Elementary Streams=0\n"
                              "On Read Error=salvage\n");
    // What was saved loads back as it was and saves again unchanged.
    Settings again;
    ASSERT_TRUE(LoadSettings(path, again));
    EXPECT_EQ(again.outputDirectory, "/srv/out/");
    EXPECT_EQ(again.rawAudioList, s.rawAudioList);
    const std::string saved = ReadFile(path);
    ASSERT_TRUE(SaveSettings(path, again));
    EXPECT_EQ(ReadFile(path), saved);
}

TEST(Settings, AnUnreadableFileIsNeitherReadNorOverwritten) {
    TempDir dir("quorin-settings-dir");
    // A folder where the file should be cannot be read as a file.
    std::filesystem::create_directories(dir.Path() / "q.ini");
    Settings s;
    EXPECT_FALSE(SaveSettings(dir / "q.ini", s));
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "q.ini"));
}

} // namespace
} // namespace quorin::test
