// Finding deleted recordings: the packets of a deleted recording stay in its clusters until a later
// recording overwrites them. The scan looks only at clusters in no live chain, reads the start and
// the end of each (and a few probes where a stream begins or ends inside one), and puts the
// clusters back into chains: a packet that runs over the end of one cluster into the start of the
// next is the strongest link, time stamps that run on the next.
#pragma once

#include "disk/clip_record.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorin {

class CPVRDrive;
class CPVRFile;
class ClusterTable;

// One stream of a recovered recording, as a record would describe it.
struct RecoveredStream {
    std::vector<std::uint32_t> chain;
    std::int64_t startByte = 0; // of its first packet, in the first cluster
    std::int64_t endByte = 0;   // after its last packet, from the start of the last cluster
    std::uint8_t streamId = 0;
    std::int64_t firstPts = -1; // 33-bit values as stored; -1: none seen
    std::int64_t lastPts = -1;
    bool wholeStart = false; // begins where a recording begins (not after a lost part)
    bool wholeEnd = false;   // ends where a recording ends (not cut by an overwrite)
    bool Empty() const { return chain.empty(); }
};

struct RecoveredRecording {
    int number = 0; // 1-based, in the order of the first video cluster on the disk
    RecoveredStream video;
    RecoveredStream audio; // empty when no audio chain overlaps the video's time stamps
    double seconds = 0;    // from the video's time stamps
    bool complete = false;
};

struct RecoveryScanReport {
    std::vector<RecoveredRecording> recordings;
    int clustersLooked = 0;     // clusters in no live chain
    std::int64_t bytesRead = 0; // by the scan
    std::int64_t reads = 0;
    std::int64_t failedReads = 0; // parts of the disk that could not be read were skipped
    bool cancelled = false;
    std::string error; // the disk could not be opened
};

// done and total clusters of the scan.
using RecoveryProgress = std::function<void(int done, int total)>;

// The clusters (1 to 1,151) in the chains of the drive's records, read in the layout the drive was
// opened with; each chain is walked no further than its record's cluster count.
std::vector<bool> LiveClusters(const CPVRDrive& drive, const ClusterTable& table);

// Looks at clusters 1 to `clusters` that are not live. Reads only; never writes the disk.
RecoveryScanReport ScanForDeleted(const std::string& volume, const std::vector<bool>& live,
                                  int clusters, const RecoveryProgress& progress,
                                  const std::atomic<bool>& cancel);

// The same for an opened drive: its live chains, its header's cluster count.
RecoveryScanReport ScanForDeleted(const CPVRDrive& drive, const ClusterTable& table,
                                  const RecoveryProgress& progress,
                                  const std::atomic<bool>& cancel);

// "Recovered NN".
std::string RecoveredName(int number);

// A recovered recording as a clip the rip runner can rip: a record in the working layout (name
// "Recovered NN", the length from the time stamps) over a table in memory that links only its
// chains. The clip refuses every write.
class RecoveredClip {
public:
    RecoveredClip(const std::string& volume, const RecoveredRecording& recording);
    ~RecoveredClip();
    RecoveredClip(const RecoveredClip&) = delete;
    RecoveredClip& operator=(const RecoveredClip&) = delete;

    CPVRFile& Clip() { return *clip_; }
    const ClipRecord& Record() const { return record_; }

private:
    ClipRecord record_;
    std::unique_ptr<ClusterTable> table_;
    std::unique_ptr<CPVRFile> clip_;
};

// The record and the 4,608 table bytes RecoveredClip builds.
ClipRecord RecoveredRecord(const RecoveredRecording& recording);
std::vector<std::uint8_t> RecoveredTableBytes(const RecoveredRecording& recording);

} // namespace quorin
