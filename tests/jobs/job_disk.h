// A small hand-built receiver disk for the job tests: three clips in the working layout.
#pragma once

#include "../disk/disk_image.h"

#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"

#include <memory>
#include <string>
#include <vector>

namespace quorin::test {

// Clip 1 is the worked checksum example (01FB0151); clip 2 has cut marks; clip 3 has no length.
inline std::vector<RecordSpec> JobDiskClips() {
    RecordSpec tatort; // 07.12. 20:15:00, 1:30:00, 20 + 2 clusters from 100 and 300
    RecordSpec heute;
    heute.station = "ZDF";
    heute.name = "heute";
    heute.lh = 0;
    heute.lm = 10;
    heute.ls = 0;
    heute.vclusters = 1;
    heute.aclusters = 1;
    heute.vfirst = 5;
    heute.afirst = 6;
    RecordSpec empty;
    empty.station = "arte";
    empty.name = "Leer";
    empty.lh = empty.lm = empty.ls = 0;
    empty.vclusters = 1;
    empty.aclusters = 1;
    empty.vfirst = 7;
    empty.afirst = 8;
    return {tatort, heute, empty};
}

// Cut mark pairs of "heute": x0 = (5, 50), x2 = (100, 200), x4 = (900, 100), x5 = (-3, 10).
inline void PutCutMarks(std::vector<std::uint8_t>& record) {
    auto pair = [&](int k, std::uint16_t a, std::uint16_t b) {
        DiskImage::Put16(&record[0x5C + 4 * k], a);
        DiskImage::Put16(&record[0x5E + 4 * k], b);
    };
    pair(0, 5, 50);
    pair(2, 100, 200);
    pair(3, 100, 0xFFFF);
    pair(4, 900, 100);
    pair(5, 0xFFFD, 10);
}

// Writes the clips in the given order (indexes into JobDiskClips) and opens the drive.
class JobDisk {
public:
    explicit JobDisk(const std::string& name, std::vector<int> order = {0, 1, 2},
                     bool working = true)
        : image_(name) {
        const auto clips = JobDiskClips();
        image_.Header(40, 100, static_cast<std::uint8_t>(order.size()), "JOBDISK   ");
        for (std::size_t i = 0; i < order.size(); ++i) {
            const RecordSpec& desc = clips[static_cast<std::size_t>(order[i])];
            auto bytes = working ? WorkingRecord(desc, static_cast<int>(i))
                                 : OldRecord(desc, static_cast<int>(i));
            if (working && order[i] == 1) PutCutMarks(bytes);
            image_.Record(static_cast<int>(i), bytes);
        }
        image_.Resize(DiskImage::ClusterOffset(141)); // the capacity the header claims
        Open(working);
    }
    void Open(bool working) {
        drive_.reset();
        table_.reset();
        bool ok = false;
        table_ = std::make_unique<ClusterTable>(image_.Path(), ok);
        drive_ = std::make_unique<CPVRDrive>(
            image_.Path(), table_.get(), working ? RecordLayout::kFirmware190 : RecordLayout::kOld);
    }
    ~JobDisk() {
        drive_.reset();
        table_.reset();
    }
    JobDisk(const JobDisk&) = delete;
    JobDisk& operator=(const JobDisk&) = delete;

    DiskImage& Image() { return image_; }
    CPVRDrive& Drive() { return *drive_; }
    const std::string& Path() const { return image_.Path(); }

private:
    DiskImage image_;
    std::unique_ptr<ClusterTable> table_;
    std::unique_ptr<CPVRDrive> drive_;
};

} // namespace quorin::test
