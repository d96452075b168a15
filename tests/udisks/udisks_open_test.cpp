// The UDisks2 module against the mocked service: which method it calls for which access, the
// descriptor every later handle is made from, and what a refusal leaves behind.
#include "udisks/udisks_open.h"
#include "udisks_fixture.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>

namespace quorin::udiskstest {
namespace {

using udisks::Access;

std::array<std::uint8_t, 512> Sector(VolumeHandle& h, std::int64_t sector) {
    std::array<std::uint8_t, 512> bytes{};
    EXPECT_TRUE(h.Seek(sector * 512));
    EXPECT_EQ(h.Read(bytes), 512);
    return bytes;
}

std::array<std::uint8_t, 512> ImageSector(const std::string& image, std::int64_t sector) {
    VolumeHandle h;
    EXPECT_TRUE(OpenDrive(image, h));
    return Sector(h, sector);
}

TEST_F(UDisksTest, ReadAccessIsOpenForBackupAndEveryHandleGetsItsOwnDescriptor) {
    std::string message;
    ASSERT_TRUE(udisks::OpenThroughUDisks(Device("sdq"), Access::kRead, message)) << message;
    EXPECT_EQ(message, "");

    VolumeHandle a, b;
    ASSERT_TRUE(OpenDrive(Device("sdq"), a));
    ASSERT_TRUE(OpenDrive(Device("sdq"), b));
    EXPECT_TRUE(a.IsReadOnly());
    EXPECT_NE(a.Value(), b.Value());
    // Each handle keeps its own position on the shared open file.
    const auto header = Sector(a, 0);
    const auto record = Sector(b, 11);
    EXPECT_EQ(header, ImageSector(image_, 0));
    EXPECT_EQ(record, ImageSector(image_, 11));
    EXPECT_EQ(Sector(a, 0), header);

    const std::string calls = MockCalls();
    EXPECT_NE(calls.find("GetBlockDevices"), std::string::npos) << calls;
    EXPECT_NE(calls.find("OpenForBackup {}"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("OpenDevice"), std::string::npos) << calls;
}

TEST_F(UDisksTest, ReadWriteAccessIsOpenDeviceRw) {
    std::string message;
    ASSERT_TRUE(udisks::OpenThroughUDisks(Device("sdq"), Access::kReadWrite, message)) << message;
    VolumeHandle h;
    ASSERT_TRUE(OpenDrive(Device("sdq"), h));
    EXPECT_FALSE(h.IsReadOnly());
    const auto record = Sector(h, 11);
    ASSERT_TRUE(h.Seek(11 * 512));
    EXPECT_EQ(h.Write(record), 512);

    const std::string calls = MockCalls();
    EXPECT_NE(calls.find("OpenDevice \"rw\" {}"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("OpenForBackup"), std::string::npos) << calls;
}

TEST_F(UDisksTest, ARefusedAuthorisationSaysSoAndOpensNothing) {
    std::string message;
    EXPECT_FALSE(udisks::OpenThroughUDisks(Device("sdr"), Access::kRead, message));
    EXPECT_EQ(message, "Access to " + Device("sdr") + " through UDisks2 was not authorised.");
    VolumeHandle h;
    EXPECT_FALSE(OpenDrive(Device("sdr"), h)) << "no descriptor may be registered";
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(MockCalls().find("OpenForBackup raised"), std::string::npos) << MockCalls();
}

TEST_F(UDisksTest, ADeviceTheServiceDoesNotKnowIsNamed) {
    std::string message;
    EXPECT_FALSE(udisks::OpenThroughUDisks("/dev/quorin-no-such-disk", Access::kRead, message));
    EXPECT_EQ(message, "UDisks2 knows no block device /dev/quorin-no-such-disk.");
    EXPECT_EQ(MockCalls().find("Open"), std::string::npos) << MockCalls();
}

TEST_F(UDisksTest, ARenameAfterReadAccessAsksForReadWrite) {
    std::string message;
    ASSERT_TRUE(udisks::OpenThroughUDisks(Device("sdq"), Access::kRead, message)) << message;
    VolumeHandle before;
    ASSERT_TRUE(OpenDrive(Device("sdq"), before));

    EXPECT_TRUE(udisks::EnsureWritable(Device("sdq"), message)) << message;
    VolumeHandle after;
    ASSERT_TRUE(OpenDrive(Device("sdq"), after));
    EXPECT_FALSE(after.IsReadOnly());
    EXPECT_TRUE(before.IsReadOnly()) << "a handle made earlier keeps its descriptor";
    EXPECT_EQ(Sector(before, 0), Sector(after, 0));
    EXPECT_NE(MockCalls().find("OpenDevice \"rw\" {}"), std::string::npos) << MockCalls();
}

TEST_F(UDisksTest, AWritableImageNeedsNoService) {
    std::string message;
    EXPECT_TRUE(udisks::EnsureWritable(image_, message));
    EXPECT_EQ(message, "");
    EXPECT_EQ(MockCalls(), "");
}

TEST_F(UDisksTest, WithoutTheServiceTheMessageSaysSo) {
    PrivateBus empty;
    ASSERT_TRUE(empty.Start("", "")) << empty.Problem();
    ::setenv("QUORIN_UDISKS_BUS_ADDRESS", empty.Address().c_str(), 1);
    std::string message;
    EXPECT_FALSE(udisks::OpenThroughUDisks(Device("sdq"), Access::kRead, message));
    EXPECT_EQ(message.rfind("UDisks2 is not available: ", 0), 0u) << message;
    VolumeHandle h;
    NoPermissionOverride noOverride;
    if (noOverride.Works()) {
        EXPECT_FALSE(OpenDrive(Device("sdq"), h)) << "no descriptor may be registered";
    }
}

// Registering the first descriptor of a path closes nothing else (descriptor 0 included).
TEST(VolumeDescriptors, RegisteringANewPathClosesNoOtherDescriptor) {
    if (::fcntl(0, F_GETFD) < 0) {
        ASSERT_EQ(::open("/dev/null", O_RDONLY), 0);
    }
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    RegisterVolumeDescriptor("/dev/quorin-registry-test", fd, true);
    EXPECT_GE(::fcntl(0, F_GETFD), 0) << "descriptor 0 was closed";
    EXPECT_GE(::fcntl(fd, F_GETFD), 0);
    ForgetVolumeDescriptors();
    EXPECT_LT(::fcntl(fd, F_GETFD), 0) << "forgetting closes the registered descriptor";
}

} // namespace
} // namespace quorin::udiskstest
