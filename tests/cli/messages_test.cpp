// What quorin-cli says when it refuses something: the message names the cause in the user's
// terms (clip numbers from 1, a file permission, a value of the settings file, the system's
// reason), and the exit status is the documented one.
#include "../disk/disk_image.h"
#include "run_cli.h"

#include "base/scratch_folder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorin::test {
namespace {

namespace fs = std::filesystem;

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(CliMessages, RefusalsNameTheCause) {
    ScratchFolder dir("quorin-messages");
    DiskImage img("cli-messages");
    img.Header(0x0123, 0x0200, 1, "MYDISK");
    img.Resize(1 << 20);
    img.Record(0, OldRecord(RecordSpec{}, 0));
    const std::string disk = " --disk " + Quote(img.Path());
    // An image file this user may not read: as root, the command runs as "nobody".
    const fs::path locked = dir / "locked.img";
    fs::copy_file(img.Path(), locked);
    ::chmod(locked.c_str(), 0);
    ::chmod(dir.Path().c_str(), 0755);
    const std::string asUser = ::getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 "
                                                 "--clear-groups "
                                               : "";
    fs::create_directories(dir / "quorin");
    std::ofstream(dir / "quorin" / "quorin.ini")
        << "[QUORIN]\nFirmware190=maybe\nOn Read Error=STOP\nPlay Sound=Yes\n";
    const std::string settings = "XDG_CONFIG_HOME=" + Quote(dir.Path().string()) + " ";

    struct Case {
        std::string command;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {"rip --clip 0" + disk, 1, "clips are numbered from 1, as 'list' shows them"},
        {"info --clip 0" + disk, 1, "clips are numbered from 1"},
        {"scan --clip 0" + disk, 1, "clips are numbered from 1"},
        {"list --disk " + Quote(locked.string()), 2,
         "Permission denied (a file permission: this user may not open the image file)"},
        {"decode " + Quote(std::string(QUORIN_SAMPLES_DIR) + "/mpeg2-4x3.m2v") + " " +
             Quote((dir / "no" / "such" / "x.bmp").string()),
         5, "x.bmp. (No such file or directory)"},
        {"jobs" + disk + " " + Quote((dir / "absent.csv").string()), 1,
         "File could not be opened ! (No such file or directory)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const std::string prefix = c.command.starts_with("list --disk") ? asUser : "";
        const CliResult r = RunCli(c.command, (dir / "err.txt").string(),
                                   prefix + "env XDG_CONFIG_HOME=/nonexistent ");
        const std::string err = ReadText(dir / "err.txt");
        EXPECT_EQ(r.status, c.status) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(err.find("'disk' group"), std::string::npos) << err;
    }

    // A value of the settings file that is not understood is said once; the others are read.
    const CliResult list = RunCli("list" + disk, (dir / "err.txt").string(), "env " + settings);
    const std::string err = ReadText(dir / "err.txt");
    EXPECT_EQ(list.status, 0) << err;
    EXPECT_EQ(Count(err, "\"Firmware190=maybe\" is not understood (yes or no); no is used"), 1u)
        << err;
    EXPECT_EQ(Count(err, "settings file"), 1u) << err;
}

} // namespace
} // namespace quorin::test
