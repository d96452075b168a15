#include "disk_image.h"

#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/clip_texts.h"
#include "disk/cluster_table.h"
#include "disk/plausibility.h"
#include "disk/pvr_drive.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace quorin {
namespace {

using test::DiskImage;
using test::RecordSpec;

class DirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetConsoleTrace(false);
        dir_ =
            std::filesystem::temp_directory_path() / ("quorin-dir-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_, old_;
};

TEST_F(DirectoryTest, HeaderFieldsAndDriveTexts) {
    DiskImage img("hdr");
    img.Header(0x0123, 0x0200, 0, "MYDISK      ");
    img.Resize(1 << 20);
    bool ok = false;
    ClusterTable table(img.Path(), ok);
    EXPECT_TRUE(ok);
    CPVRDrive drive(img.Path(), &table);
    EXPECT_EQ(drive.TotalClusters(), 803);
    DriveTexts t = DriveSummaryTexts(drive);
    EXPECT_EQ(t.name, "MYDISK");
    EXPECT_EQ(t.capacity, "Capacity: 80.3 GB");
    EXPECT_EQ(t.free, "Free: 51.2 GB");
    EXPECT_EQ(drive.GetFileCount(), 0);
}

TEST(DriveName, LabelRules) {
    EXPECT_EQ(DriveNameFromLabel("MYDISK   x"), "MYDISK");
    EXPECT_EQ(DriveNameFromLabel("MY DISK"), "No Drive");
    EXPECT_EQ(DriveNameFromLabel(""), "No Drive");
    EXPECT_EQ(DriveNameFromLabel("   "), "");
}

TEST_F(DirectoryTest, ClipCountIsCappedBeforeTheDataArea) {
    DiskImage img("cap");
    img.Header(10, 10, 255, "X   ");
    img.Resize(2 << 20);
    bool ok = false;
    ClusterTable table(img.Path(), ok);
    CPVRDrive drive(img.Path(), &table);
    EXPECT_EQ(drive.HeaderFileCount(), 255);
    EXPECT_EQ(drive.GetFileCount(), 246);
    EXPECT_EQ(drive.GetFile(246), nullptr);
    EXPECT_NE(drive.GetFile(245), nullptr);
}

TEST_F(DirectoryTest, DriveHeaderFileIsUsedWhenTheVolumeIsUnreadable) {
    DiskImage hdr("rec");
    hdr.Header(7, 9, 0, "SAVED   ");
    auto sector = hdr.Read(0, 512);
    std::ofstream("driveheader.rec", std::ios::binary)
        .write(reinterpret_cast<const char*>(sector.data()), 512);
    CPVRDrive drive("/nonexistent/quorin-volume", nullptr);
    EXPECT_FALSE(drive.VolumeOpened());
    EXPECT_EQ(drive.GetUsedClusters(), 7);
    EXPECT_EQ(drive.GetFreeClusters(), 9);
    EXPECT_EQ(DriveNameFromLabel(drive.GetDriveLabel()), "SAVED");
}

TEST_F(DirectoryTest, UnreadableVolumeGivesAnEmptyDrive) {
    bool ok = true;
    ClusterTable table("/nonexistent/quorin-volume", ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(table.GetClusterChain(5).empty());
    CPVRDrive drive("/nonexistent/quorin-volume", &table);
    EXPECT_EQ(drive.GetFileCount(), 0);
}

class ChainTest : public DirectoryTest {
protected:
    std::vector<std::uint32_t> Chain(std::uint32_t first) {
        bool ok = false;
        ClusterTable table(img_.Path(), ok);
        EXPECT_TRUE(ok);
        return table.GetClusterChain(first);
    }
    DiskImage img_{"chain"};
    void SetUp() override {
        DirectoryTest::SetUp();
        img_.Header(10, 10, 0, "");
        img_.Resize(1 << 20);
    }
};

TEST_F(ChainTest, WellFormedChainsAndBadLinks) {
    img_.Link(7, 3);
    img_.Link(3, 12);
    img_.Link(12, 0xFFFF);
    EXPECT_EQ(Chain(7), (std::vector<std::uint32_t>{7, 3, 12}));
    img_.Link(20, 0xFFFF);
    EXPECT_EQ(Chain(20), (std::vector<std::uint32_t>{20}));
    img_.Link(30, 31);
    img_.Link(31, 0);
    EXPECT_EQ(Chain(30), (std::vector<std::uint32_t>{30, 31, 0}));
    img_.Link(40, 1200);
    EXPECT_EQ(Chain(40), (std::vector<std::uint32_t>{40, 1200}));
}

TEST_F(ChainTest, CyclicTableEndsAfter1151Clusters) {
    img_.Link(5, 6);
    img_.Link(6, 5);
    auto chain = Chain(5);
    EXPECT_EQ(chain.size(), 1151u);
    EXPECT_EQ(chain[0], 5u);
    EXPECT_EQ(chain[1], 6u);
}

TEST_F(ChainTest, PrintAndDumpUseHexadecimal) {
    img_.Link(26, 0xFFFF);
    img_.Link(10, 26);
    bool ok = false;
    ClusterTable table(img_.Path(), ok);
    StringOut out;
    out << 17 << " ";
    table.PrintClusterChain(out, 10);
    out << 17;
    EXPECT_EQ(out.str(), "17  a 1a\n17");
    std::vector<std::uint32_t> list{1};
    table.DumpClusters(10, list);
    EXPECT_EQ(list, (std::vector<std::uint32_t>{1, 10, 26}));
}

class RecordTest : public DirectoryTest {
protected:
    void SetUp() override {
        DirectoryTest::SetUp();
        img_.Header(30, 70, 2, "DISK   ");
        img_.Resize(DiskImage::ClusterOffset(101)); // as large as the header says (sparse)
    }
    std::unique_ptr<CPVRDrive> Read() {
        bool ok = false;
        table_ = std::make_unique<ClusterTable>(img_.Path(), ok);
        return std::make_unique<CPVRDrive>(img_.Path(), table_.get(), layout_);
    }
    void SetLayout(bool firmware190) {
        layout_ = firmware190 ? RecordLayout::kFirmware190 : RecordLayout::kOld;
    }
    RecordLayout layout_ = RecordLayout::kOld;
    DiskImage img_{"rec"};
    std::unique_ptr<ClusterTable> table_;
};

TEST_F(RecordTest, OldLayoutIsConverted) {
    RecordSpec s;
    s.station = "ZDF";
    s.name = "News";
    img_.Record(0, test::OldRecord(s, 0));
    auto drive = Read();
    const ClipRecord& r = drive->GetFile(0)->GetRecord();
    EXPECT_EQ(drive->GetFile(0)->LayoutFlag(), 0);
    EXPECT_EQ(r.Station(), "ZDF              "); // three letters and fourteen spaces
    EXPECT_EQ(r.bytes[0x12], 0);
    EXPECT_EQ(r.ClipName(), "News");
    EXPECT_EQ(r.Year(), 2026);
    EXPECT_EQ(r.Day(), 7);
    EXPECT_EQ(r.VClusters(), 20);
    EXPECT_EQ(r.AudioFirstCluster(), 300);
    auto row = ClipRowTexts(r, 0);
    EXPECT_EQ(row[0], "01");
    EXPECT_EQ(row[3], "01:30:00 / 2.2 GB");
    EXPECT_EQ(row[4], "07.12.2026");
    EXPECT_EQ(row[5], "20:15");
}

TEST_F(RecordTest, WorkingLayoutIsTakenAsStoredWithTheOption) {
    RecordSpec s;
    s.station = "Das Erste HD";
    img_.Record(1, test::WorkingRecord(s, 1));
    SetLayout(true);
    auto drive = Read();
    const ClipRecord& r = drive->GetFile(1)->GetRecord();
    EXPECT_EQ(drive->GetFile(1)->LayoutFlag(), 1);
    EXPECT_EQ(r.Station(), "Das Erste HD     ");
    EXPECT_EQ(r.ClipName(), "Tatort");
    EXPECT_DOUBLE_EQ(drive->GetFile(1)->ClipLength(), 5400.0 * 100);
}

TEST_F(RecordTest, OldLayoutRenameWritesOnlyTheNameBytes) {
    RecordSpec s;
    img_.Record(0, test::OldRecord(s, 0));
    img_.Record(1, test::OldRecord(s, 1));
    auto before = img_.Read(0, 256 * 512);
    auto drive = Read();
    ASSERT_TRUE(drive->GetFile(1)->Rename("Neuer Titel"));
    auto after = img_.Read(0, 256 * 512);
    for (std::size_t i = 0; i < before.size(); ++i) {
        std::size_t rec = 11 * 512;
        bool inName = i >= rec + 0x0F && i < rec + 0x0F + 41;
        if (!inName) {
            ASSERT_EQ(before[i], after[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[11 * 512 + 0x0F])), "Neuer Titel");
    auto again = Read();
    EXPECT_EQ(again->GetFile(1)->GetRecord().ClipName(), "Neuer Titel");
}

TEST_F(RecordTest, RenameKeeps39CharactersAndLeavesNoStaleCharacter) {
    RecordSpec s;
    s.name = std::string(40, 'A');
    img_.Record(0, test::WorkingRecord(s, 0));
    SetLayout(true);
    auto drive = Read();
    CPVRFile* clip = drive->GetFile(0);
    ASSERT_TRUE(clip->Rename(std::string(50, 'b')));
    EXPECT_EQ(clip->GetRecord().ClipName(), std::string(39, 'b'));
    ASSERT_TRUE(clip->Rename(std::string(39, 'c')));
    EXPECT_EQ(Read()->GetFile(0)->GetRecord().ClipName(), std::string(39, 'c'));
    // Non-Latin-1 characters become '?', one byte each.
    ASSERT_TRUE(clip->Rename("Caf\xC3\xA9 \xE2\x82\xAC"));
    EXPECT_EQ(Read()->GetFile(0)->GetRecord().ClipName(), "Caf\xE9 ?");
}

TEST_F(RecordTest, FailedRenameKeepsTheOldName) {
    RecordSpec s;
    img_.Record(0, test::WorkingRecord(s, 0));
    SetLayout(true);
    auto drive = Read();
    ::chmod(img_.Path().c_str(), 0444);
    bool root = ::geteuid() == 0;
    CPVRFile* clip = drive->GetFile(0);
    // Root ignores file modes, so make the write fail by removing the volume instead.
    std::filesystem::path moved = img_.Path() + ".moved";
    if (root) std::filesystem::rename(img_.Path(), moved);
    EXPECT_FALSE(clip->Rename("Other"));
    if (root) std::filesystem::rename(moved, img_.Path());
    ::chmod(img_.Path().c_str(), 0644);
    EXPECT_EQ(clip->GetRecord().ClipName(), "Tatort");
}

// A rename writes only into a record that reads as a receiver's in the chosen layout, on a disk
// whose header is plausible; the layout the records fit is told apart.
TEST_F(RecordTest, WritesAreRefusedWhereTheRecordOrTheHeaderDoesNotFit) {
    struct Case {
        const char* what;
        bool oldRecords, option;
        std::uint16_t used, free;
        std::uint8_t clips;
        std::int64_t size;
        int detected;
        const char* refusal; // empty: the rename is written
    };
    const std::int64_t full = DiskImage::ClusterOffset(101);
    const Case cases[] = {
        {"old records, option off", true, false, 30, 70, 2, full, 0, ""},
        {"old records, option on", true, true, 30, 70, 2, full, 0, "year 3860"},
        {"working records, option off", false, false, 30, 70, 2, full, 1, "year 0"},
        {"working records, option on", false, true, 30, 70, 2, full, 1, ""},
        {"clusters beyond the table", false, true, 1000, 1000, 2, full, 1, "add up to 2000"},
        {"capacity beyond the device", false, true, 30, 70, 2, 1 << 20, 1, "device's size"},
        {"clip count above the directory", false, true, 30, 70, 250, full, -1, "above the 246"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        img_.Header(c.used, c.free, c.clips, "DISK   ");
        img_.Resize(c.size);
        RecordSpec s;
        for (int i = 0; i < 2; ++i)
            img_.Record(i, c.oldRecords ? test::OldRecord(s, i) : test::WorkingRecord(s, i));
        SetLayout(c.option);
        auto before = img_.Read(0, 256 * 512);
        auto drive = Read();
        EXPECT_EQ(DetectLayout(*drive), c.detected);
        CPVRFile* clip = drive->GetFile(1);
        const std::string why = clip->WriteRefusal();
        EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
        EXPECT_EQ(clip->Rename("New"), why.empty());
        if (!why.empty()) {
            EXPECT_EQ(img_.Read(0, 256 * 512), before);
        }
    }
}

TEST_F(RecordTest, OutputBaseNameReplacesUnsafeCharacters) {
    RecordSpec s;
    s.name = "a/b:c?";
    img_.Record(0, test::WorkingRecord(s, 0));
    SetLayout(true);
    auto drive = Read();
    CPVRFile* clip = drive->GetFile(0);
    EXPECT_EQ(clip->OutputBaseName(), "a b c ");
    EXPECT_EQ(clip->OutputBaseName("x*y|\"z\""), "x y  z ");
    // control characters too
    EXPECT_EQ(clip->OutputBaseName(std::string("N\0u\tl\x1b\r", 7)), "N u l  ");
    EXPECT_EQ(clip->OutputBaseName(""), "a b c ");
}

TEST_F(RecordTest, ChecksumMatchesTheWorkedExample) {
    RecordSpec s; // 12/7 20:15:00, 1:30:00, 20 + 2 clusters from 100 and 300
    img_.Record(0, test::WorkingRecord(s, 0));
    SetLayout(true);
    auto drive = Read();
    EXPECT_EQ(ClipChecksum(drive->GetFile(0)->GetRecord()), 0x01FB0151u);
}

TEST_F(RecordTest, DumpInfoLines) {
    RecordSpec s;
    s.vclusters = 3;
    s.vfirst = 7;
    auto rec = test::WorkingRecord(s, 0);
    DiskImage::Put16(&rec[0x5C], 5); // (5, 0xFFFF) is empty
    DiskImage::Put16(&rec[0x60], 10);
    DiskImage::Put16(&rec[0x62], 0xFFF0); // printed as signed
    img_.Record(0, rec);
    img_.Link(7, 3);
    img_.Link(3, 12);
    img_.Link(12, 0xFFFF);
    img_.Link(300, 0xFFFF);
    SetLayout(true);
    auto drive = Read();
    StringOut out;
    drive->GetFile(0)->DumpInfo(out);
    EXPECT_EQ(out.str(), "RecordNo    = 0\n"
                         "Station     = ARD              \n"
                         "Clip        = Tatort\n"
                         "Date        = 07.12.2026 - 20:15:00\n"
                         "Length      = 1:30:00\n"
                         "Length in s =5400\n"
                         "SkipIndex   =\n"
                         "start=10 / stop=-16\n"
                         "VClusters   = 3 means max 300 MByte\n"
                         "AClusters   = 2 means max 200 MByte\n"
                         "VClusters   = 7 3 c\n"
                         "AClusters   = 12c\n"
                         "\n");
}

TEST(ClipChecksum, OutOfRangeFieldsAreSignExtended) {
    ClipRecord r;
    r.bytes[0x3E] = 0xFF; // -1
    EXPECT_EQ(ClipChecksum(r), 0xFFFFFFFFu);
}

} // namespace
} // namespace quorin
