// Raw audio and raw video rips: the recorded packets between two time stamps, copied
// as they lie on the disk.
#pragma once

#include "rip/extract.h"

#include <cstdint>
#include <string>

namespace quorin {

class RipRun;
class CIBits;

// Copies the audio chain's packets from begin B to end E into base + "." + the audio block's raw
// postfix. The reader is used for header parsing; the bulk copy has its own volume handle.
RipOutcome RipRawAudio(RipRun& run, std::int64_t B, std::int64_t E, CIBits& reader,
                       std::uint8_t streamId, std::string* file = nullptr);
// The same for the video chain, cut at packet boundaries at both ends.
RipOutcome RipRawVideo(RipRun& run, std::int64_t B, std::int64_t E, CIBits& reader,
                       std::uint8_t streamId, std::string* file = nullptr);

} // namespace quorin
