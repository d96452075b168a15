// State shared between a front end and a running rip: the per-stream progress blocks and the run
// flags. Every field has one writer during a run; the other thread only polls. Fields are atomic
// and the status text is guarded, so a reader never sees a torn value.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace quorin {

struct RipProgress {
    // Written by the engine.
    std::atomic<std::int32_t> position{0};
    std::atomic<std::int32_t> rangeLow{0};
    std::atomic<std::int32_t> rangeHigh{0};
    std::atomic<std::int64_t> startPts{0}; // video block: start of the cut (90 kHz)
    std::atomic<std::int64_t> endPts{0};   // video block: end of the cut
    std::atomic<std::int64_t> firstPts{0}; // video block: first time stamp of the clip
    std::atomic<bool> active{false};       // engine sets when a stage starts, front end clears
    std::atomic<bool> rangeChanged{false}; // engine sets with a new range, front end clears
    std::atomic<bool> muxing{false};       // engine sets when the mux stage starts on this block
    std::atomic<std::int32_t> megabytes{0};
    std::atomic<std::int32_t> seconds{0};

    // Set before a run starts: whether the run takes this block's stream at all.
    std::atomic<bool> enabled{false};

    static constexpr std::size_t kStatusMax = 254;

    // Status text, at most 254 characters (longer texts are cut).
    void SetStatus(std::string_view text);
    std::string Status() const;
    void ClearStatus() { SetStatus({}); }

    // Clears the progress display fields (not the options).
    void ResetProgress();

private:
    mutable std::mutex statusMutex_;
    std::string statusText_;
};

struct RunFlags {
    std::atomic<bool> idle{true};
    std::atomic<bool> cancel{false};
};

} // namespace quorin
