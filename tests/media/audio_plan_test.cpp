// Audio frames chosen for the video of many ranges: in sync at every joint, no drift.
#include "media/audio_plan.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quorin::media {
namespace {

TEST(AudioPlan, TwentyJointsStayInSync) {
    struct Case {
        std::int64_t frameTicks; // MP2, AC-3
        std::int64_t audioStart; // before, after the first picture
    };
    for (const Case c : {Case{2160, -27'000}, Case{2880, -21'600}, Case{2160, 5'000}}) {
        SCOPED_TRACE(c.frameTicks);
        std::vector<SegmentWritten> segs;
        std::int64_t out = 0;
        for (int i = 0; i < 21; ++i) {
            const std::int64_t from = 90'000 + i * 1'234'567 / 3600 * 3600;
            const std::int64_t to = from + (200 + 7 * i) * 3600;
            segs.push_back({from, to, out, 0});
            out += to - from;
        }
        const AudioPlan plan = PlanAudio(segs, c.audioStart, c.frameTicks, 1'000'000);
        ASSERT_EQ(plan.spans.size(), segs.size());
        std::int64_t audioOut = 0;
        for (std::size_t i = 0; i < segs.size(); ++i) {
            const AudioSpan& s = plan.spans[i];
            // The output time of the span's first frame against that of its source time.
            const std::int64_t outputTime = audioOut * c.frameTicks - plan.delay;
            const std::int64_t sourceTime = c.audioStart + s.firstFrame * c.frameTicks;
            const std::int64_t shouldBe = segs[i].outputFrom + (sourceTime - segs[i].from);
            if (i > 0 || c.audioStart < segs[0].from) {
                EXPECT_LE(std::llabs(outputTime - shouldBe), c.frameTicks / 2) << "joint " << i;
            }
            audioOut += s.frames;
            const std::int64_t videoEnd = segs[i].outputFrom + (segs[i].to - segs[i].from);
            EXPECT_LE(std::llabs(audioOut * c.frameTicks - plan.delay - videoEnd), c.frameTicks / 2)
                << "end of range " << i;
        }
    }
}

} // namespace
} // namespace quorin::media
