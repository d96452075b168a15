// The receiver disk: its header sector and one CPVRFile per directory record.
#pragma once

#include "disk/layout.h"
#include "disk/pvr_file.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorin {

class ClusterTable;

class CPVRDrive {
public:
    // Reads the header (after "driveheader.rec" from the folder, if present; no folder: the
    // current directory) and builds the clip list. The table is lent to the clips for their
    // chain walks.
    CPVRDrive(const std::string& volumeName, const ClusterTable* table,
              RecordLayout layout = RecordLayout::kOld, const std::string& folder = {});
    ~CPVRDrive();
    CPVRDrive(const CPVRDrive&) = delete;
    CPVRDrive& operator=(const CPVRDrive&) = delete;

    // Number of clips, capped to the records that lie before the data area.
    int GetFileCount() const { return static_cast<int>(m_vecFiles.size()); }
    // The count the header claims (may exceed GetFileCount on a damaged disk).
    int HeaderFileCount() const { return m_Header[0x0E]; }
    std::uint16_t GetUsedClusters() const { return U16(0x0A); }
    std::uint16_t GetFreeClusters() const { return U16(0x0C); }
    int TotalClusters() const { return m_lTotalClusters; }
    // The label text as stored (ISO-8859-1), up to its NUL.
    std::string GetDriveLabel() const;
    CPVRFile* GetFile(int n) const;
    const std::string& DriveName() const { return m_strDriveName; }

    // Whether the volume could be opened and its header read, and the reason when not.
    bool VolumeOpened() const { return m_bOpened; }
    int OpenError() const { return m_iOpenError; }
    // Whether the device ends before the last sector of the capacity the header claims.
    bool DeviceEndsBeforeCapacity() const { return m_bShortDevice; }
    // "the header of ... is implausible: ..." when it is (writes are then refused), else empty.
    const std::string& HeaderProblem() const { return m_strHeaderProblem; }

private:
    std::uint16_t U16(int at) const {
        return static_cast<std::uint16_t>(m_Header[at] | (m_Header[at + 1] << 8));
    }

    int m_lTotalClusters = 0;
    std::string m_strDriveName;
    std::vector<std::unique_ptr<CPVRFile>> m_vecFiles;
    std::array<std::uint8_t, 512> m_Header{};
    bool m_bOpened = false;
    int m_iOpenError = 0;
    bool m_bShortDevice = false;
    std::string m_strHeaderProblem;
};

// The drive name shown for a label: the text before its first run of three spaces, or
// "No Drive" when the label holds no such run.
std::string DriveNameFromLabel(const std::string& label);

} // namespace quorin
