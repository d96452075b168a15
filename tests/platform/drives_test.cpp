// Drive discovery: which block devices the drive list offers, and the libblkid probe.
#include "mkdisk/testdisk.h"
#include "platform/drives.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace quorin {
namespace {

BlockDeviceFacts BlankDisk(const char* name) {
    BlockDeviceFacts f;
    f.sysName = name;
    f.devType = "disk";
    f.sizeSectors = 976773168;
    f.probed = true;
    return f;
}

TEST(DriveList, OffersWholeDisksWithoutFileSystemOrPartitionTable) {
    EXPECT_TRUE(IsCandidateDrive(BlankDisk("sdb")));
    EXPECT_TRUE(IsCandidateDrive(BlankDisk("nvme1n1")));

    BlockDeviceFacts formatted = BlankDisk("sda");
    formatted.hasFileSystem = true;
    EXPECT_FALSE(IsCandidateDrive(formatted));
    BlockDeviceFacts partitioned = BlankDisk("sda");
    partitioned.hasPartitionTable = true;
    EXPECT_FALSE(IsCandidateDrive(partitioned));
    BlockDeviceFacts partition = BlankDisk("sdb1");
    partition.devType = "partition";
    EXPECT_FALSE(IsCandidateDrive(partition));
}

TEST(DriveList, LeavesOutVirtualOpticalEmptyAndUnknownDevices) {
    for (const char* name : {"loop0", "ram1", "zram0", "md127", "dm-0", "sr0"})
        EXPECT_FALSE(IsCandidateDrive(BlankDisk(name))) << name;
    BlockDeviceFacts optical = BlankDisk("sdc");
    optical.optical = true;
    EXPECT_FALSE(IsCandidateDrive(optical));
    BlockDeviceFacts noMedia = BlankDisk("sdd");
    noMedia.sizeSectors = 0;
    EXPECT_FALSE(IsCandidateDrive(noMedia));
    BlockDeviceFacts unknown = BlankDisk("sde");
    unknown.probed = false; // neither udev data nor a readable device
    EXPECT_FALSE(IsCandidateDrive(unknown));
}

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("quorin-probe-" + std::to_string(::getpid()) + ".img");
    }
    void TearDown() override { std::filesystem::remove(path_); }
    void Write(std::size_t size, std::size_t at = 0,
               std::initializer_list<unsigned char> bytes = {}) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        std::string data(size, '\0');
        std::size_t i = at;
        for (unsigned char b : bytes)
            data[i++] = static_cast<char>(b);
        out << data;
    }
    std::filesystem::path path_;
};

TEST_F(ProbeTest, AReceiverDiskImageIsBlank) {
    testdisk::DiskSpec desc;
    desc.label = "QUORIN";
    auto built = testdisk::BuildImage(desc, path_);
    ASSERT_TRUE(built.ok()) << built.error();
    bool blank = false;
    ASSERT_TRUE(ProbeBlank(path_.string(), blank));
    EXPECT_TRUE(blank);
}

TEST_F(ProbeTest, APartitionTableIsFound) {
    Write(1 << 20, 446, {0x00, 0, 0, 0, 0x83, 0, 0, 0, 1, 0, 0, 0, 100});
    {
        std::fstream f(path_, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(510);
        f.put(static_cast<char>(0x55)).put(static_cast<char>(0xAA));
    }
    bool blank = true;
    ASSERT_TRUE(ProbeBlank(path_.string(), blank));
    EXPECT_FALSE(blank);
}

TEST_F(ProbeTest, AMissingDeviceCannotBeProbed) {
    bool blank = false;
    EXPECT_FALSE(ProbeBlank((path_.string() + ".missing"), blank));
}

TEST(DriveList, FindingCandidatesNeverFails) {
    // The machine's own disks vary; every offered entry must be a device node.
    for (const std::string& node : FindCandidateDrives())
        EXPECT_EQ(node.rfind("/dev/", 0), 0u) << node;
}

} // namespace
} // namespace quorin
