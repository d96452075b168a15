// One recording on the receiver disk: its directory record, where its streams lie and what its
// files are called. What a rip of it needs for the run lives in the run (rip/rip_run.h).
#pragma once

#include "base/text_out.h"
#include "disk/clip_record.h"
#include "disk/layout.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {

class ClusterTable;

class CPVRFile {
public:
    // Reads record 10 + fileNo; converts the old layout unless the disk uses firmware 190's.
    CPVRFile(const std::string& driveName, int fileNo, const ClusterTable* table,
             RecordLayout layout = RecordLayout::kOld);
    // A clip of a record in the working layout that is not read from the disk.
    CPVRFile(const std::string& driveName, const ClipRecord& record, const ClusterTable* table);
    ~CPVRFile() = default;
    CPVRFile(const CPVRFile&) = delete;
    CPVRFile& operator=(const CPVRFile&) = delete;

    const ClipRecord& GetRecord() const { return m_Record; }
    const ClipRecord& GetRawRecord() const { return m_RawRecord; }
    int FileNo() const { return m_lFileNo; }
    const std::string& DriveName() const { return m_strDriveName; }
    const ClusterTable* Table() const { return m_pTable; }
    // 1 when the record was taken as stored, 0 when converted from the old layout.
    int LayoutFlag() const { return m_lLayout; }
    bool RecordRead() const { return m_bRecordRead; }
    // Why the record could not be read (the system's text); empty when it was read.
    const std::string& ReadFailure() const { return m_strReadFailure; }

    // Writes the record back to sector 10 + fileNo; true when all 512 bytes were written.
    [[nodiscard]] bool WriteRecord(int fileNo);
    // Makes name (UTF-8) the clip's title on the disk. False when the record may not be written
    // or the write failed; the record then keeps its old title.
    [[nodiscard]] bool Rename(std::string_view name);
    // Why the record must not be written (the header or the record does not look like a
    // receiver's in the chosen layout); empty when a rename may write it.
    std::string WriteRefusal() const;
    // Set by the drive when its header is implausible: every write is refused for that reason.
    void RefuseWrites(std::string why) { m_strWriteRefusal = std::move(why); }
    // The name the clip's files take: the given name, or the clip's title (as UTF-8), with the
    // characters ?\*"<>|/: and control characters replaced by spaces, and a leading dot by "_"
    // (no hidden files).
    std::string OutputBaseName(std::optional<std::string_view> name = std::nullopt) const;

    void DumpInfo(TextOut& out) const;

    // Clip length in hundredths of a second.
    double ClipLength() const { return m_dClipLength; }

private:
    void PrintChain(TextOut& out, std::uint32_t first) const;

    int m_lFileNo;
    ClipRecord m_RawRecord;
    ClipRecord m_Record;
    std::string m_strDriveName;
    std::string m_strWriteRefusal;
    std::string m_strReadFailure;
    int m_lLayout = 0;
    bool m_bRecordRead = false;
    double m_dClipLength = 0;
    const ClusterTable* m_pTable;
};

// Converts a record stored in the old layout into the working layout.
ClipRecord ConvertOldLayout(const ClipRecord& raw);

} // namespace quorin
