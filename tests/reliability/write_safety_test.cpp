// Renaming clips touches nothing on the disk but the renamed clip's name bytes: every sector of
// the directory and every byte of data is hashed before and after each rename. A disk that
// cannot be written gives a clear failure and stays as it was.
#include "reliability_support.h"

#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "platform/text.h"

#include <fcntl.h>
#include <unistd.h>

namespace quorin::reliability {
namespace {

constexpr int kDirectorySectors = 256;

std::uint64_t Fnv(const std::uint8_t* p, std::size_t n, std::uint64_t h = 1469598103934665603ull) {
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// What the image holds: one hash per directory sector, one over every data extent (the image
// is sparse: only the extents are read) and the size.
struct Snapshot {
    std::vector<std::uint64_t> sectors;
    std::vector<std::uint8_t> directory;
    std::uint64_t data = 0;
    std::int64_t size = 0;

    static Snapshot Of(const std::string& image) {
        Snapshot s;
        const int fd = ::open(image.c_str(), O_RDONLY);
        if (fd < 0) return s;
        s.size = ::lseek(fd, 0, SEEK_END);
        s.directory.assign(kDirectorySectors * 512, 0);
        const ssize_t got = ::pread(fd, s.directory.data(), s.directory.size(), 0);
        s.directory.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        for (std::size_t at = 0; at < s.directory.size(); at += 512)
            s.sectors.push_back(Fnv(s.directory.data() + at, 512));
        std::vector<std::uint8_t> buf(1 << 20);
        s.data = 1469598103934665603ull;
        off_t pos = kDirectorySectors * 512;
        while ((pos = ::lseek(fd, pos, SEEK_DATA)) >= 0) {
            const off_t hole = ::lseek(fd, pos, SEEK_HOLE);
            while (pos < hole) {
                const ssize_t n =
                    ::pread(fd, buf.data(), std::min<std::size_t>(buf.size(), hole - pos), pos);
                if (n <= 0) break;
                s.data = Fnv(buf.data(), static_cast<std::size_t>(n), s.data);
                pos += n;
            }
        }
        ::close(fd);
        return s;
    }
};

// Asserts that `after` differs from `before` at most in the name bytes of one record.
::testing::AssertionResult OnlyNameChanged(const Snapshot& before, const Snapshot& after, int clip,
                                           int nameOffset) {
    if (before.size != after.size || before.data != after.data)
        return ::testing::AssertionFailure() << "the data area changed";
    if (before.sectors.size() != after.sectors.size())
        return ::testing::AssertionFailure() << "the directory's size changed";
    for (std::size_t i = 0; i < before.sectors.size(); ++i) {
        if (before.sectors[i] == after.sectors[i] || static_cast<int>(i) == 10 + clip) continue;
        return ::testing::AssertionFailure() << "sector " << i << " changed";
    }
    const std::size_t record = static_cast<std::size_t>(10 + clip) * 512;
    for (int b = 0; b < 512; ++b) {
        if (b >= nameOffset && b < nameOffset + 41) continue;
        if (before.directory[record + b] != after.directory[record + b])
            return ::testing::AssertionFailure() << "byte " << b << " of the record changed";
    }
    return ::testing::AssertionSuccess();
}

// The 41 name bytes a title is stored as: up to 39 bytes of ISO-8859-1, then zeros.
std::vector<std::uint8_t> StoredName(const std::string& utf8) {
    std::string latin1 = Utf8ToLatin1(utf8).substr(0, 39);
    std::vector<std::uint8_t> bytes(latin1.begin(), latin1.end());
    bytes.resize(41, 0);
    return bytes;
}

td::DiskSpec FourClips(td::RecordLayout layout) {
    td::DiskSpec desc;
    const char* names[] = {"News", "Film", "Sport", "Weather"};
    for (int i = 0; i < 4; ++i) {
        td::ClipSpec c = SampleClip(names[i], "mpeg1-sif.m1v", "tone-48k-192k.mp2");
        c.layout = layout;
        desc.clips.push_back(c);
    }
    return desc;
}

// Names of 0, 39, 40 and 60 characters (one with characters beyond ASCII).
const std::vector<std::string> kTitles = {
    "", std::string(39, 'a'),
    "Übertragung aus dem Großen Saal, Teil 2b",                     // 40 characters
    "A title of sixty characters, far more than the record holds.", // 60 characters
};

class WriteSafety : public ::testing::TestWithParam<td::RecordLayout> {
protected:
    void SetUp() override {
        ASSERT_EQ(kTitles[2].size(), 42u); // two characters take two bytes in UTF-8
        ASSERT_EQ(kTitles[3].size(), 60u);
        disk_ = std::make_unique<TestDisk>(FourClips(GetParam()), "write");
        ASSERT_FALSE(HasFailure());
    }
    void TearDown() override {
        ClearVolumeFaults();
        ForgetVolumeDescriptors();
    }
    bool Working() const { return GetParam() == td::RecordLayout::Working; }
    RecordLayout Layout() const {
        return Working() ? RecordLayout::kFirmware190 : RecordLayout::kOld;
    }
    int NameOffset() const { return Working() ? 0x13 : 0x0F; }
    const std::string& Image() const { return disk_->Image(); }
    // quorin-cli on the disk in its layout (no settings file is read).
    Command Cli(const std::string& args) {
        return riptest::Run("env XDG_CONFIG_HOME=" + Quote(out_.Path().string()) + " " +
                            std::string(QUORIN_CLI) + " " + args +
                            (Working() ? " --firmware190" : " --no-firmware190") + " --disk " +
                            Quote(Image()));
    }

    ScratchDir out_;
    std::unique_ptr<TestDisk> disk_;
};

TEST_P(WriteSafety, RenamesChangeOnlyTheRenamedClipsNameBytes) {
    int n = 0;
    for (int round = 0; round < 3; ++round) {
        for (int clip : {2, 0, 3, 1}) {
            const std::string& title = kTitles[static_cast<std::size_t>(n++) % kTitles.size()];
            SCOPED_TRACE("clip " + std::to_string(clip) + " \"" + title + "\"");
            // Each rename on a freshly read disk, as the window and quorin-cli do it.
            bool ok = false;
            ClusterTable table(Image(), ok);
            CPVRDrive drive(Image(), &table, Layout());
            const Snapshot before = Snapshot::Of(Image());
            ASSERT_TRUE(drive.GetFile(clip)->Rename(title));
            const Snapshot after = Snapshot::Of(Image());
            EXPECT_TRUE(OnlyNameChanged(before, after, clip, NameOffset()));
            const std::size_t at = static_cast<std::size_t>(10 + clip) * 512 + NameOffset();
            const std::vector<std::uint8_t> stored(after.directory.begin() + at,
                                                   after.directory.begin() + at + 41);
            EXPECT_EQ(stored, StoredName(title));
            // The clip list shows what the disk now holds.
            CPVRDrive again(Image(), &table, Layout());
            EXPECT_EQ(again.GetFile(clip)->GetRecord().ClipName(),
                      drive.GetFile(clip)->GetRecord().ClipName());
        }
    }
}

TEST_P(WriteSafety, QuorinCliRenamesOnlyTheNameBytes) {
    const Snapshot before = Snapshot::Of(Image());
    Command c = Cli("rename --clip 3 --title " + Quote(kTitles[3]));
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(OnlyNameChanged(before, Snapshot::Of(Image()), 2, NameOffset()));
}

// A disk that refuses writes: the rename fails, says so, and the disk and the list keep the
// old name.
TEST_P(WriteSafety, ADiskThatCannotBeWrittenKeepsItsNames) {
    const int fd = ::open(Image().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way == 0 ? "opened read-only" : "failing writes");
        if (way == 0) RegisterVolumeDescriptor(Image(), ::dup(fd), true);
        if (way == 1) SetVolumeFaults(Image(), FailingWrites());
        bool ok = false;
        ClusterTable table(Image(), ok);
        CPVRDrive drive(Image(), &table, Layout());
        const std::string old = drive.GetFile(1)->GetRecord().ClipName();
        const Snapshot before = Snapshot::Of(Image());
        LogScope log;
        EXPECT_FALSE(drive.GetFile(1)->Rename("New title"));
        EXPECT_TRUE(Contains(log.Text(), "could not write the new title of clip 2\n"));
        EXPECT_EQ(drive.GetFile(1)->GetRecord().ClipName(), old);
        const Snapshot after = Snapshot::Of(Image());
        EXPECT_EQ(after.sectors, before.sectors);
        EXPECT_EQ(after.data, before.data);
        ClearVolumeFaults();
        ForgetVolumeDescriptors();
    }
    ::close(fd);
    // quorin-cli on an image it may not write (without root rights; root ignores file modes).
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(Image().c_str(), 0444), 0);
        const Snapshot before = Snapshot::Of(Image());
        Command c = Cli("rename --clip 2 --title X");
        EXPECT_EQ(c.status, 2);
        EXPECT_TRUE(Contains(c.err, "(the disk is open read-only); the clip keeps its title "
                                    "\"Film\""))
            << c.err;
        EXPECT_EQ(Snapshot::Of(Image()).sectors, before.sectors);
        ::chmod(Image().c_str(), 0644);
    }
}

// A record that could not be read is never written back (it would be written as zeros).
TEST_P(WriteSafety, ARecordThatWasNotReadIsNotWritten) {
    // The directory up to clip 2's record: clips 3 and 4 lie beyond the image's end.
    const std::string small = (out_.Path() / "small.img").string();
    {
        std::vector<std::uint8_t> head = Snapshot::Of(Image()).directory;
        head.resize(12 * 512);
        std::ofstream(small, std::ios::binary)
            .write(reinterpret_cast<const char*>(head.data()),
                   static_cast<std::streamsize>(head.size()));
    }
    bool ok = false;
    ClusterTable table(small, ok);
    ASSERT_TRUE(ok);
    CPVRDrive drive(small, &table, Layout());
    ASSERT_EQ(drive.GetFileCount(), 4);
    EXPECT_FALSE(drive.GetFile(3)->RecordRead());
    LogScope log;
    EXPECT_FALSE(drive.GetFile(3)->Rename("Lost"));
    EXPECT_TRUE(Contains(log.Text(), "the record of clip 4 could not be read; its title is not "
                                     "changed\n"));
    EXPECT_EQ(std::filesystem::file_size(small), 12u * 512);
}

INSTANTIATE_TEST_SUITE_P(Layouts, WriteSafety,
                         ::testing::Values(td::RecordLayout::Working, td::RecordLayout::Old),
                         [](const auto& p) {
                             return p.param == td::RecordLayout::Working ? "Working" : "Old";
                         });

} // namespace
} // namespace quorin::reliability
