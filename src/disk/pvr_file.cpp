#include "disk/pvr_file.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/layout.h"
#include "disk/plausibility.h"
#include "platform/text.h"
#include "platform/volume.h"

#include <cerrno>
#include <cstring>

namespace quorin {

ClipRecord ConvertOldLayout(const ClipRecord& raw) {
    ClipRecord w = raw;
    std::memcpy(w.bytes.data() + 0x3C, raw.bytes.data() + 0x38, 412);
    std::memset(w.bytes.data() + 0x13, ' ', 0x3C - 0x13);
    std::memcpy(w.bytes.data() + 0x13, raw.bytes.data() + 0x0F, 41);
    std::memset(w.bytes.data() + 0x01, ' ', 0x12 - 0x01);
    std::memcpy(w.bytes.data() + 0x01, raw.bytes.data() + 0x01, 13);
    w.bytes[0x12] = 0;
    return w;
}

CPVRFile::CPVRFile(const std::string& driveName, int fileNo, const ClusterTable* table,
                   RecordLayout layout)
    : m_lFileNo(fileNo), m_strDriveName(driveName), m_pTable(table) {
    LogLine("CPVRFile::CPVRFile(char *Drivename, int FileNo)");
    VolumeHandle h;
    if (!OpenDrive(driveName, h)) {
        m_strReadFailure = SystemErrorText(errno);
        Log() << "could not open drive " << driveName << " for file " << fileNo << endl;
    } else {
        std::int64_t got = -1;
        if (SetToPhysicalSector(h, fileNo + kRecordStartSector)) got = h.Read(m_Record.bytes);
        const int error = errno;
        if (got == kRecordSize) {
            m_bRecordRead = true;
        } else {
            // Nothing of a record that could not be read whole is shown as the clip's.
            m_Record = ClipRecord{};
            m_strReadFailure =
                got < 0 ? SystemErrorText(error) : std::string("the disk ends before it");
            Log() << "could not read the record of clip " << fileNo + 1 << " from " << driveName
                  << ": " << m_strReadFailure << endl;
        }
        m_RawRecord = m_Record;
        if (layout == RecordLayout::kFirmware190) {
            m_lLayout = 1;
        } else {
            m_lLayout = 0;
            m_Record = ConvertOldLayout(m_RawRecord);
        }
    }
    m_dClipLength = static_cast<double>(m_Record.LengthInSeconds()) * 100.0;
}

CPVRFile::CPVRFile(const std::string& driveName, const ClipRecord& record,
                   const ClusterTable* table)
    : m_lFileNo(-1), m_RawRecord(record), m_Record(record), m_strDriveName(driveName), m_lLayout(1),
      m_bRecordRead(true), m_pTable(table) {
    m_dClipLength = static_cast<double>(m_Record.LengthInSeconds()) * 100.0;
}

bool CPVRFile::WriteRecord(int fileNo) {
    if (m_lLayout == 0)
        std::memcpy(m_RawRecord.bytes.data() + 0x0F, m_Record.bytes.data() + kNameOffset,
                    kNameField);
    const ClipRecord& out = m_lLayout == 1 ? m_Record : m_RawRecord;
    VolumeHandle h;
    if (!OpenDrive(m_strDriveName, h)) return false;
    if (!SetToPhysicalSector(h, fileNo + kRecordStartSector)) return false;
    return h.Write(out.bytes) == kRecordSize;
}

bool CPVRFile::Rename(std::string_view name) {
    if (std::string why = WriteRefusal(); !why.empty()) {
        LogLine(why + "; its title is not changed");
        return false;
    }
    const ClipRecord oldWorking = m_Record;
    const ClipRecord oldRaw = m_RawRecord;
    m_Record.SetClipName(Utf8ToLatin1(name));
    if (m_lLayout == 1) m_RawRecord = m_Record;
    if (WriteRecord(m_lFileNo)) return true;
    // The disk still holds the old name, so the list must keep showing it.
    m_Record = oldWorking;
    m_RawRecord = oldRaw;
    LogLine("could not write the new title of clip " + std::to_string(m_lFileNo + 1));
    return false;
}

std::string CPVRFile::WriteRefusal() const {
    const std::string clip = "clip " + std::to_string(m_lFileNo + 1);
    // A record that was never read is not written back (it would be all zeros).
    if (!m_bRecordRead) return "the record of " + clip + " could not be read";
    if (!m_strWriteRefusal.empty()) return m_strWriteRefusal;
    const std::string field = RecordImplausibility(m_Record);
    if (field.empty()) return {};
    return "the record of " + clip + " does not fit " + LayoutName(m_lLayout) + " (its " + field +
           " is out of range); the disk may use " + LayoutName(1 - m_lLayout);
}

std::string CPVRFile::OutputBaseName(std::optional<std::string_view> name) const {
    std::string base = name && !name->empty() ? std::string(name->substr(0, 255))
                                              : Latin1ToUtf8(m_Record.ClipName());
    // Control characters (a NUL included) would end or garble a file name like the nine.
    for (char& c : base)
        if (std::string_view("?\\*\"<>|/:").find(c) != std::string_view::npos ||
            static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    // A leading dot would hide the files (and ".." names no file of its own).
    if (!base.empty() && base.front() == '.') base.front() = '_';
    return base;
}

void CPVRFile::DumpInfo(TextOut& out) const {
    const ClipRecord& r = m_Record;
    out << "RecordNo    = " << static_cast<int>(r.RecordNo()) << endl;
    out << "Station     = " << Latin1ToUtf8(r.Station()) << endl;
    out << "Clip        = " << Latin1ToUtf8(r.ClipName()) << endl;
    out << "Date        = "
        << Format("%02d.%02d.%02d - %d:%02d:%02d", r.Day(), r.Month(), r.Year(), r.Hour(),
                  r.Minute(), r.Second())
        << endl;
    out << "Length      = "
        << Format("%d:%02d:%02d", r.LengthHours(), r.LengthMinutes(), r.LengthSeconds()) << endl;
    out << "Length in s =" << Format("%d", r.LengthInSeconds()) << endl;
    out << "SkipIndex   =" << endl;
    for (int k = 0; k < 10; ++k) {
        SkipPair p = r.Skip(k);
        if (p.start != 0xFFFF && p.stop != 0xFFFF)
            out << Format("start=%d / stop=%d", static_cast<std::int16_t>(p.start),
                          static_cast<std::int16_t>(p.stop))
                << endl;
    }
    out << "VClusters   = " << r.VClusters() << " means max " << r.VClusters() * 100 << " MByte"
        << endl;
    out << "AClusters   = " << r.AClusters() << " means max " << r.AClusters() * 100 << " MByte"
        << endl;
    out << "VClusters   =";
    PrintChain(out, r.VideoFirstCluster());
    out << "AClusters   =";
    PrintChain(out, r.AudioFirstCluster());
    out << endl;
}

void CPVRFile::PrintChain(TextOut& out, std::uint32_t first) const {
    if (m_pTable)
        m_pTable->PrintClusterChain(out, first);
    else
        out << endl;
}

} // namespace quorin
