// Scoring advert breaks from the signals of a clip.
#pragma once

#include "breaks/signal_track.h"

#include <string>
#include <vector>

namespace quorin::breaks {

struct Break {
    double from = 0; // the first picture of the first spot
    double to = 0;   // the first picture after the last spot (or the end of the clip)
    double confidence = 0;
    // What spoke for it: "separators", "no logo", "aspect", "audio mode", "loudness", "length".
    std::vector<std::string> signals;
};

// A run of black pictures with silence: the pictures [first, last].
struct Separator {
    std::size_t first = 0;
    std::size_t last = 0;
};

std::vector<Separator> FindSeparators(const SignalTrack& track);

// Per picture, whether the learnt logo is on it: 1 present, 0 absent, -1 unknown (no logo
// learnt, or no sample near the picture).
std::vector<float> LogoPresence(const SignalTrack& track);

std::vector<Break> FindBreaks(const SignalTrack& track);

} // namespace quorin::breaks
