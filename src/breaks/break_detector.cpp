// Scoring advert breaks: separators (black pictures with silence) cut the clip into blocks; a
// block without the station logo, in spot length, in another aspect or audio mode or louder than
// the programme is a spot; runs of spots are breaks.
#include "breaks/break_detector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <map>

namespace quorin::breaks {
namespace {

constexpr float kBlackLuma = 32;        // of 255; video black is 16
constexpr float kBlackSpread = 24;      // a logo left on black spreads the luma a little
constexpr float kSilenceDb = -50;       // RMS below full scale
constexpr int kEdgeStep = 24;           // luma step between neighbours that makes an edge
constexpr double kLogoCandidate = 0.45; // share of pictures with an edge at a logo pixel
constexpr double kLogoFirm = 0.75;      // the same among the pictures that show the logo
constexpr std::size_t kLogoMinPixels = 8;

bool Black(const PictureSample& p) {
    return p.luma < kBlackLuma && p.spread < kBlackSpread;
}

bool Bit(const std::vector<std::uint64_t>& bits, std::size_t i) {
    return (bits[i / 64] >> (i % 64)) & 1;
}

// The value of marks at time t (-1 before the first).
int ModeAt(const std::vector<ModeMark>& marks, double t) {
    auto after = std::ranges::upper_bound(marks, t, {}, &ModeMark::time);
    return after == marks.begin() ? (marks.empty() ? -1 : marks.front().value)
                                  : std::prev(after)->value;
}

std::vector<std::size_t> Mask(const SignalTrack& track, const std::vector<std::size_t>& samples,
                              double share, int corner) {
    const std::size_t perCorner =
        static_cast<std::size_t>(track.cornerWidth) * static_cast<std::size_t>(track.cornerHeight);
    std::vector<std::uint32_t> count(perCorner * 4, 0);
    for (std::size_t s : samples)
        for (std::size_t i = 0; i < count.size(); ++i)
            count[i] += Bit(track.corners[s].bits, i) ? 1 : 0;
    std::vector<std::size_t> mask;
    const double need = share * static_cast<double>(samples.size());
    for (std::size_t i = 0; i < count.size(); ++i)
        if ((corner < 0 || static_cast<int>(i / perCorner) == corner) && count[i] >= need &&
            count[i] > 0)
            mask.push_back(i);
    return mask;
}

double Presence(const CornerEdges& c, const std::vector<std::size_t>& mask) {
    std::size_t on = 0;
    for (std::size_t i : mask)
        on += Bit(c.bits, i) ? 1 : 0;
    return static_cast<double>(on) / static_cast<double>(mask.size());
}

// The logo: pixels of one corner that are edges on most pictures, learnt twice, the second
// time from the pictures that showed the first guess. Empty when there is none.
std::vector<std::size_t> LearnLogo(const SignalTrack& track) {
    std::vector<std::size_t> samples;
    for (std::size_t s = 0; s < track.corners.size(); ++s)
        if (!Black(track.pictures[static_cast<std::size_t>(track.corners[s].picture)]))
            samples.push_back(s);
    if (samples.size() < 20 || track.cornerWidth <= 0) return {};
    std::vector<std::size_t> guess = Mask(track, samples, kLogoCandidate, -1);
    const std::size_t perCorner =
        static_cast<std::size_t>(track.cornerWidth) * static_cast<std::size_t>(track.cornerHeight);
    std::array<std::size_t, 4> inCorner{};
    for (std::size_t i : guess)
        ++inCorner[i / perCorner];
    const int corner = static_cast<int>(std::ranges::max_element(inCorner) - inCorner.begin());
    std::erase_if(guess, [&](std::size_t i) { return static_cast<int>(i / perCorner) != corner; });
    if (guess.size() < kLogoMinPixels) return {};
    std::vector<std::size_t> showing;
    for (std::size_t s : samples)
        if (Presence(track.corners[s], guess) >= 0.6) showing.push_back(s);
    if (showing.size() < 10) return {};
    std::vector<std::size_t> firm = Mask(track, showing, kLogoFirm, corner);
    return firm.size() >= kLogoMinPixels ? firm : std::vector<std::size_t>{};
}

struct Block {
    std::size_t first = 0; // pictures [first, last]
    std::size_t last = 0;
    double from = 0, to = 0;
    double logo = -1; // share of its pictures showing the logo; -1 unknown
    double db = -120; // loudness
    int aspect = -1;  // the mode that holds most of the block
    int audioMode = -1;
    bool leading = false, trailing = false; // touches the clip's start or end
    double evidence = 0;
    std::vector<std::string> signals;
    double Seconds() const { return to - from; }
};

int MajorMode(const std::vector<ModeMark>& marks, double from, double to) {
    if (marks.empty()) return -1;
    std::map<int, double> held;
    double t = from;
    int value = ModeAt(marks, from);
    for (const ModeMark& m : marks) {
        if (m.time <= from) continue;
        if (m.time >= to) break;
        held[value] += m.time - t;
        t = m.time;
        value = m.value;
    }
    held[value] += to - t;
    return std::ranges::max_element(held, {}, &std::pair<const int, double>::second)->first;
}

double Loudness(const std::vector<LevelSample>& levels, double from, double to) {
    auto it = std::ranges::lower_bound(levels, from, {}, &LevelSample::time);
    double power = 0, seconds = 0;
    for (; it != levels.end() && it->time < to; ++it) {
        power += std::pow(10.0, it->db / 10) * it->duration;
        seconds += it->duration;
    }
    return seconds > 0 && power > 0 ? 10 * std::log10(power / seconds) : -120;
}

std::vector<Block> Blocks(const SignalTrack& track, const std::vector<Separator>& separators,
                          const std::vector<float>& logo) {
    std::vector<Block> blocks;
    const auto& pics = track.pictures;
    std::size_t start = 0;
    auto add = [&](std::size_t first, std::size_t end) { // pictures [first, end)
        if (end <= first) return;
        Block b;
        b.first = first;
        b.last = end - 1;
        b.from = pics[first].time;
        b.to = end < pics.size() ? pics[end].time : track.End();
        b.leading = first == 0;
        b.trailing = end == pics.size();
        double shown = 0, known = 0;
        for (std::size_t i = first; i < end; ++i) {
            if (logo[i] < 0 || Black(pics[i])) continue;
            shown += logo[i];
            known += 1;
        }
        b.logo = known > 0 ? shown / known : -1;
        b.db = Loudness(track.levels, b.from, b.to);
        b.aspect = MajorMode(track.aspect, b.from, b.to);
        b.audioMode = MajorMode(track.audioMode, b.from, b.to);
        blocks.push_back(std::move(b));
    };
    for (const Separator& s : separators) {
        add(start, s.first);
        start = s.last + 1;
    }
    add(start, pics.size());
    return blocks;
}

// The programme's modes and loudness: those of the blocks that show the logo (of all blocks
// when no logo is known), weighted by time.
struct Reference {
    int aspect = -1;
    int audioMode = -1;
    double db = -120;
};

Reference ProgrammeOf(const std::vector<Block>& blocks) {
    bool logoKnown = std::ranges::any_of(blocks, [](const Block& b) { return b.logo >= 0.6; });
    std::map<int, double> aspect, mode;
    std::vector<std::pair<double, double>> loud; // db, seconds
    for (const Block& b : blocks) {
        if (logoKnown && b.logo < 0.6) continue;
        aspect[b.aspect] += b.Seconds();
        mode[b.audioMode] += b.Seconds();
        loud.emplace_back(b.db, b.Seconds());
    }
    Reference r;
    if (aspect.empty()) return r;
    r.aspect = std::ranges::max_element(aspect, {}, &std::pair<const int, double>::second)->first;
    r.audioMode = std::ranges::max_element(mode, {}, &std::pair<const int, double>::second)->first;
    std::ranges::sort(loud);
    double total = 0, half = 0;
    for (auto& l : loud)
        total += l.second;
    for (auto& l : loud)
        if ((half += l.second) >= total / 2) {
            r.db = l.first;
            break;
        }
    return r;
}

void Score(Block& b, const Reference& programme) {
    double e = 0;
    if (b.logo >= 0) {
        e += b.logo < 0.3 ? 2.5 : (b.logo > 0.6 ? -3.0 : 0.0);
        if (b.logo < 0.3) b.signals.push_back("no logo");
    }
    const double s = b.Seconds();
    if (s >= 8 && s <= 65)
        e += 0.7;
    else if (s > 180)
        e -= 2.0;
    else if (s > 90)
        e -= 1.0;
    if (b.aspect != programme.aspect && b.aspect >= 0 && programme.aspect >= 0) {
        e += 1.5;
        b.signals.push_back("aspect");
    }
    if (b.audioMode != programme.audioMode && b.audioMode >= 0 && programme.audioMode >= 0) {
        e += 1.5;
        b.signals.push_back("audio mode");
    }
    if (b.db > -119 && programme.db > -119) {
        if (b.db >= programme.db + 3) {
            e += 0.6;
            b.signals.push_back("loudness");
        } else if (b.db <= programme.db - 3) {
            e -= 0.3;
        }
    }
    b.evidence = e;
}

double Sigmoid(double x) {
    return 1 / (1 + std::exp(-x));
}

Break Assemble(const std::vector<Block>& blocks, std::size_t first, std::size_t last) {
    Break br;
    br.from = blocks[first].from;
    br.to = blocks[last].to;
    double weighted = 0, seconds = 0;
    for (std::size_t i = first; i <= last; ++i) {
        weighted += blocks[i].evidence * blocks[i].Seconds();
        seconds += blocks[i].Seconds();
        for (const std::string& s : blocks[i].signals)
            if (std::ranges::find(br.signals, s) == br.signals.end()) br.signals.push_back(s);
    }
    double x = (seconds > 0 ? weighted / seconds : 0) - 1.5;
    const bool cut = blocks[first].leading || blocks[last].trailing;
    const double length = br.to - br.from;
    if (length >= 45 && length <= 540) {
        x += 0.5;
        br.signals.push_back("length");
    } else if (length < 20 && !cut) {
        x -= 1.5;
    } else if (length > 720) {
        x -= 1.0;
    }
    if (last > first) {
        x += 0.5;
        br.signals.push_back("separators");
    }
    br.confidence = std::round(Sigmoid(x) * 100) / 100;
    return br;
}

} // namespace

std::vector<std::uint64_t> EdgeBits(const std::vector<std::uint8_t>& corners, int w, int h) {
    const std::size_t perCorner = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    std::vector<std::uint64_t> bits((perCorner * 4 + 63) / 64, 0);
    for (std::size_t c = 0; c < 4; ++c) {
        const std::uint8_t* p = corners.data() + c * perCorner;
        for (int y = 0; y + 1 < h; ++y)
            for (int x = 0; x + 1 < w; ++x) {
                const int v = p[y * w + x];
                const int step = std::abs(v - p[y * w + x + 1]) + std::abs(v - p[(y + 1) * w + x]);
                if (step < kEdgeStep) continue;
                const std::size_t i = c * perCorner + static_cast<std::size_t>(y * w + x);
                bits[i / 64] |= std::uint64_t{1} << (i % 64);
            }
    }
    return bits;
}

std::vector<float> LogoPresence(const SignalTrack& track) {
    std::vector<float> presence(track.pictures.size(), -1);
    const std::vector<std::size_t> mask = LearnLogo(track);
    if (mask.empty()) return presence;
    // Each picture takes the sample nearest to it.
    std::size_t s = 0;
    for (std::size_t i = 0; i < presence.size(); ++i) {
        while (s + 1 < track.corners.size() &&
               std::llabs(track.corners[s + 1].picture - static_cast<std::int64_t>(i)) <=
                   std::llabs(track.corners[s].picture - static_cast<std::int64_t>(i)))
            ++s;
        if (std::llabs(track.corners[s].picture - static_cast<std::int64_t>(i)) > 25) continue;
        presence[i] = Presence(track.corners[s], mask) >= 0.5 ? 1.0f : 0.0f;
    }
    return presence;
}

std::vector<Separator> FindSeparators(const SignalTrack& track) {
    const auto& pics = track.pictures;
    auto silent = [&](double t) {
        if (track.levels.empty()) return true;
        auto it = std::ranges::upper_bound(track.levels, t, {}, &LevelSample::time);
        if (it == track.levels.begin()) return false;
        --it;
        return t < it->time + it->duration + 0.05 && it->db < kSilenceDb;
    };
    std::vector<Separator> out;
    for (std::size_t i = 0; i < pics.size();) {
        if (!Black(pics[i])) {
            ++i;
            continue;
        }
        std::size_t j = i;
        int quiet = 0;
        while (j < pics.size() && Black(pics[j]))
            quiet += silent(pics[j++].time) ? 1 : 0;
        const std::size_t n = j - i;
        if (quiet >= std::min<int>(2, static_cast<int>(n)) && (n >= 2 || !track.levels.empty()))
            out.push_back({i, j - 1});
        i = j;
    }
    return out;
}

std::vector<Break> FindBreaks(const SignalTrack& track) {
    if (track.pictures.empty()) return {};
    const std::vector<float> logo = LogoPresence(track);
    std::vector<Block> blocks = Blocks(track, FindSeparators(track), logo);
    const Reference programme = ProgrammeOf(blocks);
    for (Block& b : blocks)
        Score(b, programme);
    std::vector<Break> out;
    for (std::size_t i = 0; i < blocks.size();) {
        if (blocks[i].evidence <= 1.0) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < blocks.size() && blocks[j + 1].evidence > 1.0)
            ++j;
        out.push_back(Assemble(blocks, i, j));
        i = j + 1;
    }
    return out;
}

} // namespace quorin::breaks
