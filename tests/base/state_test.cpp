#include "base/format.h"
#include "base/program_log.h"
#include "base/run_state.h"
#include "platform/text.h"

#include <clocale>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace quorin {
namespace {

std::string ReadFile(const std::string& name) {
    std::ifstream in(name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ProgramLog, LinesWithAndWithoutNewlineAreTheSameAndNamesAreSafe) {
    auto dir = std::filesystem::temp_directory_path() / "quorin-log-test";
    std::filesystem::create_directories(dir);
    auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    ASSERT_TRUE(OpenLog("a/b:c", true));
    std::string name = LogFileName();
    EXPECT_EQ(name.size(), std::string("07122026_0310_a b c.log").size());
    EXPECT_EQ(name.substr(8, 1), "_");
    EXPECT_EQ(name.substr(14), "a b c.log");
    LogLine("one\n");
    LogLine("one");
    Log() << "n=" << hex << 255 << dec << " " << 255 << endl;
    LogText("open ");
    LogText("closed\n");
    CloseLog();
    LogLine("dropped while closed");
    EXPECT_EQ(ReadFile(name),
              "CLIPFORGE LOG v1.0.0\none\none\nn=ff 255\nopen closed\nCPVRDrive::~CPVRDrive()\n");
    ASSERT_TRUE(OpenLog("DIR", false));
    EXPECT_EQ(LogFileName(), "Quorin.log");
    CloseLog();
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
}

TEST(Format, NumbersUseTheCLocaleWhateverTheProcessLocale) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    std::string saved = previous ? previous : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8")) {
        EXPECT_EQ(Format("%.1f", 80.3), "80.3");
    }
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(Format("%.1f", 80.3), "80.3");
    EXPECT_EQ(Format("%s", std::string(300, 'x').c_str()).size(), 300u);
}

TEST(RipProgress, StatusTextIsCutAt254) {
    RipProgress p;
    p.SetStatus(std::string(300, 'x'));
    EXPECT_EQ(p.Status().size(), 254u);
    p.ClearStatus();
    EXPECT_EQ(p.Status(), "");
}

TEST(Text, Latin1AndUtf8) {
    EXPECT_EQ(Latin1ToUtf8("Caf\xE9"), "Caf\xC3\xA9");
    EXPECT_EQ(Utf8ToLatin1("Caf\xC3\xA9"), "Caf\xE9");
    EXPECT_EQ(Utf8ToLatin1("\xE2\x82\xAC!"), "?!");
    EXPECT_EQ(Utf8ToLatin1("\xC3"), "?"); // cut off
    EXPECT_TRUE(IsValidUtf8("abc\xC3\xA9"));
    EXPECT_FALSE(IsValidUtf8("abc\xE9"));
    EXPECT_EQ(Utf8Length("\xC3\xA9\xE2\x82\xAC"), 2u);
}

} // namespace
} // namespace quorin
