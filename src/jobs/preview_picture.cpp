#include "jobs/preview_picture.h"

#include "base/format.h"
#include "decoder/decoder.h"
#include "disk/pvr_file.h"
#include "rip/rip_runner.h"

#include <cstdio>

namespace quorin {

bool PreviewPictures::Rip(int seconds) {
    return runner_.RipPreview(seconds, "PRV", OutputPostfixes{});
}

bool PreviewPictures::Decode() {
    std::remove(kPicture);
    int result = 0;
    decoder::DecodePictureFile(kVideo, kPicture, decoder::kFormatBitmap, &result);
    if (std::FILE* f = std::fopen(kPicture, "rb")) {
        std::fclose(f);
        decodeError_.clear();
        return true;
    }
    decodeError_ = Format("no picture could be decoded (result code %d)", result);
    return false;
}

void PreviewPictures::DeleteFiles() {
    std::remove(kVideo);
    std::remove(kPicture);
    std::remove(kDelayLog);
}

std::int64_t PreviewPictures::StartPts() const {
    return runner_.Clip().m_Engine.m_i64RipStartPTS;
}

std::int64_t PreviewPictures::PicturePts() const {
    const ClipEngineState& e = runner_.Clip().m_Engine;
    return e.m_i64RipPicturePTS != PTS_NONE ? e.m_i64RipPicturePTS : e.m_i64RipStartPTS;
}

double PreviewPictures::Aspect() const {
    return runner_.Clip().m_Engine.m_dAspectRatio;
}

} // namespace quorin
