// quorin-cli --udisks end to end: the disk commands on a device the user may not open, with the
// mocked UDisks2 service opening the image behind it.
#include "udisks_fixture.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <vector>

namespace quorin::udiskstest {
namespace {

constexpr int kNoOverrideDrop = 126;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

class CliUDisksTest : public UDisksTest {
protected:
    // Runs quorin-cli without the file-permission override (a user who may not open the
    // device): as root, the override leaves the bounding set before exec.
    // The hint for a device node, or for a file where no node could be made.
    std::string Hint(const char* name, const std::string& end) const {
        if (fs::is_regular_file(Device(name)))
            return "(a file permission: this user may not open the image file)";
        return "(run as root or as a member of the 'disk' group to read a block device" + end;
    }
    CliRun Run(std::vector<std::string> args) {
        args.insert(args.begin(), QUORIN_CLI);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string outFile = (root_ / "cli.out").string();
        const std::string errFile = (root_ / "cli.err").string();
        const bool root = ::geteuid() == 0;

        const pid_t pid = ::fork();
        if (pid == 0) {
            if (root && (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
                         ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
                ::_exit(kNoOverrideDrop);
            const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        CliRun run;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            run.status = WEXITSTATUS(status);
        run.out = ReadText(outFile);
        run.err = ReadText(errFile);
        return run;
    }
};

#define SKIP_WITHOUT_OVERRIDE_DROP(run)                                                            \
    do {                                                                                           \
        if ((run).status == kNoOverrideDrop)                                                       \
            GTEST_SKIP() << "root's file-permission override cannot be dropped here";              \
    } while (false)

TEST_F(CliUDisksTest, ListWithUdisksReadsADeviceTheUserMayNotOpen) {
    const CliRun run = Run({"list", "--udisks", "--disk", Device("sdq")});
    SKIP_WITHOUT_OVERRIDE_DROP(run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Drivename: QUORIN UDISKS"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\tTagesschau\t"), std::string::npos) << run.out;
    EXPECT_NE(MockCalls().find("OpenForBackup {}"), std::string::npos) << MockCalls();
}

TEST_F(CliUDisksTest, WithoutUdisksTheServiceIsNotAskedAndTheHintNamesIt) {
    const CliRun run = Run({"list", "--disk", Device("sdq")});
    SKIP_WITHOUT_OVERRIDE_DROP(run);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "quorin-cli: cannot open " + Device("sdq") + ": Permission denied " +
                           Hint("sdq", ", or use --udisks)") + "\n");
    EXPECT_EQ(MockCalls(), "");
}

TEST_F(CliUDisksTest, ARefusedAuthorisationIsSaidAndNothingIsListed) {
    const CliRun run = Run({"list", "--disk", Device("sds"), "--udisks"});
    SKIP_WITHOUT_OVERRIDE_DROP(run);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "quorin-cli: cannot open " + Device("sds") + ": Permission denied " +
                           Hint("sds", ")") +
                           "\n"
                           "quorin-cli: Access to " +
                           Device("sds") + " through UDisks2 was not authorised.\n");
}

TEST_F(CliUDisksTest, RenameWithUdisksAsksForReadWriteOnceAndWritesTheTitle) {
    const CliRun run = Run(
        {"rename", "--udisks", "--disk", Device("sdq"), "--clip", "1", "--title", "Nachrichten"});
    SKIP_WITHOUT_OVERRIDE_DROP(run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"Tagesschau\" -> \"Nachrichten\""), std::string::npos) << run.out;
    const std::string calls = MockCalls();
    EXPECT_NE(calls.find("OpenDevice \"rw\" {}"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("OpenForBackup"), std::string::npos) << calls;

    // The image behind the device holds the new title.
    const CliRun list = Run({"list", "--disk", image_});
    EXPECT_NE(list.out.find("\tNachrichten\t"), std::string::npos) << list.out << list.err;
}

TEST_F(CliUDisksTest, RipWithUdisksWritesTheStreams) {
    const std::string out = (root_ / "out").string();
    const CliRun run =
        Run({"rip", "--udisks", "--disk", Device("sdq"), "--clip", "1", "--out", out});
    SKIP_WITHOUT_OVERRIDE_DROP(run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("file\tTagesschau.m2v\t"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("file\tTagesschau.mp2\t"), std::string::npos) << run.out;
}

} // namespace
} // namespace quorin::udiskstest
