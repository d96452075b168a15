// The JSON description and the quorin-mkdisk command built on it.
#include "support.h"

namespace quorin::testdisk::test {
namespace {

Expected<DiskSpec> Parse(const std::string& json) {
    return ParseDescription(json, "/base");
}

void ExpectError(const std::string& json, const std::string& needle) {
    auto r = Parse(json);
    ASSERT_FALSE(r.ok()) << json;
    EXPECT_NE(r.error().find(needle), std::string::npos) << r.error();
}

TEST(Description, ReadsEveryField) {
    auto desc = Parse(R"({
      "_comment": "ignored", "label": "L", "pad_label": false, "used_clusters": 12,
      "free_clusters": "auto", "short": true, "seed": 99,
      "clips": [{
        "station": "S", "name": "N", "date": "2021-02-03", "start_time": "04:05",
        "length": "1:02:03", "skip_index": [[1, 2], [3, 65535]],
        "video": "v/x.m2v", "audio": "/abs/a.ac3", "audio_codec": "ac3",
        "first_pts": "0x1FFFF0000", "audio_offset_ms": -250,
        "video_clusters": [7, 3, 12], "audio_clusters": "auto",
        "video_start_sector": 5, "audio_start_sector": 6, "layout": "old", "loops": 4,
        "damage": [{"stream": "audio", "kind": "truncate", "packet": 3, "length": 10},
                   {"kind": "zero", "offset": 100, "length": 8}]
      }, {"length": 75, "layout": "new"}]
    })");
    ASSERT_TRUE(desc.ok()) << desc.error();
    EXPECT_EQ(desc->label, "L");
    EXPECT_FALSE(desc->padLabel);
    EXPECT_EQ(desc->usedClusters, 12);
    EXPECT_FALSE(desc->freeClusters.has_value());
    EXPECT_TRUE(desc->shortImage);
    EXPECT_EQ(desc->seed, 99u);
    ASSERT_EQ(desc->clips.size(), 2u);
    const ClipSpec& c = desc->clips[0];
    EXPECT_EQ(c.station, "S");
    EXPECT_EQ(c.name, "N");
    EXPECT_EQ(c.year, 2021);
    EXPECT_EQ(c.month, 2);
    EXPECT_EQ(c.day, 3);
    EXPECT_EQ(c.hour, 4);
    EXPECT_EQ(c.minute, 5);
    EXPECT_EQ(c.second, 0);
    EXPECT_EQ(c.lengthSeconds, 3723);
    ASSERT_EQ(c.skipIndex.size(), 2u);
    EXPECT_EQ(c.skipIndex[1].second, 65535);
    EXPECT_EQ(c.videoFile, fs::path("/base/v/x.m2v")) << "relative to the description";
    EXPECT_EQ(c.audioFile, fs::path("/abs/a.ac3"));
    EXPECT_EQ(c.audioCodec, AudioCodec::Ac3);
    EXPECT_EQ(c.firstPts, 0x1FFFF0000);
    EXPECT_EQ(c.audioOffsetTicks, -250 * 90);
    EXPECT_EQ(c.videoClusters, (std::vector<int>{7, 3, 12}));
    EXPECT_TRUE(c.audioClusters.empty());
    EXPECT_EQ(c.videoStartSector, 5);
    EXPECT_EQ(c.audioStartSector, 6);
    EXPECT_EQ(c.layout, RecordLayout::Old);
    EXPECT_EQ(c.loops, 4);
    ASSERT_EQ(c.damage.size(), 2u);
    EXPECT_EQ(c.damage[0].stream, StreamKind::Audio);
    EXPECT_EQ(c.damage[0].kind, DamageKind::Truncate);
    EXPECT_EQ(c.damage[0].packet, 3u);
    EXPECT_EQ(c.damage[0].length, 10u);
    EXPECT_EQ(c.damage[1].stream, StreamKind::Video);
    EXPECT_FALSE(c.damage[1].packet.has_value());
    EXPECT_EQ(c.damage[1].offset, 100u);
    EXPECT_EQ(desc->clips[1].lengthSeconds, 75);
    EXPECT_EQ(desc->clips[1].layout, RecordLayout::Working);
}

TEST(Description, DefaultsAreAutomatic) {
    auto desc = Parse(R"({"clips": [{}]})");
    ASSERT_TRUE(desc.ok()) << desc.error();
    EXPECT_EQ(desc->label, "QUORIN");
    EXPECT_FALSE(desc->usedClusters || desc->freeClusters);
    EXPECT_FALSE(desc->clips[0].lengthSeconds);
    EXPECT_EQ(desc->clips[0].loops, 1);
    EXPECT_EQ(desc->clips[0].layout, RecordLayout::Working);
}

TEST(Description, ErrorsNameTheField) {
    ExpectError("{", "malformed JSON");
    ExpectError("[]", "expected an object");
    ExpectError(R"({"lable": "x"})", "lable: unknown field");
    ExpectError(R"({"clips": [{"loops": 0}]})", "clips[0].loops: must lie between 1");
    ExpectError(R"({"clips": [{"date": "2021/02/03"}]})", "clips[0].date");
    ExpectError(R"({"clips": [{"first_pts": "0x200000000"}]})", "below 2^33");
    ExpectError(R"({"clips": [{"video_clusters": [0]}]})", "video_clusters");
    ExpectError(R"({"clips": [{"layout": "new190"}]})", "expected one of");
    ExpectError(R"({"clips": [{"damage": [{"kind": "burn"}]}]})", "clips[0].damage[0].kind");
    ExpectError(R"({"clips": [{"skip_index": [[1]]}]})", "pairs");
    ExpectError(R"({"used_clusters": "many"})", "expected an integer");
}

class MkdiskCommand : public ::testing::Test {
protected:
    CommandResult Mkdisk(const std::string& args) {
        return RunCommand(std::string(QUORIN_MKDISK) + " " + args, dir_);
    }
    void Describe(const std::string& json) {
        WriteBytes(dir_ / "disk.json",
                   std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
    }
    std::string Path(const std::string& name) { return Quote((dir_ / name).string()); }

    ScratchDir dir_;
};

TEST_F(MkdiskCommand, BuildsAnImageFromSamplesNamedRelativeToTheDescription) {
    const std::string samples = fs::relative(Sample(""), dir_.Path()).string();
    Describe(R"({"label": "CLI", "clips": [{"name": "One", "video": ")" + samples +
             R"(/mpeg2-4x3.m2v", "audio": ")" + samples + R"(/tone-48k-192k.mp2"}]})");
    const auto r = Mkdisk(Path("disk.json") + " " + Path("disk.img"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("One"), std::string::npos) << r.out;
    EXPECT_EQ(fs::file_size(dir_ / "disk.img"), static_cast<std::uintmax_t>(ClusterByteOffset(5)));

    const auto s = Mkdisk("--short " + Path("disk.json") + " " + Path("short.img"));
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_LT(fs::file_size(dir_ / "short.img"), fs::file_size(dir_ / "disk.img"));
    EXPECT_NE(fs::file_size(dir_ / "short.img") % kSectorBytes, 0u) << "ends mid-sector";

    // An existing image is replaced only with --force.
    const auto again = Mkdisk(Path("disk.json") + " " + Path("short.img"));
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
    EXPECT_LT(fs::file_size(dir_ / "short.img"), fs::file_size(dir_ / "disk.img"));
    EXPECT_EQ(Mkdisk("--force " + Path("disk.json") + " " + Path("short.img")).status, 0);
    EXPECT_EQ(fs::file_size(dir_ / "short.img"), fs::file_size(dir_ / "disk.img"));
}

TEST_F(MkdiskCommand, ReportsBadInputWithAMessageAndNonZeroStatus) {
    Describe(R"({"clips": [)");
    auto r = Mkdisk(Path("disk.json") + " " + Path("disk.img"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("malformed JSON"), std::string::npos) << r.err;

    Describe(R"({"clips": [{"video": "missing.m2v"}]})");
    r = Mkdisk(Path("disk.json") + " " + Path("disk.img"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.m2v"), std::string::npos) << r.err;

    EXPECT_EQ(Mkdisk(Path("disk.json")).status, 2) << "usage";
    EXPECT_EQ(Mkdisk("--bogus a b").status, 2);
}

} // namespace
} // namespace quorin::testdisk::test
