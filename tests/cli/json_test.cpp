// quorin-cli --json for scripts: the documents parse with another parser (Python's) and agree
// with the text output; rip --all goes on past a clip that cannot be ripped; --skip-existing.
#include "../disk/disk_image.h"
#include "run_cli.h"

#include "base/scratch_folder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace quorin::test {
namespace {

namespace fs = std::filesystem;

std::string Python(const std::string& script, const std::string& input) {
    ScratchFolder dir("quorin-json");
    std::ofstream(dir / "in.json") << input;
    std::ofstream(dir / "script.py") << script;
    CliResult r;
    const std::string cmd = "PYTHONIOENCODING=utf-8 python3 " +
                            Quote((dir / "script.py").string()) + " < " +
                            Quote((dir / "in.json").string());
    FILE* p = ::popen(cmd.c_str(), "r");
    std::array<char, 4096> buf;
    std::size_t n;
    while (p && (n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    if (p) ::pclose(p);
    return r.out;
}

// The list's text, rebuilt from the JSON document by Python.
constexpr const char* kListAsText = R"(import json, sys
d = json.load(sys.stdin)
assert d["version"] == 1 and d["command"] == "list"
print("Drivename: %s" % d["label"])
print("Capacity: %.1f GB" % d["capacity_gb"])
print("Free: %.1f GB" % d["free_gb"])
for c in d["clips"]:
    y, mo, da = c["recorded"][:10].split("-")
    L = c["length_seconds"]
    print("%02d\t%s\t%s\t%02d:%02d:%02d / %.1f GB\t%s.%s.%s\t%s\t%s" % (c["number"], c["station"],
          c["name"], L // 3600, L // 60 % 60, L % 60, c["size_gb"], da, mo, y, c["recorded"][11:16],
          c["checksum"]))
)";

TEST(CliJson, ListAgreesWithTheTextForLatin1AndOddNames) {
    DiskImage img("cli-json");
    img.Header(0x0123, 0x0200, 3, "MYDISK\xE9      ");
    RecordSpec a, b, c;
    a.station = "ZDF";
    a.name = "heute-journal";
    b.station = "arte";
    b.name = "Caf\xE9 M\xFCller";
    c.station = "Q \"1\"";
    c.name = "say \"hi\" \\ \x01\x1B end";
    img.Link(100, 0xFFFF);
    img.Resize(1 << 20);
    img.Record(0, OldRecord(a, 0));
    img.Record(1, OldRecord(b, 1));
    img.Record(2, OldRecord(c, 2));
    const std::string disk = "--disk " + Quote(img.Path());
    const CliResult text = RunCli("list " + disk);
    const CliResult json = RunCli("list --json " + disk);
    EXPECT_EQ(json.status, text.status);
    EXPECT_EQ(Python(kListAsText, json.out), text.out) << json.out;
}

class CliRipAllTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string samples = QUORIN_SAMPLES_DIR;
        ASSERT_EQ(std::system(("cd " + Quote(samples) + " && " + QUORIN_MKDISK + " demo.json " +
                               Quote(image_.string()) + " > /dev/null")
                                  .c_str()),
                  0);
        // Clip 2 loses its video chain (no clusters): "Stream ID not found", nothing to rip.
        std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp((10 + 1) * 512 + 0x48);
        f.write("\0\0", 2);
    }
    ScratchFolder dir_{"quorin-rip-all"};
    fs::path image_ = dir_ / "demo.img";
};

TEST_F(CliRipAllTest, EveryClipOnceTheFailureIsTheStatusAndASecondRunSkips) {
    const std::string args = "rip --all --json --disk " + Quote(image_.string()) + " --out " +
                             Quote((dir_ / "out").string());
    const CliResult first = RunCli(args + " --skip-existing");
    EXPECT_EQ(first.status, 3) << first.out;
    const std::string check = R"(import json, sys
d = json.load(sys.stdin)
print(d["status"], " ".join("%d:%s:%d:%d" % (c["clip"], c["outcome"], c["status"],
      len([f for f in c.get("files", []) if f["complete"]])) for c in d["clips"]))
)";
    EXPECT_EQ(Python(check, first.out),
              "3 1:done:0:3 2:nothing to rip:3:0 3:done:0:3 4:done:0:3 5:done:0:3\n");
    const CliResult second = RunCli(args + " --skip-existing");
    EXPECT_EQ(Python(check, second.out),
              "3 1:skipped:0:0 2:nothing to rip:3:0 3:skipped:0:0 4:skipped:0:0 5:skipped:0:0\n");
}

} // namespace
} // namespace quorin::test
