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

PreviewShot TakePreviewShot(CPVRFile& clip, double seconds, const std::string& name,
                            const std::atomic<bool>* cancel, bool decode) {
    PreviewShot shot;
    const std::atomic<bool>* previousCancel = clip.m_pCancel;
    clip.m_pCancel = cancel;
    clip.SetOutputName(name, false);
    const std::string base = clip.OutputBasePath();
    // In the current directory "PRV" always names "PRV.m2v", whatever the postfix.
    const bool prv = clip.OutputFolder().empty() && base == "PRV";
    const std::string video = prv ? "PRV.m2v" : base + "." + clip.m_pVideoProgress->postfix;
    const std::string picture = base + ".bmp";
    const std::string delayLog = base + " delay.log";
    std::remove(video.c_str()); // a rip that finds nothing must not leave an old file to decode
    const RipOutcome outcome = RipStream(clip, seconds, 0.0);
    clip.m_pCancel = previousCancel;
    if (outcome == RipOutcome::kDone) {
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
