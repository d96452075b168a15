#include "jobs/preview_picture.h"

#include "base/format.h"
#include "decoder/decoder.h"
#include "rip/rip_runner.h"

#include <algorithm>
#include <cstdio>

namespace quorin {

PreviewPictures::PreviewPictures(RipRunner& runner, std::string folder, std::string name)
    : runner_(runner), folder_(std::move(folder)), name_(std::move(name)) {}

std::string PreviewPictures::Path(const std::string& suffix) const {
    return (folder_.empty() ? std::string() : folder_ + "/") + name_ + suffix;
}

std::string PreviewPictures::VideoPath() const {
    return Path(".m2v");
}

std::string PreviewPictures::PicturePath() const {
    return Path(".BMP");
}

bool PreviewPictures::Rip(double seconds) {
    return runner_.RipPreview(seconds, folder_, name_, OutputPostfixes{}, &report_);
}

bool PreviewPictures::Decode() {
    const std::string picture = PicturePath();
    std::remove(picture.c_str());
    int result = 0;
    decoder::DecodePictureFile(VideoPath().c_str(), picture.c_str(), decoder::kFormatBitmap,
                               &result);
    if (std::FILE* f = std::fopen(picture.c_str(), "rb")) {
        std::fclose(f);
        decodeError_.clear();
        return true;
    }
    decodeError_ = Format("no picture could be decoded (result code %d)", result);
    return false;
}

void PreviewPictures::DeleteFiles() {
    for (const std::string& file : {VideoPath(), PicturePath(), Path(" delay.log")})
        std::remove(file.c_str());
}

std::int64_t PreviewPictures::PicturePts() const {
    return report_.ripPicturePts != PTS_NONE ? report_.ripPicturePts : report_.ripStartPts;
}

double SecondsOfPts(std::int64_t firstPts, std::int64_t pts) {
    if (firstPts == PTS_NONE || pts == PTS_NONE) return 0;
    // Half a tick more: the engine truncates seconds times 90,000 to a time stamp.
    return std::max<double>(0, (static_cast<double>(pts - firstPts) + 0.5) / 90'000);
}

} // namespace quorin
