// Shared parts of the UDisks2 tests: a receiver disk image from the test-disk factory, device
// paths the user may not open, and a mocked UDisks2 service on a private bus that opens the
// image for them.
//
// The mock knows three devices: "sdq" (a file nobody may open; the service opens the image),
// "sdr" (no such file; the service refuses the authorisation) and "sds" (a file nobody may
// open; the service refuses the authorisation).
#pragma once

#include "mkdisk/testdisk.h"
#include "platform/volume.h"
#include "private_bus.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quorin::udiskstest {

namespace fs = std::filesystem;

inline testdisk::DiskSpec SmallDisk() {
    testdisk::ClipSpec clip;
    clip.station = "Das Erste";
    clip.name = "Tagesschau";
    clip.videoFile = fs::path(QUORIN_SAMPLES_DIR) / "mpeg2-4x3.m2v";
    clip.audioFile = fs::path(QUORIN_SAMPLES_DIR) / "tone-48k-192k.mp2";
    clip.layout = testdisk::RecordLayout::Old; // what a reader without "Firmware190" expects
    testdisk::DiskSpec disk;
    disk.label = "QUORIN UDISKS";
    disk.clips = {clip};
    return disk;
}

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class UDisksTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("quorin-udisks-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
        image_ = (root_ / "disk.img").string();
        auto built = testdisk::BuildImage(SmallDisk(), image_);
        ASSERT_TRUE(built.ok()) << built.error();
        // Device nodes nobody may open (a null device's); a user who may not make one gets files.
        for (const char* name : {"sdq", "sds"}) {
            if (::mknod((root_ / name).c_str(), S_IFCHR, makedev(1, 3)) == 0) continue;
            std::ofstream(root_ / name).put('\0');
            fs::permissions(root_ / name, fs::perms::none);
        }
        if (!bus_.Start(MockParameters(), MockLogFile()))
            GTEST_SKIP() << "no private bus with a mocked UDisks2: " << bus_.Problem();
        ::setenv("QUORIN_UDISKS_BUS_ADDRESS", bus_.Address().c_str(), 1);
    }

    void TearDown() override {
        ForgetVolumeDescriptors();
        ::unsetenv("QUORIN_UDISKS_BUS_ADDRESS");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string Device(const char* name) const { return (root_ / name).string(); }
    std::string MockLogFile() const { return (root_ / "mock.log").string(); }
    // The mock's method calls so far, one per line ("OpenDevice "rw" {}", ...).
    std::string MockCalls() const { return ReadText(MockLogFile()); }

    fs::path root_;
    std::string image_;
    PrivateBus bus_;

private:
    std::string MockParameters() const {
        auto device = [this](const char* name, bool authorize) {
            return std::string("{\"name\": \"") + name + "\", \"device\": \"" + Device(name) +
                   "\", \"backing\": \"" + image_ +
                   "\", \"authorize\": " + (authorize ? "true" : "false") + "}";
        };
        return "{\"devices\": [" + device("sdq", true) + ", " + device("sdr", false) + ", " +
               device("sds", false) + "]}";
    }
};

// Takes the file-permission override from this thread while it lives, so that even root gets
// EACCES on a file nobody may open (a user without it gets EACCES anyway).
class NoPermissionOverride {
public:
    NoPermissionOverride() {
        if (::geteuid() != 0) return;
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        changed_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~NoPermissionOverride() {
        if (changed_) ::syscall(SYS_capset, &header_, saved_);
    }
    NoPermissionOverride(const NoPermissionOverride&) = delete;
    NoPermissionOverride& operator=(const NoPermissionOverride&) = delete;

    // False when root's override could not be taken away.
    bool Works() const { return ::geteuid() != 0 || changed_; }

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool changed_ = false;
};

} // namespace quorin::udiskstest
