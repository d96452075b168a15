#include "gui/preview/preview_shot.h"

#include "base/run_state.h"
#include "decoder/decoder.h"
#include "disk/pvr_file.h"
#include "rip/rip_driver.h"

#include <algorithm>
#include <cstdio>

namespace quorin {

double SecondsOfPts(const CPVRFile& clip, std::int64_t pts) {
    const std::int64_t first = clip.m_Engine.m_i64VideoFirstPTS;
    if (first == PTS_NONE || pts == PTS_NONE) return 0;
    // Half a tick more: the engine truncates seconds times 90,000 to a time stamp.
    return std::max<double>(0, (static_cast<double>(pts - first) + 0.5) / 90'000);
}

PreviewShot TakePreviewShot(RipRunner& runner, double seconds, const std::string& name,
                            bool decode) {
    PreviewShot shot;
    CPVRFile& clip = runner.Clip();
    const OutputPostfixes postfixes;
    const bool ripped = runner.RipPreview(seconds, name, postfixes);
    const std::string base = clip.OutputBasePath();
    const std::string video = base + "." + postfixes.video;
    const std::string picture = base + ".bmp";
    const std::string delayLog = base + " delay.log";
    if (ripped) {
        if (decode) {
            decoder::DecodePictureFile(video.c_str(), picture.c_str());
            shot.image.load(QString::fromStdString(picture));
        }
        shot.picturePts = clip.m_Engine.m_i64RipPicturePTS != PTS_NONE
                              ? clip.m_Engine.m_i64RipPicturePTS
                              : clip.m_Engine.m_i64RipStartPTS;
        shot.aspect = clip.m_Engine.m_dAspectRatio > 0 ? clip.m_Engine.m_dAspectRatio : 4.0 / 3.0;
    }
    if (decode && shot.image.isNull()) shot.picturePts = PTS_NONE;
    std::remove(video.c_str());
    std::remove(picture.c_str());
    std::remove(delayLog.c_str());
    return shot;
}

} // namespace quorin
