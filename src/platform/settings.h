// The settings file: an INI file, section "QUORIN", read and written with profile semantics
// (keys with spaces, values verbatim, other keys, sections and comments kept on a save).
#pragma once

#include <string>
#include <vector>

namespace quorin {

inline constexpr int kRawAudioKeys = 200; // RawAudio_000 to RawAudio_199

struct Settings {
    std::string outputDirectory; // with a trailing "/"
    bool playSound = true;
    bool logFile = true; // one log file per activity
    bool firmware190 = false;
    bool patchFirstSequenceHeader = false;
    std::vector<std::string> rawAudioList; // channel-name prefixes, in key order
    std::string prefixVideo = "m2v";
    std::string prefixAudio = "mp2";
    std::string prefixRawVideo = "pva";
    std::string prefixRawAudio = "mpp";
    // What a stream rip ends as: "es" (the elementary streams), "mkv", "mpg" or "ts" (one
    // playable file); any other text reads as "es".
    std::string outputFormat = "es";
    bool keepStreams = false; // keep the elementary streams and the delay log after a mux
    // The read policy of the window's rips (key "On Read Error": "stop" or "salvage"): stop ends
    // a stage at the first unreadable sector; salvage keeps every readable sector.
    bool stopOnReadError = false;
    // Cuts of the window's rips and queued jobs fall at the exact picture (key "Exact Cuts").
    bool exactCuts = false;
    // The media library folder (key "Media Library") the window's library action rips into;
    // empty: none chosen.
    std::string libraryFolder;
    // The preview dialog's last size; 0: its default. SaveSettings leaves it as it is in the
    // file (the dialog writes it with SavePreviewSize), so a window's older copy never undoes it.
    int previewWidth = 0;
    int previewHeight = 0;
    // What LoadSettings did not understand, one text per key ("... is not understood; ... is
    // used"), for the front end to say once.
    std::vector<std::string> problems;
};

// Every key at its default; the output directory is the user's Videos directory.
Settings DefaultSettings();
// $XDG_VIDEOS_DIR, else ~/Videos, with a trailing "/".
std::string DefaultOutputDirectory();
// $XDG_CONFIG_HOME/quorin/quorin.ini, else ~/.config/quorin/quorin.ini.
std::string SettingsFilePath();

// Reads the file into settings. A missing file or key gives the default; a file that exists but
// cannot be read gives the defaults and false (with a log line). Yes/no keys take 1/0, yes/no,
// true/false and on/off, the choices their words, in any case; any other value gives the default
// and a text in settings.problems.
[[nodiscard]] bool LoadSettings(const std::string& path, Settings& settings);
inline bool LoadSettings(Settings& settings) {
    return LoadSettings(SettingsFilePath(), settings);
}

// Writes every key in its order into the file (creating it and its folder if needed). Keys the
// program does not know, comments and raw-audio keys beyond the list stay as they were. The file
// is replaced atomically. False (with a log line) when it could not be written.
[[nodiscard]] bool SaveSettings(const std::string& path, const Settings& settings);
inline bool SaveSettings(const Settings& settings) {
    return SaveSettings(SettingsFilePath(), settings);
}

// Writes the preview dialog's size into the file, every other key as it was.
bool SavePreviewSize(const std::string& path, int width, int height);

} // namespace quorin
