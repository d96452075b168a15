#include "disk_image.h"

#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/ibits.h"
#include "disk/layout.h"

#include <gtest/gtest.h>

namespace quorin {
namespace {

using test::DiskImage;

// Chain 7 -> 3 -> 12 with marked bytes around each cluster boundary.
class IBitsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetConsoleTrace(false);
        img_.Header(20, 0, 0, "");
        img_.Link(7, 3);
        img_.Link(3, 12);
        img_.Link(12, 0xFFFF);
        img_.Write(DiskImage::ClusterOffset(7), {0x47, 0x00, 0x00, 0x01, 0xE0, 0xAB, 0xCD});
        img_.Write(DiskImage::ClusterOffset(7) + kClusterBytes - 2, {0x11, 0x22});
        img_.Write(DiskImage::ClusterOffset(3), {0x33, 0x44});
        img_.Write(DiskImage::ClusterOffset(3) + kClusterBytes - 1, {0x00});
        img_.Write(DiskImage::ClusterOffset(12), {0x00, 0x01, 0xBA});
        img_.Write(DiskImage::ClusterOffset(4), {0xEE, 0xEE}); // physically next to 3
        img_.Resize(DiskImage::ClusterOffset(21));
        bool ok = false;
        table_ = std::make_unique<ClusterTable>(img_.Path(), ok);
        ASSERT_TRUE(ok);
    }
    std::unique_ptr<CIBits> Reader() {
        return std::make_unique<CIBits>(img_.Path(), table_.get(), 7);
    }
    DiskImage img_{"ibits"};
    std::unique_ptr<ClusterTable> table_;
};

TEST_F(IBitsTest, PositionsAfterRewindAndReads) {
    auto r = Reader();
    EXPECT_EQ(r->Clusters(), (std::vector<std::uint32_t>{7, 3, 12}));
    EXPECT_EQ(r->GetBitPosition(), 0);
    EXPECT_EQ(r->ReadByte(), 0x47);
    EXPECT_EQ(r->GetBitPosition(), 8);
    for (int i = 1; i < 65536; ++i)
        r->ReadByte();
    EXPECT_EQ(r->GetBitPosition(), 524288);
    EXPECT_FALSE(r->IsEOF());
}

TEST_F(IBitsTest, ReadingFollowsTheChainNotTheDiskOrder) {
    auto r = Reader();
    ASSERT_TRUE(r->SeekBitPosition((kClusterBytes - 2) * 8));
    EXPECT_EQ(r->ReadByte(), 0x11);
    EXPECT_EQ(r->ReadByte(), 0x22);
    EXPECT_EQ(r->ReadByte(), 0x33); // byte 0 of cluster 3, the second of the chain
    EXPECT_EQ(r->ReadByte(), 0x44);
    EXPECT_EQ(r->ClusterIndex(), 1);
    ASSERT_TRUE(r->SeekBitPosition(2 * kClusterBits - 8));
    // 00 | 00 01 BA across the boundary from cluster 3 into cluster 12.
    EXPECT_EQ(r->Peek32(), 0x000001BAu);
    EXPECT_EQ(r->GetBitPosition(), 2 * kClusterBits - 8);
    EXPECT_TRUE(r->NextStartCode());
    EXPECT_EQ(r->GetBitPosition(), 2 * kClusterBits - 8);
}

TEST_F(IBitsTest, SeekToTheSecondClusterAndBeyondTheChain) {
    auto r = Reader();
    ASSERT_TRUE(r->SeekBitPosition(838'860'800));
    EXPECT_EQ(r->ReadByte(), 0x33);
    EXPECT_FALSE(r->SeekBitPosition(3 * kClusterBits));
    EXPECT_TRUE(r->IsEOF());
    EXPECT_FALSE(r->SeekBitPosition(0)); // no action while at the end
    r->ClearEOF();
    EXPECT_TRUE(r->SeekBitPosition(0));
    EXPECT_EQ(r->ReadByte(), 0x47);
}

TEST_F(IBitsTest, StartCodeSearchAndBitReads) {
    auto r = Reader();
    EXPECT_TRUE(r->NextStartCode());
    EXPECT_EQ(r->GetBitPosition(), 8);
    EXPECT_EQ(r->Peek32(), 0x000001E0u);
    r->SkipBytes(4);
    EXPECT_EQ(r->ReadBits(12), 0xABCu); // not a multiple of 8: bit by bit
    EXPECT_FALSE(r->IsByteAligned());
    EXPECT_EQ(r->ReadBits(4), 0xDu);
    EXPECT_TRUE(r->IsByteAligned());
    ASSERT_TRUE(r->SeekBitPosition(5 * 8));
    EXPECT_EQ(r->PeekBits(16), 0xABCDu);
    EXPECT_EQ(r->ReadBit(), 1u);
    EXPECT_EQ(r->GetBitPosition(), 41);
}

TEST_F(IBitsTest, BudgetedStartCodeSearchGivesUp) {
    auto r = Reader();
    ASSERT_TRUE(r->SeekBitPosition(5 * 8));
    EXPECT_FALSE(r->NextStartCodeWithin(1000));
    EXPECT_FALSE(r->IsEOF());
    ASSERT_TRUE(r->SeekBitPosition(0));
    EXPECT_TRUE(r->NextStartCodeWithin(10));
}

// Every start code of a stream full of decoys (01 bytes after one zero, 00 00 02, prefixes split
// across 64 KiB blocks at every point) is found, in order, as a byte-by-byte search finds them.
TEST(IBitsStartCodes, TheSearchFindsWhatAByteByByteScanFinds) {
    SetConsoleTrace(false);
    DiskImage img("startcodes");
    img.Header(2, 0, 0, "");
    img.Link(1, 0xFFFF);
    std::vector<std::uint8_t> data(4 * CIBits::kBlockBytes, 0xFF);
    auto put = [&](std::size_t at, std::vector<std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
    };
    put(10, {0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0xB3});
    put(CIBits::kBlockBytes - 1, {0x00, 0x00, 0x01, 0xE0});     // 00 | 00 01
    put(2 * CIBits::kBlockBytes - 2, {0x00, 0x00, 0x01, 0xC0}); // 00 00 | 01
    put(3 * CIBits::kBlockBytes - 3, {0x00, 0x00, 0x01, 0xBD}); // ends the block
    for (std::size_t at = 3 * CIBits::kBlockBytes + 100; at < data.size() - 8; at += 997)
        put(at, {0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00});
    std::fill(data.end() - 2000, data.end(), 0x00); // zeros up to the end: nothing more
    img.Write(DiskImage::ClusterOffset(1), data);
    bool ok = false;
    ClusterTable table(img.Path(), ok);
    ASSERT_TRUE(ok);

    std::vector<std::int64_t> expected;
    for (std::size_t i = 0; i + 2 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) expected.push_back(i * 8);
    CIBits r(img.Path(), &table, 1);
    std::vector<std::int64_t> found;
    while (r.NextStartCode() && r.GetBitPosition() < std::int64_t{4} * CIBits::kBlockBits) {
        found.push_back(r.GetBitPosition());
        EXPECT_EQ(r.Peek32() >> 8, 0x000001u);
        r.SkipByte();
    }
    EXPECT_EQ(found, expected);
}

TEST(IBitsShortImage, ShortReadEndsTheStream) {
    SetConsoleTrace(false);
    DiskImage img("short");
    img.Header(1, 0, 0, "");
    img.Link(1, 0xFFFF);
    img.Write(DiskImage::ClusterOffset(1), {1, 2, 3});
    bool ok = false;
    ClusterTable table(img.Path(), ok);
    CIBits r(img.Path(), &table, 1);
    EXPECT_EQ(r.ReadByte(), 1);
    EXPECT_EQ(r.ReadByte(), 2);
    EXPECT_EQ(r.ReadByte(), 3);
    EXPECT_TRUE(r.IsEOF());
    EXPECT_EQ(r.ReadByte(), 0);
    r.SkipBytes(100000); // must not run off the buffer
    EXPECT_FALSE(r.NextStartCode());
    EXPECT_EQ(r.Peek32(), 0u);
}

TEST(IBitsNoVolume, ReadsReportTheEnd) {
    SetConsoleTrace(false);
    CIBits r("/nonexistent/quorin", nullptr, 1);
    EXPECT_TRUE(r.IsEOF());
    EXPECT_FALSE(r.Rewind());
    EXPECT_EQ(r.ReadByte(), 0);
    EXPECT_FALSE(r.NextStartCode());
    EXPECT_FALSE(r.SeekBitPosition(0));
}

TEST(Volume, SectorOffsetsAre64Bit) {
    DiskImage img("vol");
    img.Resize(4096);
    VolumeHandle h;
    ASSERT_TRUE(OpenDrive(img.Path(), h));
    ASSERT_TRUE(SetToPhysicalSector(h, std::int64_t{1} << 32));
    EXPECT_EQ(h.Position(), std::int64_t{1} << 41);
    std::uint8_t buf[512];
    EXPECT_EQ(h.Read(buf), 0); // beyond the end: nothing delivered
    EXPECT_FALSE(SetToPhysicalSector(h, -1));
    VolumeHandle missing;
    EXPECT_FALSE(OpenDrive("/nonexistent/quorin", missing));
}

TEST(Volume, InjectedFaults) {
    DiskImage img("faults");
    img.Write(0, std::vector<std::uint8_t>(8192, 0x5A));
    VolumeFaults faults;
    faults.failingReads.push_back({4096, 4608});
    faults.shortReads.push_back({1024, 2048});
    faults.failWrites = true;
    SetVolumeFaults(img.Path(), faults);
    VolumeHandle h;
    ASSERT_TRUE(OpenDrive(img.Path(), h));
    std::vector<std::uint8_t> buf(2048);
    EXPECT_EQ(h.Read(buf), 1024); // stops where the short range begins
    ASSERT_TRUE(h.Seek(4096));
    EXPECT_EQ(h.Read(buf), -1);
    EXPECT_EQ(errno, EIO);
    ASSERT_TRUE(h.Seek(0));
    EXPECT_EQ(h.Write(std::span<const std::uint8_t>(buf.data(), 512)), -1);
    ClearVolumeFaults();
    VolumeFaults ends;
    ends.deviceEnd = 3000;
    SetVolumeFaults(img.Path(), ends);
    VolumeHandle e;
    ASSERT_TRUE(OpenDrive(img.Path(), e));
    ASSERT_TRUE(e.Seek(2048));
    EXPECT_EQ(e.Read(buf), 952);
    ClearVolumeFaults();
}

TEST(Volume, RegisteredDescriptorsAreDuplicatedPerHandle) {
    DiskImage img("dup");
    img.Write(0, {1, 2, 3, 4});
    int fd = ::open(img.Path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::string name = "/dev/quorin-test-registered";
    RegisterVolumeDescriptor(name, fd, true);
    VolumeHandle a, b;
    ASSERT_TRUE(OpenDrive(name, a));
    ASSERT_TRUE(OpenDrive(name, b));
    EXPECT_TRUE(a.IsReadOnly());
    EXPECT_NE(a.Value(), b.Value());
    std::uint8_t x[2], y[1];
    ASSERT_TRUE(a.Seek(2));
    EXPECT_EQ(a.Read(x), 2);
    EXPECT_EQ(b.Read(y), 1); // b keeps its own position
    EXPECT_EQ(x[0], 3);
    EXPECT_EQ(y[0], 1);
    ForgetVolumeDescriptors();
    VolumeHandle c;
    EXPECT_FALSE(OpenDrive(name, c));
}

} // namespace
} // namespace quorin
