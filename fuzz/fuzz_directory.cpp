// The directory: the input is the first 256 sectors of a disk (header, cluster table, records),
// opened and listed in both record layouts, with every clip's info dump.
#include "fuzz_image.h"

#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/clip_texts.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorin;
    static fuzz::ScratchImage image("dir");
    SetConsoleTrace(false);
    size = std::min<std::size_t>(size, 256 * 512);
    if (!image.Begin(256 * 512 + 4096) || !image.Put(0, data, size)) return 0;
    image.End();
    for (bool layout : {false, true}) {
        bool ok = false;
        ClusterTable table(image.Path(), ok);
        CPVRDrive drive(image.Path(), &table,
                        layout ? RecordLayout::kFirmware190 : RecordLayout::kOld);
        DriveSummaryTexts(drive);
        for (int i = 0; i < drive.GetFileCount(); ++i) {
            CPVRFile* clip = drive.GetFile(i);
            ClipRowTexts(clip->GetRecord(), i);
            ClipChecksum(clip->GetRecord());
            clip->OutputBaseName();
            StringOut dump;
            clip->DumpInfo(dump);
        }
    }
    return 0;
}
