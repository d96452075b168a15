#include "platform/drives.h"

#include "base/program_log.h"

#include <algorithm>
#include <array>
#include <blkid/blkid.h>
#include <charconv>
#include <cstring>
#include <libudev.h>
#include <memory>
#include <string_view>

namespace quorin {
namespace {

struct UdevDeleter {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
};
template <class T> using UdevPtr = std::unique_ptr<T, UdevDeleter>;

struct ProbeDeleter {
    void operator()(blkid_struct_probe* p) const { blkid_free_probe(p); }
};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view Value(const char* text) {
    return text ? std::string_view(text) : std::string_view();
}

long long ParseSize(const char* text) {
    long long value = 0;
    std::string_view s = Value(text);
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
}

// Facts from the udev database; probes the device itself when udev has none.
BlockDeviceFacts FactsOf(udev_device* dev) {
    BlockDeviceFacts facts;
    facts.sysName = Value(udev_device_get_sysname(dev));
    facts.devType = Value(udev_device_get_devtype(dev));
    facts.optical = Value(udev_device_get_property_value(dev, "ID_CDROM")) == "1";
    facts.sizeSectors = ParseSize(udev_device_get_sysattr_value(dev, "size"));
    if (udev_device_get_is_initialized(dev) > 0) {
        facts.probed = true;
        facts.hasFileSystem = !Value(udev_device_get_property_value(dev, "ID_FS_TYPE")).empty();
        facts.hasPartitionTable =
            !Value(udev_device_get_property_value(dev, "ID_PART_TABLE_TYPE")).empty();
        return facts;
    }
    const char* node = udev_device_get_devnode(dev);
    bool blank = false;
    if (node && ProbeBlank(node, blank)) {
        facts.probed = true;
        facts.hasFileSystem = !blank; // the probe does not tell the two apart
    }
    return facts;
}

} // namespace

bool IsCandidateDrive(const BlockDeviceFacts& f) {
    static constexpr std::array<std::string_view, 6> kExcluded = {"loop", "ram", "zram",
                                                                  "md",   "dm-", "sr"};
    if (f.devType != "disk" || f.optical || f.sizeSectors <= 0) return false;
    for (std::string_view prefix : kExcluded)
        if (StartsWith(f.sysName, prefix)) return false;
    return f.probed && !f.hasFileSystem && !f.hasPartitionTable;
}

bool ProbeBlank(const std::string& path, bool& blank) {
    std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(
        blkid_new_probe_from_filename(path.c_str()));
    if (!probe) return false;
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_enable_partitions(probe.get(), 1);
    int rc = blkid_do_safeprobe(probe.get());
    if (rc == -1) return false;
    blank = rc == 1; // 0: something found, -2: several signatures found
    return true;
}

std::vector<std::string> FindCandidateDrives() {
    std::vector<std::string> nodes;
    UdevPtr<udev> context(udev_new());
    if (!context) {
        LogLine("udev is not available; no drives offered");
        return nodes;
    }
    UdevPtr<udev_enumerate> list(udev_enumerate_new(context.get()));
    if (!list) return nodes;
    udev_enumerate_add_match_subsystem(list.get(), "block");
    udev_enumerate_add_match_property(list.get(), "DEVTYPE", "disk");
    udev_enumerate_scan_devices(list.get());
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list.get())) {
        UdevPtr<udev_device> dev(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!dev) continue;
        const char* node = udev_device_get_devnode(dev.get());
        if (node && IsCandidateDrive(FactsOf(dev.get()))) nodes.emplace_back(node);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

} // namespace quorin
