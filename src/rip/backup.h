// Cluster backup: a clip's directory record and its two streams, byte for byte as
// recorded, into three files.
#pragma once

#include "rip/extract.h"

#include <string>
#include <vector>

namespace quorin {

class RipRun;

// Writes base + ".sFileDescription" (the working record), base + ".mpp" (the audio stream's
// bytes) and base + ".pva" (the video stream's bytes), each under a numbered name when the name
// is taken. Reads no cancel flag. files, when given, receives the names of the files created;
// why, when given, the status text of the first failure.
// incomplete, when given, receives the files whose copy stopped before the end.
RipOutcome Backup(RipRun& run, std::vector<std::string>* files = nullptr,
                  std::string* why = nullptr, std::vector<std::string>* incomplete = nullptr);

} // namespace quorin
