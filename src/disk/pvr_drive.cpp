#include "disk/pvr_drive.h"

#include "base/program_log.h"
#include "disk/layout.h"
#include "disk/plausibility.h"
#include "platform/volume.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

namespace quorin {
namespace {

// True when the volume delivers nothing at the last sector of the given number of clusters (a
// read error there says nothing about the size).
bool EndsBefore(VolumeHandle& h, int clusters) {
    if (clusters <= 0) return false;
    std::array<std::uint8_t, 512> sector{};
    return h.Seek((ClusterStartSector(clusters + 1) - 1) * 512) && h.Read(sector) == 0;
}

} // namespace

CPVRDrive::CPVRDrive(const std::string& volumeName, const ClusterTable* table, RecordLayout layout,
                     const std::string& folder)
    : m_strDriveName(volumeName) {
    LogLine("CPVRDrive::CPVRDrive");
    const std::string copy = (folder.empty() ? "" : folder + "/") + "driveheader.rec";
    if (std::FILE* f = std::fopen(copy.c_str(), "rb")) {
        std::size_t n = std::fread(m_Header.data(), 1, m_Header.size(), f);
        (void)n; // a short copy leaves the rest cleared
        std::fclose(f);
    }
    VolumeHandle h;
    if (OpenDrive(volumeName, h)) {
        m_bOpened = h.Read(m_Header) >= 0;
        if (!m_bOpened) m_iOpenError = errno;
        if (m_bOpened) m_bShortDevice = EndsBefore(h, GetUsedClusters() + GetFreeClusters());
    } else {
        m_iOpenError = errno;
    }
    if (!m_bOpened)
        Log() << "could not read the header of " << volumeName << ": "
              << SystemErrorText(m_iOpenError) << endl;
    h.Close();

    int count = HeaderFileCount();
    Trace() << "TOC shows " << endl;
    Trace() << "Files=          " << count << endl;
    Trace() << "Used clusters=  " << GetUsedClusters() << endl;
    Trace() << "Free clusters=  " << GetFreeClusters() << endl;
    Trace() << endl;
    m_lTotalClusters = GetUsedClusters() + GetFreeClusters();

    if (count > kMaxClips) {
        // Records from clip 246 on would be read from the data area.
        Log() << "clip count " << count << " exceeds the directory, using " << kMaxClips << endl;
        count = kMaxClips;
    }
    for (int n = 0; n < count; ++n) {
        Log() << "reading file " << n << endl;
        m_vecFiles.push_back(std::make_unique<CPVRFile>(volumeName, n, table, layout));
    }
    const std::vector<std::string> problems = HeaderImplausibilities(*this);
    if (problems.empty()) return;
    m_strHeaderProblem = "the header of " + volumeName + " is implausible: " + problems.front();
    for (std::size_t i = 1; i < problems.size(); ++i)
        m_strHeaderProblem += "; " + problems[i];
    Log() << m_strHeaderProblem << endl;
    for (auto& file : m_vecFiles)
        file->RefuseWrites(m_strHeaderProblem);
}

CPVRDrive::~CPVRDrive() {
    while (!m_vecFiles.empty())
        m_vecFiles.pop_back();
}

std::string CPVRDrive::GetDriveLabel() const {
    auto begin = m_Header.begin() + 0x30;
    return std::string(begin, std::find(begin, m_Header.end(), 0));
}

CPVRFile* CPVRDrive::GetFile(int n) const {
    if (n < 0 || n >= GetFileCount()) return nullptr;
    return m_vecFiles[static_cast<std::size_t>(n)].get();
}

std::string DriveNameFromLabel(const std::string& label) {
    std::size_t at = label.find("   ");
    return at == std::string::npos ? std::string("No Drive") : label.substr(0, at);
}

} // namespace quorin
