// Video, audio and private stream extraction.
#pragma once

#include "rip/rip_run.h"

#include <cstdint>
#include <string>

namespace quorin {

class CIBits;
class COBits;

// Files a stage wrote besides its writer's (the delay log; the file of a raw rip).
struct StageFiles {
    std::string delayLog;
    std::string raw;
};

// Extracts the video elementary stream from S to E into the writer (the driver appends the
// sequence end code). With the video block's raw option it runs the raw video rip instead and
// the writer may be null. files, when given, receives the names of the other files written.
[[nodiscard]] RipOutcome RipVideoStream(RipRun& run, CIBits& reader, COBits* writer,
                                        std::uint8_t streamId, std::int64_t S, std::int64_t E,
                                        StageFiles* files = nullptr);

// Edits the first two sequence headers in the first MiB of a finished video file: a standard
// width in the first, the file's average bit rate in both (skipped when the whole seconds of
// the rip's length are 0). False when the file cannot be opened.
bool PatchSequenceHeader(RipRun& run, const std::string& fileName);

// The delay log that belongs to a video file: its name without the extension + " delay.log".
std::string DelayLogName(const std::string& videoFile);

// MPEG audio (stream kind AUDIO). With the audio block's raw option it runs the raw audio rip
// instead and the writer may be null.
[[nodiscard]] RipOutcome RipAudioStream(RipRun& run, CIBits& reader, COBits* writer,
                                        std::uint8_t streamId, std::int64_t S, std::int64_t E,
                                        StageFiles* files = nullptr);
// A private stream (AC-3 in PRIVATE_1 or PRIVATE_2).
[[nodiscard]] RipOutcome RipPrivateStream(RipRun& run, CIBits& reader, COBits& writer,
                                          std::uint8_t streamId, std::int64_t S, std::int64_t E);

// Copies up to n payload bytes (never a byte at or after limitByte of the stream) and keeps them
// as the last payload; returns the count copied.
std::int64_t CopyPayload(RipRun& run, CIBits& reader, COBits& writer, std::int64_t n,
                         std::int64_t limitByte = INT64_MAX);
// Fill a gap of d ticks by repeating the last payload: 576 bytes per 2,160 ticks (MPEG audio) or
// 1,792 bytes per 2,880 ticks (AC-3). Return the count written.
std::int64_t PadAudioGap(RipRun& run, COBits& writer, std::int32_t d);
std::int64_t PadPrivateGap(RipRun& run, COBits& writer, std::int32_t d);

} // namespace quorin
