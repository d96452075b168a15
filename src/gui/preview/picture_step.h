// Single pictures for the preview dialog: the picture groups around a time stamp ripped and
// decoded with the media module's decoder, each picture with its own time stamp, so that a cut
// can begin and end at any picture. The pictures of the last groups decoded are kept: steps
// within them need no rip.
#pragma once

#include "media/picture_codec.h"
#include "rip/rip_runner.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <map>
#include <string>

namespace quorin {

class PictureSteps {
public:
    static constexpr const char* kName = "PRVSTEP";

    // The runner's clip is ripped into folder (empty: the current directory).
    PictureSteps(RipRunner& runner, std::string folder);

    // False with the loader's reason when the media module cannot be loaded.
    static bool Available(QString* why);

    struct Shot {
        QImage image; // null: no picture there
        std::int64_t pts = PTS_NONE;
    };
    // The picture one after (direction 1) or before (-1) the picture of time stamp pts.
    Shot Step(std::int64_t pts, int direction);
    // The picture of time stamp pts itself.
    Shot At(std::int64_t pts);
    // 90 kHz ticks per picture, once a group was decoded (0 before).
    std::int64_t FrameTicks() const { return frameTicks_; }

private:
    bool Load(std::int64_t pts);
    const media::Picture* Find(std::int64_t pts) const;

    RipRunner& runner_;
    std::string folder_;
    std::map<std::int64_t, media::Picture> pictures_; // by time stamp
    std::int64_t frameTicks_ = 0;
};

// The picture as 32-bit RGB (ITU-R BT.601 studio range).
QImage ImageOf(const media::Picture& picture);

} // namespace quorin
