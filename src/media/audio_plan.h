// Which whole audio frames go with the video of each range, so that every joint stays in sync
// within half a frame and the error does not grow from joint to joint.
#pragma once

#include "media/video_splice.h"

#include <cstdint>
#include <span>
#include <vector>

namespace quorin::media {

struct AudioSpan {
    std::int64_t firstFrame = 0; // frame number in the source's audio
    std::int64_t frames = 0;
};

struct AudioPlan {
    std::vector<AudioSpan> spans; // one per segment
    // The output's first picture minus its first audio frame, in ticks (the delay log's value).
    std::int64_t delay = 0;
};

// audioStart is the time of the source's audio frame 0, frameTicks its frame duration (2,160 for
// MPEG audio at 48 kHz, 2,880 for AC-3), frameCount the frames there are.
AudioPlan PlanAudio(std::span<const SegmentWritten> segments, std::int64_t audioStart,
                    std::int64_t frameTicks, std::int64_t frameCount);

} // namespace quorin::media
