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
// The text shows control characters as spaces and the station with the record's padding.
constexpr const char* kListAsText = R"(import json, re, sys
d = json.load(sys.stdin)
assert d["version"] == 1 and d["command"] == "list"
print("Drivename: %s" % d["label"])
print("Capacity: %.1f GB" % d["capacity_gb"])
print("Free: %.1f GB" % d["free_gb"])
text = lambda s: re.sub("[\x00-\x1f\x7f]", " ", s)
for c in d["clips"]:
    y, mo, da, t = ("0000", "00", "00", "00:00") if c["recorded"] is None else (
        c["recorded"][:4], c["recorded"][5:7], c["recorded"][8:10], c["recorded"][11:16])
    L = c["length_seconds"]
    print("%02d\t%-17s\t%s\t%02d:%02d:%02d / %.1f GB\t%s.%s.%s\t%s\t%s" % (c["number"],
          text(c["station"]), text(c["name"]), L // 3600, L // 60 % 60, L % 60, c["size_gb"], da,
          mo, y, t, c["checksum"]))
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
    c.name = "say \"hi\" \\ \x01\x1B\tend\n";
    c.year = c.month = c.day = c.hour = c.minute = 0; // no date
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
    EXPECT_NE(json.out.find(R"("station":"ZDF","name":"heute-journal")"), std::string::npos);
    EXPECT_NE(json.out.find(R"(,"recorded":null,)"), std::string::npos);
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
    // Every clip object has every key, whatever happened to the clip; then the names.
    const std::string check = R"(import json, sys
d = json.load(sys.stdin)
keys = ["clip", "name", "outcome", "status", "message", "files", "stages", "cut", "av_offset_ms",
        "lost", "lost_seconds"]
print(d["status"], " ".join("%d:%s:%d:%d" % (c["clip"], c["outcome"], c["status"],
      len([f for f in c["files"] if f["complete"]])) for c in d["clips"]),
      [c["clip"] for c in d["clips"] if list(c) != keys or list(c["cut"]) != ["requested_begin",
       "requested_length", "video_start", "audio_start"]])
print("|".join(c["name"] for c in d["clips"]))
)";
    const std::string ripped = Python(check, first.out);
    EXPECT_EQ(ripped.substr(0, ripped.find('\n')),
              "3 1:done:0:3 2:nothing to rip:3:0 3:done:0:3 4:done:0:3 5:done:0:3 []");
    const CliResult second = RunCli(args + " --skip-existing");
    const std::string skipped = Python(check, second.out);
    EXPECT_EQ(skipped.substr(0, skipped.find('\n')),
              "3 1:skipped:0:0 2:nothing to rip:3:0 3:skipped:0:0 4:skipped:0:0 5:skipped:0:0 []");
    EXPECT_EQ(skipped.substr(skipped.find('\n')), ripped.substr(ripped.find('\n')));

    // Every other document has its status too.
    const std::string status = R"(import json, sys
d = json.load(sys.stdin)
print(d["command"], d["status"], d.get("bad"))
)";
    const std::string disk = " --disk " + Quote(image_.string());
    EXPECT_EQ(Python(status, RunCli("info --json --clip 1" + disk).out), "info 0 None\n");
    EXPECT_EQ(Python(status, RunCli("scan --json" + disk).out), "scan 0 []\n");
}

} // namespace
} // namespace quorin::test
