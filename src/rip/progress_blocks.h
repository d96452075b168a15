// The clip's two progress blocks as the engine writes them; a clip run without blocks (a test,
// a tool) writes into blocks of its own that nobody reads.
#pragma once

#include "base/run_state.h"
#include "disk/pvr_file.h"

namespace quorin {

inline RipProgress& AudioBlock(CPVRFile& clip) {
    thread_local RipProgress spare;
    return clip.m_pAudioProgress ? *clip.m_pAudioProgress : spare;
}

inline RipProgress& VideoBlock(CPVRFile& clip) {
    thread_local RipProgress spare;
    return clip.m_pVideoProgress ? *clip.m_pVideoProgress : spare;
}

} // namespace quorin
