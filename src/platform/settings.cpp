#include "platform/settings.h"

#include "base/format.h"
#include "base/program_log.h"

#define SI_NO_CONVERSION
#include <SimpleIni.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace quorin {
namespace {

constexpr const char* kSection = "QUORIN";
constexpr const char* kOutputDirectory = "Output Directory";
constexpr const char* kPlaySound = "Play Sound";
constexpr const char* kLogFile = "Log File";
constexpr const char* kFirmware190 = "Firmware190";
constexpr const char* kPatch = "Patch first sequence header";
constexpr const char* kPrefixVideo = "Prefix Video";
constexpr const char* kPrefixAudio = "Prefix Audio";
constexpr const char* kPrefixRawVideo = "Prefix Raw Video";
constexpr const char* kPrefixRawAudio = "Prefix Raw Audio";
constexpr const char* kOutputFormat = "Output Format";
constexpr const char* kKeepStreams = "Keep Elementary Streams";
constexpr const char* kExactCuts = "Exact Cuts";
constexpr const char* kOnReadError = "On Read Error"; // "stop" or "salvage"
constexpr const char* kPreviewSize = "Preview Size";  // "640x560"
constexpr const char* kMediaLibrary = "Media Library";

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string HomeDirectory() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return "/";
}

std::string WithTrailingSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

std::string RawAudioKey(int index) {
    return Format("RawAudio_%03d", index);
}

using Ini = CSimpleIniA;

void PrepareIni(Ini& ini) {
    ini.SetUnicode(false);
    ini.SetMultiKey(false);
    ini.SetMultiLine(false);
    ini.SetSpaces(false);
}

// Reads the file into the INI object; a missing file is an empty one.
bool ReadIni(const std::string& path, Ini& ini) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return !ec;
    if (!std::filesystem::is_regular_file(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return false;
    const std::string data = text.str();
    return ini.LoadData(data.data(), data.size()) >= 0;
}

std::string Text(const Ini& ini, const char* key, const std::string& fallback) {
    const char* v = ini.GetValue(kSection, key, nullptr);
    return v ? std::string(v) : fallback;
}

// A number as the profile functions read it: the leading decimal integer, the default when the
// key is missing or empty, 0 when the text holds no number.
long Number(const Ini& ini, const char* key, long fallback) {
    const char* v = ini.GetValue(kSection, key, nullptr);
    if (!v || !*v) return fallback;
    std::string_view s(v);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    long value = 0;
    auto [ptr, err] = std::from_chars(s.data(), s.data() + s.size(), value);
    (void)ptr;
    return err == std::errc() ? value : 0;
}

std::string Lower(std::string_view text) {
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The value of a key trimmed and in lower case; none when the key is missing or empty.
std::optional<std::string> Word(const Ini& ini, const char* key) {
    const char* v = ini.GetValue(kSection, key, nullptr);
    std::string_view s(v ? v : "");
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    if (s.empty()) return std::nullopt;
    return Lower(s);
}

void Unknown(const Ini& ini, const char* key, const char* choices, const std::string& used,
             Settings& settings) {
    std::string text = Format("the settings file's \"%s=%s\" is not understood (%s); %s is used",
                              key, ini.GetValue(kSection, key, ""), choices, used.c_str());
    LogLine(text);
    settings.problems.push_back(std::move(text));
}

// A yes/no key: a number (as the profile functions read it: not 0 is yes) or a usual word.
bool Flag(const Ini& ini, const char* key, bool fallback, Settings& settings) {
    const std::optional<std::string> w = Word(ini, key);
    if (!w) return fallback;
    const std::string_view digits =
        std::string_view(*w).substr(w->front() == '+' || w->front() == '-' ? 1 : 0);
    if (!digits.empty() && std::isdigit(static_cast<unsigned char>(digits.front())))
        return Number(ini, key, fallback ? 1 : 0) != 0;
    if (*w == "true" || *w == "yes" || *w == "on") return true;
    if (*w == "false" || *w == "no" || *w == "off") return false;
    Unknown(ini, key, "yes or no", fallback ? "yes" : "no", settings);
    return fallback;
}

// A key with a few words to choose from; the first is the default.
std::string Choice(const Ini& ini, const char* key, std::initializer_list<const char*> words,
                   Settings& settings) {
    const std::optional<std::string> w = Word(ini, key);
    std::string list;
    for (const char* word : words) {
        if (w && *w == word) return *w;
        list += (list.empty() ? "" : ", ") + std::string(word);
    }
    if (w) Unknown(ini, key, list.c_str(), *words.begin(), settings);
    return *words.begin();
}

void Set(Ini& ini, const char* key, const std::string& value) {
    ini.SetValue(kSection, key, value.c_str());
}

void SetFlag(Ini& ini, const char* key, bool on) {
    Set(ini, key, on ? "1" : "0");
}

bool WriteFileAtomically(const std::string& path, const std::string& data) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target(path);
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            fs::remove(temp, ec);
            return false;
        }
    }
    fs::rename(temp, target, ec);
    if (ec) fs::remove(temp, ec);
    return !ec;
}

} // namespace

std::string DefaultOutputDirectory() {
    std::string videos = Env("XDG_VIDEOS_DIR");
    if (videos.empty()) videos = WithTrailingSlash(HomeDirectory()) + "Videos";
    return WithTrailingSlash(videos);
}

std::string SettingsFilePath() {
    std::string config = Env("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid and must be ignored.
    if (config.empty() || config.front() != '/')
        config = WithTrailingSlash(HomeDirectory()) + ".config";
    return WithTrailingSlash(config) + "quorin/quorin.ini";
}

Settings DefaultSettings() {
    Settings s;
    s.outputDirectory = DefaultOutputDirectory();
    return s;
}

bool LoadSettings(const std::string& path, Settings& settings) {
    settings = DefaultSettings();
    Ini ini;
    PrepareIni(ini);
    if (!ReadIni(path, ini)) {
        LogLine("could not read the settings file " + path);
        return false;
    }
    settings.outputDirectory = Text(ini, kOutputDirectory, settings.outputDirectory);
    settings.playSound = Flag(ini, kPlaySound, true, settings);
    settings.logFile = Flag(ini, kLogFile, true, settings);
    settings.firmware190 = Flag(ini, kFirmware190, false, settings);
    settings.patchFirstSequenceHeader = Flag(ini, kPatch, false, settings);
    for (int i = 0; i < kRawAudioKeys; ++i) {
        std::string entry = Text(ini, RawAudioKey(i).c_str(), {});
        if (!entry.empty()) settings.rawAudioList.push_back(std::move(entry));
    }
    settings.prefixVideo = Text(ini, kPrefixVideo, settings.prefixVideo);
    settings.prefixAudio = Text(ini, kPrefixAudio, settings.prefixAudio);
    settings.prefixRawVideo = Text(ini, kPrefixRawVideo, settings.prefixRawVideo);
    settings.prefixRawAudio = Text(ini, kPrefixRawAudio, settings.prefixRawAudio);
    settings.outputFormat = Choice(ini, kOutputFormat, {"es", "mkv", "mpg", "ts"}, settings);
    settings.keepStreams = Flag(ini, kKeepStreams, false, settings);
    settings.exactCuts = Flag(ini, kExactCuts, false, settings);
    settings.stopOnReadError = Choice(ini, kOnReadError, {"salvage", "stop"}, settings) == "stop";
    settings.libraryFolder = Text(ini, kMediaLibrary, {});
    int width = 0, height = 0;
    if (std::sscanf(Text(ini, kPreviewSize, {}).c_str(), "%dx%d", &width, &height) == 2 &&
        width > 0 && height > 0 && width <= 32767 && height <= 32767) {
        settings.previewWidth = width;
        settings.previewHeight = height;
    }
    return true;
}

bool SaveSettings(const std::string& path, const Settings& settings) {
    Ini ini;
    PrepareIni(ini);
    // A file that exists but cannot be read is not overwritten: its other keys would be lost.
    if (!ReadIni(path, ini)) {
        LogLine("could not read the settings file " + path);
        return false;
    }
    Set(ini, kOutputDirectory, settings.outputDirectory);
    SetFlag(ini, kPlaySound, settings.playSound);
    SetFlag(ini, kLogFile, settings.logFile);
    SetFlag(ini, kFirmware190, settings.firmware190);
    SetFlag(ini, kPatch, settings.patchFirstSequenceHeader);
    const int entries =
        std::min<int>(static_cast<int>(settings.rawAudioList.size()), kRawAudioKeys);
    for (int i = 0; i < entries; ++i)
        Set(ini, RawAudioKey(i).c_str(), settings.rawAudioList[static_cast<std::size_t>(i)]);
    Set(ini, kPrefixVideo, settings.prefixVideo);
    Set(ini, kPrefixAudio, settings.prefixAudio);
    Set(ini, kPrefixRawVideo, settings.prefixRawVideo);
    Set(ini, kPrefixRawAudio, settings.prefixRawAudio);
    Set(ini, kOutputFormat, settings.outputFormat);
    SetFlag(ini, kKeepStreams, settings.keepStreams);
    Set(ini, kOnReadError, settings.stopOnReadError ? "stop" : "salvage");
    // Written once chosen, as the library folder is.
    if (settings.exactCuts || !Text(ini, kExactCuts, {}).empty())
        SetFlag(ini, kExactCuts, settings.exactCuts);
    // Written once chosen, so a file that never had a library gains no empty key.
    if (!settings.libraryFolder.empty() || !Text(ini, kMediaLibrary, {}).empty())
        Set(ini, kMediaLibrary, settings.libraryFolder);
    std::string data;
    if (ini.Save(data, false) < 0 || !WriteFileAtomically(path, data)) {
        LogLine("could not write the settings file " + path);
        return false;
    }
    return true;
}

bool SavePreviewSize(const std::string& path, int width, int height) {
    Ini ini;
    PrepareIni(ini);
    if (!ReadIni(path, ini)) {
        LogLine("could not read the settings file " + path);
        return false;
    }
    Set(ini, kPreviewSize, Format("%dx%d", width, height));
    std::string data;
    if (ini.Save(data, false) < 0 || !WriteFileAtomically(path, data)) {
        LogLine("could not write the settings file " + path);
        return false;
    }
    return true;
}

} // namespace quorin
