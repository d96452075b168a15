// The one entry point of the extraction engine: one rip (or backup) of one clip.
#pragma once

namespace quorin {

class CPVRFile;

// How a run ended, for front ends that report it (the window shows the status texts instead).
enum class RipOutcome {
    kDone,         // every enabled stage ran to its end
    kNothingToRip, // a stream id or first time stamp was not found ("can't go on...")
    kCancelled,    // the cancel flag stopped a stage
    kOutputFailed, // an output file could not be created or written
    kReadError,    // the disk could not be read where a stage needed it
};

// Rips the clip from begin for length seconds: audio first, then video, each into its own
// file in the current directory. Options and progress go through clip.m_pAudioProgress and
// clip.m_pVideoProgress, the cancel flag through clip.m_pCancel; the caller sets all three.
RipOutcome RipStream(CPVRFile& clip, double begin, double length);

} // namespace quorin
