// One recording on the receiver disk: its directory record and the per-clip state the
// extraction engine works with.
#pragma once

#include "base/run_state.h"
#include "base/text_out.h"
#include "disk/clip_engine_state.h"
#include "disk/clip_record.h"

#include <atomic>
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
    // Reads record 10 + fileNo; converts the old layout unless the firmware option is on.
    CPVRFile(const std::string& driveName, int fileNo, const ClusterTable* table);
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

    // Writes the record back to sector 10 + fileNo; true when all 512 bytes were written.
    bool WriteRecord(int fileNo);
    // No name clears the output name. A name (UTF-8) becomes the output name and, with rename,
    // the clip's title on the disk. Returns false only when a rename could not be written; the
    // record then keeps its old name.
    bool SetOutputName(std::optional<std::string_view> name, bool rename);
    const std::string& OutputName() const { return m_strOutputName; }
    // Why the record must not be written (the header or the record does not look like a
    // receiver's in the chosen layout); empty when a rename may write it.
    std::string WriteRefusal() const;
    // Set by the drive when its header is implausible: every write is refused for that reason.
    void RefuseWrites(std::string why) { m_strWriteRefusal = std::move(why); }
    // Output name or clip name (as UTF-8) with the characters ?\*"<>|/: and control characters
    // replaced by spaces.
    std::string GetOutputBaseName() const;
    // The folder the engine creates the clip's files in; empty: the current directory. The
    // current directory belongs to the whole process, so a rip beside others gets its own here.
    void SetOutputFolder(std::string folder) { m_strOutputFolder = std::move(folder); }
    const std::string& OutputFolder() const { return m_strOutputFolder; }
    // GetOutputBaseName in the output folder: what the engine names the clip's files after.
    std::string OutputBasePath() const;

    // Puts a text into the active stream's status and, with log, into the program log.
    void StatusMessage(std::string_view text, bool log);
    void DumpInfo(TextOut& out) const;

    // Clip length in hundredths of a second.
    double ClipLength() const { return m_dClipLength; }
    // The 4 MiB extraction buffer, allocated on first use.
    std::vector<std::uint8_t>& ExtractionBuffer();
    static constexpr std::size_t kExtractionBufferSize = 4 * 1024 * 1024;

    bool IsCancelled() const { return m_pCancel && m_pCancel->load(); }
    RipProgress* ActiveProgress() const {
        return m_lActiveStream == 1 ? m_pVideoProgress : m_pAudioProgress;
    }

    // Set by the front end before a run.
    RipProgress* m_pAudioProgress = nullptr;
    RipProgress* m_pVideoProgress = nullptr;
    const std::atomic<bool>* m_pCancel = nullptr;
    // 0 while audio is processed, 1 while video is processed.
    std::int32_t m_lActiveStream = 0;
    ClipEngineState m_Engine;

private:
    void PrintChain(TextOut& out, std::uint32_t first) const;

    int m_lFileNo;
    ClipRecord m_RawRecord;
    ClipRecord m_Record;
    std::string m_strOutputName;
    std::string m_strDriveName;
    std::string m_strWriteRefusal;
    std::string m_strOutputFolder;
    int m_lLayout = 0;
    bool m_bRecordRead = false;
    double m_dClipLength = 0;
    const ClusterTable* m_pTable;
    std::vector<std::uint8_t> m_Buffer;
};

// Converts a record stored in the old layout into the working layout.
ClipRecord ConvertOldLayout(const ClipRecord& raw);

} // namespace quorin
