#include "media/audio_plan.h"

#include <algorithm>

namespace quorin::media {
namespace {

// The nearest whole number of frames (halves away from zero).
std::int64_t Nearest(std::int64_t ticks, std::int64_t frame) {
    return ticks >= 0 ? (ticks + frame / 2) / frame : -((-ticks + frame / 2) / frame);
}

} // namespace

AudioPlan PlanAudio(std::span<const SegmentWritten> segments, std::int64_t audioStart,
                    std::int64_t frameTicks, std::int64_t frameCount) {
    AudioPlan plan;
    if (segments.empty() || frameTicks <= 0) return plan;
    // Where the audio does not reach back to the first picture, it starts where it does.
    const std::int64_t s0 =
        std::clamp<std::int64_t>(Nearest(segments[0].from - audioStart, frameTicks), 0, frameCount);
    plan.delay = segments[0].from - (audioStart + s0 * frameTicks);
    std::int64_t written = 0; // frames in the output so far
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const SegmentWritten& seg = segments[i];
        // Every count comes from the output's own time line, so no error carries over.
        const std::int64_t at = written * frameTicks - plan.delay; // output time of the next frame
        const std::int64_t source = seg.from + (at - seg.outputFrom);
        std::int64_t first = i == 0 ? s0 : Nearest(source - audioStart, frameTicks);
        first = std::clamp<std::int64_t>(first, 0, frameCount);
        const std::int64_t videoEnd = seg.outputFrom + (seg.to - seg.from);
        const std::int64_t total = Nearest(videoEnd + plan.delay, frameTicks);
        const std::int64_t n = std::clamp<std::int64_t>(total - written, 0, frameCount - first);
        plan.spans.push_back({first, n});
        written += n;
    }
    return plan;
}

} // namespace quorin::media
