// quorin-cli rip and scan over bad sectors, run in this process so that the volume's injected
// faults reach them: the salvage policy ends with 6 and names every loss, the stop policy with 2.
#include "cli_in_process.h"

#include <cstdlib>
#include <sstream>

namespace quorin::reliability {
namespace {

std::size_t DamageLines(const std::string& out) {
    std::istringstream lines(out);
    std::size_t n = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("lost\t") || line.starts_with("bad\t")) ++n;
    return n;
}

TEST(CliSalvage, BadSectorsEndWithSixAndLostLinesOrWithTwoUnderTheStopPolicy) {
    ScratchDir dir;
    ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1); // no settings file
    TestDisk disk(OneClip(FaultClip()), "cli-salvage");
    const std::int64_t video = StreamByte(disk.Result(0).video, 0.5) / 512 * 512;
    const std::int64_t audio = StreamByte(disk.Result(0).audio, 0.25) / 512 * 512;
    VolumeFaults faults;
    faults.failingReads = {{video, video + 512}, {audio, audio + 512}};
    FaultScope scope(disk.Image(), faults);
    const std::string common = "--firmware190 --disk " + disk.Image() + " --on-read-error ";
    const struct {
        std::string args;
        int status;
        std::vector<std::string> lines; // printed, in order
    } cases[] = {
        {"rip --clip 1 --out salvage " + common + "salvage",
         6,
         {Format("lost\taudio\t%lld\t512\t", static_cast<long long>(audio)),
          Format("lost\tvideo\t%lld\t512\t", static_cast<long long>(video))}},
        {"rip --clip 1 --out stop " + common + "stop", 2, {}},
        {"rip --clip 1 --out other " + common + "retry", 1, {}},
        {"breaks --clip 1 " + common + "salvage",
         6,
         {Format("lost\taudio\t%lld\t512\t", static_cast<long long>(audio)),
          Format("lost\tvideo\t%lld\t512\t", static_cast<long long>(video))}},
        {"breaks --clip 1 " + common + "stop", 2, {}},
        {"scan " + common + "salvage",
         6,
         {Format("bad\t%lld\t512\t1\tvideo\t", static_cast<long long>(video)),
          Format("bad\t%lld\t512\t1\taudio\t", static_cast<long long>(audio))}},
        {"scan " + common + "stop",
         2,
         {Format("bad\t%lld\t512\t1\tvideo\t", static_cast<long long>(video))}},
    };
    for (const auto& c : cases) {
        const CliRun run = RunCommand(c.args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.out;
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            at = run.out.find(line, at);
            EXPECT_NE(at, std::string::npos) << c.args << ": " << line << "\n" << run.out;
        }
        EXPECT_EQ(DamageLines(run.out), c.lines.size()) << c.args << "\n" << run.out;
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace quorin::reliability
